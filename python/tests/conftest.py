"""Fixtures for the pelmo tests.

This process loads the library once and drives the virtual unit only (no
simulated USB units: PELMO_SIM_USB is removed before the library is loaded).
Everything that needs a fresh library, simulated USB units or the command runs
in a child process of its own, since the library keeps one unit and one USB bus
per process.
"""
from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Any, Optional

import pytest

PACKAGE_DIR = Path(__file__).resolve().parent.parent  # python/, holding pelmo/

# The library builds its simulated bus from this at its first USB open.
os.environ.pop("PELMO_SIM_USB", None)
os.environ.pop("emucoredebug", None)

import pelmo  # noqa: E402


def child_env(sim: Optional[str] = None, **extra: str) -> dict[str, str]:
    """The environment of a child process: this package first on the path, the
    library this process found, the simulated USB units `sim` (none if None)."""
    env = dict(os.environ)
    env["PYTHONPATH"] = str(PACKAGE_DIR) + os.pathsep + env.get("PYTHONPATH", "")
    env["PELMO_EMUCORE"] = pelmo.library_path()
    env.pop("PELMO_SIM_USB", None)
    env.pop("PELMO_UNIT", None)
    env.pop("PELMO_EPROM", None)
    if sim is not None:
        env["PELMO_SIM_USB"] = sim
    env.update(extra)
    return env


def run_pelmo(*args: str, sim: Optional[str] = None, cwd: Optional[Path] = None, timeout: float = 300,
              **env: str) -> subprocess.CompletedProcess:
    """Runs `python3 -m pelmo args` in a child process (pipes, no terminal)."""
    return subprocess.run([sys.executable, "-m", "pelmo", *args], capture_output=True, text=True, cwd=cwd,
                          env=child_env(sim, **env), timeout=timeout, stdin=subprocess.DEVNULL)


def run_json(*args: str, **kw: Any) -> tuple[int, dict[str, Any], str]:
    """Runs the command with --json: its status, its one JSON object, its stderr."""
    p = run_pelmo(*args, "--json", **kw)
    lines = p.stdout.splitlines()
    assert len(lines) == 1, f"one JSON line expected, got {p.stdout!r} (stderr {p.stderr!r})"
    return p.returncode, json.loads(lines[0]), p.stderr


def run_script(code: str, sim: Optional[str] = None, cwd: Optional[Path] = None, timeout: float = 300,
               **env: str) -> Any:
    """Runs Python code in a child process with a fresh library; the code prints
    one JSON value as its last line, which is returned."""
    p = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=cwd,
                       env=child_env(sim, **env), timeout=timeout, stdin=subprocess.DEVNULL)
    assert p.returncode == 0, f"child failed ({p.returncode}):\n{p.stdout}\n{p.stderr}"
    return json.loads(p.stdout.splitlines()[-1])


SREC_CAT = shutil.which("srec_cat")


def srec(cwd: Path, *args: str) -> None:
    """Runs srec_cat in cwd (the tests that need it are skipped without it)."""
    if SREC_CAT is None:
        pytest.skip("srec_cat (Debian package srecord) is not installed")
    subprocess.run([SREC_CAT, *args], cwd=cwd, check=True, capture_output=True, timeout=120)


def random_image(cwd: Path, name: str, size: int, out: tuple[str, ...] = ("-intel",),
                 informat: str = "-intel") -> bytes:
    """An image of `size` random bytes from address 0, made by srec_cat with the
    output options `out`, and its bytes as srec_cat reads them back."""
    srec(cwd, "-generate", "0", hex(size), "-random", "-o", name, *out)
    return as_binary(cwd, name, informat)


def as_binary(cwd: Path, name: str, informat: str, *filters: str) -> bytes:
    """The bytes of an image file as srec_cat reads it, from address 0."""
    srec(cwd, name, informat, *filters, "-o", "back.bin", "-binary")
    return (cwd / "back.bin").read_bytes()


@pytest.fixture
def virtual():
    """An open virtual 27256 unit, closed after the test."""
    with pelmo.Emulator(unit="virtual", eprom="27256") as emu:
        yield emu
