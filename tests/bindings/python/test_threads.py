"""One board shared by threads: writes side by side, a watch in its own
thread, and closing while others are busy."""

import threading
import time


import board_registers as registers
import varnik_dio
from conftest import Sim, device_mappings

OUTPUT_NAMES = [f"DO{n}" for n in range(8)]


def run_threads(targets):
    threads = [threading.Thread(target=target) for target in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
        assert not thread.is_alive()


def test_threads_driving_their_own_outputs_never_disturb_each_other(board, board_file):
    failures = []

    def drive(n):
        name = f"DO{n}"
        for round_number in range(2000):
            level = (round_number + n) % 2
            board.set(name, level)
            if board.get(name) != level:
                failures.append((name, round_number))

    run_threads([lambda n=n: drive(n) for n in range(8)])
    assert failures == []
    # Each thread ended on level (1999 + n) % 2.
    expected = sum(1 << n for n in range(8) if (1999 + n) % 2)
    assert board.outputs == expected
    assert registers.driven_mask(board_file, OUTPUT_NAMES) == expected


def test_a_watch_in_one_thread_sees_what_another_thread_writes(board):
    seen = []

    def watch():
        seen.extend(event.line for event in board.watch(["DO0", "DO7"], timeout=5))

    watcher = threading.Thread(target=watch)
    with board.watch("DO0", timeout=5) as started:  # the other watch's start is this one's
        watcher.start()
        time.sleep(0.2)
        board.set("DO0", 1)
        next(started)
    board.set("DO7", 1)
    watcher.join(timeout=10)
    assert seen[:2] == ["DO0", "DO7"]


def test_close_ends_the_watches_waits_and_pulses_of_other_threads(sim: Sim, board_file):
    board = varnik_dio.Board()
    outcomes = {}

    def watch():
        outcomes["watch"] = list(board.watch())

    def wait():
        try:
            board.wait("DI1", 1)
        except ValueError as error:
            outcomes["wait"] = str(error)

    def write():
        try:
            while True:
                board.toggle("LED1")
        except ValueError as error:
            outcomes["write"] = str(error)

    def pulse():
        try:
            board.pulse("DO4", width=30)
        except ValueError as error:
            outcomes["pulse"] = str(error)

    threads = [threading.Thread(target=target, daemon=True)
               for target in (watch, wait, write, pulse)]
    for thread in threads:
        thread.start()
    time.sleep(0.3)
    closing = time.monotonic()
    board.close()
    for thread in threads:
        thread.join(timeout=5)
    assert time.monotonic() - closing < 1.0
    assert outcomes["watch"] == []
    assert "closed" in outcomes["wait"] and "closed" in outcomes["write"]
    # The pulse ended early, its line restored before the board went.
    assert "closed" in outcomes["pulse"]
    assert registers.driven_mask(board_file, ["DO4"]) == 0
    # nothing_left_open checks the device is unmapped and closed.


def test_one_watch_iterated_by_two_threads_reports_each_event_once(board):
    watch = board.watch("LED3", timeout=2)
    seen = []
    lock = threading.Lock()

    def take():
        for event in watch:
            with lock:
                seen.append(event.value)

    threads = [threading.Thread(target=take) for _ in range(2)]
    for thread in threads:
        thread.start()
    for _ in range(20):
        board.toggle("LED3")
        time.sleep(0.03)
    for thread in threads:
        thread.join(timeout=10)
    assert sorted(seen) == [0] * 10 + [1] * 10


def test_close_waits_for_a_call_under_way_before_unmapping(sim: Sim):
    board = varnik_dio.Board()
    in_call, release = threading.Event(), threading.Event()

    def slow_call():
        # A call on the board that lasts until released, as a long read would.
        board._handle.call(lambda handle, _: (in_call.set(), release.wait(10)), None)

    caller = threading.Thread(target=slow_call)
    caller.start()
    assert in_call.wait(10)
    closer = threading.Thread(target=board.close)
    closer.start()
    time.sleep(0.2)
    assert closer.is_alive() and device_mappings() == 2
    release.set()
    closer.join(timeout=10)
    caller.join(timeout=10)
    assert not closer.is_alive() and device_mappings() == 0
