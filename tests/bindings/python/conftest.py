"""Fixtures of the Python package's tests: board files made by dio-sim, the
simulated board's steering API, and the check that the board is simulated.

run-pytest starts the interpreter with the simulated board preloaded; no
test runs unless its calls are the ones the process resolves."""

import ctypes
import gc
import grp
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path
from typing import Callable, Iterator, List

import pytest

import varnik_dio

DIO_SIM = os.environ["DIO_SIM"]
DIO_BOARDD = os.environ["DIO_BOARDD"]

_SIM = ctypes.CDLL(None)  # the preloaded board's steering API, in this process


def pytest_sessionstart(session: pytest.Session) -> None:
    try:
        interposing = _SIM.varnik_sim_interposing()
    except AttributeError:
        interposing = 0
    if interposing != 1:
        pytest.exit("the simulated board is not preloaded: run the tests through "
                    "tests/bindings/python/run-pytest (ctest does)", returncode=2)


def dio_sim(board_file: Path, *words: str) -> subprocess.CompletedProcess:
    """Runs dio-sim on board_file (the preload and its throwaway board are
    inherited); fails the test on a non-zero exit."""
    return subprocess.run([DIO_SIM, "--board", str(board_file), *words], check=True,
                          capture_output=True, text=True, timeout=30)


def new_board_file(path: Path) -> Path:
    """A fresh board file at path: outputs inactive, LEDs dark, inputs inactive."""
    dio_sim(path, "new")
    return path


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


class BoardService:
    """dio-boardd serving a board file on a socket of its own, its state
    file beside the socket."""

    def __init__(self, board_file: Path, socket: Path, *options: str) -> None:
        self.board_file = board_file
        self.socket = socket
        group = grp.getgrgid(os.getgid()).gr_name  # a group this user is in
        self.process = subprocess.Popen(
            [DIO_BOARDD, "--device", str(board_file), "--socket", str(socket), "--group", group,
             "--state-file", str(socket.parent / "inputs.state"), *options],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.log = ""
        self.read_log_until("serving", timeout=10)

    def read_log_until(self, word: str, timeout: float) -> None:
        """Reads its standard error into log until word is there; fails the
        test at the timeout or when the service ends first."""
        deadline = time.monotonic() + timeout
        while word not in self.log:
            if not self._read_log(max(0.0, deadline - time.monotonic())):
                self.process.kill()
                raise AssertionError(f"dio-boardd did not say {word!r}: {self.log}")

    def said(self, word: str) -> bool:
        """Whether its standard error holds word by now, without waiting."""
        while word not in self.log and self._read_log(0):
            pass
        return word in self.log

    def _read_log(self, timeout: float) -> bool:
        ready, _, _ = select.select([self.process.stderr], [], [], timeout)
        chunk = os.read(self.process.stderr.fileno(), 4096) if ready else b""
        self.log += chunk.decode(errors="replace")
        return bool(chunk)

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            self.process.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.communicate()
            raise


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
