"""The pelmo command in child processes: exit statuses, --json, options before
or after the command, the hex dump, and the busy line on a terminal only."""
from __future__ import annotations

import os
import pty
import select
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import as_binary, child_env, random_image, run_json, run_pelmo

FRESH_SUM = 0xFF * 0x8000  # a simulated unit's RAM starts erased (all FF)


@pytest.mark.parametrize("args", [
    ["--unit", "virtual", "--eprom", "27512", "fill", "0x33"],
    ["fill", "0x33", "--unit", "virtual", "--eprom", "27512"],
    ["--unit", "virtual", "fill", "--eprom", "27512", "51"],
])
def test_common_options_before_or_after_the_command(args):
    status, obj, err = run_json(*args)
    assert (status, err) == (0, "")
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


def test_library_not_found_is_status_1(tmp_path: Path):
    p = run_pelmo("--unit", "virtual", "checksum", PELMO_EMUCORE=str(tmp_path / "none.so"))
    assert p.returncode == 1
    assert "cannot find the emucore library" in p.stderr


def test_environment_picks_unit_and_eprom():
    status, obj, _ = run_json("checksum", PELMO_UNIT="virtual", PELMO_EPROM="2764")
    assert status == 0 and (obj["unit"], obj["eprom"], obj["size"]) == ("virtual", "2764", 0x2000)


def _run_on_terminal(args: list[str], env: dict[str, str], cwd: Path) -> tuple[int, str]:
    """Runs the command with its standard error on a pseudo-terminal; returns
    the status and what the terminal showed."""
    master, slave = pty.openpty()
    proc = subprocess.Popen([sys.executable, "-m", "pelmo", *args], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=slave, env=env, cwd=cwd)
    os.close(slave)
    shown = b""
    while True:
        ready, _, _ = select.select([master], [], [], 120)
        assert ready, "the command neither wrote nor ended within two minutes"
        try:
            chunk = os.read(master, 4096)
        except OSError:  # the command ended and closed the terminal
            break
        if not chunk:
            break
        shown += chunk
    os.close(master)
    proc.stdout.read()
    return proc.wait(timeout=120), shown.decode("latin-1")


def test_busy_line_on_a_terminal_only(tmp_path: Path):
    (tmp_path / "fw.bin").write_bytes(bytes(range(256)) * 128)
    # Every bulk transfer takes 400 ms, so the load runs well over a second.
    env = child_env("unit=0,ram=256,bulkdelay=400")
    status, shown = _run_on_terminal(["load", "fw.bin"], env, tmp_path)
    assert status == 0
    assert "loading fw.bin" in shown and " s" in shown
    assert shown.endswith("\r\x1b[K"), repr(shown[-40:])
    p = run_pelmo("load", "fw.bin", sim="unit=0,ram=256,bulkdelay=400", cwd=tmp_path)
    assert p.returncode == 0 and p.stderr == ""
    status, shown = _run_on_terminal(["load", "fw.bin", "--no-progress"], env, tmp_path)
    assert (status, shown) == (0, "")
