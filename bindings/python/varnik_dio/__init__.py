"""varnik_dio: the board's digital I/O from Python.

Eight inputs (DI0..DI7), eight outputs (DO0..DO7) and three LEDs
(LED1..LED3), through libvarnik_dio_board.so.1, found by the dynamic loader
or at the path in $VARNIK_DIO_BOARD_LIBRARY::

    import varnik_dio

    with varnik_dio.Board() as board:     # "/dev/mem"; a board file works too
        board.set("DO3", 1)
        print(board.read())
"""

from ._board import Board, State
from ._event import Event
from ._library import LIBRARY as _LIBRARY
from ._lines import LineInfo, lines
from ._watch import Watch

#: The product's version, that of the board library in use.
__version__: str = _LIBRARY.vdio_version().decode("ascii")

__all__ = ["Board", "Event", "LineInfo", "State", "Watch", "lines", "__version__"]
