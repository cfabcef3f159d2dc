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


@pytest.mark.skipif(not os.environ.get("PELMO_BUILD_DIR"), reason="PELMO_BUILD_DIR (a configured build) not set")
def test_cmake_install_of_the_component(tmp_path: Path):
    prefix = tmp_path / "usr"
    subprocess.run(["cmake", "--install", os.environ["PELMO_BUILD_DIR"], "--component", "pelmo", "--prefix",
                    str(prefix)], check=True, capture_output=True, timeout=120)
    site = prefix / "lib" / "python3" / "dist-packages" / "pelmo"
    assert {"__init__.py", "__main__.py", "cli.py", "emulator.py"} <= {p.name for p in site.iterdir()}
    assert not (site / "__pycache__").exists()
    launcher = prefix / "bin" / "pelmo"
    assert os.access(launcher, os.X_OK)
    env = child_env()
    del env["PYTHONPATH"]
    # The launcher's interpreter may be another Python than this one: run it with this one.
    p = subprocess.run([sys.executable, str(launcher), "--unit", "virtual", "fill", "2", "--json"],
                       capture_output=True, text=True, env=env, cwd=tmp_path, timeout=60)
    assert p.returncode == 0, p.stderr
    assert json.loads(p.stdout)["ok"] is True
    p = subprocess.run([sys.executable, "-c", "import pelmo; print(pelmo.__file__)"], capture_output=True,
                       text=True, env=dict(env, PYTHONPATH=str(site.parent)), cwd=tmp_path, timeout=60)
    assert p.stdout.strip() == str(site / "__init__.py")
