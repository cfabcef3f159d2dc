"""The exceptions of pelmo: every failure is an EmulatorError.

The library reports a failure as text (messages separated by carriage returns)
and, for link failures, a subcode "stage-code". Each exception keeps that text
unchanged in ``text``, split into ``lines``, and the subcode when there is one.
"""
from __future__ import annotations

import re
from typing import Optional, Sequence, Union

_SUBCODE = re.compile(r"SUBCODE (\d+)-(\d+)")
_MISMATCH = re.compile(r"(?:UNCORRECTABLE ERROR WRITING|COMPARE ERROR IN) EMULATOR RAM AT LOCATION ([0-9A-F]+)")
_EXPECTED = re.compile(r"EXPECTED ([0-9A-F]{2}), GOT ([0-9A-F]{2})")


def _split(text: str) -> list[str]:
    return [line for line in re.split(r"[\r\n]+", text) if line]


class EmulatorError(Exception):
    """A failed emulator operation.

    Attributes:
        text: the library's text as it gave it (lines separated by carriage
            returns), or this package's own message.
        lines: the text split into its lines.
        subcode: "stage-code" of a link failure (as in "DEVICE FAILURE
            (SUBCODE 502-231)"), else None.
        stage: the first number of the subcode (where it failed), or None.
        code: the link error code (the second number), or None.
    """

    def __init__(self, message: Union[str, Sequence[str]]) -> None:
        text = message if isinstance(message, str) else "\r".join(message)
        self.text: str = text
        self.lines: list[str] = _split(text)
        found = _SUBCODE.search(text)
        self.subcode: Optional[str] = f"{found.group(1)}-{found.group(2)}" if found else None
        self.stage: Optional[int] = int(found.group(1)) if found else None
        self.code: Optional[int] = int(found.group(2)) if found else None
        super().__init__("\n".join(self.lines))


class LibraryNotFoundError(EmulatorError):
    """The emucore library cannot be found or is not the emucore library."""


class ArgumentError(EmulatorError, ValueError):
    """An argument the unit or the library does not accept (nothing was done)."""


class UnitInUseError(EmulatorError):
    """This process already has a unit open: the library keeps one at a time."""


class UnitNotFoundError(EmulatorError):
    """The unit does not answer (not attached, not powered, or another unit number)."""


class DeviceError(EmulatorError):
    """The unit failed during an operation (its subcode says where and how)."""


class VerifyError(EmulatorError):
    """The unit's RAM does not hold what was written or expected.

    Attributes:
        address: the device address of the first byte that differs.
        expected: the byte that should be there.
        got: the byte read from the unit.
    """

    def __init__(self, message: Union[str, Sequence[str]]) -> None:
        super().__init__(message)
        where = _MISMATCH.search(self.text)
        values = _EXPECTED.search(self.text)
        self.address: Optional[int] = int(where.group(1), 16) if where else None
        self.expected: Optional[int] = int(values.group(1), 16) if values else None
        self.got: Optional[int] = int(values.group(2), 16) if values else None


class ImageFileError(EmulatorError):
    """An image file cannot be read or is not a valid image, or the output file
    cannot be made (it exists in create mode, or it is refused: a link planted in
    a shared folder, a link to a device or FIFO)."""


_FILE_TEXTS = ("CAN'T OPEN LOAD FILE", "LOAD FILE IS EMPTY", "LOAD FILE IS TOO BIG", "ERROR READING LOAD FILE",
               "LOAD FILE NAME IS REQUIRED", "OUTPUT FILE ALREADY EXISTS", "ERROR OPENING OUTPUT FILE", "OUTPUT DISK",
               "Write incomplete")
# A file the library read but could not take as an image: "LOAD FAILURE: <why>
# (Line #n)", "VERIFY FAILURE: ..." (a broken record, a cut ELF file).
_MALFORMED = re.compile(r"^(?:LOAD|VERIFY) FAILURE: ", re.MULTILINE)
# The library's refusals of an argument, made before the unit or a file is touched.
_ARGUMENT_TEXTS = ("INVALID START ARGUMENT", "INVALID LENGTH ARGUMENT", "INVALID TARGET ADDRESS ARGUMENT",
                   "INVALID WIDTH ARGUMENT", "INVALID FILL VALUE", "INVALID FORMAT ARGUMENT",
                   "INVALID FILE MODE ARGUMENT", "INVALID RECORD LENGTH ARGUMENT", "RECORD ADDRESSES RUN PAST",
                   "File Name is Too Long", "ADDRESSING REQUIRES S37 FORMAT")


def from_library_text(text: str) -> EmulatorError:
    """The exception for a failure the library reported with this text."""
    if _MISMATCH.search(text):
        return VerifyError(text)
    if _SUBCODE.search(text):
        return DeviceError(text)
    if any(part in text for part in _FILE_TEXTS) or _MALFORMED.search(text.replace("\r", "\n")):
        return ImageFileError(text)
    if any(part in text for part in _ARGUMENT_TEXTS):
        return ArgumentError(text)
    return EmulatorError(text or "the operation failed and the library gave no text")
