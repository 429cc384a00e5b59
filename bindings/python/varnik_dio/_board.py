"""The board held open: lines by name, whole groups, pulses, waits and watches."""

from __future__ import annotations

import ctypes
import os
from _thread import get_ident
from collections import namedtuple

from ._claims import Claim, ClaimInfo, claim_request, claim_status, held_lines, write_error
from ._device import KIND_NAMES, default_device_name, device_path
from ._errors import call_error, open_error
from ._handle import SharedHandle
from ._input_stats import InputStats, SamplerInfo, clear, clear_flags, read_all, read_one, sampler
from ._library import (DEVICE_SERVICE, INFO_PULSING, LED_LINES, LIBRARY, OUTPUT_LINES,
                       PULSE_MAX_COUNT, PULSE_MAX_PERIOD_US, PULSE_MAX_TRAIN_US,
                       PULSE_MAX_WIDTH_US, ClaimInfoStruct, StateStruct)
from ._lines import (DRIVEN_LINE_NUMBERS, LED_MASK_LIMIT, LINE_NUMBERS, OUTPUT_MASK_LIMIT,
                     checked_level, checked_mask, driven_line_number, line_name, line_number,
                     line_set)
from ._shared import Closed
from ._watch import Watch, seconds_to_us

# typing costs milliseconds at import: only type checkers read it.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Dict, Iterable, Mapping, NamedTuple, Optional, Tuple, Union

    from ._async import AsyncWatch
    from ._device import Device

    class _StateFields(NamedTuple):
        inputs: int
        outputs: int
        leds: int
else:
    _StateFields = namedtuple("State", ["inputs", "outputs", "leds"])

# How often a pulse carried out by the board service is asked whether it is
# over, once its last pulse should have ended.
_PULSE_POLL_SECONDS = 0.005

# get() and set()'s C functions, looked up once: an attribute of the CDLL
# costs a tenth of the call.
_vdio_get = LIBRARY.vdio_get
_vdio_set = LIBRARY.vdio_set


def _device_kind(board: ctypes.c_void_p, _unused: None) -> int:
    kind: int = LIBRARY.vdio_device_kind(board)
    return kind


class State(_StateFields):
    """Every line at once: bit n of inputs is DIn, of outputs DOn, bit i of
    leds LED(i+1)."""

    __slots__ = ()


class Board:
    """The board's digital I/O, held open until close().

    device is the board service's socket (dio-boardd's, any path), the
    physical memory device ("/dev/mem", which needs root or CAP_SYS_RAWIO)
    or a simulated board's board file. None, the default, leaves the choice
    to the board library: the device named by $VARNIK_DIO_DEVICE, else the
    service's socket /run/varnik-dio/board.sock when that socket exists
    (with no fallback when nothing serves it), else "/dev/mem". Levels are
    logical: 1 is an active input, a driven output, a lit LED. One board
    may be used from several threads at once; close() waits for calls under
    way, also when a signal handler closes the board.

    The attribute device is the device as a str: for None, the one the
    library's default names; device_kind says what it is.

    Raises the OSError subclass of the failure (FileNotFoundError,
    PermissionError, ...) naming the device when it cannot be opened, and
    ValueError for an empty device.
    """

    def __init__(self, device: Optional[Device] = None) -> None:
        path = device_path(device)
        self.device: str = default_device_name() if path is None else os.fsdecode(path)
        # The handle first: an interrupt right after vdio_open leaves the
        # board in it, for __del__ to close.
        self._handle = SharedHandle(self.device)
        result = LIBRARY.vdio_open(path, ctypes.byref(self._handle.holder))
        if result < 0:
            raise open_error(result, self.device)

    # ---- opening and closing --------------------------------------------

    def close(self) -> None:
        """Ends the board's watches, pulses and claims and closes it, once the
        calls under way in other threads have ended; later calls raise
        ValueError. The board service applies the claimed lines' safe values
        then, and finishes the pulses it times.
        A second close does nothing. From a signal handler, the call it
        interrupted ends first and the board is closed then."""
        self._handle.close()

    @property
    def closed(self) -> bool:
        """True once the board is closed."""
        return self._handle.closed

    @property
    def device_kind(self) -> str:
        """What the board was opened on: "service" (the board service's
        socket), "memory" (the physical memory device) or "board file"."""
        kind: int = self._handle.call(_device_kind, None)
        if kind < 0:
            raise call_error(kind, "asking the device's kind", self.device)
        return KIND_NAMES[kind]

    def __enter__(self) -> Board:
        return self

    def __exit__(self, *exception: object) -> None:
        self.close()

    def __del__(self) -> None:
        handle = getattr(self, "_handle", None)
        if handle is not None and not handle.freed:
            handle.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<varnik_dio.Board device={self.device!r} {state}>"

    # ---- single lines ---------------------------------------------------

    def get(self, name: str) -> int:
        """The level of the line called name ("DI3", "do3", "LED2"): 0 or 1.
        ValueError for a name of no line."""
        try:
            line = LINE_NUMBERS[name]
        except (KeyError, TypeError):
            line = line_number(name)
        # SharedPointer.call written out, as in set(): this is the hot path.
        handle = self._handle
        me = get_ident()
        users = handle.users
        try:
            users.append(me)
            if handle.closed:
                raise handle.closed_error()
            level: int = _vdio_get(handle.holder, line)
        finally:
            users.remove(me)
            if handle.freed_by_last_user and not users:
                handle.free()
        if level < 0:
            raise call_error(level, "reading a line", self.device)
        return level

    def set(self, name: str, level: int) -> None:
        """Drives output or LED name to level 0 or 1. ValueError for an input,
        a name of no line or another level; nothing is written then."""
        try:
            line = DRIVEN_LINE_NUMBERS[name]
        except (KeyError, TypeError):
            line = driven_line_number(name, "set")
        if type(level) is not int or not 0 <= level <= 1:
            level = checked_level(level, name)
        handle = self._handle
        me = get_ident()
        users = handle.users
        try:
            users.append(me)
            if handle.closed:
                raise handle.closed_error()
            result: int = _vdio_set(handle.holder, line, level)
        finally:
            users.remove(me)
            if handle.freed_by_last_user and not users:
                handle.free()
        if result < 0:
            raise write_error(handle, self.device, result, 1 << line, "writing a line")

    def toggle(self, name: str) -> int:
        """Turns output or LED name to its other level; returns the new level."""
        line = driven_line_number(name, "toggle")
        level = 1 - self._get(line)
        self._set(line, level)
        return level

    def pulse(self, name: str, width: float = 0.1, count: int = 1,
              period: Optional[float] = None) -> None:
        """Turns output or LED name to its other level for width seconds, then
        back, count times, each pulse starting period seconds after the one
        before (None: twice the width); returns when the last one is over.

        On a board file or the memory device this program times the pulses:
        the line ends as it began, also when interrupted (Ctrl-C) and when
        the board is closed meanwhile: that ends the pulses early, and it
        raises ValueError.

        Through the board service, the service times them and finishes them
        even when this program stops: Ctrl-C or a close() ends only the wait
        (close() raising ValueError), and meanwhile every write to the line
        is refused, this board's too. LineHeld when the line is pulsing
        already or another board holds it.

        ValueError, with nothing written, for an input, a width outside
        1 us..1 h, a count outside 1..1,000,000, or (for more than one pulse)
        a period not above the width or above an hour.
        """
        line = driven_line_number(name, "pulse")
        timing = _pulse_timing(width, count, period)
        pulses = self._service_pulse if self._through_service() else self._pulse
        # One call on the board from start to end: close() waits for the
        # line to be restored, or for the wait to end.
        if not self._handle.call2(pulses, line, timing):
            after = ("the board service finishes it" if pulses == self._service_pulse
                     else f"{name} is back at its level")
            raise Closed(f"the board {self.device!r} was closed during the pulse of {name}; "
                         f"{after}")

    def _through_service(self) -> bool:
        kind: int = self._handle.call(_device_kind, None)
        return kind == DEVICE_SERVICE

    def _pulse(self, board: ctypes.c_void_p, line: int, timing: Tuple[int, int, int]) -> bool:
        width_us, count, period_us = timing
        level = self._checked_result(LIBRARY.vdio_get(board, line), "reading a line")
        for pulse in range(count):
            if pulse and not self._handle.sleep((period_us - width_us) / 1e6):
                return False
            try:
                # The flip inside the try: when Ctrl-C comes before it, the
                # finally writes the level the line has, which changes nothing.
                self._checked_result(LIBRARY.vdio_set(board, line, 1 - level), "writing a line")
                if not self._handle.sleep(width_us / 1e6):
                    return False
            finally:
                self._checked_result(LIBRARY.vdio_set(board, line, level), "writing a line")
        return True

    def _service_pulse(self, board: ctypes.c_void_p, line: int,
                       timing: Tuple[int, int, int]) -> bool:
        width_us, count, period_us = timing
        result: int = LIBRARY.vdio_pulse(board, line, width_us, count, period_us)
        if result < 0:
            raise write_error(self._handle, self.device, result, 1 << line,
                              f"pulsing {line_name(line)}")
        if not self._handle.sleep((width_us + (count - 1) * period_us) / 1e6):
            return False
        # The service's clock and ours differ by a request's trip: ask it.
        raw = ClaimInfoStruct()
        while True:
            status = claim_status(board, line, raw)
            if status < 0:
                raise call_error(status, "asking whether the pulse is over", self.device)
            if not raw.flags & INFO_PULSING:
                return True
            if not self._handle.sleep(_PULSE_POLL_SECONDS):
                return False

    # ---- claims, through the board service --------------------------------

    def claim(self, *names: str, safe: Optional[Mapping[str, int]] = None,
              lease: Optional[float] = None, consumer: str = "", keep: bool = False) -> Claim:
        """Claims outputs and LEDs for this board through the board service:
        until the claim ends only this board writes them, and others' writes
        raise LineHeld. Returns the Claim, a context manager whose exit
        releases the lines.

        When the claim ends (release(), close(), or this program ending in
        any way, kill -9 included) the service drives the lines to their
        safe values at once: safe maps names to 0 or 1, every line not in it
        getting 0; keep=True leaves them as they are instead. lease (seconds,
        None for none) has the service apply the safe values when this board
        made no call for that long; the claim stays, and the next write
        applies on top. One lease per board: the last claim's applies to all
        of its claims. consumer is shown to others and logged ("": the
        program's name).

        ValueError, before anything is asked, for no name, an input or a name
        of no line, a safe value for a line not claimed or a level other than
        0 or 1, a lease not above 0 or beyond 4294967.295 s, or a consumer
        that is not printable ASCII of at most 31 characters. LineHeld when
        another board holds one of the lines or one is pulsing (nothing is
        claimed then); OSError with EOPNOTSUPP on a board not opened through
        the service.
        """
        request = claim_request(names, safe, lease, consumer, keep)
        claim = Claim(self, request)
        result: int = self._handle.call(LIBRARY.vdio_claim, ctypes.byref(request))
        if result < 0:
            raise write_error(self._handle, self.device, result, request.lines,
                              f"claiming {', '.join(claim.lines)}")
        return claim

    def claims(self) -> Dict[str, ClaimInfo]:
        """Every claimed output and LED, by name, with who holds it
        (ClaimInfo); lines nobody holds are left out. OSError with
        EOPNOTSUPP on a board not opened through the board service."""
        return held_lines(self._handle, self.device)

    # ---- input functions, kept by the board service ---------------------

    def input_stats(self, name: Optional[str] = None
                    ) -> Union[InputStats, Dict[str, InputStats]]:
        """The figures the board service keeps for input name ("DI3", any
        case): an InputStats (line, rising, falling, frequency_mhz,
        on_time_ms, rose, fell, debounce_us). With no name, every input's,
        all from one sample of the service: a dict by name, DI0 to DI7 in
        order.

        ValueError for an output, an LED or a name of no line; OSError with
        EOPNOTSUPP on a board not opened through the board service (or
        through a service started before it kept them: restart it).
        """
        if name is None:
            return read_all(self._handle, self.device)
        return read_one(self._handle, self.device, name)

    def clear_input_stats(self, name: str, counts: bool = True, latches: bool = True,
                          on_time: bool = False) -> None:
        """Sets to zero, for every client of the board service, input name's
        counts (rising and falling), latches and on-time, each when True.
        Any board may clear, claims or not: clearing drives no line.

        ValueError, before the service is asked, for an output, an LED, a
        name of no line, an argument that is not a bool, or none True;
        OSError with EOPNOTSUPP as for input_stats().
        """
        flags = clear_flags(counts, latches, on_time)
        clear(self._handle, self.device, name, flags)

    def sampler_info(self) -> SamplerInfo:
        """How the board service samples the inputs: SamplerInfo(interval,
        samples, late_samples, worst_late, realtime, frequency_window), times
        in seconds. OSError with EOPNOTSUPP as for input_stats()."""
        return sampler(self._handle, self.device)

    # ---- whole groups ---------------------------------------------------

    @property
    def inputs(self) -> int:
        """DI0..DI7 as bits 0..7 (1 = active). Read only."""
        mask = ctypes.c_uint8()
        self._checked_result(self._handle.call(LIBRARY.vdio_read_inputs, ctypes.byref(mask)),
                             "reading the inputs")
        return mask.value

    @property
    def outputs(self) -> int:
        """DO0..DO7 as bits 0..7 (1 = driven), as the registers hold them.
        Assigning an int 0..0xff drives all eight."""
        return self.read().outputs

    @outputs.setter
    def outputs(self, mask: int) -> None:
        values = checked_mask(mask, "outputs", OUTPUT_MASK_LIMIT)
        self._checked_write(
            self._handle.call2(LIBRARY.vdio_write_outputs, OUTPUT_MASK_LIMIT, values),
            OUTPUT_LINES, "writing the outputs")

    @property
    def leds(self) -> int:
        """LED1..LED3 as bits 0..2 (1 = lit). Assigning an int 0..7 sets all three."""
        return self.read().leds

    @leds.setter
    def leds(self, mask: int) -> None:
        values = checked_mask(mask, "leds", LED_MASK_LIMIT)
        self._checked_write(self._handle.call2(LIBRARY.vdio_write_leds, LED_MASK_LIMIT, values),
                            LED_LINES, "writing the LEDs")

    def read(self) -> State:
        """All nineteen lines in one pass."""
        raw = StateStruct()
        self._checked_result(self._handle.call(LIBRARY.vdio_read, ctypes.byref(raw)),
                             "reading the board")
        return State(inputs=raw.inputs, outputs=raw.outputs, leds=raw.leds)

    # ---- waiting for changes --------------------------------------------

    def wait(self, name: str, level: int, timeout: Optional[float] = None,
             *, interval: float = 0.01) -> bool:
        """Waits until line name has level 0 or 1, polling every interval
        seconds: True once it has (at once if it has it now), False when
        timeout seconds passed first (None: no end). Ctrl-C ends it with
        KeyboardInterrupt."""
        line = line_number(name)
        wanted = checked_level(level, name)
        # The watch is made first: a change between it and the look below
        # is then still reported.
        with Watch(self, 1 << line, interval, 0, timeout) as watch:
            if self._get(line) == wanted:
                return True
            reached = any(event.value == wanted for event in watch)
        if not reached and self.closed:
            raise ValueError(f"the board {self.device!r} was closed while waiting for {name}")
        return reached

    def watch(self, names: Optional[Union[str, Iterable[str]]] = None, interval: float = 0.01,
              debounce: float = 0, timeout: Optional[float] = None) -> Watch:
        """The changes of the lines called names (None: every input) as an
        iterator of Event, polling every interval seconds. A new level is
        reported once it has held debounce seconds: shorter changes are never
        reported. The iteration ends timeout seconds after this call (None:
        no end), when the watch is closed, and with KeyboardInterrupt at
        Ctrl-C."""
        return Watch(self, line_set(names), interval, debounce, timeout)

    # ---- waiting for changes under asyncio --------------------------------

    async def wait_async(self, name: str, level: int, timeout: Optional[float] = None,
                         *, interval: float = 0.01) -> bool:
        """wait() for asyncio: the same arguments and results, but the event
        loop runs meanwhile. Through the board service it wakes when the
        service reports a change; on a device opened directly it polls every
        interval seconds on the loop's timer. Cancelling it ends the wait."""
        from ._async import wait  # asyncio only for those who use it
        return await wait(self, name, level, timeout, interval)

    def watch_async(self, names: Optional[Union[str, Iterable[str]]] = None,
                    interval: float = 0.01, debounce: float = 0,
                    timeout: Optional[float] = None) -> AsyncWatch:
        """watch() for asyncio (``async for event in board.watch_async(): ...``):
        the same arguments and events, waiting as wait_async() does. The
        starting point is the levels at this call. Cancelling the task that
        iterates it (task.cancel(), Ctrl-C under asyncio.run) closes it."""
        from ._async import AsyncWatch  # asyncio only for those who use it
        return AsyncWatch(self.watch(names, interval, debounce, timeout))

    # ---- calls on the open board ----------------------------------------

    def _get(self, line: int) -> int:
        level: int = self._handle.call(LIBRARY.vdio_get, line)
        if level < 0:
            raise call_error(level, "reading a line", self.device)
        return level

    def _set(self, line: int, level: int) -> None:
        result: int = self._handle.call2(LIBRARY.vdio_set, line, level)
        self._checked_write(result, 1 << line, "writing a line")

    def _checked_write(self, result: int, lines: int, what: str) -> None:
        if result < 0:
            raise write_error(self._handle, self.device, result, lines, what)

    def _checked_result(self, result: int, what: str) -> int:
        if result < 0:
            raise call_error(result, what, self.device)
        return result


def _pulse_timing(width: object, count: object, period: object) -> Tuple[int, int, int]:
    """A pulse's width, count and period (0 for one pulse) in microseconds;
    ValueError naming the one that is wrong."""
    width_us = seconds_to_us(width, "width", 1, PULSE_MAX_WIDTH_US)
    if type(count) is not int or not 1 <= count <= PULSE_MAX_COUNT:
        raise ValueError(f"count {count!r}: give a whole number of pulses from 1 to "
                         f"{PULSE_MAX_COUNT:,}")
    if period is None:
        period_us = 2 * width_us
    else:
        period_us = seconds_to_us(period, "period", 1, PULSE_MAX_PERIOD_US)
    if count > 1 and not width_us < period_us <= PULSE_MAX_PERIOD_US:
        raise ValueError(f"period {period!r} for {count} pulses of {width!r} s: give seconds "
                         f"above the width, at most {PULSE_MAX_PERIOD_US / 1e6:g}")
    if count > 1 and period_us * (count - 1) + width_us > PULSE_MAX_TRAIN_US:
        raise ValueError(f"{count} pulses every {period_us / 1e6:g} s: the whole train may "
                         f"last at most {PULSE_MAX_TRAIN_US / 1e6:g} s")
    return width_us, count, period_us if count > 1 else 0
