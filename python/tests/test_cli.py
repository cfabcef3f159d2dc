"""The pelmo command in child processes: exit statuses, --json, options before
or after the command, the hex dump, and the busy line on a terminal only."""
from __future__ import annotations

import json
import os
import pty
import re
import select
import signal
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import as_binary, child_env, random_image, run_json, run_pelmo

FRESH_SUM = 0xFF * 0x8000  # a simulated unit's RAM starts erased (all FF)


@pytest.mark.parametrize("args", [
    ["--unit", "virtual", "--eprom", "27512", "fill", "0x33", "--json"],
    ["fill", "0x33", "--unit", "virtual", "--eprom", "27512", "--json"],
    ["--unit", "virtual", "fill", "--eprom", "27512", "51", "--json"],
    ["--json", "--unit", "virtual", "--eprom", "27512", "fill", "0x33"],
    ["-u", "virtual", "--json", "fill", "0x33", "-e", "27512"],
])
def test_common_options_before_or_after_the_command(args):
    p = run_pelmo(*args)
    assert (p.returncode, p.stderr, len(p.stdout.splitlines())) == (0, "", 1)
    obj = json.loads(p.stdout)
    assert obj == {"command": "fill", "ok": True, "status": 0, "unit": "virtual", "eprom": "27512",
                   "size": 0x10000, "ram_kb": 64, "text": "Filling 10000 bytes at offset 0 with 33\n"
                   "Fill Completed with no errors", "lines": ["Filling 10000 bytes at offset 0 with 33",
                                                            "Fill Completed with no errors"]}


def test_load_checksum_and_verify_on_a_usb_unit(tmp_path: Path):
    image = random_image(tmp_path, "fw.hex", 0x8000)
    status, obj, err = run_json("load", "fw.hex", "--eprom", "27256", sim="unit=0,ram=256", cwd=tmp_path)
    assert (status, err) == (0, "")
    assert obj["unit"] == 0 and "Load/Verify Completed with no errors (8000 Bytes Loaded)" in obj["lines"]
    # Each command is a process of its own, so the unit comes up erased again.
    status, obj, _ = run_json("checksum", sim="unit=0,ram=256")
    assert (status, obj["checksum"]) == (0, FRESH_SUM)
    assert obj["lines"][-1] == "CHECKSUM = 007F-8000"
    status, obj, err = run_json("load", "fw.hex", "--verify-only", sim="unit=0,ram=256", cwd=tmp_path)
    assert status == 1 and obj["ok"] is False and obj["error"] == "VerifyError"
    first = next(i for i, b in enumerate(image) if b != 0xFF)
    assert f"COMPARE ERROR IN EMULATOR RAM AT LOCATION {first:05X}" in obj["lines"]
    assert err.startswith("pelmo: ") and "COMPARE ERROR" in err
    p = run_pelmo("load", "fw.hex", "--no-verify", "-u", "0", sim="unit=0,ram=256", cwd=tmp_path)
    assert p.returncode == 0 and "Load Completed without verification (8000 Bytes Loaded)" in p.stdout


def test_write_read_and_dump(tmp_path: Path):
    status, obj, _ = run_json("write", "ram.s37", "--format", "s37", "--length", "0x100", sim="unit=0,ram=256",
                              cwd=tmp_path)
    assert status == 0 and obj["lines"][0] == "Putting 100 bytes into S37 format file"
    assert as_binary(tmp_path, "ram.s37", "-motorola") == b"\xff" * 0x100
    status, obj, _ = run_json("write", "ram.s37", sim="unit=0,ram=256", cwd=tmp_path)
    assert status == 1 and obj["error"] == "ImageFileError" and obj["lines"] == ["OUTPUT FILE ALREADY EXISTS"]
    p = run_pelmo("-u", "virtual", "read", "0x13", "2")
    assert p.returncode == 0 and p.stdout.startswith(" 000010  -- -- -- ")
    status, obj, _ = run_json("read", "0x7ff0", "16", sim="unit=0,ram=256")
    assert status == 0 and obj["data"] == "ff" * 16
    p = run_pelmo("read", "0", "0x40", "--out", "ram.bin", sim="unit=0,ram=256", cwd=tmp_path)
    assert p.returncode == 0 and (tmp_path / "ram.bin").read_bytes() == b"\xff" * 0x40


def test_find_and_reset_on_usb_units():
    p = run_pelmo("find", sim="unit=2,ram=256;unit=0,ram=32")
    assert (p.returncode, p.stdout) == (0, "0\n2\n")
    status, obj, _ = run_json("find", sim="")
    assert (status, obj["error"], obj["message"]) == (1, "EmulatorError", "no USB unit answers")
    status, obj, _ = run_json("reset", "--pulse", "100", "--unit", "2", sim="unit=2,ram=256")
    assert (status, obj["lines"]) == (0, ["Reset pulsed for 100 ms"])
    assert run_pelmo("reset", "high", sim="unit=0,ram=256").returncode == 0


EXITS = [
    # arguments, status, error, a part of the message on standard error
    (["--unit", "virtual", "fill", "0"], 0, None, ""),
    ([], 2, "usage", "the following arguments are required"),
    (["frobnicate"], 2, "usage", "invalid choice"),
    (["fill"], 2, "usage", "the following arguments are required: value"),
    (["fill", "zz"], 2, "usage", "not a number"),
    (["--unit", "virtual", "load", "x.hex", "--verify-only", "--no-verify"], 2, "usage", "not allowed with"),
    (["--unit", "virtual", "reset"], 2, "usage", "give a level"),
    (["--unit", "virtual", "--eprom", "27999", "checksum"], 2, "ArgumentError", "unknown EPROM type"),
    (["--unit", "9", "checksum"], 2, "ArgumentError", "unit must be"),
    (["--unit", "virtual", "checksum", "--start", "0x7fff", "--length", "2"], 2, "ArgumentError",
     "INVALID LENGTH ARGUMENT"),
    (["--unit", "virtual", "load", "missing.hex"], 1, "ImageFileError", "CAN'T OPEN LOAD FILE"),
    (["--unit", "1", "checksum"], 1, "UnitNotFoundError", "UNABLE TO ACCESS UNIT 1"),
]


@pytest.mark.parametrize("args, status, error, message", EXITS, ids=[" ".join(e[0]) or "none" for e in EXITS])
def test_exit_statuses(tmp_path: Path, args, status, error, message):
    p = run_pelmo(*args, cwd=tmp_path, sim="")
    assert p.returncode == status, p.stderr
    assert message in p.stderr
    if status:
        assert p.stdout == ""
    q = run_pelmo(*args, "--json", cwd=tmp_path, sim="")
    assert q.returncode == status
    obj = __import__("json").loads(q.stdout)
    assert obj["ok"] is (status == 0)
    if error:
        assert obj["error"] == error and message in obj["message"]
    assert list(tmp_path.iterdir()) == []


UNTOUCHED = [
    # arguments after the command name, status, error, a part of the message
    (["load", "missing.hex"], 1, "ImageFileError", "CAN'T OPEN LOAD FILE (No such file or directory)"),
    (["load", "."], 1, "ImageFileError", "CAN'T OPEN LOAD FILE"),
    (["load", "old.hex", "--target", "0x8000"], 2, "ArgumentError", "INVALID TARGET ADDRESS ARGUMENT"),
    (["load", "old.hex", "--width", "300"], 2, "ArgumentError", "INVALID WIDTH ARGUMENT"),
    (["fill", "0x100"], 2, "ArgumentError", "INVALID FILL VALUE"),
    (["fill", "0", "--start", "0x7f00", "--length", "0x101"], 2, "ArgumentError", "INVALID LENGTH ARGUMENT"),
    (["checksum", "--start", "0x8000"], 2, "ArgumentError", "INVALID START ARGUMENT"),
    (["write", "old.hex"], 1, "ImageFileError", "OUTPUT FILE ALREADY EXISTS"),
    (["write", "new.s19", "--format", "s19", "--target", "0xfff0"], 2, "ArgumentError", "do not fit S19"),
    (["write", "new.hex", "--target", "0xfffffff0", "--length", "0x100"], 2, "ArgumentError",
     "RECORD ADDRESSES RUN PAST FFFFFFFF"),
    (["write", "new.hex", "--record-length", "0"], 2, "ArgumentError", "record_length"),
    (["read", "0x7fff", "2"], 2, "ArgumentError", "INVALID LENGTH ARGUMENT"),
    (["read", "0", "0x10", "--out", "to-null"], 1, "ImageFileError", "is a link to a character device"),
    (["reset", "--pulse", "-1"], 2, "ArgumentError", "pulse width"),
]


@pytest.mark.parametrize("args, status, error, message", UNTOUCHED, ids=[" ".join(u[0]) for u in UNTOUCHED])
def test_bad_input_is_refused_before_the_unit_is_opened(tmp_path: Path, args, status, error, message):
    # The library's trace names every call into it: none may be made, not even
    # the open (which sizes the RAM and sets the reset line).
    (tmp_path / "old.hex").write_text(":00000001FF\n")
    (tmp_path / "to-null").symlink_to("/dev/null")
    before = sorted(p.name for p in tmp_path.iterdir())
    trace = tmp_path.parent / f"{tmp_path.name}-trace.log"
    got, obj, err = run_json(*args, "--eprom", "27256", sim="unit=0,ram=256", cwd=tmp_path,
                             emucoredebug=str(trace))
    assert (got, obj["error"]) == (status, error), err
    assert message in obj["message"] and message in err
    assert not trace.exists(), trace.read_text()
    assert sorted(p.name for p in tmp_path.iterdir()) == before
    assert (tmp_path / "old.hex").read_text() == ":00000001FF\n"
    # The same command with good arguments does reach the unit (so the trace works).
    assert run_json("checksum", sim="unit=0,ram=256", emucoredebug=str(trace))[0] == 0
    assert "VXAOpen" in trace.read_text()


def test_a_unit_that_vanishes_during_a_load(tmp_path: Path):
    (tmp_path / "fw.bin").write_bytes(bytes(range(256)) * 128)
    # The open takes about 1750 commands on this unit: it goes away during the load.
    status, obj, err = run_json("load", "fw.bin", sim="unit=0,ram=256,fault=vanish:1760", cwd=tmp_path)
    assert (status, obj["ok"], obj["status"], obj["error"]) == (1, False, 1, "DeviceError")
    found = re.search(r"DEVICE FAILURE \(SUBCODE (\d+)-(\d+)\)", obj["text"])
    assert found, obj
    assert obj["subcode"] == f"{found.group(1)}-{found.group(2)}"
    assert (obj["stage"], obj["code"]) == (int(found.group(1)), int(found.group(2)))
    assert obj["stage"] == 502  # a bulk transfer of the load
    assert obj["lines"] == obj["text"].split("\n") and obj["lines"][-1] == found.group(0)
    assert err.splitlines() == [f"pelmo: {line}" for line in obj["lines"]]


def test_help_tells_the_exit_statuses():
    p = run_pelmo("--help")
    assert p.returncode == 0
    text = " ".join(p.stdout.split())
    for part in ("0 success", "1 the operation failed (find: no USB unit answers)", "2 usage error",
                 "130 interrupted", "143 SIGTERM"):
        assert part in text
    assert "exit status 1 when none does" in " ".join(run_pelmo("find", "--help").stdout.split())


def test_library_not_found_is_status_1(tmp_path: Path):
    p = run_pelmo("--unit", "virtual", "checksum", PELMO_EMUCORE=str(tmp_path / "none.so"))
    assert p.returncode == 1
    assert "cannot find the emucore library" in p.stderr


def test_environment_picks_unit_and_eprom():
    status, obj, _ = run_json("checksum", PELMO_UNIT="virtual", PELMO_EPROM="2764")
    assert status == 0 and (obj["unit"], obj["eprom"], obj["size"]) == ("virtual", "2764", 0x2000)


class _Terminal:
    """The command with its standard error on a pseudo-terminal (standard
    output a pipe): what the terminal shows, read as it comes."""

    def __init__(self, args: list[str], env: dict[str, str], cwd: Path) -> None:
        self.master, slave = pty.openpty()
        self.proc = subprocess.Popen([sys.executable, "-m", "pelmo", *args], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=slave, env=env, cwd=cwd)
        os.close(slave)
        self.shown = b""
        self.ended = False

    def _more(self) -> bool:
        ready, _, _ = select.select([self.master], [], [], 120)
        assert ready, f"the command neither wrote nor ended within two minutes: {self.shown[-200:]!r}"
        try:
            chunk = os.read(self.master, 4096)
        except OSError:  # the command ended and closed the terminal
            chunk = b""
        self.shown += chunk
        self.ended = not chunk
        return not self.ended

    def wait_for(self, text: str) -> None:
        """Reads until the terminal shows `text`."""
        while text.encode() not in self.shown:
            assert self._more(), f"ended without showing {text!r}: {self.shown!r}"

    def finish(self) -> tuple[int, str, str]:
        """Reads to the end: the status, what the terminal showed, standard output."""
        while not self.ended and self._more():
            pass
        os.close(self.master)
        out = self.proc.stdout.read().decode("latin-1")
        return self.proc.wait(timeout=120), self.shown.decode("latin-1"), out


def _run_on_terminal(args: list[str], env: dict[str, str], cwd: Path) -> tuple[int, str]:
    """Runs the command with its standard error on a pseudo-terminal; returns
    the status and what the terminal showed."""
    status, shown, _ = _Terminal(args, env, cwd).finish()
    return status, shown


# Every bulk transfer takes 400 ms, so a load of 32 KB or a write of 128 KB (which
# reads in larger transfers) runs well over a second.
SLOW = "unit=0,ram=256,bulkdelay=400"


@pytest.mark.parametrize("args, what", [(["load", "fw.bin"], "loading fw.bin"),
                                        (["write", "out.hex", "--eprom", "27010"], "writing out.hex")])
def test_busy_line_on_a_terminal_only(tmp_path: Path, args, what):
    (tmp_path / "fw.bin").write_bytes(bytes(range(256)) * 128)
    env = child_env(SLOW)
    status, shown = _run_on_terminal(args, env, tmp_path)
    assert status == 0
    assert what in shown and " s" in shown
    assert shown.endswith("\r\x1b[K"), repr(shown[-40:])
    (tmp_path / "out.hex").unlink(missing_ok=True)
    p = run_pelmo(*args, sim=SLOW, cwd=tmp_path)
    assert p.returncode == 0 and p.stderr == ""
    (tmp_path / "out.hex").unlink(missing_ok=True)
    status, shown = _run_on_terminal([*args, "--no-progress"], env, tmp_path)
    assert (status, shown) == (0, "")


@pytest.mark.parametrize("signals, status, text", [
    # One signal: the library's call under way ends, the unit is closed, then the
    # command ends. A second one ends it at once.
    ([signal.SIGINT], 130, "interrupted"),
    ([signal.SIGTERM], 143, "terminated"),
    ([signal.SIGINT, signal.SIGINT], 130, "interrupted"),
])
def test_an_ending_signal_during_a_load(tmp_path: Path, signals, status, text):
    (tmp_path / "fw.bin").write_bytes(bytes(range(256)) * 128)
    term = _Terminal(["load", "fw.bin", "--json"], child_env(SLOW), tmp_path)
    term.wait_for("loading fw.bin")  # the busy line: the load is under way
    for sig in signals:
        term.proc.send_signal(sig)
        term.wait_for(f"pelmo: {text}")
    got, shown, out = term.finish()
    assert got == status
    assert "Traceback" not in shown and shown.count("pelmo: ") == 1
    assert "Completed" not in out
    if len(signals) == 1:
        assert json.loads(out) == {"command": "load", "ok": False, "status": status, "error": "interrupted",
                                   "message": text}
    else:
        assert out == ""  # ended at once, in the middle of the library's call
