"""The board's register map for the tests, read from tests/common/board_registers.h,
the tests' one copy written out apart from the libraries' tables, and the
register bytes of a board file read and written directly, not through the
package."""

import os
import re
from pathlib import Path
from typing import Dict, List

_HEADER = Path(os.environ["VARNIK_BOARD_REGISTERS_HEADER"]).read_text()


def _constant(name: str) -> int:
    match = re.search(rf"\b{name}\s*=\s*(0x[0-9A-Fa-f]+)u?;", _HEADER)
    assert match, f"{name} not found in board_registers.h"
    return int(match.group(1), 16)


def _table(name: str) -> List[int]:
    match = re.search(rf"\b{name}\[\d+\]\s*=\s*\{{([^}}]*)\}}", _HEADER)
    assert match, f"{name}[] not found in board_registers.h"
    return [int(word, 16) for word in re.findall(r"0x[0-9A-Fa-f]+", match.group(1))]


GPIO_WINDOW = _constant("kGpioWindow")
LED_WINDOW = _constant("kLedWindow")
INPUTS = _table("kInput")
OUTPUTS = _table("kOutput")
LEDS = _table("kLed")
DRIVEN = _constant("kDriven")
RELEASED = _constant("kReleased")
INPUT_ACTIVE = _constant("kInputActive")
INPUT_INACTIVE = _constant("kInputInactive")
PAGE = 4096

# Every line's register address by name, and the bit that carries its level.
ADDRESSES: Dict[str, int] = {
    **{f"DI{n}": address for n, address in enumerate(INPUTS)},
    **{f"DO{n}": address for n, address in enumerate(OUTPUTS)},
    **{f"LED{n + 1}": address for n, address in enumerate(LEDS)},
}
INPUT_BIT = 1
DRIVEN_BIT = 0


def peek(board_file: Path, address: int) -> int:
    """The register byte at physical address of board_file."""
    with open(board_file, "rb") as board:
        return os.pread(board.fileno(), 1, address)[0]


def poke(board_file: Path, address: int, value: int) -> None:
    """Stores a byte at physical address of board_file, as the hardware would."""
    with open(board_file, "r+b") as board:
        os.pwrite(board.fileno(), bytes([value]), address)


def pages(board_file: Path) -> bytes:
    """Both register pages, to show that nothing was written."""
    with open(board_file, "rb") as board:
        return os.pread(board.fileno(), PAGE, GPIO_WINDOW) + os.pread(board.fileno(), PAGE, LED_WINDOW)


def driven_mask(board_file: Path, names: List[str]) -> int:
    """Bit n set when line names[n] is driven (output) or lit (LED) in its register."""
    return sum(1 << n for n, name in enumerate(names)
               if peek(board_file, ADDRESSES[name]) & (1 << DRIVEN_BIT) == 0)


def set_input_register(board_file: Path, n: int, active: bool) -> None:
    """Input DIn's register as the hardware shows an active or inactive input."""
    poke(board_file, INPUTS[n], INPUT_ACTIVE if active else INPUT_INACTIVE)
