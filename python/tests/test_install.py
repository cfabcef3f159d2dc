"""Where the library is looked for, and the package as cmake --install lays it out."""
from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import pelmo
from pelmo import _library
from conftest import PACKAGE_DIR, child_env


def test_lookup_order_from_the_source_folder(monkeypatch):
    monkeypatch.delenv("PELMO_EMUCORE", raising=False)
    build = PACKAGE_DIR.parent / "build" / "lib"
    assert _library.candidates() == ["libemucore.so.1", "libemucore.so", str(build / "libemucore.so.1"),
                                     str(build / "libemucore.so")]


def test_pelmo_emucore_names_a_file_or_a_folder(monkeypatch, tmp_path: Path):
    monkeypatch.setenv("PELMO_EMUCORE", str(tmp_path))
    assert _library.candidates() == [str(tmp_path / "libemucore.so.1"), str(tmp_path / "libemucore.so")]
    monkeypatch.setenv("PELMO_EMUCORE", str(tmp_path / "x.so"))
    assert _library.candidates() == [str(tmp_path / "x.so")]


def _probe(env: dict[str, str], cwd: Path, python_path: Path) -> dict:
    env = dict(env, PYTHONPATH=str(python_path))
    code = ("import json, pelmo\nwith pelmo.Emulator(unit='virtual') as e:\n    e.fill(1)\n"
            "    print(json.dumps({'lib': pelmo.library_path(), 'file': pelmo.__file__, 'sum': e.checksum()}))")
    p = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, cwd=cwd, timeout=60)
    assert p.returncode == 0, p.stderr
    return json.loads(p.stdout)


def test_a_folder_in_pelmo_emucore(tmp_path: Path):
    lib = Path(pelmo.library_path())
    shutil.copy(lib, tmp_path / "libemucore.so")
    got = _probe(child_env(PELMO_EMUCORE=str(tmp_path)), tmp_path, PACKAGE_DIR)
    assert (got["lib"], got["sum"]) == (str(tmp_path / "libemucore.so"), 0x8000)


def test_installed_package_finds_the_library_beside_it(tmp_path: Path):
    site = tmp_path / "prefix" / "lib" / "python3" / "dist-packages"
    shutil.copytree(PACKAGE_DIR / "pelmo", site / "pelmo", ignore=shutil.ignore_patterns("__pycache__"))
    shutil.copy(pelmo.library_path(), tmp_path / "prefix" / "lib" / "libemucore.so.1")
    env = child_env()
    del env["PELMO_EMUCORE"]
    got = _probe(env, tmp_path, site)
    assert got["lib"] == str(tmp_path / "prefix" / "lib" / "libemucore.so.1")
    assert got["file"] == str(site / "pelmo" / "__init__.py")


def _cache(name: str) -> str:
    for line in (Path(os.environ["PELMO_BUILD_DIR"]) / "CMakeCache.txt").read_text().splitlines():
        if line.startswith(name + ":"):
            return line.split("=", 1)[1]
    return ""


def _site_folders(python: str) -> list[str]:
    code = "import json, sys; print(json.dumps([p for p in sys.path if p]))"
    return json.loads(subprocess.run([python, "-I", "-c", code], capture_output=True, text=True, check=True,
                                     timeout=60).stdout)


@pytest.mark.skipif(not os.environ.get("PELMO_BUILD_DIR"), reason="PELMO_BUILD_DIR (a configured build) not set")
@pytest.mark.parametrize("prefix", ["/usr", "/usr/local", "scratch"])
def test_cmake_install_of_the_component(tmp_path: Path, prefix: str):
    python = _cache("PELMO_PYTHON") or "/usr/bin/python3"
    if _cache("PELMO_PYTHON_PACKAGE_DIR"):
        pytest.skip("the build names its own folder for the package (PELMO_PYTHON_PACKAGE_DIR)")
    if prefix == "scratch":  # a prefix of its own, installed to directly
        root, prefix = tmp_path / "prefix", str(tmp_path / "prefix")
        env = None
    else:  # staged as a package build does
        root = tmp_path / "stage" / prefix.lstrip("/")
        env = dict(os.environ, DESTDIR=str(tmp_path / "stage"))
    subprocess.run(["cmake", "--install", os.environ["PELMO_BUILD_DIR"], "--component", "pelmo", "--prefix",
                    prefix], check=True, capture_output=True, timeout=120, env=env)
    found = sorted(root.glob("**/pelmo/__init__.py"))
    assert len(found) == 1, found
    package = found[0].parent
    folder = str(package.parent) if env is None else "/" + str(package.parent.relative_to(tmp_path / "stage"))
    version = "%d.%d" % tuple(json.loads(subprocess.run(
        [python, "-c", "import json, sys; print(json.dumps(sys.version_info[:2]))"], capture_output=True,
        text=True, check=True, timeout=60).stdout))
    if prefix == "/usr":
        assert folder == "/usr/lib/python3/dist-packages"
    elif prefix == "/usr/local":
        # Where the installed Python looks by itself: import pelmo needs no PYTHONPATH.
        assert folder in _site_folders(python)
    else:
        assert folder == f"{prefix}/lib/python{version}/site-packages"
    assert {"__init__.py", "__main__.py", "cli.py", "emulator.py", "_files.py"} <= {p.name for p in package.iterdir()}
    assert not (package / "__pycache__").exists()
    assert (root / "share" / "man" / "man1" / "pelmo.1.gz").is_file()
    launcher = root / "bin" / "pelmo"
    assert os.access(launcher, os.X_OK)
    # The launcher as a user runs it: no PYTHONPATH, another folder; it finds the
    # package beside itself, and the package the library (PELMO_EMUCORE still names it).
    clean = child_env()
    del clean["PYTHONPATH"]
    p = subprocess.run([str(launcher), "--help"], capture_output=True, text=True, env=clean, cwd=tmp_path,
                       timeout=60)
    assert p.returncode == 0 and p.stdout.startswith("usage: pelmo"), p.stderr
    p = subprocess.run([str(launcher), "--unit", "virtual", "fill", "2", "--json"], capture_output=True, text=True,
                       env=clean, cwd=tmp_path, timeout=60)
    assert p.returncode == 0, p.stderr
    assert json.loads(p.stdout)["ok"] is True
