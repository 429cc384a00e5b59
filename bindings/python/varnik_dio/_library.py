"""Loading libvarnik_dio_board and declaring the C functions the package calls."""

import ctypes
import os

SONAME = "libvarnik_dio_board.so.1"
LIBRARY_VARIABLE = "VARNIK_DIO_BOARD_LIBRARY"

# Sizes of the C API's fixed tables (varnik_dio_board.h).
LINE_COUNT = 19
INPUT_LINES = 0x000000FF
OUTPUT_LINES = 0x0000FF00
LED_LINES = 0x00070000

# Polling limits of vdio_watch_new, in microseconds.
MIN_INTERVAL_US = 1
MAX_INTERVAL_US = 10_000_000
MAX_DEBOUNCE_US = 60_000_000

RISING = 1
FALLING = 2

# enum vdio_device_kind.
DEVICE_MEMORY = 1
DEVICE_BOARD_FILE = 2
DEVICE_SERVICE = 3

# Claims and the service's pulses.
CLAIM_KEEP = 1
INFO_SAFE_VALUE = 1
INFO_KEEP = 2
INFO_MINE = 4
INFO_LEASE_OUT = 8
INFO_PULSING = 16
MIN_LEASE_MS = 10
MAX_LEASE_MS = 0xFFFF_FFFF
CONSUMER_SIZE = 32
PULSE_MAX_WIDTH_US = 3_600_000_000
PULSE_MAX_PERIOD_US = 3_600_000_000
PULSE_MAX_COUNT = 1_000_000
PULSE_MAX_TRAIN_US = 3_600_000_000

# The input functions kept by the board service.
INPUT_COUNT = 8
INPUT_ROSE = 1
INPUT_FELL = 2
CLEAR_COUNTS = 1
CLEAR_LATCHES = 2
CLEAR_ON_TIME = 4
SAMPLER_REALTIME = 1


class LineInfoStruct(ctypes.Structure):
    """struct vdio_line_info."""

    _fields_ = [
        ("name", ctypes.c_char_p),
        ("direction", ctypes.c_int32),
        ("address", ctypes.c_uint32),
        ("bit", ctypes.c_uint8),
        ("active_low", ctypes.c_uint8),
    ]


class StateStruct(ctypes.Structure):
    """struct vdio_state."""

    _fields_ = [
        ("inputs", ctypes.c_uint8),
        ("outputs", ctypes.c_uint8),
        ("leds", ctypes.c_uint8),
    ]


class EventStruct(ctypes.Structure):
    """struct vdio_event."""

    _fields_ = [
        ("line", ctypes.c_int32),
        ("value", ctypes.c_int32),
        ("edge", ctypes.c_int32),
        ("timestamp_ns", ctypes.c_uint64),
    ]


class ClaimStruct(ctypes.Structure):
    """struct vdio_claim."""

    _fields_ = [
        ("size", ctypes.c_uint32),
        ("lines", ctypes.c_uint32),
        ("safe_values", ctypes.c_uint32),
        ("flags", ctypes.c_uint32),
        ("lease_ms", ctypes.c_uint32),
        ("consumer", ctypes.c_char * CONSUMER_SIZE),
    ]


class ClaimInfoStruct(ctypes.Structure):
    """struct vdio_claim_info."""

    _fields_ = [
        ("size", ctypes.c_uint32),
        ("flags", ctypes.c_uint32),
        ("pid", ctypes.c_int32),
        ("lease_ms", ctypes.c_uint32),
        ("consumer", ctypes.c_char * CONSUMER_SIZE),
    ]


class InputStatsStruct(ctypes.Structure):
    """struct vdio_input_stats."""

    _fields_ = [
        ("size", ctypes.c_uint32),
        ("latches", ctypes.c_uint32),
        ("rising", ctypes.c_uint64),
        ("falling", ctypes.c_uint64),
        ("on_time_ms", ctypes.c_uint64),
        ("frequency_mhz", ctypes.c_uint32),
        ("debounce_us", ctypes.c_uint32),
    ]


class SamplerInfoStruct(ctypes.Structure):
    """struct vdio_sampler_info."""

    _fields_ = [
        ("size", ctypes.c_uint32),
        ("flags", ctypes.c_uint32),
        ("interval_ns", ctypes.c_uint64),
        ("samples", ctypes.c_uint64),
        ("late_samples", ctypes.c_uint64),
        ("worst_late_ns", ctypes.c_uint64),
        ("frequency_window_ms", ctypes.c_uint32),
        ("reserved", ctypes.c_uint32),
    ]


# The C layouts have no padding, on i386 (4-byte aligned uint64_t) as on
# x86-64; a mismatch would have the library write past the structure.
for _struct, _size in ((InputStatsStruct, 40), (SamplerInfoStruct, 48)):
    if ctypes.sizeof(_struct) != _size:
        raise ImportError(f"varnik_dio: {_struct.__doc__} is {_size} bytes in C, "
                          f"{ctypes.sizeof(_struct)} here")

_c_int = ctypes.c_int
_c_uint8 = ctypes.c_uint8
_c_uint32 = ctypes.c_uint32
_handle = ctypes.c_void_p

# name: (result type, argument types)
_PROTOTYPES = {
    "vdio_line_from_name": (_c_int, [ctypes.c_char_p]),
    "vdio_get_line_info": (_c_int, [_c_int, ctypes.POINTER(LineInfoStruct)]),
    "vdio_open": (_c_int, [ctypes.c_char_p, ctypes.POINTER(_handle)]),
    "vdio_close": (None, [_handle]),
    "vdio_get": (_c_int, [_handle, _c_int]),
    "vdio_set": (_c_int, [_handle, _c_int, _c_int]),
    "vdio_read": (_c_int, [_handle, ctypes.POINTER(StateStruct)]),
    "vdio_read_inputs": (_c_int, [_handle, ctypes.POINTER(_c_uint8)]),
    "vdio_write_outputs": (_c_int, [_handle, _c_uint8, _c_uint8]),
    "vdio_write_leds": (_c_int, [_handle, _c_uint8, _c_uint8]),
    "vdio_watch_new": (_c_int, [_handle, _c_uint32, _c_uint32, _c_uint32, ctypes.POINTER(_handle)]),
    "vdio_watch_next": (_c_int, [_handle, _c_int, ctypes.POINTER(EventStruct)]),
    "vdio_watch_free": (None, [_handle]),
    "vdio_watch_fd": (_c_int, [_handle]),
    "vdio_device_kind": (_c_int, [_handle]),
    "vdio_claim": (_c_int, [_handle, ctypes.POINTER(ClaimStruct)]),
    "vdio_release": (_c_int, [_handle, _c_uint32]),
    "vdio_pulse": (_c_int, [_handle, _c_int, ctypes.c_uint64, _c_uint32, ctypes.c_uint64]),
    "vdio_get_claim": (_c_int, [_handle, _c_int, ctypes.POINTER(ClaimInfoStruct)]),
    "vdio_read_input_stats": (_c_int, [_handle, _c_int, ctypes.POINTER(InputStatsStruct)]),
    "vdio_read_all_input_stats": (_c_int, [_handle, ctypes.POINTER(InputStatsStruct)]),
    "vdio_clear_input_stats": (_c_int, [_handle, _c_int, _c_uint32]),
    "vdio_get_sampler_info": (_c_int, [_handle, ctypes.POINTER(SamplerInfoStruct)]),
    "vdio_version": (ctypes.c_char_p, []),
}


def library_path() -> str:
    """The library to load: $VARNIK_DIO_BOARD_LIBRARY when set, else the SONAME."""
    return os.environ.get(LIBRARY_VARIABLE) or SONAME


def _declare(library: ctypes.CDLL) -> None:
    for name, (result, arguments) in _PROTOTYPES.items():
        function = getattr(library, name)
        function.restype = result
        function.argtypes = arguments


def load() -> ctypes.CDLL:
    """Loads the board library (ctypes releases the GIL around every call).

    Raises ImportError naming the library and what to do when it cannot be
    loaded or lacks a function of the board API.
    """
    path = library_path()
    try:
        library = ctypes.CDLL(path)
        _declare(library)
    except (OSError, AttributeError) as error:
        raise ImportError(
            f"varnik_dio: cannot use the board library {path!r}: {error}; "
            f"install libvarnik-dio-board1, or set {LIBRARY_VARIABLE} to the "
            f"path of {SONAME}"
        ) from error
    return library


LIBRARY = load()
