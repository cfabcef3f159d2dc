"""Finding and binding the emucore library (libemucore.so.1) with ctypes."""
from __future__ import annotations

import ctypes
import os
import sysconfig
import threading
from pathlib import Path
from typing import Optional

from .errors import LibraryNotFoundError

SONAME = "libemucore.so.1"
LINKNAME = "libemucore.so"
TEXT_SIZE = 1000  # the library writes at most this much text, its NUL included

_i32 = ctypes.c_int32
_str = ctypes.c_char_p
_SIGNATURES: dict[str, tuple[list, type]] = {
    "VXAInit": ([], _i32),
    "VXAFind": ([], _i32),
    "VXAOpen": ([_i32, _i32], _i32),
    "VXASetReset": ([_i32, _i32, _i32], _i32),
    "VXAQTest": ([_i32, _i32, _i32], _i32),
    "VXALoad": ([_str, _str] + [_i32] * 9, _i32),
    "VXAFill": ([_str] + [_i32] * 8, _i32),
    "VXAWrite": ([_str, _str] + [_i32] * 11 + [_str] + [_i32] * 4, _i32),
    "VXACksum": ([_str, ctypes.POINTER(ctypes.c_uint32)] + [_i32] * 6, _i32),
    "VXAViewOpen": ([_str] + [_i32] * 4, _i32),
    "VXAViewFormat": ([_str, _i32, _i32, _i32], _i32),
    "VXAViewClose": ([], _i32),
}


def candidates() -> list[str]:
    """Where the library is looked for, in order.

    PELMO_EMUCORE (a file, or a folder holding it) is the only place when set.
    Otherwise: the libemucore.so.1 installed beside this package (for a package
    under <prefix>/lib/python3/dist-packages or lib/python3.X/dist-packages or
    site-packages: <prefix>/lib[/MULTIARCH]), libemucore.so.1 and then
    libemucore.so through the system's library search, and last the build
    tree's build/lib when the package runs from its source folder.
    """
    named = os.environ.get("PELMO_EMUCORE")
    if named:
        path = Path(named)
        if path.is_dir():
            return [str(path / SONAME), str(path / LINKNAME)]
        return [named]
    here = Path(__file__).resolve().parent
    found: list[str] = []
    if here.parent.name in ("dist-packages", "site-packages") and len(here.parents) >= 4:
        prefix = here.parents[3]
        libdirs = ["lib"]
        multiarch = sysconfig.get_config_var("MULTIARCH")
        if multiarch:
            libdirs.append(f"lib/{multiarch}")
        for libdir in libdirs:
            found.append(str(prefix / libdir / SONAME))
    found += [SONAME, LINKNAME]
    build = here.parent.parent / "build" / "lib"
    found += [str(build / SONAME), str(build / LINKNAME)]
    return found


class Library:
    """The twelve exports of one loaded copy of the library."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.dll = ctypes.CDLL(path)
        for name, (args, result) in _SIGNATURES.items():
            try:
                fn = getattr(self.dll, name)
            except AttributeError:
                raise LibraryNotFoundError(f"{path} is not the emucore library: it has no {name}") from None
            fn.argtypes = args
            fn.restype = result
            setattr(self, name, fn)


_loaded: Optional[Library] = None
_lock = threading.Lock()


def _is_path(name: str) -> bool:
    return "/" in name


def library() -> Library:
    """The library, loaded at the first call and kept for the life of the process."""
    global _loaded
    with _lock:
        if _loaded is not None:
            return _loaded
        tried: list[str] = []
        for name in candidates():
            if _is_path(name) and not os.path.exists(name):
                tried.append(f"{name} (no such file)")
                continue
            try:
                lib = Library(name)
            except OSError as e:
                tried.append(f"{name} ({e})" if _is_path(name) else f"{name} (not on the library path)")
                continue
            lib.VXAInit()
            _loaded = lib
            return lib
        where = "; ".join(tried)
        raise LibraryNotFoundError(
            f"cannot find the emucore library {SONAME}: tried {where}. "
            "Install it, or set PELMO_EMUCORE to the path of libemucore.so")


def library_path() -> str:
    """The file or name the library was loaded from (loading it if need be)."""
    return library().path
