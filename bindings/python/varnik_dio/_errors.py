"""Turning the board library's negative errno results into exceptions."""

import errno
import os
import stat

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


def open_error(code: int, device: str) -> OSError:
    """The OSError subclass for errno -code (FileNotFoundError, PermissionError, ...),
    naming the device and what to do about it."""
    number = -code
    hints = _MEMORY_DEVICE_HINTS if _is_memory_device(device) else _BOARD_FILE_HINTS
    hint = hints.get(number)
    reason = os.strerror(number) + (f"; {hint}" if hint else "")
    return OSError(number, f"cannot open the board: {reason}", device)


def call_error(code: int, what: str, device: str) -> OSError:
    """The OSError subclass for a failed call on an open board."""
    number = -code
    return OSError(number, f"{what} failed: {os.strerror(number)}", device)
