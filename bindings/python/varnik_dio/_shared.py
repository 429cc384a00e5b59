"""A C object used by threads and signal handlers side by side, freed once."""

from __future__ import annotations

import ctypes
import time
from _thread import get_ident

# typing costs milliseconds at import: only type checkers read it.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, List

# How often close() looks whether the calls of other threads have ended.
_POLL_SECONDS = 0.001


class Closed(ValueError):
    """A call on a closed board or watch."""


class SharedPointer:
    """The pointer to a C object (a board, a watcher) and the calls using it.

    A call puts its thread's ident into users for as long as it runs: one
    list.append and one list.remove, each a single step that no signal
    handler can cut in two. The append is the first statement of the try
    whose finally removes it, so an exception raised between any two
    statements (KeyboardInterrupt from Ctrl-C) leaves no entry behind and
    removes no other. No lock is taken, so a signal handler may close the
    object while its own thread is in the middle of a call.

    close() refuses new calls and waits for the calls of other threads. The
    calls of its own thread cannot end while it waits (it runs above them,
    in a signal handler): the last of them frees the object instead, after
    close() returned. The pointer is taken out and the holder cleared before
    the C function frees the object, so nothing is ever freed twice.
    """

    def __init__(self, what: str) -> None:
        #: The pointer, as the C calls take it; the call that makes the
        #: object fills it in through ctypes.byref.
        self.holder = ctypes.c_void_p()
        self.users: List[int] = []
        self.closed = False
        self.freed_by_last_user = False
        self._what = what
        self._unfreed = [self.holder]

    def call(self, function: Callable[[ctypes.c_void_p, Any], Any], argument: Any) -> Any:
        """function(pointer, argument) while the object cannot be freed;
        Closed once close() has begun."""
        me = get_ident()
        users = self.users
        try:
            users.append(me)  # first in the try: the finally always pairs with it
            if self.closed:
                raise self.closed_error()
            return function(self.holder, argument)
        finally:
            users.remove(me)
            if self.freed_by_last_user and not users:
                self.free()

    def call2(self, function: Callable[[ctypes.c_void_p, Any, Any], Any], first: Any,
              second: Any) -> Any:
        """call() with two arguments (written out: a call costs less without *args)."""
        me = get_ident()
        users = self.users
        try:
            users.append(me)
            if self.closed:
                raise self.closed_error()
            return function(self.holder, first, second)
        finally:
            users.remove(me)
            if self.freed_by_last_user and not users:
                self.free()

    def closed_error(self) -> Closed:
        """The error of a call once closed."""
        return Closed(f"{self._what} is closed")

    def close(self) -> None:
        """Refuses new calls, waits for those of other threads, then frees the
        object, or leaves that to the calls of this thread still under way.
        Ctrl-C ends the wait; closing again finishes the work."""
        self.closed = True
        me = get_ident()
        while set(self.users) - {me}:  # set(): one snapshot of the list
            time.sleep(_POLL_SECONDS)
        if me in self.users:
            self.freed_by_last_user = True
        else:
            self.free_unused()

    @property
    def freed(self) -> bool:
        """True once free() has begun."""
        return not self._unfreed

    def free_unused(self) -> None:
        """Frees the object, no call using it."""
        self.free()

    def free(self) -> None:
        """Frees the object the first time, and does nothing after."""
        try:
            holder = self._unfreed.pop()
        except IndexError:
            return
        pointer = holder.value
        holder.value = None
        if pointer is not None:
            self.release(pointer)

    def release(self, pointer: int) -> None:
        """The C function that frees the object."""
        raise NotImplementedError
