"""The Emulator: one unit opened, sized and driven through the library."""
from __future__ import annotations

import ctypes
import os
import threading
from dataclasses import dataclass, field
from typing import Optional, Union

from . import _devices
from ._devices import Unit
from ._library import TEXT_SIZE, library
from .errors import (ArgumentError, DeviceError, EmulatorError, ImageFileError, UnitInUseError,
                     UnitNotFoundError, from_library_text)

PathLike = Union[str, "os.PathLike[str]"]

# The library keeps one current unit for the whole process and must not be
# called from two threads at once.
_calls = threading.RLock()
_current: Optional["Emulator"] = None

# The library has no close export: an open of a unit number no transport has
# closes the current unit first and then fails, leaving no unit open.
_NO_SUCH_UNIT = 5

_FORMATS: dict[str, int] = {"bin": 0, "binary": 0, "hex": 1, "hex32": 2, "s": 3, "srec": 3, "s19": 3,
                            "s28": 4, "s37": 5}
_MODES: dict[str, int] = {"create": 0, "append": 1, "replace": 2}
_DUMP_LINE = 64  # bytes per view line when reading back


@dataclass(frozen=True)
class Result:
    """The library's text for an operation that succeeded.

    ``text`` is the text as the library gave it (lines separated by carriage
    returns); ``lines`` holds its lines; ``str(result)`` joins them with line feeds.
    """

    text: str
    lines: list[str] = field(default_factory=list)

    @classmethod
    def of(cls, text: str) -> "Result":
        return cls(text, [line for line in text.replace("\n", "\r").split("\r") if line])

    def __str__(self) -> str:
        return "\n".join(self.lines)


def _u32(name: str, value: int) -> int:
    """A 32-bit unsigned argument, as the library's signed 32-bit parameter."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise ArgumentError(f"{name} must be an integer, not {value!r}")
    if not 0 <= value <= 0xFFFFFFFF:
        raise ArgumentError(f"{name} {value:#x} is outside 0..0xFFFFFFFF")
    return value - (1 << 32) if value >= 1 << 31 else value


def _text(buffer: ctypes.Array) -> str:
    return buffer.value.decode("latin-1")


def _encode(name: str, text: str) -> bytes:
    try:
        return text.encode("latin-1")
    except UnicodeEncodeError:
        raise ArgumentError(f"{name} must be single-byte (Latin-1) text: {text!r}") from None


def _device_failure(code: int) -> str:
    return f"DEVICE FAILURE (SUBCODE 000-{code})"


def find() -> list[int]:
    """The USB unit numbers (0..3) that answer, in order.

    Each unit is opened and closed again, as the library's VXAFind does; nothing
    is written to it. The virtual unit is always there and is not listed. Raises
    UnitInUseError while an Emulator is open in this process (looking for units
    would close it).
    """
    with _calls:
        if _current is not None:
            raise UnitInUseError(f"cannot look for units while {_current!r} is open in this process")
        lib = library()
        found = []
        for unit in range(4):
            if lib.VXAOpen(unit, 5) > 0:
                found.append(unit)
            lib.VXAOpen(_NO_SUCH_UNIT, 0)
        return found


class Emulator:
    """One emulator unit, opened and sized, as a context manager.

        with pelmo.Emulator(unit="virtual", eprom="27256") as emu:
            emu.fill(0xFF)
            assert emu.checksum() == 0xFF * 0x8000

    Args:
        unit: 0..3 for a USB unit, "virtual" for a unit simulated in memory.
        eprom: the EPROM type the unit emulates ("27256", "27512", or an alias
            of the device table such as "32K").
        fold: how the image is placed in a RAM larger than the device: "none",
            "socket" (the default, as the windowed application has it) or "full".
        reset_pulse_ms: the width of pulse() when it is given none.
        auto_reset: hold the target in reset (reset_active) during every
            operation and set it to reset_inactive afterwards.
        reset_active: the level that holds the target in reset: "low", "high"
            or "released".
        reset_inactive: the level that lets it run; the line is set to it when
            the unit has been opened.

    Opening (``with`` or open()) opens the unit, sizes its RAM and sets the reset
    line to reset_inactive. One Emulator can be open per process, because the
    library keeps one current unit: opening a second one raises UnitInUseError.
    """

    def __init__(self, unit: Unit = 0, eprom: Union[str, int] = "27256", fold: Union[str, int] = "socket",
                 reset_pulse_ms: int = 10, *, auto_reset: bool = False, reset_active: Union[str, int] = "low",
                 reset_inactive: Union[str, int] = "released") -> None:
        try:
            self._unit = _devices.unit_number(unit)
            self._eprom, self._type = _devices.eprom_type(eprom)
            self._fold = _devices.fold_mode(fold)
            self._active = _devices.reset_level(reset_active)
            self._inactive = _devices.reset_level(reset_inactive)
        except ValueError as e:
            raise ArgumentError(str(e)) from None
        if isinstance(reset_pulse_ms, bool) or not isinstance(reset_pulse_ms, int) or not 0 <= reset_pulse_ms < 1 << 31:
            raise ArgumentError(f"reset_pulse_ms must be a number of milliseconds, not {reset_pulse_ms!r}")
        self.reset_pulse_ms = reset_pulse_ms
        self._auto = 1 if auto_reset else 0
        self._size = 1024 << self._type
        self._ram_kb = 0
        self._open = False
        self.last_text: str = ""
        """The library's text of the last operation, success or failure."""

    # Properties -----------------------------------------------------------

    @property
    def unit(self) -> Unit:
        """The unit: 0..3, or "virtual"."""
        return _devices.unit_name(self._unit)

    @property
    def eprom(self) -> str:
        """The EPROM type by its main name ("27256")."""
        return self._eprom

    @property
    def size(self) -> int:
        """The size of the emulated device in bytes."""
        return self._size

    @property
    def ram_kb(self) -> int:
        """The unit's RAM in KB, as sized when it was opened (0 before)."""
        return self._ram_kb

    @property
    def is_open(self) -> bool:
        """Whether this Emulator holds the process's unit."""
        return self._open

    def __repr__(self) -> str:
        state = "open" if self._open else "closed"
        return f"<pelmo.Emulator unit={self.unit!r} eprom={self._eprom!r} {state}>"

    # Opening and closing ------------------------------------------------------

    def open(self) -> "Emulator":
        """Opens and sizes the unit, then sets its reset line to reset_inactive.

        Raises UnitInUseError when another Emulator is open, UnitNotFoundError
        when the unit does not answer, DeviceError when sizing fails, and
        EmulatorError when the unit's RAM is smaller than the EPROM type.
        """
        global _current
        with _calls:
            if self._open:
                return self
            if _current is not None:
                raise UnitInUseError(f"{_current!r} is already open in this process (the library drives one unit "
                                     "at a time): close it, or leave its with block, first")
            lib = library()
            size = lib.VXAOpen(self._unit, self._type)
            if size < 1:
                raise UnitNotFoundError([f"UNABLE TO ACCESS UNIT {self._unit}", _device_failure(-size)])
            kb = lib.VXAQTest(self._auto, self._active, self._inactive)
            if kb <= 0:
                lib.VXAOpen(_NO_SUCH_UNIT, 0)
                raise DeviceError(_device_failure(-kb))
            if size > kb * 1024:
                lib.VXAOpen(_NO_SUCH_UNIT, 0)
                raise EmulatorError(["Insufficient RAM for requested device type on",
                                     f"selected unit, max emulated ROM is {kb}K bytes"])
            r = lib.VXASetReset(self._inactive, 0, self._inactive)
            if r < 0:
                lib.VXAOpen(_NO_SUCH_UNIT, 0)
                raise DeviceError(_device_failure(-r))
            self._size, self._ram_kb, self._open = size, kb, True
            _current = self
            return self

    def close(self) -> None:
        """Closes the unit (the reset line stays as it is). Closing twice is harmless."""
        global _current
        with _calls:
            if not self._open:
                return
            lib = library()
            lib.VXAViewClose()
            lib.VXAOpen(_NO_SUCH_UNIT, 0)
            self._open = False
            _current = None

    def __enter__(self) -> "Emulator":
        return self.open()

    def __exit__(self, *exc: object) -> None:
        self.close()

    # Checks made before the library is called, so that a bad argument never
    # reaches the unit (not even its reset line).

    def _ready(self) -> None:
        if not self._open:
            raise EmulatorError(f"{self!r} is not open: use it in a with block or call open() first")

    def _range(self, start: int, length: int) -> tuple[int, int]:
        _u32("start", start)
        _u32("length", length)
        if start >= self._size:
            raise ArgumentError(f"INVALID START ARGUMENT\r{start:05X} is past the {self._eprom} ({self._size:X} bytes)")
        if start + (length or self._size - start) > self._size:
            raise ArgumentError(f"INVALID LENGTH ARGUMENT\r{start:05X} + {length:X} bytes is past the "
                                f"{self._eprom} ({self._size:X} bytes)")
        return start, length or self._size - start

    def _frame(self) -> tuple[int, int, int]:
        return self._auto, self._active, self._inactive

    def _finish(self, result: int, buffer: ctypes.Array) -> Result:
        self.last_text = _text(buffer)
        if result == 0:
            return Result.of(self.last_text)
        if result < 0:
            raise EmulatorError("the library has no unit open and sized (was it opened by someone else?)")
        raise from_library_text(self.last_text)

    def _check_load(self, path: PathLike, verify: Union[bool, str], start: int, length: int, target: int,
                    width: int) -> tuple[bytes, int]:
        """The checks of load() that need no open unit: its file name and mode."""
        modes = {True: 1, False: 0, "only": 2}
        if verify not in modes or (isinstance(verify, int) and not isinstance(verify, bool)):
            raise ArgumentError(f"verify must be True, False or 'only', not {verify!r}")
        name = os.fsencode(os.fspath(path))
        for label, value in (("start", start), ("length", length), ("target", target), ("width", width)):
            _u32(label, value)
        if target >= self._size:
            raise ArgumentError(f"INVALID TARGET ADDRESS ARGUMENT\r{target:05X} is past the {self._eprom}")
        if length and target + length > self._size:
            raise ArgumentError(f"INVALID LENGTH ARGUMENT\r{target:05X} + {length:X} bytes is past the "
                                f"{self._eprom} ({self._size:X} bytes)")
        if width > 256:
            raise ArgumentError("INVALID WIDTH ARGUMENT")
        if len(name) < 300:
            try:
                with open(name, "rb"):
                    pass
            except OSError as e:
                raise ImageFileError(f"CAN'T OPEN LOAD FILE ({e.strerror})") from None
            if os.path.isdir(name):
                raise ImageFileError(f"CAN'T OPEN LOAD FILE ({os.strerror(21)})")
        return name, modes[verify]

    def _check_write(self, path: PathLike, format: str, start: int, length: int, mode: str,
                     signon: Optional[str], eof: bool, record_length: int, skip: Optional[int],
                     target: Optional[int], entry: Optional[int]) -> tuple:
        """The checks of write() that need no open unit: the library's arguments
        from the file name to the sign-on text."""
        fmt = _FORMATS.get(str(format).lower())
        if fmt is None:
            raise ArgumentError(f"format must be one of hex, hex32, s19, s28, s37, s or bin, not {format!r}")
        if mode not in _MODES:
            raise ArgumentError(f"mode must be create, replace or append, not {mode!r}")
        if isinstance(record_length, bool) or not isinstance(record_length, int) or not 1 <= record_length <= 255:
            raise ArgumentError(f"record_length must be 1..255, not {record_length!r}")
        if skip is not None and (isinstance(skip, bool) or not isinstance(skip, int) or not 0 <= skip <= 0xFF):
            raise ArgumentError(f"skip must be a byte value 0..0xFF or None, not {skip!r}")
        sign = b""
        if signon:
            if fmt < 3:
                raise ArgumentError("a sign-on record needs an S-record format")
            sign = _encode("signon", signon)
            if len(sign) > 252:
                raise ArgumentError("signon must fit one S0 record (252 characters)")
        name = os.fsencode(os.fspath(path))
        first, count = self._range(start, length)
        base = first if target is None else target
        last = base + count - 1
        top = max(last, entry or 0)
        _u32("target", base)
        _u32("entry", entry or 0)
        if last > 0xFFFFFFFF:
            raise ArgumentError(f"RECORD ADDRESSES RUN PAST FFFFFFFF\r{base:X} + {count:X} bytes")
        # The library refuses S28 past FFFFFF itself, but "s19" goes to it as its
        # narrowest-width S format, which would silently write S28 or S37.
        if str(format).lower() == "s28" and top > 0xFFFFFF:
            raise ArgumentError("ADDRESSING REQUIRES S37 FORMAT")
        if str(format).lower() == "s19" and top > 0xFFFF:
            raise ArgumentError(f"addresses up to {top:X} do not fit S19 records: use s28, s37 or s")
        if mode == "create" and os.path.lexists(name):
            raise ImageFileError("OUTPUT FILE ALREADY EXISTS")
        return (name, _u32("start", start), _u32("length", length), _MODES[mode], fmt, 1 if eof else 0,
                record_length, 0x100 if skip is None else skip, 0 if target is None else 1, _u32("target", base),
                0 if entry is None else 1, _u32("entry", entry or 0), sign)

    def _check_fill(self, value: int, start: int, length: int) -> None:
        """The checks of fill() that need no open unit."""
        if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= 0xFF:
            raise ArgumentError(f"INVALID FILL VALUE, 00 - FF REQUIRED\r{value!r}")
        self._range(start, length)

    def _check_read(self, start: int, length: int) -> None:
        """The checks of read() that need no open unit."""
        if isinstance(length, bool) or not isinstance(length, int) or length < 1:
            raise ArgumentError(f"length must be 1 or more, not {length!r}")
        self._range(start, length)

    @staticmethod
    def _check_pulse(width: int) -> None:
        if isinstance(width, bool) or not isinstance(width, int) or not 0 <= width < 1 << 31:
            raise ArgumentError(f"the pulse width must be a number of milliseconds, not {width!r}")

    # Operations -------------------------------------------------------------

    def load(self, path: PathLike, verify: Union[bool, str] = True, start: int = 0, length: int = 0,
             target: int = 0, width: int = 1) -> Result:
        """Loads an image file (Intel HEX, S-records, binary or ELF) into the unit.

        Args:
            path: the image file; its format is recognised from its first record.
            verify: True to read every byte back, False to write only, "only"
                to compare the unit's RAM with the file without writing.
            start: the first file address (HEX, S) or offset (binary) taken.
            length: how many bytes to place; 0 takes all the file holds.
            target: the device address that receives the byte at start.
            width: take every width-th byte of the file (1..256).

        Returns the library's text ("Load/Verify Completed with no errors ...").
        Raises VerifyError on a byte that does not match, ImageFileError when
        the file cannot be read, DeviceError when the unit fails, ArgumentError
        for a window outside the device.
        """
        with _calls:
            self._ready()
            name, mode = self._check_load(path, verify, start, length, target, width)
            buffer = ctypes.create_string_buffer(TEXT_SIZE)
            r = library().VXALoad(buffer, name, _u32("start", start), _u32("target", target), _u32("length", length),
                                  width or 1, mode, self._fold, *self._frame())
            return self._finish(r, buffer)

    def fill(self, value: int, start: int = 0, length: int = 0, check: bool = False, verify: bool = True) -> Result:
        """Fills a range of the device with one byte value.

        Args:
            value: the byte, 0..0xFF.
            start: the first device address.
            length: the number of bytes; 0 fills to the end of the device.
            check: only check that every byte of the range holds the value
                (nothing is written); a byte that differs raises VerifyError.
            verify: read every byte back after writing it.
        """
        with _calls:
            self._ready()
            self._check_fill(value, start, length)
            mode = 2 if check else 1 if verify else 0
            buffer = ctypes.create_string_buffer(TEXT_SIZE)
            r = library().VXAFill(buffer, value, _u32("start", start), _u32("length", length), mode, self._fold,
                                  *self._frame())
            return self._finish(r, buffer)

    def checksum(self, start: int = 0, length: int = 0) -> int:
        """The sum of the bytes of a range, modulo 2**32 (length 0: to the end).

        The library's text ("CHECKSUM = 00FF-0000") is in last_text.
        """
        with _calls:
            self._ready()
            self._range(start, length)
            buffer = ctypes.create_string_buffer(TEXT_SIZE)
            total = ctypes.c_uint32(0)
            r = library().VXACksum(buffer, ctypes.byref(total), _u32("start", start), _u32("length", length),
                                   self._fold, *self._frame())
            self._finish(r, buffer)
            return total.value

    def write(self, path: PathLike, format: str = "hex", start: int = 0, length: int = 0, mode: str = "create",
              signon: Optional[str] = None, *, eof: bool = True, record_length: int = 32,
              skip: Optional[int] = None, target: Optional[int] = None, entry: Optional[int] = None) -> Result:
        """Writes a range of the unit's RAM to an image file.

        Args:
            path: the output file.
            format: "hex" (Intel HEX), "hex32" (HEX with 32-bit addresses),
                "s19", "s28", "s37" (S-records of that address width), "s" (the
                narrowest width the addresses allow) or "bin" (raw bytes).
            start: the first device address; length: the byte count (0: to the end).
            mode: "create" (refuse an existing file), "replace" or "append".
            signon: text for an S0 record (S-record formats only).
            eof: write the end record.
            record_length: data bytes per record, 1..255.
            skip: a byte value left out at the ends of records (as erased EPROM
                bytes are), or None to keep every byte.
            target: the record address of the byte at start (default: start).
            entry: a program entry address record, or None.
        """
        with _calls:
            self._ready()
            args = self._check_write(path, format, start, length, mode, signon, eof, record_length, skip, target,
                                     entry)
            buffer = ctypes.create_string_buffer(TEXT_SIZE)
            r = library().VXAWrite(buffer, *args, self._fold, *self._frame())
            return self._finish(r, buffer)

    def _view(self) -> None:
        lib = library()
        lib.VXAViewClose()  # a snapshot left open would show old contents
        buffer = ctypes.create_string_buffer(TEXT_SIZE)
        r = lib.VXAViewOpen(buffer, self._fold, *self._frame())
        if r != 0:
            self.last_text = _text(buffer)
            raise from_library_text(self.last_text)

    def _format(self, start: int, length: int, per_line: int) -> str:
        lines = (start % per_line + length + per_line - 1) // per_line
        out = ctypes.create_string_buffer(lines * (14 + 4 * per_line) + 1)
        if library().VXAViewFormat(out, start, length, per_line) != 0:
            raise EmulatorError(_text(out))
        return _text(out)

    def read(self, start: int, length: int) -> bytes:
        """The bytes of a range of the unit's RAM, read through a view snapshot."""
        with _calls:
            self._ready()
            self._check_read(start, length)
            self._view()
            try:
                data = bytearray()
                chunk = 0x10000
                for at in range(start, start + length, chunk):
                    text = self._format(at, min(chunk, start + length - at), _DUMP_LINE)
                    for line in text.split("\r\n"):
                        cells = line[9:9 + 3 * _DUMP_LINE].split()
                        data += bytes(int(c, 16) for c in cells if c != "--")
            finally:
                library().VXAViewClose()
            if len(data) != length:
                raise EmulatorError(f"the view gave {len(data)} bytes for {length}")
            return bytes(data)

    def dump(self, start: int = 0, length: int = 0, per_line: int = 16) -> str:
        """A hex dump of a range in the library's view format (length 0: to the end)."""
        if isinstance(per_line, bool) or not isinstance(per_line, int) or not 1 <= per_line <= 256:
            raise ArgumentError(f"per_line must be 1..256, not {per_line!r}")
        with _calls:
            self._ready()
            first, count = self._range(start, length)
            self._view()
            try:
                return self._format(first, count, per_line).replace("\r\n", "\n")
            finally:
                library().VXAViewClose()

    def reset(self, level: Union[str, int] = "active") -> None:
        """Sets the target's reset line: "low", "high", "released", or the
        Emulator's "active" or "inactive" level."""
        named = {"active": self._active, "inactive": self._inactive}
        try:
            value = named[level] if isinstance(level, str) and level in named else _devices.reset_level(level)
        except ValueError as e:
            raise ArgumentError(str(e)) from None
        self._set_reset(value, 0, value)

    def pulse(self, ms: Optional[int] = None) -> None:
        """Holds the target in reset (reset_active) for ms milliseconds (default
        reset_pulse_ms), then sets the line to reset_inactive."""
        width = self.reset_pulse_ms if ms is None else ms
        self._check_pulse(width)
        self._set_reset(self._active, width, self._inactive)

    def _set_reset(self, first: int, ms: int, second: int) -> None:
        with _calls:
            self._ready()
            r = library().VXASetReset(first, ms, second)
            if r < 0:
                raise DeviceError(_device_failure(-r))
