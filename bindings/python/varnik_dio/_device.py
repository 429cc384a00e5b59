"""The device a board is opened on: the path given, the library's default
when none is, and the kind of device it turned out to be."""

from __future__ import annotations

import os
import stat

from ._library import DEVICE_BOARD_FILE, DEVICE_MEMORY, DEVICE_SERVICE

# typing costs milliseconds at import: only type checkers read it.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Optional, Union

    Device = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

MEMORY_DEVICE = "/dev/mem"
# VDIO_SERVICE_SOCKET and VDIO_DEVICE_VARIABLE of varnik_dio_board.h.
SERVICE_SOCKET = "/run/varnik-dio/board.sock"
DEVICE_VARIABLE = "VARNIK_DIO_DEVICE"

# Board.device_kind's words for enum vdio_device_kind.
KIND_NAMES = {DEVICE_MEMORY: "memory", DEVICE_BOARD_FILE: "board file", DEVICE_SERVICE: "service"}


def device_path(device: Optional[Device]) -> Optional[bytes]:
    """The path to hand to vdio_open: None (the library's default) stays None;
    ValueError for an empty path or one with a NUL."""
    if device is None:
        return None
    path = os.fsencode(device)
    if not path or b"\0" in path:
        raise ValueError(f"device {device!r}: give the memory device (/dev/mem), a board file "
                         f"or the board service's socket, or None for the default")
    return path


def is_socket(path: str, follow_symlinks: bool = True) -> bool:
    """True when path is a Unix socket (a board service's)."""
    try:
        return stat.S_ISSOCK(os.stat(path, follow_symlinks=follow_symlinks).st_mode)
    except (OSError, ValueError):
        return False


def default_device_name() -> str:
    """The device vdio_open(NULL) chooses, for naming it in messages:
    $VARNIK_DIO_DEVICE, else the service's socket when there is one, else
    the memory device. The library makes the choice itself; this only says
    which it is."""
    named = os.environ.get(DEVICE_VARIABLE)
    if named:
        return named
    return SERVICE_SOCKET if is_socket(SERVICE_SOCKET, follow_symlinks=False) else MEMORY_DEVICE
