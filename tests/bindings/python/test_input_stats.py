"""The inputs' counts, frequencies, latches and on-times the board service
keeps, seen through the package: their fields, clearing each kind, and the
errors of bad arguments and of a board opened directly."""

import errno
import signal
import time

import pytest

import varnik_dio
from conftest import dio_sim

FIELDS = ("line", "rising", "falling", "frequency_mhz", "on_time_ms", "rose", "fell",
          "debounce_us")


def wait_for(board, condition, timeout=10.0):
    """Every input's figures once condition(figures) holds, asking every
    5 ms; fails the test at the timeout."""
    deadline = time.monotonic() + timeout
    while True:
        figures = board.input_stats()
        if condition(figures):
            return figures
        assert time.monotonic() < deadline, f"never reached: {figures}"
        time.sleep(0.005)


@pytest.fixture
def service_board(start_board_service):
    """A board on a service sampling every millisecond, DI4 debounced 3 ms."""
    service = start_board_service("--interval", "1ms", "--debounce", "DI4=3ms")
    with varnik_dio.Board(service.socket) as opened:
        yield opened


def edges(board, board_file):
    """DI2 up and down, DI6 up and left so; each step seen before the next."""
    dio_sim(board_file, "inputs", "DI2=1", "DI6=1")
    wait_for(board, lambda f: f["DI2"].rising == f["DI6"].rising == 1)
    dio_sim(board_file, "inputs", "DI2=0")
    return wait_for(board, lambda f: f["DI2"].falling == 1)


def test_input_stats_gives_one_input_or_every_input_by_name_with_its_figures(
        service_board, board_file):
    started = time.monotonic()
    figures = edges(service_board, board_file)
    assert list(figures) == [f"DI{n}" for n in range(8)]
    assert all(stats._fields == FIELDS and stats.line == name for name, stats in figures.items())
    summary = {name: (s.rising, s.falling, s.rose, s.fell, s.frequency_mhz, s.debounce_us)
               for name, s in figures.items()}
    assert summary == {**{f"DI{n}": (0, 0, False, False, 0, 0) for n in range(8)},
                       "DI2": (1, 1, True, True, 0, 0), "DI6": (1, 0, True, False, 0, 0),
                       "DI4": (0, 0, False, False, 0, 3000)}
    assert 0 < figures["DI2"].on_time_ms <= (time.monotonic() - started) * 1000
    assert figures["DI0"].on_time_ms == 0
    one = service_board.input_stats("di2")
    assert one == figures["DI2"] and isinstance(one, varnik_dio.InputStats)
    with pytest.raises(AttributeError):
        one.rising = 0  # immutable
    sixth = service_board.input_stats("DI6")
    assert sixth.rising == 1 and sixth.on_time_ms >= figures["DI6"].on_time_ms


def test_clear_input_stats_clears_the_kinds_asked_of_the_input_named(service_board, board_file):
    edges(service_board, board_file)
    service_board.clear_input_stats("DI2", counts=False)  # the latches alone
    figures = wait_for(service_board, lambda f: not f["DI2"].rose)
    assert (figures["DI2"].rising, figures["DI2"].fell, figures["DI6"].rose) == (1, False, True)
    assert figures["DI2"].on_time_ms > 0
    service_board.clear_input_stats("DI2", latches=False, on_time=True)
    figures = wait_for(service_board, lambda f: f["DI2"].rising == 0)
    assert (figures["DI2"].falling, figures["DI2"].on_time_ms) == (0, 0)
    assert figures["DI6"].rising == 1
    service_board.clear_input_stats("DI6")  # counts and latches
    figures = wait_for(service_board, lambda f: f["DI6"].rising == 0)
    assert not figures["DI6"].rose and figures["DI6"].on_time_ms > 0


def sampler_once(board, condition, timeout=10.0):
    """The sampler's info once condition(info) holds, asking every 2 ms;
    fails the test at the timeout."""
    deadline = time.monotonic() + timeout
    while True:
        info = board.sampler_info()
        if condition(info):
            return info
        assert time.monotonic() < deadline, f"never reached: {info}"
        time.sleep(0.002)


def test_sampler_info_tells_how_the_service_samples(start_board_service):
    # An interval and a window neither the defaults (10 ms, 1 s) nor those
    # of the other tests: the figures told are the ones asked for.
    service = start_board_service("--interval", "2ms", "--frequency-window", "2500ms")
    with varnik_dio.Board(service.socket) as board:
        started = time.monotonic()
        first = board.sampler_info()
        later = sampler_once(board, lambda info: info.samples > first.samples + 50)
        elapsed = time.monotonic() - started
        # The service held still for 50 ms: a sample that late at least
        # (fails at the timeout when the lateness told is not the worst).
        service.process.send_signal(signal.SIGSTOP)
        time.sleep(0.05)
        service.process.send_signal(signal.SIGCONT)
        paused = sampler_once(board, lambda info: info.worst_late >= 0.045, timeout=2.0)
    assert isinstance(later, varnik_dio.SamplerInfo)
    assert (later.interval, later.realtime, later.frequency_window) == (0.002, False, 2.5)
    # One sample a tick of 2 ms, a late one skipping the ticks it missed:
    # no more than the ticks elapsed, and, however loaded the machine, not
    # ten times fewer.
    taken = later.samples - first.samples
    assert elapsed / 0.002 / 10 <= taken <= (elapsed + later.worst_late) / 0.002 + 2
    assert paused.late_samples > later.late_samples


@pytest.mark.parametrize("call, word", [
    (lambda board: board.input_stats("DO2"), "DO2 is not an input"),
    (lambda board: board.input_stats("LED1"), "LED1 is not an input"),
    (lambda board: board.input_stats("DI9"), "names no line"),
    (lambda board: board.clear_input_stats("DO0"), "DO0 is not an input"),
    (lambda board: board.clear_input_stats("DI0", counts=False, latches=False), "nothing to clear"),
    (lambda board: board.clear_input_stats("DI0", counts=1), "counts 1"),
    (lambda board: board.clear_input_stats("DI0", on_time="yes"), "on_time 'yes'"),
], ids=lambda value: value if isinstance(value, str) else "")
def test_bad_input_stats_arguments_are_value_errors_before_any_call(board, call, word):
    # On a board file, any call reaching the library would be EOPNOTSUPP.
    with pytest.raises(ValueError, match=word):
        call(board)


def test_input_stats_on_a_board_opened_directly_say_they_need_the_service(board, board_file):
    for call in (board.input_stats, lambda: board.input_stats("DI3"),
                 lambda: board.clear_input_stats("DI3"), board.sampler_info):
        with pytest.raises(OSError) as refused:
            call()
        assert refused.value.errno == errno.EOPNOTSUPP
        assert refused.value.filename == str(board_file)
        assert "kept by the board service (dio-boardd)" in str(refused.value)
