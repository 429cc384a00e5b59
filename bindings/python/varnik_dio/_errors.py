"""Turning the board library's negative errno results into exceptions."""

import errno
import os

# What to do about the errors a user can fix, for the message.
_OPEN_HINTS = {
    errno.ENOENT: "no such device or board file (dio-sim new makes a simulated board)",
    errno.EACCES: "the memory device needs root or CAP_SYS_RAWIO",
    errno.EPERM: "the kernel refused to map the registers: a kernel driver holds them "
    "(strict /dev/mem checks)",
    errno.EINVAL: "not a board: the memory device or a board file of exactly 4 GiB is expected",
}


def open_error(code: int, device: str) -> OSError:
    """The OSError subclass for errno -code (FileNotFoundError, PermissionError, ...),
    naming the device and what to do about it."""
    number = -code
    hint = _OPEN_HINTS.get(number)
    reason = os.strerror(number) + (f"; {hint}" if hint else "")
    return OSError(number, f"cannot open the board: {reason}", device)


def call_error(code: int, what: str, device: str) -> OSError:
    """The OSError subclass for a failed call on an open board."""
    number = -code
    return OSError(number, f"{what} failed: {os.strerror(number)}", device)
