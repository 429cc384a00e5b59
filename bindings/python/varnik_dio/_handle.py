"""An open board shared by threads: calls run side by side, close waits for them."""

from __future__ import annotations

import time

from ._library import LIBRARY
from ._shared import SharedPointer

# typing costs milliseconds at import: only type checkers read it.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Dict

# The longest a call on the board waits in one piece (a watch's poll, a
# pulse's sleep): between two pieces it sees close(), and Python runs its
# signal handlers, so Ctrl-C and close() end a wait within about this long.
SLICE_MS = 50


class SharedHandle(SharedPointer):
    """The vdio_board pointer, its calls and its watchers.

    The library lets any number of threads read and write one board at once,
    but vdio_close must not race with them, and a watcher must be freed while
    the board is still mapped. So close() refuses new calls, waits for those
    under way (a watch's poll and a pulse are calls too), frees the watchers
    still open, and only then closes the board.
    """

    def __init__(self, device: str) -> None:
        super().__init__(f"the board {device!r}")
        self.device = device
        # Strong references to the watchers' pointers only: a Watch nobody
        # iterates any more is still freed by the collector.
        self._watchers: Dict[int, SharedPointer] = {}

    def adopt(self, watcher: SharedPointer) -> None:
        """Keeps watcher to be freed before the board."""
        self._watchers[id(watcher)] = watcher

    def forget(self, watcher: SharedPointer) -> None:
        """Drops a watcher that was freed."""
        self._watchers.pop(id(watcher), None)

    def release(self, pointer: int) -> None:
        for watcher in list(self._watchers.values()):
            watcher.free()
        LIBRARY.vdio_close(pointer)

    def sleep(self, seconds: float) -> bool:
        """Sleeps seconds within a call on the board, in slices: True when it
        slept them all, False when the board was closed first."""
        deadline = time.monotonic() + seconds
        while not self.closed:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return True
            time.sleep(min(remaining, SLICE_MS / 1000))
        return False
