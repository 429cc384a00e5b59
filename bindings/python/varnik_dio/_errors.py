"""Turning the board library's negative errno results into exceptions."""

from __future__ import annotations

import errno
import os
import stat

from ._device import is_socket

# typing costs milliseconds at import: only type checkers read it.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Dict, Optional

# What to do about the errors a user can fix, for the message: the physical
# memory device and a board file each have their own.
_COMMON_HINTS = {
    errno.ENOENT: "no such device or board file (dio-sim new makes a simulated board)",
    errno.EINVAL: "not a board: the memory device or a board file of exactly 4 GiB is expected",
}
_MEMORY_DEVICE_HINTS = {
    **_COMMON_HINTS,
    errno.EACCES: "the memory device needs root or CAP_SYS_RAWIO",
    errno.EPERM: "the kernel refused to map the registers: a kernel driver holds them "
    "(strict /dev/mem checks)",
}
_BOARD_FILE_HINTS = {
    **_COMMON_HINTS,
    errno.EACCES: "a board file needs read and write permission for this user",
    errno.ENOSPC: "the board file's register pages are holes that its file system has no room "
    "for: free some space there, or make a board elsewhere (dio-sim --board FILE new)",
}
_BOARD_FILE_HINTS[errno.EDQUOT] = _BOARD_FILE_HINTS[errno.ENOSPC]
_SERVICE_HINTS = {
    errno.ECONNREFUSED: "nothing serves this socket: start the board service, dio-boardd",
    errno.EACCES: "the board service's socket is for the group dio-boardd was given "
    "(--group): join that group, or ask whoever runs the service",
    errno.EPROTO: "the board service speaks another version of its protocol: use the board "
    "library and dio-boardd of one release",
    errno.EUSERS: "the board service serves as many programs as it may: end another one first",
}
# What to do when a call on an open board fails for a reason the user can act on.
_LOST_SERVICE = "the board service was lost: open the board again once it runs"
_CALL_HINTS = {
    errno.ENOBUFS: "the events were not read in time and the board service dropped the watch: "
    "read them sooner, or watch again",
    errno.ECONNRESET: _LOST_SERVICE,
    errno.EPIPE: _LOST_SERVICE,
    errno.ENOTCONN: _LOST_SERVICE,
    errno.EOPNOTSUPP: "claims, leases and pulses carried out by the service need the board "
    "service (dio-boardd): open the board on its socket, not the device itself",
}


def _is_memory_device(device: str) -> bool:
    """The physical memory device (character device 1:1) by its usual name or any other."""
    if device == "/dev/mem":
        return True
    try:
        status = os.stat(device)
    except OSError:
        return False
    return (stat.S_ISCHR(status.st_mode) and os.major(status.st_rdev) == 1
            and os.minor(status.st_rdev) == 1)


def _open_hints(device: str) -> Dict[int, str]:
    if _is_memory_device(device):
        return _MEMORY_DEVICE_HINTS
    return _SERVICE_HINTS if is_socket(device) else _BOARD_FILE_HINTS


def _reason(number: int, hint: Optional[str]) -> str:
    return os.strerror(number) + (f"; {hint}" if hint else "")


def open_error(code: int, device: str) -> OSError:
    """The OSError subclass for errno -code (FileNotFoundError, PermissionError, ...),
    naming the device and what to do about it."""
    number = -code
    reason = _reason(number, _open_hints(device).get(number))
    return OSError(number, f"cannot open the board: {reason}", device)


def call_error(code: int, what: str, device: str) -> OSError:
    """The OSError subclass for a failed call on an open board."""
    number = -code
    return OSError(number, f"{what} failed: {_reason(number, _CALL_HINTS.get(number))}", device)


class LineHeld(OSError):
    """A write, claim or pulse refused (EBUSY) because another board handle
    holds the line, or because a pulse is under way on it.

    line names the line; consumer and pid name its holder (None when nobody
    holds it: the line is pulsing, or the holder let go meanwhile).
    """

    def __init__(self, what: str, device: str, line: str, consumer: Optional[str] = None,
                 pid: Optional[int] = None, pulsing: bool = False) -> None:
        if consumer is not None:
            reason = (f"{line} is held by {consumer} (pid {pid}): it alone writes {line} until "
                      f"it releases it or ends")
        elif pulsing:
            reason = f"{line} is pulsing: write it once the pulse is over"
        else:
            reason = f"{line} was held or pulsing: try again"
        super().__init__(errno.EBUSY, f"{what} failed: {reason}", device)
        self.line = line
        self.consumer = consumer
        self.pid = pid
