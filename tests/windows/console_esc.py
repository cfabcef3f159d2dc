#!/usr/bin/env python3
"""Runs a Windows program under wine with a console on a pseudo-terminal (wine gives a
program started on a terminal a console on it), and types Esc once the screen shows a
given text. Prints what the screen showed, without wine's control sequences and without
blanks (wine positions the cursor instead of writing them), and ends with the program's
exit status.

  console_esc.py TEXT PROGRAM [ARG...]     (WINE names wine64)
"""
import os
import pty
import re
import shutil
import sys
import tty

CONTROL = re.compile(rb"\x1b(\[[0-9;?]*[ -/]*[@-~]|\][^\x07]*\x07|[()][0-9A-Za-z]|[=>78])")


def main():
    text, argv = sys.argv[1].replace(" ", ""), sys.argv[2:]
    wine = os.environ.get("WINE") or shutil.which("wine64") or "/usr/lib/wine/wine64"
    pid, master = pty.fork()
    if pid == 0:
        try:
            tty.setraw(0)
            os.execvp(wine, [wine] + argv)
        finally:
            os._exit(127)
    shown, typed = b"", False
    while True:
        try:
            data = os.read(master, 4096)
        except OSError:  # the other end is closed: the program has ended
            data = b""
        if not data:
            break
        shown += data
        if not typed and text in CONTROL.sub(b"", shown).replace(b" ", b"").decode("latin-1"):
            os.write(master, b"\x1b")
            typed = True
    sys.stdout.write(CONTROL.sub(b"", shown).replace(b" ", b"").replace(b"\r", b"").decode("latin-1"))
    _, raw = os.waitpid(pid, 0)
    return os.WEXITSTATUS(raw) if os.WIFEXITED(raw) else 128 + os.WTERMSIG(raw)


if __name__ == "__main__":
    sys.exit(main())
