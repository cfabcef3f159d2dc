#!/usr/bin/env python3
"""Checks the project's #include lines against the tables of docs/architecture.md.

  python3 scripts/check_layering.py [--root DIR]

Reads the folder table ("Allowed include directions"), the transport-header table
("Transport headers") and the list of arrows still running against them ("Arrows
against the table today"). Fails (status 1) on an include that runs against the
tables and is not on that list, on a listed arrow that is gone, and on a count that
does not match the list, so that the document says what the code does. Status 2:
the document could not be read.
"""

import argparse
import fnmatch
import os
import re
import sys

DOC = os.path.join("docs", "architecture.md")
SOURCE_SUFFIXES = (".h", ".c", ".cpp")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z0-9_]+)/([^"]+)"')


class DocError(Exception):
    pass


def section_rows(lines, heading, may_be_empty=False):
    """The rows of the first table after `heading`, each a list of stripped cells."""
    try:
        start = next(i for i, line in enumerate(lines) if line.strip() == heading)
    except StopIteration:
        raise DocError(f"{DOC}: no heading {heading!r}")
    rows, in_table = [], False
    for line in lines[start + 1:]:
        if line.startswith("#"):
            break
        if line.startswith("|"):
            in_table = True
            cells = [c.strip() for c in line.strip().strip("|").split("|")]
            if all(re.fullmatch(r":?-+:?", c) for c in cells):
                continue  # the rule under the header row
            rows.append(cells)
        elif in_table:
            break
    if len(rows) < (1 if may_be_empty else 2):
        raise DocError(f"{DOC}: the table after {heading!r} has no rows")
    return rows[1:]  # without the header row


def strip_code(cell):
    return cell.replace("`", "").strip()


def split_list(cell):
    cell = strip_code(cell)
    return [] if cell == "-" else [p.strip() for p in cell.split(",") if p.strip()]


def matches(pattern, path):
    """A folder row governs the files under it; a pattern row the files it matches."""
    if any(ch in pattern for ch in "*?["):
        return fnmatch.fnmatchcase(path, pattern)
    return path == pattern or path.startswith(pattern.rstrip("/") + "/")


def allowed_by(entries, header):
    """True when `header` ("x/y.h") is one of the entries: a folder or a header path."""
    return any(header == e or header.startswith(e.rstrip("/") + "/") for e in entries)


def read_tables(root):
    path = os.path.join(root, DOC)
    try:
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except OSError as e:
        raise DocError(f"{path}: {e.strerror}")
    folders = [(strip_code(r[0]), split_list(r[1])) for r in section_rows(lines, "### Allowed include directions")]
    transports = [(strip_code(r[0]), split_list(r[1])) for r in section_rows(lines, "### Transport headers")]
    known = []
    # The arrows' table keeps its header row once the last arrow is gone.
    for r in section_rows(lines, "## 3. Arrows against the table today", may_be_empty=True):
        if len(r) < 3:
            raise DocError(f"{DOC}: arrow row {r!r} has fewer than three cells")
        file_cell = strip_code(r[1])
        known.append((file_cell.split(":")[0], strip_code(r[2])))
    count = None
    for line in lines:
        m = re.match(r"Count: \*\*(\d+)\*\*", line)
        if m:
            count = int(m.group(1))
            break
    return folders, transports, known, count


def scan(root, folders, transports):
    """Every include against the tables: (file, line number, header, why)."""
    checked = sorted({pattern.split("/")[0] for pattern, _ in folders})
    top_level = {d for d in os.listdir(root) if os.path.isdir(os.path.join(root, d))}
    found = []
    for top in checked:
        for dirpath, dirnames, filenames in os.walk(os.path.join(root, top)):
            dirnames.sort()
            for name in sorted(filenames):
                if not name.endswith(SOURCE_SUFFIXES):
                    continue
                full = os.path.join(dirpath, name)
                rel = os.path.relpath(full, root).replace(os.sep, "/")
                rows = [(p, e) for p, e in folders if matches(p, rel)]
                if not rows:
                    continue
                pattern, entries = max(rows, key=lambda row: len(row[0]))
                own = rel.split("/")[0]
                with open(full, encoding="utf-8", errors="replace") as f:
                    for number, line in enumerate(f, 1):
                        m = INCLUDE.match(line)
                        if not m or m.group(1) not in top_level:
                            continue
                        header = f"{m.group(1)}/{m.group(2)}"
                        if m.group(1) != own and not allowed_by(entries, header):
                            found.append((rel, number, header, f"row {pattern!r} allows {', '.join(entries) or 'nothing'}"))
                            continue
                        for guarded, includers in transports:
                            if header == guarded and not any(matches(i, rel) for i in includers):
                                found.append((rel, number, header, f"{guarded} is for {', '.join(includers)} only"))
    return found


def main():
    parser = argparse.ArgumentParser(description="Check #include lines against docs/architecture.md.")
    parser.add_argument("--root", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."),
                        help="the source tree (default: this script's project)")
    args = parser.parse_args()
    root = os.path.abspath(args.root)
    try:
        folders, transports, known, count = read_tables(root)
    except DocError as e:
        print(f"check_layering: {e}", file=sys.stderr)
        return 2
    found = scan(root, folders, transports)
    failed = False
    seen = set()
    for rel, number, header, why in found:
        seen.add((rel, header))
        if (rel, header) not in known:
            print(f"{rel}:{number}: includes {header} against the layering ({why})")
            failed = True
    for rel, header in known:
        if (rel, header) not in seen:
            print(f"{DOC}: section 3 lists {rel} -> {header}, which is no longer there: take it off the list")
            failed = True
    if count is not None and count != len(known):
        print(f"{DOC}: section 3 says Count: **{count}** but lists {len(known)} arrow(s)")
        failed = True
    if failed:
        return 1
    print(f"check_layering: every include follows {DOC} ({len(known)} listed arrow(s) against it)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
