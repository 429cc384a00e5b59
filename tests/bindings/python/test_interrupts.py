"""Ctrl-C and signal handlers at any point of a call: nothing freed twice,
nothing left counted, no line left driven, no lock held against a handler.

The random cases run a program of their own that a timer interrupts
thousands of times; the exact cases raise from a ctypes function right
after the C call returned."""

import subprocess
import sys
import textwrap

import pytest

import board_registers as registers
import varnik_dio
from varnik_dio._library import LIBRARY

# Each run prints its result on the last line of its output; a program that
# hangs fails the test at this bound.
PROGRAM_SECONDS = 30


def run_program(board_file, program):
    """Runs program (on the simulated board board_file as sys.argv[1]) and
    returns its output's last line."""
    process = subprocess.run([sys.executable, "-c", textwrap.dedent(program), str(board_file)],
                             capture_output=True, text=True, timeout=PROGRAM_SECONDS)
    assert process.returncode == 0, process.stderr
    return process.stdout.splitlines()[-1]


INTERRUPTED_LOOPS = """
import ctypes, signal, sys, time, varnik_dio
board = varnik_dio.Board(sys.argv[1])
armed = False
def interrupt(signum, frame):
    global armed
    if armed:  # never inside the except block
        armed = False
        raise KeyboardInterrupt
signal.signal(signal.SIGALRM, interrupt)
signal.setitimer(signal.ITIMER_REAL, 0.0005, 0.0005)
interrupts = 0
end = time.monotonic() + 1.5
while time.monotonic() < end:
    try:
        while True:
            armed = True  # again: Python drops an exception raised in a __del__
            CALL
    except KeyboardInterrupt:
        interrupts += 1
signal.setitimer(signal.ITIMER_REAL, 0)
board.close()
print(interrupts > 200, ctypes.CDLL(None).varnik_sim_open_mappings())
"""


@pytest.mark.parametrize("call", [
    "board.get('DI0')",
    "board.set('DO1', 1)",
    "board.leds = 5",
    "board.wait('DI0', 1, timeout=0.002)",
])
def test_close_after_thousands_of_ctrl_c_inside_calls_frees_the_board_once(board_file, call):
    # Interrupted anywhere in the bookkeeping, a call once stayed counted
    # (close then waited for ever) or a watcher was freed twice (abort).
    assert run_program(board_file, INTERRUPTED_LOOPS.replace("CALL", call)) == "True 0"


CLOSED_BY_A_HANDLER = """
import ctypes, random, signal, sys, varnik_dio
signal.signal(signal.SIGALRM, lambda signum, frame: board.close())
outcomes = set()
for _ in range(20):
    board = varnik_dio.Board(sys.argv[1])
    signal.setitimer(signal.ITIMER_REAL, random.uniform(0.001, 0.02))
    try:
        CALL
        outcomes.add("ended")
    except ValueError as error:
        outcomes.add("closed" if "closed" in str(error) else str(error))
print(sorted(outcomes), ctypes.CDLL(None).varnik_sim_open_mappings())
"""


@pytest.mark.parametrize("call, outcome", [
    ("for event in board.watch(): pass", "ended"),
    ("board.wait('DI0', 1)", "closed"),
    ("while True: board.toggle('LED1')", "closed"),
    ("board.pulse('DO4', width=60)", "closed"),
])
def test_a_signal_handler_may_close_the_board_in_the_middle_of_a_call(board_file, call, outcome):
    # The handler runs in the thread whose call it interrupts: close() must
    # neither wait for that call nor take a lock it holds.
    result = run_program(board_file, CLOSED_BY_A_HANDLER.replace("CALL", call))
    assert result == f"['{outcome}'] 0"
    assert registers.driven_mask(board_file, ["DO4"]) == 0


def interrupting(monkeypatch, name, after_calls=1):
    """Replaces LIBRARY's function name by one that makes the C call and then
    raises KeyboardInterrupt, on its after_calls-th call only. Returns the
    first arguments of every call."""
    real = getattr(LIBRARY, name)
    seen = []

    def call_then_interrupt(*arguments):
        first = getattr(arguments[0], "value", arguments[0])
        seen.append(first)
        if name.endswith(("_free", "_close")) and seen.count(first) > 1:
            return None  # a second free of one pointer: recorded, not done
        result = real(*arguments)
        if len(seen) == after_calls:
            raise KeyboardInterrupt
        return result

    monkeypatch.setattr(LIBRARY, name, call_then_interrupt)
    return seen


def test_ctrl_c_right_after_a_free_never_frees_again(monkeypatch, board_file):
    board = varnik_dio.Board(board_file)
    frees = interrupting(monkeypatch, "vdio_watch_free")
    closes = interrupting(monkeypatch, "vdio_close")
    watch = board.watch()
    with pytest.raises(KeyboardInterrupt):
        watch.close()
    watch.close()
    del watch
    with pytest.raises(KeyboardInterrupt):
        board.close()
    board.close()
    del board
    assert len(frees) == len(set(frees)) == 1
    assert len(closes) == len(set(closes)) == 1


@pytest.mark.parametrize("start", [0, 1])
def test_ctrl_c_right_after_the_flip_of_a_pulse_restores_the_line(monkeypatch, board, board_file,
                                                                  start):
    board.set("DO2", start)
    interrupting(monkeypatch, "vdio_set")
    with pytest.raises(KeyboardInterrupt):
        board.pulse("DO2", width=5)
    assert registers.driven_mask(board_file, ["DO2"]) == start
