"""pelmo: drive an EPROM emulator unit from Python.

A thin layer over the emucore library (libemucore.so.1): open a unit, load,
verify, fill, checksum, write and read its RAM, and drive the target's reset
line, with every failure raised as an exception that carries the library's own
text.

    import pelmo

    with pelmo.Emulator(unit=0, eprom="27512") as emu:
        emu.load("build/firmware.hex")          # written and read back
        emu.pulse(100)                          # restart the target on it
        print(hex(emu.checksum()))

Units are 0..3 (USB) or "virtual" (RAM in this process, for trying things
without hardware). pelmo.find() lists the USB units that answer.

The library keeps one current unit per process, so one Emulator can be open at
a time; a second open raises UnitInUseError. Calls are serialised, so threads
may share an Emulator.

Exceptions (all EmulatorError, with .text, .lines and .subcode):
    LibraryNotFoundError  the library cannot be found (set PELMO_EMUCORE)
    ArgumentError         a bad argument, the package's or the library's own
                          refusal (also a ValueError); nothing was done
    UnitInUseError        another Emulator is open in this process
    UnitNotFoundError     the unit does not answer
    DeviceError           the unit failed during an operation
    VerifyError           a byte read back differs (.address, .expected, .got)
    ImageFileError        an image file cannot be read, is not a valid image
                          (the library's LOAD FAILURE), or cannot be made

The library is looked for in PELMO_EMUCORE, then beside the installed package,
then as libemucore.so.1 and libemucore.so on the system's library path, then in
the build tree (build/lib) when running from the source folder.

The command "pelmo" (or python3 -m pelmo) does the same from the shell; it
checks every argument before it opens the unit, and ends with status 130 on
SIGINT (143 on SIGTERM).
"""
from ._devices import EPROM_TYPES, VIRTUAL, eprom_size
from ._library import library_path
from .emulator import Emulator, Result, find
from .errors import (ArgumentError, DeviceError, EmulatorError, ImageFileError, LibraryNotFoundError,
                     UnitInUseError, UnitNotFoundError, VerifyError)

__all__ = [
    "Emulator", "Result", "find", "library_path", "eprom_size", "EPROM_TYPES", "VIRTUAL",
    "EmulatorError", "LibraryNotFoundError", "ArgumentError", "UnitInUseError", "UnitNotFoundError",
    "DeviceError", "VerifyError", "ImageFileError",
]
__version__ = "1.0"
