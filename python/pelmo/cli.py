"""The pelmo command: the Emulator's operations for shell scripts and CI.

Exit status 0 success, 1 the operation failed (the message on standard error;
for find: no USB unit answers), 2 a usage error (an unknown option or a bad
argument: nothing was done, the unit was not even opened), 130 interrupted by
SIGINT (Ctrl+C), 143 ended by SIGTERM.
"""
from __future__ import annotations

import argparse
import contextlib
import json
import os
import signal
import sys
import threading
from typing import Any, Optional, Sequence

from . import _devices, _files
from ._progress import Busy
from .emulator import Emulator, Result, find
from .errors import ArgumentError, EmulatorError

EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2
_ENDING = (signal.SIGINT, signal.SIGTERM)

_FORMATS = ("hex", "hex32", "s19", "s28", "s37", "s", "bin")
_LEVELS = ("low", "high", "released", "active", "inactive")


class _UsageError(Exception):
    pass


# The ending signal taken by run()'s signal thread, which has told it on standard
# error already (a KeyboardInterrupt without it is a Ctrl+C, told by main()).
_ended_by: Optional[int] = None


def _ending_text(sig: int) -> str:
    return "interrupted" if sig == signal.SIGINT else "terminated"


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
                     "1 the operation failed (find: no USB unit answers), 2 usage error (nothing done), "
                     "130 interrupted (Ctrl+C), 143 SIGTERM.")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True

    def command(name: str, help: str) -> argparse.ArgumentParser:
        return sub.add_parser(name, parents=[common], help=help, description=help)

    command("find", "list the USB units that answer (exit status 1 when none does)")

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


def _interrupted(command: Optional[str], as_json: bool) -> int:
    sig = _ended_by or signal.SIGINT
    if _ended_by is None:
        print(f"pelmo: {_ending_text(sig)}", file=sys.stderr)
    if as_json:
        _emit({"command": command, "ok": False, "status": 128 + sig, "error": "interrupted",
               "message": _ending_text(sig)})
    return 128 + sig


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
    # Every argument the package can judge is judged before the unit is opened
    # (opening sizes its RAM and sets its reset line).
    if args.command == "load":
        emu._check_load(args.file, args.verify, args.start, args.length, args.target, args.width)
    elif args.command == "fill":
        emu._check_fill(args.value, args.start, args.length)
    elif args.command == "checksum":
        emu._range(args.start, args.length)
    elif args.command == "write":
        emu._check_write(args.file, args.format, args.start, args.length, args.mode, args.signon, args.eof,
                         args.record_length, args.skip, args.target, args.entry)
    elif args.command == "read":
        emu._check_read(args.start, args.length)
        if args.out:
            _files.output_target(args.out)
    elif args.pulse is not None:
        emu._check_pulse(args.pulse)
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
            result = Result.of(f"{len(data):X} bytes from {args.start:05X} written to {args.out}")
        elif args.pulse is not None:
            emu.pulse(args.pulse)
            result = Result.of(f"Reset pulsed for {args.pulse} ms")
        else:
            emu.reset(args.level)
            result = Result.of(f"Reset line set {args.level}")
    if args.command == "read":
        # Written once the unit is closed, by the library's rules for output files.
        _files.write_output(args.out, data)
        fields["out"] = args.out
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
    except KeyboardInterrupt:
        return _interrupted(args.command, args.json)
    if args.json:
        _emit({"command": args.command, "ok": True, "status": EXIT_OK, **fields})
    else:
        for line in lines:
            print(line)
    return EXIT_OK


def _take_signals() -> None:
    """SIGINT and SIGTERM while the command runs.

    The library cannot be stopped inside a call, so the signals are blocked in
    every thread and taken by a thread of their own: the first one ends the
    command as soon as the call under way returns (the unit is closed as usual,
    the status is 128 + the signal); a second one ends the process at once,
    removing this package's temporary files first. The one line saying so is
    written when the first signal arrives.
    """
    import _thread

    def wait() -> None:
        global _ended_by
        while True:
            sig = signal.sigwait(taken)
            if _ended_by is not None:
                _files.remove_temporaries()
                os._exit(128 + _ended_by)
            _ended_by = sig
            # On a terminal the busy line is cleared first; it goes on below.
            clear = "\r\x1b[K" if sys.stderr.isatty() else ""
            sys.stderr.write(f"{clear}pelmo: {_ending_text(sig)}\n")
            sys.stderr.flush()
            # A KeyboardInterrupt in the main thread at its next Python step.
            _thread.interrupt_main()

    # A signal the caller set to be ignored (nohup, a background job) stays so.
    taken = [sig for sig in _ENDING if signal.getsignal(sig) is not signal.SIG_IGN]
    if not taken:
        return
    signal.pthread_sigmask(signal.SIG_BLOCK, taken)
    threading.Thread(target=wait, name="pelmo-signals", daemon=True).start()


def run() -> None:
    """The program (pelmo, python3 -m pelmo): main() with the command line, SIGINT
    giving status 130 and SIGTERM 143 with a one-line message; exits the process."""
    _take_signals()
    as_json = "--json" in sys.argv[1:]
    try:
        status = main()
    except KeyboardInterrupt:  # before or after the command proper
        status = _interrupted(None, as_json)
    sys.exit(status)
