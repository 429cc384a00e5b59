"""wait and watch, with inputs flipped by dio-sim from another process."""

import signal
import subprocess
import sys
import textwrap
import time

import pytest

import board_registers as registers
from conftest import event_summary, finished, flip_later


# ---- wait ---------------------------------------------------------------


def test_wait_returns_at_once_when_the_line_has_the_level(board):
    began = time.monotonic()
    assert board.wait("DI3", 0, timeout=5)
    assert board.wait("do0", 0)
    assert time.monotonic() - began < 0.5


def test_wait_sees_an_input_set_by_another_process(board, board_file):
    flipper = flip_later(board_file, 0.2, "DI3=1")
    began = time.monotonic()
    assert board.wait("di3", 1, timeout=10)
    assert board.get("DI3") == 1 and time.monotonic() - began >= 0.2
    finished(flipper)


def test_wait_ignores_other_lines_and_honours_its_timeout(board, board_file):
    flipper = flip_later(board_file, "DI4=1")
    began = time.monotonic()
    assert board.wait("DI3", 1, timeout=0.5) is False
    waited = time.monotonic() - began
    finished(flipper)
    assert 0.5 <= waited < 1.0
    assert board.wait("DI3", 1, timeout=0) is False


def test_an_infinite_timeout_waits_without_end(board, board_file):
    flipper = flip_later(board_file, 0.2, "DI3=1", 0.2, "DI3=0")
    assert board.wait("DI3", 1, timeout=float("inf"))
    with board.watch("DI3", timeout=float("inf")) as watch:
        assert event_summary([next(watch)]) == ["DI3 falling 0"]
    finished(flipper)


@pytest.mark.parametrize("timeout", [-1, -float("inf"), float("nan"), "1", True])
def test_a_bad_timeout_is_a_value_error(board, timeout):
    with pytest.raises(ValueError, match="timeout"):
        board.wait("DI0", 1, timeout=timeout)
    with pytest.raises(ValueError, match="timeout"):
        board.watch(timeout=timeout)


# ---- watch --------------------------------------------------------------


def test_watch_reports_changes_made_by_another_process_in_order(board, board_file):
    began = time.monotonic()
    with board.watch(timeout=10) as watch:
        flipper = flip_later(board_file, "DI2=1", 0.1, "DI2=0 DI5=1")
        events = [next(watch), next(watch), next(watch)]
    finished(flipper)
    assert event_summary(events) == ["DI2 rising 1", "DI2 falling 0", "DI5 rising 1"]
    assert all(began <= event.timestamp <= time.monotonic() for event in events)
    assert [event.timestamp for event in events] == sorted(event.timestamp for event in events)
    assert events[0].timestamp_ns == round(events[0].timestamp * 1e9)


def test_watch_reports_only_the_lines_named(board, board_file):
    with board.watch(["DI5", "do1"], timeout=5) as watch:
        finished(flip_later(board_file, "DI4=1", "DI5=1"))
        board.set("DO0", 1)
        board.set("DO1", 1)
        events = [next(watch), next(watch)]
    assert event_summary(events) == ["DI5 rising 1", "DO1 rising 1"]
    with board.watch("LED1", timeout=5) as watch:  # one name as a string
        board.set("LED2", 1)
        board.set("LED1", 1)
        assert event_summary([next(watch)]) == ["LED1 rising 1"]


def test_watch_ends_at_its_timeout(board, board_file):
    finished(flip_later(board_file, "DI1=1"))  # before the watch: its starting point
    began = time.monotonic()
    events = list(board.watch(timeout=0.4))
    ended = time.monotonic() - began
    assert events == [] and 0.4 <= ended < 0.9


def test_watch_timeout_counts_from_the_call_not_from_each_event(board, board_file):
    began = time.monotonic()
    watch = board.watch(timeout=0.6)
    flipper = flip_later(board_file, 0.2, "DI0=1", 0.2, "DI0=0", 0.2, "DI0=1", 0.2, "DI0=0")
    events = list(watch)
    ended = time.monotonic() - began
    flipper.kill()
    flipper.wait()
    assert 0.6 <= ended < 1.0
    assert 1 <= len(events) <= 3 and watch.closed


def test_a_change_shorter_than_the_debounce_is_never_reported(board, board_file):
    with board.watch("DI6", debounce=0.5, timeout=1.5) as watch:
        flipper = flip_later(board_file, "DI6=1", 0.05, "DI6=0")
        events = list(watch)
    finished(flipper)
    assert events == []


def test_a_change_is_reported_once_it_held_the_debounce_time(board, board_file):
    with board.watch("DI6", interval=0.005, debounce=0.3, timeout=5) as watch:
        flipped = time.monotonic()
        finished(flip_later(board_file, "DI6=1"))
        event = next(watch)
        reported = time.monotonic()
    assert event_summary([event]) == ["DI6 rising 1"]
    assert reported - flipped >= 0.3
    assert event.timestamp >= flipped


@pytest.mark.parametrize("option, value, message", [
    ("interval", 0, "interval"), ("interval", 11, "interval"), ("interval", "0.01", "interval"),
    ("debounce", -0.1, "debounce"), ("debounce", 61, "debounce"), ("debounce", float("inf"), "debounce"),
    ("names", [], "no line")])
def test_bad_watch_options_are_value_errors_naming_them(board, option, value, message):
    with pytest.raises(ValueError, match=message):
        board.watch(**{option: value})


def test_a_closed_watch_ends_its_iteration(board):
    watch = board.watch()
    watch.close()
    watch.close()
    assert watch.closed and list(watch) == []


# ---- Ctrl-C -------------------------------------------------------------

PROGRAM_PREAMBLE = """
import sys, varnik_dio
board = varnik_dio.Board(sys.argv[1])
print("ready", flush=True)
"""


@pytest.mark.parametrize("waiting", [
    "board.wait('DI0', 1)",
    "board.wait('DI0', 1, timeout=float('inf'))",
    "for event in board.watch(): pass",
    "board.pulse('DO4', width=60)",
])
def test_ctrl_c_ends_a_wait_promptly_with_keyboard_interrupt(board_file, waiting):
    program = PROGRAM_PREAMBLE + waiting
    process = subprocess.Popen([sys.executable, "-c", textwrap.dedent(program), str(board_file)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert process.stdout.readline() == "ready\n"
    time.sleep(0.3)  # well into the wait
    interrupted = time.monotonic()
    process.send_signal(signal.SIGINT)
    _, errors = process.communicate(timeout=10)
    stopped = time.monotonic() - interrupted
    assert "KeyboardInterrupt" in errors
    assert process.returncode == -signal.SIGINT
    assert stopped < 0.5
    assert registers.driven_mask(board_file, ["DO4"]) == 0
