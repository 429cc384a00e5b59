"""wait_async and watch_async under asyncio, each on both roads: a board file
opened directly (the loop's timer polls the watcher) and the same board
through dio-boardd (the loop watches the watcher's descriptor), with inputs
flipped by dio-sim from another process."""

import asyncio
import errno
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import board_registers as registers
import varnik_dio
from conftest import event_summary, finished, flip_later
from varnik_dio import _library


@pytest.fixture(params=["direct", "service"])
def road(request, board_file):
    """The road under test: "direct" or "service"."""
    return request.param


@pytest.fixture
def device(road, board_file, request):
    """What Board opens on the road: the board file, or dio-boardd's socket."""
    if road == "direct":
        return board_file
    return request.getfixturevalue("board_service").socket


@pytest.fixture
def watched_board(device, board_file):
    """A board whose watches the loop waits for, and its board file for dio-sim."""
    with varnik_dio.Board(device) as board:
        yield board, board_file


@pytest.fixture
def next_calls(monkeypatch):
    """Counts the calls of vdio_watch_next from now on."""
    calls = []
    real = _library.LIBRARY.vdio_watch_next

    def counted(*arguments):
        calls.append(arguments[1])
        return real(*arguments)

    monkeypatch.setattr(_library.LIBRARY, "vdio_watch_next", counted)
    return calls


async def ticking(ticks):
    """Counts 10 ms ticks of the loop until cancelled: the loop ran meanwhile."""
    while True:
        await asyncio.sleep(0.01)
        ticks.append(1)


def test_watch_async_reports_changes_in_order_and_ends_at_its_timeout(watched_board):
    board, board_file = watched_board

    async def watching():
        events = []
        async with board.watch_async(timeout=1.5) as watch:
            flipper = flip_later(board_file, "DI2=1", 0.1, "DI2=0 DI5=1")
            async for event in watch:
                events.append(event)
        finished(flipper)
        return events, watch

    began = time.monotonic()
    events, watch = asyncio.run(watching())
    ended = time.monotonic() - began
    assert event_summary(events) == ["DI2 rising 1", "DI2 falling 0", "DI5 rising 1"]
    assert all(began <= event.timestamp <= time.monotonic() for event in events)
    assert 1.5 <= ended < 2.2 and watch.closed


def test_wait_async_lets_the_loop_run_and_returns_as_wait_does(watched_board, next_calls, road):
    board, board_file = watched_board

    async def waiting():
        ticks = []
        ticker = asyncio.create_task(ticking(ticks))
        at_once = await board.wait_async("DI3", 0)
        flipper = flip_later(board_file, 0.3, "DI3=1")
        began = time.monotonic()
        reached = await board.wait_async("di3", 1, timeout=10, interval=0.05)
        waited = time.monotonic() - began
        finished(flipper)
        missed = await board.wait_async("DI4", 1, timeout=0.4)
        ticker.cancel()
        return at_once, reached, waited, missed, len(ticks)

    at_once, reached, waited, missed, ticks = asyncio.run(waiting())
    assert (at_once, reached, missed) == (True, True, False)
    assert 0.3 <= waited < 1.0
    assert ticks >= 30  # 0.7 s of waits, 10 ms ticks
    # Never a wait inside the library. The timer asks once per interval
    # (0.3 s / 0.05 s, then 0.4 s / 0.01 s); through the service the loop
    # asks only when the descriptor is readable: at the start of each wait,
    # at the change and at the timeout.
    assert set(next_calls) == {0}
    if road == "direct":
        assert 30 <= len(next_calls) < 60
    else:
        assert len(next_calls) <= 6
    with pytest.raises(ValueError, match="timeout"):
        asyncio.run(board.wait_async("DI0", 1, timeout=-1))
    with pytest.raises(ValueError, match="interval"):
        board.watch_async(interval=0)


def test_cancelling_a_wait_or_a_watch_frees_its_watcher(watched_board):
    board, _ = watched_board

    async def cancelled(awaitable):
        task = asyncio.ensure_future(awaitable)
        await asyncio.sleep(0.2)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    watch = board.watch_async()

    async def two_tasks_at_once():
        first = asyncio.ensure_future(watch.__anext__())
        await asyncio.sleep(0.1)
        with pytest.raises(RuntimeError, match="another task"):
            await watch.__anext__()
        await cancelled(first)
        descriptor = watch._descriptor
        # Through the service, the loop no longer watches the descriptor.
        return descriptor < 0 or not asyncio.get_running_loop().remove_reader(descriptor)

    assert asyncio.run(two_tasks_at_once())
    assert watch.closed
    asyncio.run(cancelled(board.wait_async("DI0", 1)))
    assert board._handle._watchers == {}  # no watcher left for the board's close


@pytest.mark.parametrize("waiting", ["wait", "watch"])
def test_closing_the_board_ends_a_wait_at_once_whatever_the_interval(watched_board, waiting):
    board, _ = watched_board

    async def close_soon():
        await asyncio.sleep(0.2)
        board.close()

    async def run():
        closer = asyncio.create_task(close_soon())
        began = time.monotonic()
        try:
            if waiting == "wait":
                with pytest.raises(ValueError, match="closed while waiting for DI0"):
                    await board.wait_async("DI0", 1, interval=10)
            else:
                assert [event async for event in board.watch_async(interval=10)] == []
        finally:
            await closer
        return time.monotonic() - began

    assert asyncio.run(asyncio.wait_for(run(), 5)) < 1.0


PROGRAM = """
import asyncio, sys, varnik_dio
board = varnik_dio.Board(sys.argv[1])
watch = board.watch_async()

async def main():
    print("ready", flush=True)
    {waiting}

try:
    asyncio.run(main())
finally:
    print("watch closed" if watch.closed else "watch open", flush=True)
"""


@pytest.mark.parametrize("waiting", [
    "async for event in watch: pass",
    "watch.close(); await board.wait_async('DI0', 1)",
])
def test_ctrl_c_under_asyncio_run_ends_the_wait_and_closes_the_watch(device, waiting):
    program = textwrap.dedent(PROGRAM).format(waiting=waiting)
    process = subprocess.Popen([sys.executable, "-c", program, str(device)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert process.stdout.readline() == "ready\n"
    time.sleep(0.3)  # well into the wait
    interrupted = time.monotonic()
    process.send_signal(signal.SIGINT)
    output, errors = process.communicate(timeout=10)
    stopped = time.monotonic() - interrupted
    assert "KeyboardInterrupt" in errors
    assert stopped < 0.5
    assert output == "watch closed\n"




def test_a_dropped_watch_or_a_lost_service_is_an_error_as_in_watch(start_board_service,
                                                                   board_file):
    service = start_board_service("--interval", "1ms")

    async def unread_then_lost(board):
        unread = board.watch_async(interval=0.001, timeout=10)
        # Every input flipped at once, each flip seen by the 1 ms samples,
        # until the service drops the watch nobody reads.
        for flip in range(3000):
            for n in range(8):
                registers.set_input_register(board_file, n, flip % 2 == 0)
            await asyncio.sleep(0.003)
            if service.said("stopped reading"):
                break
        with pytest.raises(OSError) as dropped:
            async for _ in unread:
                pass
        watch = board.watch_async(timeout=10)
        asyncio.get_running_loop().call_later(0.2, service.process.kill)
        with pytest.raises(OSError) as lost:
            await watch.__anext__()
        return dropped.value, lost.value

    with varnik_dio.Board(service.socket) as board:
        dropped, lost = asyncio.run(unread_then_lost(board))
    assert dropped.errno == errno.ENOBUFS and "read them sooner" in str(dropped)
    assert lost.errno == errno.ECONNRESET and "board service was lost" in str(lost)
