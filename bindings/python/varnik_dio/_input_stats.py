"""The inputs' counts, frequencies, latches and on-times, kept by the board
service's sampler for every client, and how that sampler is doing."""

from __future__ import annotations

import ctypes
import errno
from collections import namedtuple

from ._errors import call_error
from ._library import (CLEAR_COUNTS, CLEAR_LATCHES, CLEAR_ON_TIME, DEVICE_SERVICE, INPUT_COUNT,
                       INPUT_FELL, INPUT_ROSE, LIBRARY, SAMPLER_REALTIME, InputStatsStruct,
                       SamplerInfoStruct)
from ._lines import line_name, line_number

# typing costs milliseconds at import: only type checkers read it.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Dict, NamedTuple

    from ._handle import SharedHandle

    class _InputStatsFields(NamedTuple):
        line: str
        rising: int
        falling: int
        frequency_mhz: int
        on_time_ms: int
        rose: bool
        fell: bool
        debounce_us: int

    class _SamplerInfoFields(NamedTuple):
        interval: float
        samples: int
        late_samples: int
        worst_late: float
        realtime: bool
        frequency_window: float
else:
    _InputStatsFields = namedtuple("InputStats", ["line", "rising", "falling", "frequency_mhz",
                                                  "on_time_ms", "rose", "fell", "debounce_us"])
    _SamplerInfoFields = namedtuple("SamplerInfo", ["interval", "samples", "late_samples",
                                                    "worst_late", "realtime",
                                                    "frequency_window"])


class InputStats(_InputStatsFields):
    """One input's figures as the board service's sampler keeps them, after
    the input's debounce, since they were last cleared.

    line: "DI0".."DI7"; rising, falling: the edges counted (64-bit);
    frequency_mhz: rising edges in the service's frequency window, minus one,
    over the time from the first to the last of them, in millihertz (0 with
    fewer than two); on_time_ms: the time active, in milliseconds; rose,
    fell: True once a rising (falling) edge was seen since the latches were
    cleared; debounce_us: the input's debounce in the service, microseconds.
    """

    __slots__ = ()


class SamplerInfo(_SamplerInfoFields):
    """How the board service samples the inputs.

    interval: seconds between samples; samples: taken since the service
    started; late_samples: those taken an interval or more after their time
    (a pulse shorter than that could be missed); worst_late: the worst
    lateness among them, in seconds; realtime: True when the sampler runs with
    SCHED_FIFO (dio-boardd --realtime); frequency_window: the window of the
    frequencies, in seconds.
    """

    __slots__ = ()


def _stats_from(line: int, raw: InputStatsStruct) -> InputStats:
    return InputStats(line=line_name(line), rising=raw.rising, falling=raw.falling,
                      frequency_mhz=raw.frequency_mhz, on_time_ms=raw.on_time_ms,
                      rose=bool(raw.latches & INPUT_ROSE), fell=bool(raw.latches & INPUT_FELL),
                      debounce_us=raw.debounce_us)


def _sampler_from(raw: SamplerInfoStruct) -> SamplerInfo:
    return SamplerInfo(interval=raw.interval_ns / 1e9, samples=raw.samples,
                       late_samples=raw.late_samples, worst_late=raw.worst_late_ns / 1e9,
                       realtime=bool(raw.flags & SAMPLER_REALTIME),
                       frequency_window=raw.frequency_window_ms / 1000)


def input_line_number(name: object) -> int:
    """line_number for an input; ValueError naming an output or LED."""
    number = line_number(name)
    if number >= INPUT_COUNT:
        raise ValueError(f"{line_name(number)} is not an input: counters, frequencies, latches "
                         f"and on-times are kept for the inputs DI0..DI7 only")
    return number


def _device_kind(board: ctypes.c_void_p, _unused: None) -> int:
    kind: int = LIBRARY.vdio_device_kind(board)
    return kind


def _error(handle: SharedHandle, device: str, code: int, what: str) -> OSError:
    """The OSError of a failed call; for EOPNOTSUPP, why this board has no
    input figures and what to do."""
    if code != -errno.EOPNOTSUPP:
        return call_error(code, what, device)
    if handle.call(_device_kind, None) == DEVICE_SERVICE:
        reason = ("the board service is of a version before input counters (it was not "
                  "restarted since an upgrade): restart it")
    else:
        reason = ("input counters are kept by the board service (dio-boardd), and a device "
                  "opened directly has none: open the board on the service's socket")
    return OSError(errno.EOPNOTSUPP, f"{what} failed: {reason}", device)


def _read_all(board: ctypes.c_void_p, raw: ctypes.Array) -> int:
    for one in raw:
        one.size = ctypes.sizeof(InputStatsStruct)
    result: int = LIBRARY.vdio_read_all_input_stats(board, raw)
    return result


def read_all(handle: SharedHandle, device: str) -> Dict[str, InputStats]:
    """Every input's figures from one sample, by name, DI0 first."""
    raw = (InputStatsStruct * INPUT_COUNT)()
    result = handle.call(_read_all, raw)
    if result < 0:
        raise _error(handle, device, result, "reading the input counters")
    return {line_name(line): _stats_from(line, raw[line]) for line in range(INPUT_COUNT)}


def read_one(handle: SharedHandle, device: str, name: str) -> InputStats:
    """The figures of input name."""
    line = input_line_number(name)
    raw = InputStatsStruct()
    raw.size = ctypes.sizeof(InputStatsStruct)
    result: int = handle.call2(LIBRARY.vdio_read_input_stats, line, ctypes.byref(raw))
    if result < 0:
        raise _error(handle, device, result, f"reading the counters of {line_name(line)}")
    return _stats_from(line, raw)


def clear_flags(counts: object, latches: object, on_time: object) -> int:
    """VDIO_CLEAR_* of clear_input_stats's arguments; ValueError for a
    non-bool or none True."""
    flags = 0
    for value, argument, flag in ((counts, "counts", CLEAR_COUNTS),
                                  (latches, "latches", CLEAR_LATCHES),
                                  (on_time, "on_time", CLEAR_ON_TIME)):
        if not isinstance(value, bool):
            raise ValueError(f"{argument} {value!r}: give True (clear it) or False")
        flags |= flag if value else 0
    if not flags:
        raise ValueError("nothing to clear: give counts=True, latches=True or on_time=True")
    return flags


def clear(handle: SharedHandle, device: str, name: str, flags: int) -> None:
    """Clears flags (VDIO_CLEAR_*) of input name's figures."""
    line = input_line_number(name)
    result: int = handle.call2(LIBRARY.vdio_clear_input_stats, line, flags)
    if result < 0:
        raise _error(handle, device, result, f"clearing the counters of {line_name(line)}")


def sampler(handle: SharedHandle, device: str) -> SamplerInfo:
    """The service's sampler, as SamplerInfo."""
    raw = SamplerInfoStruct()
    raw.size = ctypes.sizeof(SamplerInfoStruct)
    result: int = handle.call(LIBRARY.vdio_get_sampler_info, ctypes.byref(raw))
    if result < 0:
        raise _error(handle, device, result, "asking how the board service samples")
    return _sampler_from(raw)
