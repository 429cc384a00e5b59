"""Fixtures of the Python package's tests: board files made by dio-sim, the
simulated board's steering API, and the check that the board is simulated.

run-pytest starts the interpreter with the simulated board preloaded; no
test runs unless its calls are the ones the process resolves."""

import gc
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Callable, Iterator, List

import pytest

import varnik_dio

# The board fixtures shared with dio-mqttd's tests; PYTHONPATH names the
# package's sources alone, which test_packaging builds from.
sys.path.append(str(Path(__file__).resolve().parents[2] / "common"))
from board_processes import (DIO_SIM, SIM as _SIM, BoardService, dio_sim,  # noqa: E402,F401
                             new_board_file, require_simulated_board)


def pytest_sessionstart(session: pytest.Session) -> None:
    require_simulated_board()


@pytest.fixture
def board_file(tmp_path: Path) -> Path:
    """A fresh board file of the test's own."""
    return new_board_file(tmp_path / "board.img")


@pytest.fixture
def board(board_file: Path) -> Iterator[varnik_dio.Board]:
    """The package's board, open on board_file."""
    with varnik_dio.Board(board_file) as opened:
        yield opened


class Sim:
    """The simulated board's steering, for the device "/dev/mem" of this process."""

    OPEN, MMAP, MUNMAP = 0, 1, 2

    def use_board(self, board_file: Path) -> None:
        assert _SIM.varnik_sim_set_board(os.fsencode(board_file)) == 0

    def fail(self, call: int, error: int) -> None:
        _SIM.varnik_sim_fail(call, error, 1)

    def disarm(self) -> None:
        for call in (self.OPEN, self.MMAP, self.MUNMAP):
            _SIM.varnik_sim_fail(call, 0, 0)


@pytest.fixture
def sim(board_file: Path) -> Iterator[Sim]:
    """Steering of the simulated device, on board_file; faults disarmed after the test."""
    steering = Sim()
    steering.use_board(board_file)
    yield steering
    steering.disarm()


def device_mappings() -> int:
    """Mappings of the simulated device open in this process now."""
    return _SIM.varnik_sim_open_mappings()


@pytest.fixture(autouse=True)
def nothing_left_open() -> Iterator[None]:
    """After each test, every board opened through the device is closed again."""
    yield
    gc.collect()
    assert (_SIM.varnik_sim_open_descriptors(), device_mappings()) == (0, 0)


def event_summary(events: List[varnik_dio.Event]) -> List[str]:
    """Events as "DI3 rising 1" words, for comparing in one assertion."""
    return [f"{event.line} {event.edge} {event.value}" for event in events]


def flip_later(board_file: Path, *steps: object) -> subprocess.Popen:
    """Starts a shell that runs dio-sim inputs for each step ("DI3=1", or a
    pause in seconds); the caller goes on at once."""
    commands = [f"sleep {step}" if isinstance(step, float) else
                f"'{DIO_SIM}' --board '{board_file}' inputs {step}" for step in steps]
    return subprocess.Popen(["sh", "-ec", "; ".join(commands)])


def finished(process: subprocess.Popen) -> None:
    assert process.wait(timeout=30) == 0


@pytest.fixture
def start_board_service(board_file: Path) -> Iterator[Callable[..., BoardService]]:
    """Starts dio-boardd on board_file with the options given, stopped after
    the test. The socket is in a short folder of its own: a socket's path
    has at most 107 bytes."""
    folder = Path(tempfile.mkdtemp(prefix="vdio-"))
    started: List[BoardService] = []

    def start(*options: str) -> BoardService:
        started.append(BoardService(board_file, folder / "board.sock", *options))
        return started[-1]

    try:
        yield start
    finally:
        try:
            for service in started:
                service.stop()
        finally:
            shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture
def board_service(start_board_service: Callable[..., BoardService]) -> BoardService:
    """dio-boardd serving board_file as it does by default."""
    return start_board_service()
