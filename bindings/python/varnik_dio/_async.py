"""Waiting for changes under asyncio, without a thread: a watch's events for
``async for`` and a wait for a level. Imported on first use, so that
importing varnik_dio leaves asyncio out.

A watch through the board service has a descriptor that becomes readable
when an event waits: the loop watches it (add_reader) and vdio_watch_next
is asked, without waiting, only then. A watch on a device opened directly
has none, since the lines are polled by the caller: a timer of the watch's
interval asks vdio_watch_next, again without waiting, which polls once.
"""

from __future__ import annotations

import asyncio
import ctypes
import errno
import time
from functools import partial

from ._errors import call_error
from ._library import EventStruct
from ._lines import checked_level, line_number
from ._shared import Closed
from ._watch import Watch, event_from

# typing costs milliseconds at import: only type checkers read it.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import List, Optional

    from ._board import Board
    from ._event import Event


def _settle(future: asyncio.Future[None]) -> None:
    if not future.done():
        future.set_result(None)


def _in_loop(loop: asyncio.AbstractEventLoop) -> bool:
    try:
        return asyncio.get_running_loop() is loop
    except RuntimeError:
        return False


class AsyncWatch:
    """The changes of some lines of a board, for ``async for``.

    Made by Board.watch_async; the same watch as Board.watch gives, with the
    same events, timeout and errors, but waiting lets the event loop run.
    Cancelling the task that waits (task.cancel(), Ctrl-C under
    asyncio.run) closes the watch. A context manager, with or async with:
    leaving the block closes the watch.
    """

    def __init__(self, watch: Watch) -> None:
        self._watch = watch
        self._raw = EventStruct()
        self._descriptor: Optional[int] = None
        self._awaited = False

    def __aiter__(self) -> AsyncWatch:
        return self

    async def __anext__(self) -> Event:
        # One task at a time: a second would take over the loop's watch of
        # the descriptor, and the first would never wake.
        if self._awaited:
            raise RuntimeError("another task is already waiting for this watch's next event")
        self._awaited = True
        try:
            return await self._next()
        except asyncio.CancelledError:
            self.close()
            raise
        finally:
            self._awaited = False

    async def _next(self) -> Event:
        event = ctypes.byref(self._raw)
        while True:
            result = self._watch.poll(event, 0)
            if result == 1:
                return event_from(self._raw)
            if result is None:
                raise StopAsyncIteration
            if result < 0 and result != -errno.EINTR:
                raise call_error(result, "waiting for a change", self._watch.device)
            await self._until_worth_asking()

    async def _until_worth_asking(self) -> None:
        """Until the descriptor is readable, the interval has passed (no
        descriptor), the timeout has come or the watch was closed."""
        loop = asyncio.get_running_loop()
        woken: asyncio.Future[None] = loop.create_future()
        wake = partial(_settle, woken)
        descriptor = self._watch_descriptor()
        delay = self._delay(descriptor)
        timer = None if delay is None else loop.call_later(delay, wake)
        # reading[0]: the loop watches the descriptor for this wait.
        reading = [descriptor >= 0]
        if reading[0]:
            loop.add_reader(descriptor, wake)
        self._watch.on_release(partial(self._let_go, loop, descriptor, reading, woken))
        try:
            if not self._watch.closed:  # closed before the hook was in place
                await woken
        finally:
            self._watch.on_release(None)
            if timer is not None:
                timer.cancel()
            if reading[0]:
                loop.remove_reader(descriptor)

    def _watch_descriptor(self) -> int:
        if self._descriptor is None:
            try:
                self._descriptor = self._watch.descriptor()
            except Closed:
                return -errno.EBADF  # the next look ends the iteration
            if self._descriptor < 0 and self._descriptor != -errno.EOPNOTSUPP:
                raise call_error(self._descriptor, "watching the lines", self._watch.device)
        return self._descriptor

    def _delay(self, descriptor: int) -> Optional[float]:
        """Seconds until the next look without a readable descriptor: the
        interval when there is none, at most until the timeout."""
        delay = None if descriptor >= 0 else self._watch.interval
        deadline = self._watch.deadline
        if deadline is not None:
            remaining = max(0.0, deadline - time.monotonic())
            delay = remaining if delay is None else min(delay, remaining)
        return delay

    @staticmethod
    def _let_go(loop: asyncio.AbstractEventLoop, descriptor: int, reading: List[bool],
                woken: asyncio.Future[None]) -> None:
        # The watcher is about to be freed, its descriptor with it: the loop
        # stops watching it now when it can (the number may soon name
        # another file), and the waiter wakes to end.
        if _in_loop(loop):
            if reading[0]:
                reading[0] = False
                loop.remove_reader(descriptor)
            _settle(woken)
        else:
            try:
                loop.call_soon_threadsafe(_settle, woken)
            except RuntimeError:  # the loop is closed: nothing waits
                pass

    @property
    def closed(self) -> bool:
        """True once the watch has ended (timeout or close)."""
        return self._watch.closed

    def close(self) -> None:
        """Ends the watch; an iteration waiting for it ends."""
        self._watch.close()

    def __enter__(self) -> AsyncWatch:
        return self

    def __exit__(self, *exception: object) -> None:
        self.close()

    async def __aenter__(self) -> AsyncWatch:
        return self

    async def __aexit__(self, *exception: object) -> None:
        self.close()


async def wait(board: Board, name: str, level: int, timeout: Optional[float],
               interval: float) -> bool:
    """Board.wait_async."""
    line = line_number(name)
    wanted = checked_level(level, name)
    # The watch is made first: a change between it and the look below is
    # then still reported.
    with AsyncWatch(Watch(board, 1 << line, interval, 0, timeout)) as watch:
        if board._get(line) == wanted:
            return True
        reached = False
        async for event in watch:
            if event.value == wanted:
                reached = True
                break
    if not reached and board.closed:
        raise ValueError(f"the board {board.device!r} was closed while waiting for {name}")
    return reached
