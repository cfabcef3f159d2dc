#!/usr/bin/env python3
"""A Windows program under wine with a console, and no display: wine gives a program
started on a terminal a console on it. Here the terminal is a pseudo-terminal whose
other end this script holds, in raw mode, so that Ctrl+C and Ctrl+S arrive as keys and
nothing is written to it unasked.

  wine_console.py run PROGRAM [ARG...]
      Runs the program, copies what it shows (the terminal control sequences wine puts
      around every character removed) and ends with its exit status.
  wine_console.py session ZAM32.EXE
      Edits and runs lines in the console program's line editor (no configuration
      file, in a temporary folder), keys typed as a terminal's bytes, and looks for
      what each line must give on the screen; F10 then quits with status 0.
  wine_console.py keys ECHO.EXE
      Types the table below, key by key, into the key echo program and compares the
      codes it reads with the table's: the codes the Linux terminal reader
      (platform/console_posix.cpp) gives for the same bytes. Then Ctrl+C as the
      terminal's interrupt must end it with status 130.

WINE names wine (default: wine64 on PATH, else /usr/lib/wine/wine64); WINEPREFIX and
WINEDEBUG are passed on as they are.
"""
import fcntl
import os
import select
import pty
import re
import shutil
import struct
import sys
import tempfile
import termios
import tty

# Bytes a terminal sends, and the key codes of platform/console.h they stand for.
KEYS = [
    ("a", b"a", [0x61]),
    ("Shift+A", b"A", [0x41]),
    ("Enter", b"\r", [0x0D]),
    ("Backspace (DEL)", b"\x7f", [0x08]),
    # Not Ctrl+C: wine's console drops the byte in console mode 0 (Windows gives the
    # key; the record table of console_keys_win32_test covers it).
    ("Esc", b"\x1b", [0x1B]),
    ("Ctrl+S", b"\x13", [0x13]),
    ("Ctrl+L", b"\x0c", [0x0C]),
    ("Up", b"\x1b[A", [0x4800]),
    ("Down", b"\x1b[B", [0x5000]),
    ("Right", b"\x1b[C", [0x4D00]),
    ("Left", b"\x1b[D", [0x4B00]),
    ("Home", b"\x1b[H", [0x4700]),
    ("End", b"\x1b[F", [0x4F00]),
    ("Insert", b"\x1b[2~", [0x5200]),
    ("Delete", b"\x1b[3~", [0x5300]),
    ("PgUp", b"\x1b[5~", [0x4900]),
    ("PgDn", b"\x1b[6~", [0x5100]),
    ("Ctrl+Left", b"\x1b[1;5D", [0x7300]),
    ("Ctrl+Right", b"\x1b[1;5C", [0x7400]),
    ("Ctrl+Home", b"\x1b[1;5H", [0x7700]),
    ("Ctrl+End", b"\x1b[1;5F", [0x7500]),
    ("Ctrl+PgUp", b"\x1b[5;5~", [0x8400]),
    ("Ctrl+PgDn", b"\x1b[6;5~", [0x7600]),
    ("Alt+PgUp", b"\x1b[5;3~", [0x9900]),
    ("F1", b"\x1bOP", [0x3B00]),
    ("F4", b"\x1bOS", [0x3E00]),
    ("F5", b"\x1b[15~", [0x3F00]),
    ("F10", b"\x1b[21~", [0x4400]),
    ("Shift+F5", b"\x1b[15;2~", [0x5800]),
    ("Ctrl+F1", b"\x1b[1;5P", [0x5E00]),
    ("Alt+F10", b"\x1b[21;3~", [0x7100]),
    ("F12", b"\x1b[24~", [0xFF00]),
]

CONTROL = re.compile(rb"\x1b(\[[0-9;?]*[ -/]*[@-~]|\][^\x07]*\x07|[()][0-9A-Za-z]|[=>78])")


def wine():
    named = os.environ.get("WINE")
    if named:
        return named
    return shutil.which("wine64") or "/usr/lib/wine/wine64"


def start(argv, columns=80):
    pid, master = pty.fork()
    if pid == 0:
        try:
            tty.setraw(0)
            os.execvp(wine(), [wine()] + argv)
        finally:
            os._exit(127)
    try:
        fcntl.ioctl(master, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    except OSError:
        pass
    return pid, master


def status(pid):
    _, raw = os.waitpid(pid, 0)
    if os.WIFEXITED(raw):
        return os.WEXITSTATUS(raw)
    return 128 + os.WTERMSIG(raw)


class Screen:
    """What the program shows, as lines with the control sequences removed."""

    def __init__(self, master):
        self.master = master
        self.raw = b""
        self.lines = []
        self.ended = False

    def more(self):
        try:
            data = os.read(self.master, 4096)
        except OSError:  # the terminal's other end is closed: the program has ended
            data = b""
        if not data:
            self.ended = True
            return False
        self.raw += data
        # No control sequence holds a line end: whole lines can be cleaned.
        end = self.raw.rfind(b"\n")
        if end >= 0:
            done, self.raw = self.raw[:end], self.raw[end + 1:]
            text = CONTROL.sub(b"", done).replace(b"\r", b"")
            self.lines += [line.decode("latin-1") for line in text.split(b"\n")]
        return True

    def line(self):
        while not self.lines:
            if self.ended or not self.more():
                return None
        return self.lines.pop(0)


def run(argv):
    pid, master = start(argv)
    screen = Screen(master)
    while (line := screen.line()) is not None:
        print(line, flush=True)
    return status(pid)


def keys(echo):
    pid, master = start([echo])
    screen = Screen(master)
    while (line := screen.line()) is not None and line.strip() != "ready":
        pass
    if line is None:
        print("the echo program never got ready")
        return status(pid) or 1
    wrong = 0
    for what, sent, codes in KEYS:
        os.write(master, sent)
        got = []
        while len(got) < len(codes):
            line = screen.line()
            if line is None:
                break
            if line.startswith("key="):
                got.append(int(line[4:], 16))
        if got != codes:
            wrong += 1
            print(f"FAIL {what} {sent!r}: read {[hex(c) for c in got]}, expected {[hex(c) for c in codes]}")
        else:
            print(f"ok   {what}")
        if line is None:
            break
    # Last, Ctrl+C as the terminal's interrupt character: wine makes the signal the
    # console's control event, which must wake the waiting reader (code 0) and end the
    # program with the status of an interrupt.
    if screen.ended:
        print("the echo program ended before the last key")
        return 1
    attributes = termios.tcgetattr(master)
    attributes[3] |= termios.ISIG
    termios.tcsetattr(master, termios.TCSANOW, attributes)
    os.write(master, b"\x03")
    woke = False
    while (line := screen.line()) is not None:
        woke = woke or line == "key=0000"
    code = status(pid)
    if not woke or code != 130:
        wrong += 1
        print(f"FAIL Ctrl+C as the interrupt: {'woke' if woke else 'did not wake'} the reader, status {code}")
    else:
        print("ok   Ctrl+C as the interrupt: the reader woke, status 130")
    print(f"{len(KEYS) + 1 - wrong} of {len(KEYS) + 1} as on Linux")
    return 1 if wrong else 0


# Keys typed into the line editor, and what the screen must show after them (blanks
# left out: wine draws them as cursor moves).
SESSION = [  # lines that start with no command letter, so that the error shows them
    ("Home, then overtype", [(b"xb\x1b[Hv\r", 'COMMANDERRORNEAR"vb"')]),
    ("Insert in the middle", [(b"bc\x1b[D\x1b[2~z\r", 'COMMANDERRORNEAR"bzc"')]),
    ("overtype again on a new line", [(b"bc\x1b[Dz\r", 'COMMANDERRORNEAR"bz"')]),
    # Esc alone: what follows it at once would make Alt with a key of it.
    ("Esc clears the line", [(b"oo\x1b", "U0>"), (b"j\r", 'COMMANDERRORNEAR"j"')]),
    ("Ctrl+Left to the word start, Ctrl+End cuts", [(b"nx.yy\x1b[1;5D\x1b[1;5Fv\r", 'COMMANDERRORNEAR"nx.v"')]),
    ("Up twice recalls the line before the last", [(b"\x1b[A\x1b[A\r", 'COMMANDERRORNEAR"j"')]),
    ("Backspace at the end", [(b"bcd\x7f\r", 'COMMANDERRORNEAR"bc"')]),
]


def session(zam32):
    zam32 = os.path.abspath(zam32)
    work = tempfile.mkdtemp(prefix="wine-console-")
    os.chdir(work)
    pid, master = start([zam32, "/n"])
    seen = b""
    looked = 0  # what the steps before have taken of the flattened screen

    def wait_for(text):
        nonlocal seen, looked
        want = text.encode("latin-1")
        while True:
            flat = re.sub(rb"\s", b"", CONTROL.sub(b"", seen))
            at = flat.find(want, looked)
            if at >= 0:
                looked = at + len(want)
                return True
            select.select([master], [], [])
            try:
                data = os.read(master, 4096)
            except OSError:
                data = b""
            if not data:
                return False
            seen += data

    wrong = 0
    # Keys are typed at the prompt only: keys typed ahead of it are read and dropped by
    # the stop and cancel poll in front of every line.
    prompt = "U0>"
    if not wait_for("TypehforHelp") or not wait_for(prompt):
        print("the console program never started")
        return 1
    for what, steps in SESSION:
        shown = True
        for typed, shows in steps:
            os.write(master, typed)
            shown = shown and wait_for(shows)
        if shown and wait_for(prompt):
            print(f"ok   {what}")
        else:
            print(f"FAIL {what}: {steps[-1][1]} never shown")
            wrong += 1
            break
    os.write(master, b"\x1b[21~")  # F10: ";qn" and Enter
    while True:
        try:
            if not os.read(master, 4096):
                break
        except OSError:
            break
    code = status(pid)
    if code != 0:
        print(f"FAIL the console program ended with status {code}")
        wrong += 1
    else:
        print("ok   F10 quits, status 0")
    shutil.rmtree(work, ignore_errors=True)
    return 1 if wrong else 0


def main():
    modes = {"run": lambda: run(sys.argv[2:]), "keys": lambda: keys(sys.argv[2]), "session": lambda: session(sys.argv[2])}
    if len(sys.argv) < 3 or sys.argv[1] not in modes:
        print(__doc__, file=sys.stderr)
        return 2
    return modes[sys.argv[1]]()


if __name__ == "__main__":
    sys.exit(main())
