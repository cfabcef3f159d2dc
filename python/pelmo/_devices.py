"""EPROM types, units, fold modes and reset levels by name."""
from __future__ import annotations

from typing import Union

# Each type with the aliases the device table knows it by; the library takes the
# type as an index into its size table (1024 << index), so 2716 is 1.
_TYPES: tuple[tuple[str, tuple[str, ...]], ...] = (
    ("2716", ("16", "2048", "800", "2K")),
    ("2732", ("32", "4096", "1000", "4K")),
    ("2764", ("64", "8192", "2000", "8K")),
    ("27128", ("128", "16384", "4000", "16K")),
    ("27256", ("256", "32768", "8000", "32K")),
    ("27512", ("512", "65536", "10000", "64K")),
    ("27010", ("010", "131072", "20000", "128K")),
    ("27020", ("020", "262144", "40000", "256K")),
    ("27040", ("040", "524288", "80000", "512K")),
    ("27080", ("080", "1048576", "100000", "1024K")),
)

EPROM_TYPES: tuple[str, ...] = tuple(name for name, _ in _TYPES)

_BY_NAME: dict[str, tuple[str, int]] = {}
for _index, (_name, _aliases) in enumerate(_TYPES, start=1):
    for _alias in (_name,) + _aliases:
        _BY_NAME[_alias.upper()] = (_name, _index)

VIRTUAL = "virtual"
VIRTUAL_UNIT_NUMBER = 4

Unit = Union[int, str]

FOLD_MODES: dict[str, int] = {"none": 0, "socket": 1, "full": 2}
RESET_LEVELS: dict[str, int] = {"low": 0, "high": 1, "released": 2, "hi-z": 2}
LEVEL_NAMES: tuple[str, ...] = ("low", "high", "released")


def eprom_type(eprom: Union[str, int]) -> tuple[str, int]:
    """The canonical name and the library's type number of an EPROM type or alias.

    Raises ValueError for a name the device table does not know.
    """
    key = str(eprom).strip().upper()
    try:
        return _BY_NAME[key]
    except KeyError:
        raise ValueError(f"unknown EPROM type {str(eprom)!r}: one of {', '.join(EPROM_TYPES)}"
                         " (or an alias such as 32K or 8000)") from None


def eprom_size(eprom: Union[str, int]) -> int:
    """The size in bytes of an EPROM type."""
    return 1024 << eprom_type(eprom)[1]


def unit_number(unit: Unit) -> int:
    """The library's unit number: 0..3 for USB units, 4 for "virtual"."""
    if isinstance(unit, bool):
        raise ValueError(f"unit must be 0..3 or {VIRTUAL!r}, not {unit!r}")
    if isinstance(unit, str):
        text = unit.strip().lower()
        if text in (VIRTUAL, "v"):
            return VIRTUAL_UNIT_NUMBER
        if text.isdigit():
            unit = int(text)
    if isinstance(unit, int) and 0 <= unit <= VIRTUAL_UNIT_NUMBER:
        return unit
    raise ValueError(f"unit must be 0..3 or {VIRTUAL!r}, not {unit!r}")


def unit_name(number: int) -> Unit:
    """The caller's name of a unit number: the number, or "virtual"."""
    return VIRTUAL if number == VIRTUAL_UNIT_NUMBER else number


def fold_mode(fold: Union[str, int]) -> int:
    """The library's fold mode: "none" 0, "socket" 1, "full" 2."""
    if isinstance(fold, int) and not isinstance(fold, bool) and 0 <= fold <= 2:
        return fold
    if isinstance(fold, str) and fold.strip().lower() in FOLD_MODES:
        return FOLD_MODES[fold.strip().lower()]
    raise ValueError(f"fold must be one of {', '.join(FOLD_MODES)}, not {fold!r}")


def reset_level(level: Union[str, int]) -> int:
    """The library's reset level: "low" 0, "high" 1, "released" (or "hi-z") 2."""
    if isinstance(level, int) and not isinstance(level, bool) and 0 <= level <= 2:
        return level
    if isinstance(level, str) and level.strip().lower() in RESET_LEVELS:
        return RESET_LEVELS[level.strip().lower()]
    raise ValueError(f"reset level must be low, high or released, not {level!r}")
