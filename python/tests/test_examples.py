"""The firmware CI example, run as its users run it: pytest in a child process,
on a simulated USB unit, with a good unit and a broken one."""
from __future__ import annotations

import subprocess
import sys
from pathlib import Path

from conftest import PACKAGE_DIR, child_env, srec

EXAMPLE = PACKAGE_DIR / "examples" / "test_firmware_ci.py"


def run_example(tmp_path: Path, sim: str, **env: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(EXAMPLE)],
                          capture_output=True, text=True, cwd=tmp_path, timeout=300, stdin=subprocess.DEVNULL,
                          env=child_env(sim, PELMO_UNIT="1", PELMO_EPROM="27512", **env))


def test_example_passes_on_a_good_unit(tmp_path: Path):
    srec(tmp_path, "-generate", "0", "0x10000", "-random", "-o", "fw.s37", "-motorola", "-address-length=4")
    p = run_example(tmp_path, "unit=1,ram=512", FIRMWARE=str(tmp_path / "fw.s37"))
    assert p.returncode == 0, p.stdout + p.stderr
    assert "1 passed" in p.stdout


def test_example_fails_on_a_unit_with_a_stuck_bit(tmp_path: Path):
    # Bit 0 of every byte of the image is set; at RAM address 0x100 it reads as 0.
    (tmp_path / "fw.bin").write_bytes(b"\x55" * 0x10000)
    p = run_example(tmp_path, "unit=1,ram=512,fault=stuck:0x100:0x01:0x00", FIRMWARE=str(tmp_path / "fw.bin"))
    assert p.returncode == 1, p.stdout + p.stderr
    assert "VerifyError" in p.stdout and "UNCORRECTABLE ERROR WRITING EMULATOR RAM" in p.stdout
