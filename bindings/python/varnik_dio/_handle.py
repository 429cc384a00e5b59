"""An open board shared by threads: calls run side by side, close waits for them."""

import ctypes
import threading
import weakref
from typing import Any, Callable, Protocol

from ._library import LIBRARY


class Closable(Protocol):
    """What the handle closes before the board: the board's watchers."""

    def close(self) -> None: ...


class SharedHandle:
    """The vdio_board pointer and who is using it.

    The library lets any number of threads read and write one board at once,
    but vdio_close must not race with them, and a watcher must be freed while
    the board is still mapped. So every call counts itself in and out, and
    close() refuses new calls, waits for those under way, frees the
    watchers still open, and only then closes the board.
    """

    def __init__(self, handle: ctypes.c_void_p, device: str) -> None:
        self.device = device
        self._handle = handle
        self._closed = False
        self._calls = 0
        # Weak: a watch nobody iterates any more is freed by the collector.
        self._watchers: "weakref.WeakSet[Closable]" = weakref.WeakSet()
        self._change = threading.Condition()

    @property
    def closed(self) -> bool:
        """True once close() has begun."""
        return self._closed

    def call(self, function: Callable[..., Any], *arguments: Any) -> Any:
        """function(board pointer, *arguments); ValueError once the board is closed."""
        self._enter()
        try:
            return function(self._handle, *arguments)
        finally:
            self._leave()

    def adopt(self, watcher: Closable) -> None:
        """Keeps watcher to be closed before the board."""
        with self._change:
            self._watchers.add(watcher)

    def forget(self, watcher: Closable) -> None:
        """Drops a watcher that closed itself."""
        with self._change:
            self._watchers.discard(watcher)

    def close(self) -> None:
        """Closes the board once no call is under way; a second close does nothing."""
        with self._change:
            if self._closed:
                return
            self._closed = True
            self._change.wait_for(lambda: self._calls == 0)
            watchers = list(self._watchers)
            self._watchers.clear()
        for watcher in watchers:
            watcher.close()
        LIBRARY.vdio_close(self._handle)

    def _enter(self) -> None:
        with self._change:
            if self._closed:
                raise ValueError(f"the board {self.device!r} is closed")
            self._calls += 1

    def _leave(self) -> None:
        with self._change:
            self._calls -= 1
            if self._calls == 0:
                self._change.notify_all()
