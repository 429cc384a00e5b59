"""The board's lines: names, numbers, the pin map, and checks of levels and masks."""

from __future__ import annotations

import ctypes
from collections import namedtuple

from ._library import INPUT_LINES, LIBRARY, LINE_COUNT, LineInfoStruct

# typing costs milliseconds at import: only type checkers read it.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Dict, Iterable, List, NamedTuple, Optional, Union

    class _LineInfoFields(NamedTuple):
        name: str
        direction: str
        address: int
        bit: int
        active_low: bool
else:
    _LineInfoFields = namedtuple("LineInfo", ["name", "direction", "address", "bit", "active_low"])

_DIRECTIONS = ("input", "output", "led")

OUTPUT_MASK_LIMIT = 0xFF
LED_MASK_LIMIT = 0x07


class LineInfo(_LineInfoFields):
    """One line of the pin map.

    name: "DI0".."DI7", "DO0".."DO7" or "LED1".."LED3".
    direction: "input", "output" or "led".
    address: the physical address of the line's register byte.
    bit: the register bit that carries the level.
    active_low: True when a clear bit is level 1 (every line of this board).
    """

    __slots__ = ()


def _info(line: int) -> LineInfo:
    raw = LineInfoStruct()
    LIBRARY.vdio_get_line_info(line, ctypes.byref(raw))
    return LineInfo(
        name=raw.name.decode("ascii"),
        direction=_DIRECTIONS[raw.direction],
        address=raw.address,
        bit=raw.bit,
        active_low=bool(raw.active_low),
    )


_MAP = tuple(_info(line) for line in range(LINE_COUNT))

#: The numbers of the outputs and LEDs, in the library's order.
DRIVEN_LINES = tuple(info_line for info_line in range(LINE_COUNT)
                     if _MAP[info_line].direction != "input")


# The names looked up so far, as callers spelled them ("DI3", "di3"), and
# their numbers: a dict lookup is cheaper than asking the library each
# time. Only names the library accepted, so these stay small.
LINE_NUMBERS: Dict[str, int] = {}
DRIVEN_LINE_NUMBERS: Dict[str, int] = {}


def lines() -> List[LineInfo]:
    """The pin map, in the library's line order: DI0..DI7, DO0..DO7, LED1..LED3."""
    return list(_MAP)


def line_number(name: object) -> int:
    """The library's number of the line called name ("DI3", "do3", "LED2", any case).

    Raises ValueError naming the word for anything that names no line.
    """
    if isinstance(name, str) and name.isascii() and "\0" not in name:
        number = LIBRARY.vdio_line_from_name(name.encode("ascii"))
        if number >= 0:
            if type(name) is str:
                LINE_NUMBERS[name] = number
            return number
    raise ValueError(
        f"{name!r} names no line of the board: the lines are DI0..DI7, DO0..DO7 and LED1..LED3"
    )


def line_name(number: int) -> str:
    """The name of line number 0..18."""
    return _MAP[number].name


def driven_line_number(name: object, verb: str) -> int:
    """line_number for an output or LED; ValueError naming an input."""
    number = line_number(name)
    if _MAP[number].direction == "input":
        raise ValueError(f"cannot {verb} {_MAP[number].name}: it is an input; "
                         "only outputs (DO0..DO7) and LEDs (LED1..LED3) are driven")
    if type(name) is str:
        DRIVEN_LINE_NUMBERS[name] = number
    return number


def line_set(names: Optional[Union[str, Iterable[str]]]) -> int:
    """The library's line set (bit n = line n) of names; None means every input."""
    if names is None:
        return INPUT_LINES
    if isinstance(names, str):
        names = [names]
    bits = 0
    for name in names:
        bits |= 1 << line_number(name)
    if bits == 0:
        raise ValueError("no line to watch: give at least one name, or None for every input")
    return bits


def checked_level(level: object, name: str) -> int:
    """level as 0 or 1; ValueError naming the line for anything else."""
    if isinstance(level, int) and level in (0, 1):
        return int(level)
    raise ValueError(f"level {level!r} for {name}: give 0 or 1")


def checked_mask(mask: object, group: str, limit: int) -> int:
    """mask as an int 0..limit; ValueError naming the group for anything else."""
    if isinstance(mask, int) and not isinstance(mask, bool) and 0 <= mask <= limit:
        return mask
    raise ValueError(f"{group} mask {mask!r}: give an int from 0 to {limit:#04x}")
