"""pelmo read --out: the output file rules the library keeps for its own image
files (no planted link followed, no device or FIFO written through a link, a
replaced file swapped in whole or not at all)."""
from __future__ import annotations

import json
import os
import resource
import signal
import stat
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import child_env, run_json

OLD = b"old contents\n"


def _read_out(cwd: Path, name: str, length: int = 0x8000, **run: object) -> tuple[int, dict]:
    """read --out of a fresh virtual unit (its bytes are all FF)."""
    status, obj, _ = run_json("--unit", "virtual", "read", "0", hex(length), "--out", name, cwd=cwd, **run)
    return status, obj


def _link(at: Path, to: str) -> Path:
    at.symlink_to(to)
    return at


@pytest.fixture
def fifo(tmp_path: Path) -> Path:
    path = tmp_path / "fifo"
    os.mkfifo(path)
    return path


@pytest.mark.parametrize("target, refusal", [("fifo", "is a link to a FIFO, not to a regular file"),
                                             ("/dev/null", "is a link to a character device, not to a regular file")])
def test_a_link_to_a_device_or_fifo_is_refused(tmp_path: Path, fifo: Path, target, refusal):
    link = _link(tmp_path / "out.bin", str(fifo) if target == "fifo" else target)
    # A FIFO nobody reads would hang an open for writing: the refusal comes first.
    status, obj = _read_out(tmp_path, "out.bin")
    assert (status, obj["error"]) == (1, "ImageFileError")
    assert obj["message"] == f"ERROR OPENING OUTPUT FILE (out.bin {refusal})"
    assert stat.S_ISFIFO(fifo.stat().st_mode) and os.readlink(link) == (str(fifo) if target == "fifo" else target)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["fifo", "out.bin"]


def test_a_fifo_named_directly_is_written_in_place(tmp_path: Path, fifo: Path):
    # Without a reader it fails at once rather than hanging; with one it gets the bytes.
    status, obj = _read_out(tmp_path, "fifo", 0x10)
    assert (status, obj["error"]) == (1, "ImageFileError") and "No such device or address" in obj["message"]
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    try:
        status, obj = _read_out(tmp_path, "fifo", 0x10)
        assert status == 0, obj
        assert os.read(reader, 100) == b"\xff" * 0x10
    finally:
        os.close(reader)
    assert stat.S_ISFIFO(fifo.stat().st_mode)


@pytest.mark.skipif(os.geteuid() != 0, reason="planting a link of another user needs root (lchown)")
def test_a_link_planted_in_a_shared_sticky_folder_is_not_followed(tmp_path: Path):
    shared = tmp_path / "shared"
    shared.mkdir()
    shared.chmod(0o1777)
    victim = tmp_path / "victim"
    victim.write_bytes(OLD)
    link = _link(shared / "out.bin", str(victim))
    os.lchown(link, 65534, 65534)  # someone else's link, in a folder of root's
    status, obj = _read_out(tmp_path, "shared/out.bin")
    assert (status, obj["error"]) == (1, "ImageFileError")
    assert "shared/out.bin is a link in a shared sticky folder, owned by another user: not followed" in obj["message"]
    assert victim.read_bytes() == OLD
    # The user's own link there is followed.
    os.lchown(link, os.geteuid(), os.getegid())
    assert _read_out(tmp_path, "shared/out.bin", 0x10)[0] == 0
    assert victim.read_bytes() == b"\xff" * 0x10 and link.is_symlink()


def test_a_replaced_file_keeps_its_mode_and_its_other_names(tmp_path: Path):
    (tmp_path / "out.bin").write_bytes(OLD)
    (tmp_path / "out.bin").chmod(0o640)
    status, obj = _read_out(tmp_path, "out.bin", 0x20)
    assert status == 0, obj
    assert (tmp_path / "out.bin").read_bytes() == b"\xff" * 0x20
    assert stat.S_IMODE((tmp_path / "out.bin").stat().st_mode) == 0o640
    # Through a link to a file of its own folder, and onto a file with a second name.
    os.link(tmp_path / "out.bin", tmp_path / "other-name")
    _link(tmp_path / "via-link", "out.bin")
    assert _read_out(tmp_path, "via-link", 0x30)[0] == 0
    assert (tmp_path / "other-name").read_bytes() == b"\xff" * 0x30
    assert (tmp_path / "via-link").is_symlink()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["other-name", "out.bin", "via-link"]


def _limit_file_size() -> None:
    # Files may grow to 4 KB: a longer write fails with EFBIG, as a full disk would.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))


def test_a_failed_write_leaves_the_old_file_and_no_temporary(tmp_path: Path):
    (tmp_path / "out.bin").write_bytes(OLD)
    p = subprocess.run([sys.executable, "-m", "pelmo", "--unit", "virtual", "--json", "read", "0", "0x8000",
                        "--out", "out.bin"], capture_output=True, text=True, cwd=tmp_path, env=child_env(),
                       timeout=120, preexec_fn=_limit_file_size)
    obj = json.loads(p.stdout)
    assert (p.returncode, obj["error"]) == (1, "ImageFileError"), p.stderr
    assert obj["message"] == "OUTPUT DISK WRITE ERROR (File too large)"
    assert (tmp_path / "out.bin").read_bytes() == OLD
    assert [p.name for p in tmp_path.iterdir()] == ["out.bin"]
