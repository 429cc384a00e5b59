"""Change events: a watcher polled in short slices, as an iterator."""

import ctypes
import errno
import math
import threading
import time
from dataclasses import dataclass
from typing import TYPE_CHECKING, Iterator, Optional

from ._errors import call_error
from ._library import (FALLING, LIBRARY, MAX_DEBOUNCE_US, MAX_INTERVAL_US, MIN_INTERVAL_US,
                       RISING, EventStruct)
from ._lines import line_name

if TYPE_CHECKING:
    from ._board import Board

# The longest the library waits in one call: between two calls Python runs
# its signal handlers, so Ctrl-C ends a wait within about this long.
SLICE_MS = 50

_EDGES = {RISING: "rising", FALLING: "falling"}


@dataclass(frozen=True)
class Event:
    """One change of a line, as the watcher saw it.

    line: the line's name ("DI3").
    value: its new level, 0 or 1.
    edge: "rising" (0 to 1) or "falling" (1 to 0).
    timestamp: seconds on the clock of time.monotonic() (CLOCK_MONOTONIC)
        of the poll that first saw the new level.
    timestamp_ns: the same in nanoseconds, as the library gives it.
    """

    line: str
    value: int
    edge: str
    timestamp: float
    timestamp_ns: int


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


class Watch:
    """The changes of some lines of a board, in the order they happened.

    Iterate it (``for event in board.watch(): ...``): each item is an Event.
    The iteration ends at the timeout, when the watch or its board is closed,
    and with KeyboardInterrupt at Ctrl-C. The board has no interrupts: the
    lines are polled, and only while the iteration waits for the next event;
    the levels when the watch was made are the starting point. A context
    manager: leaving the block closes the watch.
    """

    def __init__(self, board: "Board", lines: int, interval: float, debounce: float,
                 timeout: Optional[float]) -> None:
        interval_us = seconds_to_us(interval, "interval", MIN_INTERVAL_US, MAX_INTERVAL_US)
        debounce_us = seconds_to_us(debounce, "debounce", 0, MAX_DEBOUNCE_US)
        seconds = checked_timeout(timeout)
        self._board = board  # the board stays open while its watch lives
        self._lock = threading.Lock()
        self._watcher: Optional[ctypes.c_void_p] = None
        self._closing = False
        board._handle.call(self._start, lines, interval_us, debounce_us)
        self._deadline = None if seconds is None else time.monotonic() + seconds

    def _start(self, board: ctypes.c_void_p, lines: int, interval_us: int, debounce_us: int) -> None:
        # Runs as a call on the board, so that the board cannot close before
        # it knows of this watcher.
        watcher = ctypes.c_void_p()
        result = LIBRARY.vdio_watch_new(board, lines, interval_us, debounce_us,
                                        ctypes.byref(watcher))
        if result < 0:
            raise call_error(result, "watching the lines", self._board.device)
        self._watcher = watcher
        self._board._handle.adopt(self)

    def __iter__(self) -> Iterator[Event]:
        return self

    def __next__(self) -> Event:
        raw = EventStruct()
        while True:
            # The lock is taken for one slice at a time, so that close() from
            # another thread gets it between two slices.
            with self._lock:
                if self._watcher is None or self._closing:
                    self._free()
                    raise StopIteration
                result = LIBRARY.vdio_watch_next(self._watcher, self._slice_ms(), ctypes.byref(raw))
                if result == 1:
                    return _event(raw)
                if result < 0 and result != -errno.EINTR:
                    raise call_error(result, "waiting for a change", self._board.device)
                if self._deadline is not None and time.monotonic() >= self._deadline:
                    self._free()

    def _slice_ms(self) -> int:
        if self._deadline is None:
            return SLICE_MS
        remaining_ms = math.ceil((self._deadline - time.monotonic()) * 1000)
        return max(0, min(SLICE_MS, remaining_ms))

    @property
    def closed(self) -> bool:
        """True once the watch has ended (timeout or close)."""
        return self._watcher is None

    def close(self) -> None:
        """Ends the watch, waiting for a wait under way in another thread to
        end its slice; the iteration ends. A second close does nothing."""
        self._closing = True  # ends the slices of an iteration under way
        with self._lock:
            self._free()

    def _free(self) -> None:
        if self._watcher is not None:
            LIBRARY.vdio_watch_free(self._watcher)
            self._watcher = None
            self._board._handle.forget(self)

    def __enter__(self) -> "Watch":
        return self

    def __exit__(self, *exception: object) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_watcher", None) is not None:
            self.close()


def _event(raw: EventStruct) -> Event:
    return Event(line=line_name(raw.line), value=raw.value, edge=_EDGES[raw.edge],
                 timestamp=raw.timestamp_ns / 1e9, timestamp_ns=raw.timestamp_ns)
