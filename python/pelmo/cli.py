"""The pelmo command: the Emulator's operations for shell scripts and CI.

Exit status 0 success, 1 the operation failed (the message on standard error),
2 a usage error (an unknown option or a bad argument: nothing was done).
"""
from __future__ import annotations

import argparse
import contextlib
import json
import os
import sys
from typing import Any, Optional, Sequence

from . import _devices
from ._progress import Busy
from .emulator import Emulator, Result, find
from .errors import ArgumentError, EmulatorError

EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2

_FORMATS = ("hex", "hex32", "s19", "s28", "s37", "s", "bin")
_LEVELS = ("low", "high", "released", "active", "inactive")


class _UsageError(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    """Usage errors go up as exceptions, so that --json can still answer."""

    def error(self, message: str) -> None:  # type: ignore[override]
        raise _UsageError(f"{self.prog}: {message}")


def _number(text: str) -> int:
    try:
        return int(text, 0)
    except ValueError:
        if text.isdigit():
            return int(text, 10)
        raise argparse.ArgumentTypeError(f"not a number: {text!r} (decimal, or hex as 0x8000)") from None


def _common() -> argparse.ArgumentParser:
    # Defaults are suppressed so that an option given before the subcommand is not
    # overwritten by the subcommand's parser; main() fills the defaults in.
    common = argparse.ArgumentParser(add_help=False, argument_default=argparse.SUPPRESS)
    group = common.add_argument_group("unit options (before or after the command)")
    group.add_argument("--unit", "-u", help="0..3 (USB) or virtual; default $PELMO_UNIT, else 0")
    group.add_argument("--eprom", "-e", help="EPROM type, e.g. 27256, 27512, 64K; default $PELMO_EPROM, else 27256")
    group.add_argument("--fold", choices=("none", "socket", "full"), help="image placement in a larger RAM "
                       "(default socket)")
    group.add_argument("--auto-reset", action="store_true", help="hold the target in reset during the operation")
    group.add_argument("--reset-active", choices=("low", "high", "released"),
                       help="level that holds the target in reset (default low)")
    group.add_argument("--reset-inactive", choices=("low", "high", "released"),
                       help="level that lets it run (default released)")
    group.add_argument("--json", action="store_true", help="print one JSON object with the result and the text")
    group.add_argument("--no-progress", action="store_true", help="no busy line, even on a terminal")
    return common


def _parser() -> argparse.ArgumentParser:
    common = _common()
    parser = _Parser(prog="pelmo", parents=[common], description="Drive an EPROM emulator unit through the "
                     "emucore library.", epilog="Numbers are decimal or hex with 0x. Exit status: 0 success, "
                     "1 the operation failed, 2 usage error.")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True

    def command(name: str, help: str) -> argparse.ArgumentParser:
        return sub.add_parser(name, parents=[common], help=help, description=help)

    command("find", "list the USB units that answer")

    p = command("load", "load an image file (HEX, S-records, binary or ELF) into the unit")
    p.add_argument("file")
    v = p.add_mutually_exclusive_group()
    v.add_argument("--verify", dest="verify", action="store_const", const=True, default=True,
                   help="read every byte back (the default)")
    v.add_argument("--verify-only", dest="verify", action="store_const", const="only",
                   help="compare the unit with the file, write nothing")
    v.add_argument("--no-verify", dest="verify", action="store_const", const=False, help="write without reading back")
    p.add_argument("--start", type=_number, default=0, help="first file address taken")
    p.add_argument("--length", type=_number, default=0, help="bytes to place (0: all)")
    p.add_argument("--target", type=_number, default=0, help="device address of the first byte")
    p.add_argument("--width", type=_number, default=1, help="take every Nth byte")

    p = command("checksum", "sum the bytes of a range")
    p.add_argument("--start", type=_number, default=0)
    p.add_argument("--length", type=_number, default=0, help="0: to the end of the device")

    p = command("fill", "fill a range with one byte value")
    p.add_argument("value", type=_number)
    p.add_argument("--start", type=_number, default=0)
    p.add_argument("--length", type=_number, default=0, help="0: to the end of the device")
    p.add_argument("--check", action="store_true", help="only check that the range holds the value")
    p.add_argument("--no-verify", dest="verify", action="store_false", help="write without reading back")

    p = command("write", "write a range of the unit's RAM to an image file")
    p.add_argument("file")
    p.add_argument("--format", "-f", choices=_FORMATS, default="hex")
    p.add_argument("--start", type=_number, default=0)
    p.add_argument("--length", type=_number, default=0, help="0: to the end of the device")
    p.add_argument("--mode", choices=("create", "replace", "append"), default="create",
                   help="create refuses an existing file (the default)")
    p.add_argument("--signon", help="S0 record text (S-record formats)")
    p.add_argument("--no-eof", dest="eof", action="store_false", help="leave out the end record")
    p.add_argument("--record-length", type=_number, default=32)
    p.add_argument("--skip", type=_number, help="byte value left out at the ends of records")
    p.add_argument("--target", type=_number, help="record address of the first byte")
    p.add_argument("--entry", type=_number, help="program entry address record")

    p = command("read", "show a range of the unit's RAM as a hex dump, or save its bytes")
    p.add_argument("start", type=_number)
    p.add_argument("length", type=_number)
    p.add_argument("--out", "-o", help="write the raw bytes to this file instead")

    p = command("reset", "set the target's reset line, or pulse it")
    p.add_argument("level", nargs="?", choices=_LEVELS)
    p.add_argument("--pulse", type=_number, metavar="MS", help="hold reset for MS milliseconds, then release")
    return parser


def _defaults(args: argparse.Namespace) -> None:
    for name, value in (("unit", os.environ.get("PELMO_UNIT") or "0"),
                        ("eprom", os.environ.get("PELMO_EPROM") or "27256"), ("fold", "socket"),
                        ("auto_reset", False), ("reset_active", "low"), ("reset_inactive", "released"),
                        ("json", False), ("no_progress", False)):
        if not hasattr(args, name):
            setattr(args, name, value)


def _wants_json(argv: Sequence[str]) -> bool:
    return "--json" in argv


def _emit(obj: dict[str, Any]) -> None:
    print(json.dumps(obj))


def _fail(command: Optional[str], status: int, error: str, message: str, as_json: bool,
          exc: Optional[EmulatorError] = None) -> int:
    for line in message.splitlines() or [message]:
        print(f"pelmo: {line}", file=sys.stderr)
    if as_json:
        obj: dict[str, Any] = {"command": command, "ok": False, "status": status, "error": error,
                               "message": message}
        if exc is not None:
            obj.update(text="\n".join(exc.lines), lines=exc.lines, subcode=exc.subcode, stage=exc.stage,
                       code=exc.code)
        _emit(obj)
    return status


def _run(args: argparse.Namespace) -> tuple[dict[str, Any], list[str]]:
    """Runs the command: its JSON fields and its lines for standard output."""
    if args.command == "find":
        units = find()
        if not units:
            raise EmulatorError("no USB unit answers")
        return {"units": units}, [str(u) for u in units]

    if args.command == "reset" and args.level is None and args.pulse is None:
        raise _UsageError("pelmo reset: give a level (low, high, released, active, inactive) or --pulse MS")
    if args.command == "reset" and args.level is not None and args.pulse is not None:
        raise _UsageError("pelmo reset: give a level or --pulse MS, not both")

    emu = Emulator(unit=args.unit, eprom=args.eprom, fold=args.fold, auto_reset=args.auto_reset,
                   reset_active=args.reset_active, reset_inactive=args.reset_inactive)
    what = {"load": f"loading {getattr(args, 'file', '')}", "write": f"writing {getattr(args, 'file', '')}",
            "fill": "filling", "checksum": "checksumming", "read": "reading"}.get(args.command, "")
    fields: dict[str, Any] = {"unit": emu.unit, "eprom": emu.eprom}
    busy = Busy(what) if what and not args.no_progress else contextlib.nullcontext()
    with busy, emu:
        fields["size"] = emu.size
        fields["ram_kb"] = emu.ram_kb
        if args.command == "load":
            result = emu.load(args.file, verify=args.verify, start=args.start, length=args.length,
                              target=args.target, width=args.width)
        elif args.command == "fill":
            result = emu.fill(args.value, start=args.start, length=args.length, check=args.check,
                              verify=args.verify)
        elif args.command == "checksum":
            fields["checksum"] = emu.checksum(start=args.start, length=args.length)
            result = Result.of(emu.last_text)
        elif args.command == "write":
            result = emu.write(args.file, format=args.format, start=args.start, length=args.length,
                               mode=args.mode, signon=args.signon, eof=args.eof, record_length=args.record_length,
                               skip=args.skip, target=args.target, entry=args.entry)
        elif args.command == "read":
            data = emu.read(args.start, args.length)
            fields.update(start=args.start, length=len(data))
            if not args.out:
                fields["data"] = data.hex()
                return fields, emu.dump(args.start, args.length).splitlines()
            with open(args.out, "wb") as f:
                f.write(data)
            fields["out"] = args.out
            result = Result.of(f"{len(data):X} bytes from {args.start:05X} written to {args.out}")
        elif args.pulse is not None:
            emu.pulse(args.pulse)
            result = Result.of(f"Reset pulsed for {args.pulse} ms")
        else:
            emu.reset(args.level)
            result = Result.of(f"Reset line set {args.level}")
    fields["text"] = str(result)
    fields["lines"] = result.lines
    return fields, result.lines


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the pelmo command with these arguments; returns the exit status."""
    argv = list(sys.argv[1:] if argv is None else argv)
    as_json = _wants_json(argv)
    try:
        args = _parser().parse_args(argv)
    except _UsageError as e:
        print(_parser().format_usage().rstrip(), file=sys.stderr)
        return _fail(None, EXIT_USAGE, "usage", str(e), as_json)
    _defaults(args)
    try:
        fields, lines = _run(args)
    except _UsageError as e:
        return _fail(args.command, EXIT_USAGE, "usage", str(e), args.json)
    except ArgumentError as e:
        return _fail(args.command, EXIT_USAGE, type(e).__name__, str(e), args.json, e)
    except EmulatorError as e:
        return _fail(args.command, EXIT_FAILED, type(e).__name__, str(e), args.json, e)
    except OSError as e:
        return _fail(args.command, EXIT_FAILED, type(e).__name__, f"{e.filename}: {e.strerror}", args.json)
    if args.json:
        _emit({"command": args.command, "ok": True, "status": EXIT_OK, **fields})
    else:
        for line in lines:
            print(line)
    return EXIT_OK
