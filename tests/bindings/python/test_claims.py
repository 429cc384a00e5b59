"""Claims, leases and pulses held by the board service, seen through the
package: who may write a line, and what the line gets when its holder is gone."""

import errno
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import board_registers as registers
import varnik_dio

# The service's sampling interval (its default) and the bound the tests give
# it to act once a client is gone: the interval plus 100 ms.
INTERVAL = 0.01
BOUND = INTERVAL + 0.1


def wait_until(condition, timeout=5.0):
    """True once condition() is, polling every millisecond; False at the timeout."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.001)
    return True


def driven(board_file, *names):
    return registers.driven_mask(board_file, list(names))


@pytest.fixture
def two_boards(board_service):
    """Two boards on one service: the holder's and another program's."""
    with varnik_dio.Board(board_service.socket) as mine, \
            varnik_dio.Board(board_service.socket) as other:
        yield mine, other


def test_a_claimed_line_is_written_only_by_its_holder_until_the_claim_ends(two_boards,
                                                                           board_file):
    mine, other = two_boards
    with pytest.raises(RuntimeError):
        with mine.claim("DO0", "DO1", "do2", "DO3", safe={"DO1": 1}, consumer="mixer") as claim:
            assert claim.lines == ("DO0", "DO1", "DO2", "DO3")
            mine.outputs = 0b1101
            before = registers.pages(board_file)
            for write in (lambda: other.set("DO0", 0), lambda: other.toggle("DO3"),
                          lambda: setattr(other, "outputs", 0xF0)):
                with pytest.raises(varnik_dio.LineHeld) as refused:
                    write()
                held = refused.value
                assert (held.errno, held.consumer, held.pid) == (errno.EBUSY, "mixer", os.getpid())
                assert held.line in claim.lines
                assert f"held by mixer (pid {os.getpid()})" in str(held)
            assert registers.pages(board_file) == before
            other.set("DO4", 1)
            with pytest.raises(varnik_dio.LineHeld, match="DO2 is held by mixer"):
                other.claim("DO2", "DO5")
            raise RuntimeError("the with block ends on an exception")
    # Released on the way out: the safe values, and the lines free again.
    assert driven(board_file, "DO0", "DO1", "DO2", "DO3", "DO4") == 0b10010
    assert claim.released
    claim.release()
    other.set("DO0", 1)
    with mine.claim("LED2", keep=True):
        mine.set("LED2", 1)
    assert driven(board_file, "LED1", "LED2", "LED3") == 0b010


def test_claims_tell_who_holds_each_line(two_boards):
    mine, other = two_boards
    assert other.claims() == {}
    with mine.claim("DO6", "LED3", safe={"LED3": 1}, lease=2.5, consumer="oven"):
        seen = other.claims()
        assert sorted(seen) == ["DO6", "LED3"]
        assert seen["LED3"] == varnik_dio.ClaimInfo(consumer="oven", pid=os.getpid(), lease=2.5,
                                                    safe_value=1, keep=False, mine=False,
                                                    lease_out=False, pulsing=False)
        assert seen["DO6"].safe_value == 0
        assert mine.claims()["DO6"].mine
    assert other.claims() == {}


def test_a_lease_with_no_call_applies_the_safe_values_and_the_next_write_recovers(
        two_boards, board_file):
    mine, other = two_boards
    with mine.claim("DO2", lease=0.1, consumer="silent"):
        mine.set("DO2", 1)
        assert wait_until(lambda: other.claims()["DO2"].lease_out)
        assert driven(board_file, "DO2") == 0
        mine.set("DO2", 1)
        assert not other.claims()["DO2"].lease_out and driven(board_file, "DO2") == 1


HOLDER = """
import sys, time, varnik_dio
board = varnik_dio.Board(sys.argv[1])
board.claim("DO0", "DO1", safe={"DO1": 1}, consumer="doomed")
board.outputs = 0b01
print("held", flush=True)
time.sleep(60)
"""


def test_the_safe_values_of_a_killed_holder_come_within_the_interval(board_service, board_file):
    holder = subprocess.Popen([sys.executable, "-c", HOLDER, str(board_service.socket)],
                              stdout=subprocess.PIPE, text=True)
    assert holder.stdout.readline() == "held\n"
    assert driven(board_file, "DO0", "DO1") == 0b01
    holder.send_signal(signal.SIGKILL)
    holder.wait()
    gone = time.monotonic()
    assert wait_until(lambda: driven(board_file, "DO0", "DO1") == 0b10, timeout=2)
    assert time.monotonic() - gone <= BOUND
    holder.stdout.close()


class RisingEdges(threading.Thread):
    """Counts line name's rises in its register until stop()."""

    def __init__(self, board_file, name):
        super().__init__()
        self.board_file, self.name = board_file, name
        self.rises = 0
        self.level = driven(board_file, name)  # before the thread: no rise missed
        self.stopping = threading.Event()
        self.start()

    def run(self):
        level = self.level
        while not self.stopping.wait(0.002):
            now = driven(self.board_file, self.name)
            self.rises += now > level
            level = now

    def stop(self):
        self.stopping.set()
        self.join()
        return self.rises


@pytest.mark.parametrize("road", ["direct", "service"])
def test_pulses_are_counted_and_spaced_and_end_at_the_starting_level(request, board_file, road):
    device = board_file if road == "direct" else request.getfixturevalue("board_service").socket
    with varnik_dio.Board(device) as board:
        edges = RisingEdges(board_file, "DO5")
        began = time.monotonic()
        board.pulse("DO5", width=0.1, count=3, period=0.2)
        took = time.monotonic() - began
        assert edges.stop() == 3 and took >= 0.5 and board.get("DO5") == 0


def test_the_service_finishes_a_pulse_refusing_other_writes_after_its_board_closed(
        two_boards, board_file):
    mine, other = two_boards
    ended = []

    def pulse():
        try:
            mine.pulse("LED1", width=0.6)
        except ValueError as closed:
            ended.append(str(closed))

    pulsing = threading.Thread(target=pulse)
    pulsing.start()
    assert wait_until(lambda: driven(board_file, "LED1") == 1)
    mine.close()
    pulsing.join()
    assert ended and "the board service finishes it" in ended[0]
    with pytest.raises(varnik_dio.LineHeld, match="LED1 is pulsing") as refused:
        other.set("LED1", 0)
    assert refused.value.consumer is None
    assert wait_until(lambda: driven(board_file, "LED1") == 0)


@pytest.mark.parametrize("call, word", [
    (lambda board: board.claim(), "no line to claim"),
    (lambda board: board.claim("DI0"), "DI0: it is an input"),
    (lambda board: board.claim("DO8"), "'DO8' names no line"),
    (lambda board: board.claim("DO0", safe={"do1": 0}), "DO1, which is not claimed"),
    (lambda board: board.claim("DO0", safe={"DO0": 2}), "level 2 for DO0"),
    (lambda board: board.claim("DO0", safe=[0]), "safe"),
    (lambda board: board.claim("DO0", lease=0.009), "lease 0.009"),
    (lambda board: board.claim("DO0", lease=4294967.3), "lease"),
    (lambda board: board.claim("DO0", lease=float("nan")), "lease"),
    (lambda board: board.claim("DO0", consumer="x" * 32), "consumer"),
    (lambda board: board.claim("DO0", consumer="caf\u00e9"), "consumer"),
    (lambda board: board.claim("DO0", keep="yes"), "keep"),
    (lambda board: board.pulse("DO0", 0.1, count=0), "count 0"),
    (lambda board: board.pulse("DO0", 0.1, count=2.0), "count"),
    (lambda board: board.pulse("DO0", 0.1, count=2, period=0.1), "period 0.1"),
    (lambda board: board.pulse("DO0", 0.1, count=3601, period=1), "the whole train"),
], ids=lambda value: value if isinstance(value, str) else "")
def test_bad_claims_and_pulses_are_value_errors_before_any_call(board, board_file, call, word):
    # On a board file, any call reaching the library would be EOPNOTSUPP.
    before = registers.pages(board_file)
    with pytest.raises(ValueError, match=word):
        call(board)
    assert registers.pages(board_file) == before


def test_claims_on_a_board_opened_directly_say_they_need_the_service(board, board_file):
    for call in (lambda: board.claim("DO0"), board.claims):
        with pytest.raises(OSError) as refused:
            call()
        assert refused.value.errno == errno.EOPNOTSUPP
        assert refused.value.filename == str(board_file) and "dio-boardd" in str(refused.value)
