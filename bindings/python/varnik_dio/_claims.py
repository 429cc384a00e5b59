"""Claims held by the board service: who drives a line, and what it gets
when its holder is gone."""

from __future__ import annotations

import ctypes
import errno
import math
from collections import namedtuple

from ._errors import LineHeld, call_error
from ._library import (CLAIM_KEEP, CONSUMER_SIZE, INFO_KEEP, INFO_LEASE_OUT, INFO_MINE,
                       INFO_PULSING, INFO_SAFE_VALUE, LIBRARY, MAX_LEASE_MS, MIN_LEASE_MS,
                       ClaimInfoStruct, ClaimStruct)
from ._lines import DRIVEN_LINES, checked_level, driven_line_number, line_name
from ._shared import Closed

# typing costs milliseconds at import: only type checkers read it.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Dict, Mapping, NamedTuple, Optional, Tuple

    from ._board import Board
    from ._handle import SharedHandle

    class _ClaimInfoFields(NamedTuple):
        consumer: str
        pid: int
        lease: Optional[float]
        safe_value: int
        keep: bool
        mine: bool
        lease_out: bool
        pulsing: bool
else:
    _ClaimInfoFields = namedtuple("ClaimInfo", ["consumer", "pid", "lease", "safe_value", "keep",
                                                "mine", "lease_out", "pulsing"])


class ClaimInfo(_ClaimInfoFields):
    """Who holds a line, as the board service tells it.

    consumer: the holder's name; pid: its process, as the service sees it;
    lease: the holder's lease in seconds, None for none; safe_value: the
    level the line gets when the claim ends or the lease runs out; keep:
    True when the line is left as it is when the claim ends instead (a
    lease that runs out still applies the safe value); mine:
    True when held through the board that asks; lease_out: True while the
    lease has run out (the line is at its safe value until the holder
    writes); pulsing: True while a pulse is under way on the line.
    """

    __slots__ = ()


def _info_from(raw: ClaimInfoStruct) -> ClaimInfo:
    return ClaimInfo(
        consumer=raw.consumer.decode("ascii", errors="replace"),
        pid=raw.pid,
        lease=raw.lease_ms / 1000 if raw.lease_ms else None,
        safe_value=1 if raw.flags & INFO_SAFE_VALUE else 0,
        keep=bool(raw.flags & INFO_KEEP),
        mine=bool(raw.flags & INFO_MINE),
        lease_out=bool(raw.flags & INFO_LEASE_OUT),
        pulsing=bool(raw.flags & INFO_PULSING),
    )


# ---- asking the service who holds a line ---------------------------------

def claim_status(board: ctypes.c_void_p, line: int, raw: ClaimInfoStruct) -> int:
    """vdio_get_claim into raw, its size set: 1 held, 0 not, or -errno."""
    raw.size = ctypes.sizeof(ClaimInfoStruct)
    status: int = LIBRARY.vdio_get_claim(board, line, ctypes.byref(raw))
    return status


def held_lines(handle: SharedHandle, device: str) -> Dict[str, ClaimInfo]:
    """Every output and LED a handle holds, by name."""
    held = {}
    raw = ClaimInfoStruct()
    for line in DRIVEN_LINES:
        status = handle.call2(claim_status, line, raw)
        if status < 0:
            raise call_error(status, "asking who holds the lines", device)
        if status == 1:
            held[line_name(line)] = _info_from(raw)
    return held


def busy_error(handle: SharedHandle, device: str, lines: int, what: str) -> OSError:
    """The error of a write, claim or pulse on lines (a line set) that the
    service refused with EBUSY: LineHeld naming the first line another
    handle holds, else the first one pulsing."""
    raw = ClaimInfoStruct()
    pulsing = None
    for line in (line for line in DRIVEN_LINES if lines & 1 << line):
        try:
            status = handle.call2(claim_status, line, raw)
        except Closed:
            break
        if status == 1 and not raw.flags & INFO_MINE:
            return LineHeld(what, device, line_name(line),
                            raw.consumer.decode("ascii", errors="replace"), raw.pid)
        if status >= 0 and raw.flags & INFO_PULSING and pulsing is None:
            pulsing = line
    if pulsing is not None:
        return LineHeld(what, device, line_name(pulsing), pulsing=True)
    first = next(line for line in DRIVEN_LINES if lines & 1 << line)
    return LineHeld(what, device, line_name(first))


def write_error(handle: SharedHandle, device: str, code: int, lines: int, what: str) -> OSError:
    """The error of a failed write, claim or pulse on lines: LineHeld for EBUSY."""
    if code == -errno.EBUSY:
        return busy_error(handle, device, lines, what)
    return call_error(code, what, device)


# ---- the checks of a claim, all made before the service is asked -----------

def _claimed_lines(names: Tuple[str, ...]) -> Dict[int, str]:
    if not names:
        raise ValueError("no line to claim: name at least one output (DO0..DO7) or LED "
                         "(LED1..LED3)")
    lines = (driven_line_number(name, "claim") for name in names)
    return {line: line_name(line) for line in lines}


def _safe_values(safe: Optional[Mapping[str, int]], claimed: Dict[int, str]) -> int:
    if safe is None:
        return 0
    if not hasattr(safe, "items"):
        raise ValueError(f"safe {safe!r}: give a dict of line name to level 0 or 1, "
                         f"as {{'DO0': 0}}")
    bits = 0
    for name, level in safe.items():
        line = driven_line_number(name, "give a safe value to")
        if line not in claimed:
            raise ValueError(f"safe value for {line_name(line)}, which is not claimed: claim it "
                             f"too, or leave it out of safe (claimed: "
                             f"{', '.join(claimed.values())})")
        bits |= checked_level(level, line_name(line)) << line
    return bits


def _lease_ms(lease: Optional[float]) -> int:
    if lease is None:
        return 0
    if isinstance(lease, (int, float)) and not isinstance(lease, bool) and math.isfinite(lease):
        milliseconds = round(lease * 1000)
        if MIN_LEASE_MS <= milliseconds <= MAX_LEASE_MS:
            return milliseconds
    raise ValueError(f"lease {lease!r}: give seconds from {MIN_LEASE_MS / 1000:g} to "
                     f"{MAX_LEASE_MS / 1000:g}, or None for no lease")


def _consumer_bytes(consumer: str) -> bytes:
    if isinstance(consumer, str) and all(" " <= c <= "~" for c in consumer) \
            and len(consumer) < CONSUMER_SIZE:
        return consumer.encode("ascii")
    raise ValueError(f"consumer {consumer!r}: give printable ASCII of at most "
                     f"{CONSUMER_SIZE - 1} characters (\"\" for the program's name)")


def claim_request(names: Tuple[str, ...], safe: Optional[Mapping[str, int]],
                  lease: Optional[float], consumer: str, keep: bool) -> ClaimStruct:
    """struct vdio_claim for the arguments of Board.claim; ValueError naming
    the first one that is wrong."""
    claimed = _claimed_lines(names)
    request = ClaimStruct()
    request.size = ctypes.sizeof(ClaimStruct)
    request.safe_values = _safe_values(safe, claimed)
    request.lease_ms = _lease_ms(lease)
    request.consumer = _consumer_bytes(consumer)
    if not isinstance(keep, bool):
        raise ValueError(f"keep {keep!r}: give True (leave the lines as they are when the claim "
                         f"ends) or False (apply the safe values)")
    request.flags = CLAIM_KEEP if keep else 0
    request.lines = sum(1 << line for line in claimed)
    return request


class Claim:
    """Outputs and LEDs that only the board that claimed them may write,
    held by the board service until release(), the board's close(), or the
    program's end, whichever comes first: the service then applies their
    safe values (or leaves them, with keep). A context manager: leaving the
    with block releases the lines, also on an exception.

    lines names the claimed lines, in the board's order.
    """

    def __init__(self, board: Board, request: ClaimStruct) -> None:
        self._board = board
        self._lines = request.lines
        self.lines: Tuple[str, ...] = tuple(line_name(line) for line in DRIVEN_LINES
                                            if request.lines & 1 << line)
        self._released = False

    @property
    def released(self) -> bool:
        """True once release() was called or the board closed."""
        return self._released or self._board.closed

    def release(self) -> None:
        """Ends the claim: the service applies the lines' safe values (or
        leaves them, with keep). A second release does nothing, nor does one
        after the board was closed (the claim ended with it)."""
        if self.released:
            return
        self._released = True  # first: a failure below leaves nothing to release again
        try:
            result = self._board._handle.call(LIBRARY.vdio_release, self._lines)
        except Closed:
            return
        if result < 0:
            raise call_error(result, f"releasing {', '.join(self.lines)}", self._board.device)

    def __enter__(self) -> Claim:
        return self

    def __exit__(self, *exception: object) -> None:
        self.release()

    def __repr__(self) -> str:
        state = "released" if self.released else "held"
        return f"<varnik_dio.Claim {', '.join(self.lines)} {state}>"
