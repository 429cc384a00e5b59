"""Change events: a watcher polled in short slices, as an iterator."""

from __future__ import annotations

import ctypes
import errno
import math
import time
from _thread import RLock

from ._errors import call_error
from ._event import Event
from ._handle import SLICE_MS, SharedHandle
from ._library import (FALLING, LIBRARY, MAX_DEBOUNCE_US, MAX_INTERVAL_US, MIN_INTERVAL_US,
                       RISING, EventStruct)
from ._lines import line_name
from ._shared import Closed, SharedPointer

# typing costs milliseconds at import: only type checkers read it.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, Iterator, Optional, Tuple

    from ._board import Board

_EDGES = {RISING: "rising", FALLING: "falling"}


def seconds_to_us(value: object, name: str, low_us: int, high_us: int) -> int:
    """A duration in seconds as whole microseconds within low_us..high_us;
    ValueError naming the parameter otherwise."""
    if isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value):
        microseconds = round(value * 1_000_000)
        if low_us <= microseconds <= high_us:
            return microseconds
    raise ValueError(f"{name} {value!r}: give seconds from {low_us / 1e6:g} to {high_us / 1e6:g}")


def checked_timeout(timeout: object) -> Optional[float]:
    """None (no end) or a non-negative number of seconds; ValueError otherwise.
    Infinity is no end too."""
    if timeout is None:
        return None
    if isinstance(timeout, (int, float)) and not isinstance(timeout, bool) and timeout >= 0 \
            and not math.isnan(timeout):
        return None if math.isinf(timeout) else float(timeout)
    raise ValueError(f"timeout {timeout!r}: give None (no end) or seconds, 0 or more")


class WatcherPointer(SharedPointer):
    """The vdio_watch pointer of a Watch, freed while its board is open."""

    def __init__(self, board: SharedHandle) -> None:
        super().__init__("the watch")
        self._board = board
        #: Called just before the C watcher is freed, from whichever thread
        #: frees it: an event loop's waiter lets go of its descriptor then.
        self.on_release: Optional[Callable[[], None]] = None

    def free_unused(self) -> None:
        # As a call on the board, which stays mapped meanwhile; a board
        # already closed frees its watchers itself.
        try:
            self._board.call(_free_watcher, self)
        except Closed:
            pass

    def release(self, pointer: int) -> None:
        on_release, self.on_release = self.on_release, None
        if on_release is not None:
            on_release()
        LIBRARY.vdio_watch_free(pointer)
        self._board.forget(self)


def _free_watcher(_board: ctypes.c_void_p, watcher: WatcherPointer) -> None:
    watcher.free()


class Watch:
    """The changes of some lines of a board, in the order they happened.

    Iterate it (``for event in board.watch(): ...``): each item is an Event.
    The iteration ends at the timeout, when the watch or its board is closed,
    and with KeyboardInterrupt at Ctrl-C. The board has no interrupts: the
    lines are polled, and only while the iteration waits for the next event;
    the levels when the watch was made are the starting point. A context
    manager: leaving the block closes the watch.
    """

    def __init__(self, board: Board, lines: int, interval: float, debounce: float,
                 timeout: Optional[float]) -> None:
        interval_us = seconds_to_us(interval, "interval", MIN_INTERVAL_US, MAX_INTERVAL_US)
        debounce_us = seconds_to_us(debounce, "debounce", 0, MAX_DEBOUNCE_US)
        seconds = checked_timeout(timeout)
        self._owner = board  # the board stays open while its watch lives
        self._board: SharedHandle = board._handle
        # One thread at a time in the C watcher; reentrant, so that a signal
        # handler never waits for the thread it interrupted.
        self._turn = RLock()
        self._watcher = WatcherPointer(self._board)
        self._board.call(self._start, (lines, interval_us, debounce_us))
        self._deadline = None if seconds is None else time.monotonic() + seconds
        self._interval = interval_us / 1e6

    def _start(self, board: ctypes.c_void_p, options: Tuple[int, int, int]) -> None:
        # The board knows of the watcher before the library makes it, so
        # that an interrupt right after vdio_watch_new leaks nothing.
        self._board.adopt(self._watcher)
        result = LIBRARY.vdio_watch_new(board, *options, ctypes.byref(self._watcher.holder))
        if result < 0:
            self._board.forget(self._watcher)
            raise call_error(result, "watching the lines", self._owner.device)

    def __iter__(self) -> Iterator[Event]:
        return self

    def __next__(self) -> Event:
        raw = EventStruct()
        event = ctypes.byref(raw)
        while True:
            with self._turn:
                result = self.poll(event, self._slice_ms())
            if result == 1:
                return event_from(raw)
            if result is None:
                raise StopIteration
            if result < 0 and result != -errno.EINTR:
                raise call_error(result, "waiting for a change", self._owner.device)

    def poll(self, event: Any, wait_ms: int) -> Optional[int]:
        """vdio_watch_next waiting at most wait_ms, as a call on the board and
        on the watcher: its result, or None once the watch has ended (closed,
        its board closed, its timeout passed)."""
        try:
            result: Optional[int] = self._board.call2(self._next_event, wait_ms, event)
        except Closed:
            result = None
        if result != 1 and self._deadline is not None and time.monotonic() >= self._deadline:
            result = None
        if result is None:
            self.close()
        return result

    def _next_event(self, _board: ctypes.c_void_p, slice_ms: int, event: Any) -> int:
        result: int = self._watcher.call2(LIBRARY.vdio_watch_next, slice_ms, event)
        return result

    def descriptor(self) -> int:
        """vdio_watch_fd: the descriptor that becomes readable when an event
        waits (a watch through the board service), or -EOPNOTSUPP (a device
        opened directly, polled by vdio_watch_next alone)."""
        result: int = self._board.call(self._descriptor, None)
        return result

    def _descriptor(self, _board: ctypes.c_void_p, _unused: None) -> int:
        result: int = self._watcher.call(_watch_fd, None)
        return result

    def on_release(self, hook: Optional[Callable[[], None]]) -> None:
        """Has hook called just before the C watcher is freed, from the thread
        that frees it; None removes it."""
        self._watcher.on_release = hook

    @property
    def deadline(self) -> Optional[float]:
        """When the watch ends on time.monotonic()'s clock; None: no end."""
        return self._deadline

    @property
    def interval(self) -> float:
        """Seconds between two polls of the lines."""
        return self._interval

    @property
    def device(self) -> str:
        """The device of the watch's board, for messages."""
        return self._owner.device

    def _slice_ms(self) -> int:
        if self._deadline is None:
            return SLICE_MS
        remaining_ms = math.ceil((self._deadline - time.monotonic()) * 1000)
        return max(0, min(SLICE_MS, remaining_ms))

    @property
    def closed(self) -> bool:
        """True once the watch has ended (timeout or close)."""
        return self._watcher.closed or self._board.closed

    def close(self) -> None:
        """Ends the watch, waiting for a wait under way in another thread to
        end its slice; the iteration ends. A second close does nothing."""
        self._watcher.close()

    def __enter__(self) -> Watch:
        return self

    def __exit__(self, *exception: object) -> None:
        self.close()

    def __del__(self) -> None:
        # Little to do once closed: a KeyboardInterrupt that lands in a
        # __del__ is lost, so the less Python runs here the better.
        watcher = getattr(self, "_watcher", None)
        if watcher is not None and not watcher.freed:
            self.close()


def _watch_fd(watcher: ctypes.c_void_p, _unused: None) -> int:
    result: int = LIBRARY.vdio_watch_fd(watcher)
    return result


def event_from(raw: EventStruct) -> Event:
    return Event(line=line_name(raw.line), value=raw.value, edge=_EDGES[raw.edge],
                 timestamp=raw.timestamp_ns / 1e9, timestamp_ns=raw.timestamp_ns)
