"""varnik_dio: the board's digital I/O from Python.

Eight inputs (DI0..DI7), eight outputs (DO0..DO7) and three LEDs
(LED1..LED3), through libvarnik_dio_board.so.1, found by the dynamic loader
or at the path in $VARNIK_DIO_BOARD_LIBRARY::

    import varnik_dio

    with varnik_dio.Board() as board:     # the board library's default device
        board.set("DO3", 1)
        print(board.read())

Board() opens what the board library opens by default: $VARNIK_DIO_DEVICE,
else the board service's socket /run/varnik-dio/board.sock when dio-boardd
serves there, else "/dev/mem"; Board(path) opens a socket, the memory
device or a board file. Under asyncio, ``await board.wait_async(...)`` and
``async for event in board.watch_async(...)`` wait without blocking the loop.
Through the board service, ``with board.claim("DO0", safe={"DO0": 0}):``
makes lines this board's alone, and the service drives them to their safe
values when the claim ends, the program's end (kill -9 too) included; and
``board.input_stats("DI3")`` reads the edges counted, the frequency, the
latches and the on-time the service keeps for each input.
"""

from ._board import Board, State
from ._claims import Claim, ClaimInfo
from ._errors import LineHeld
from ._event import Event
from ._input_stats import InputStats, SamplerInfo
from ._library import LIBRARY as _LIBRARY
from ._lines import LineInfo, lines
from ._watch import Watch

#: The product's version, that of the board library in use.
__version__: str = _LIBRARY.vdio_version().decode("ascii")

__all__ = ["AsyncWatch", "Board", "Claim", "ClaimInfo", "Event", "InputStats", "LineHeld",
           "LineInfo", "SamplerInfo", "State", "Watch", "lines", "__version__"]


def __getattr__(name: str) -> object:
    # AsyncWatch on first use: its module imports asyncio, which most
    # programs never need.
    if name == "AsyncWatch":
        from ._async import AsyncWatch
        return AsyncWatch
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
