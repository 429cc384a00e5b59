"""The pytest suites' board: board files made by dio-sim, the check that the
simulated board is preloaded, and dio-boardd serving a board file, shared
by the Python package's tests and dio-mqttd's end-to-end tests.

ctest puts this folder on PYTHONPATH and names the programs in DIO_SIM and
DIO_BOARDD."""

import ctypes
import grp
import os
import select
import signal
import subprocess
import time
from pathlib import Path

import pytest

DIO_SIM = os.environ["DIO_SIM"]
DIO_BOARDD = os.environ["DIO_BOARDD"]

SIM = ctypes.CDLL(None)  # the preloaded board's steering API, in this process


def require_simulated_board() -> None:
    """Ends the session unless the simulated board is preloaded (run-pytest
    does it): no test may reach a real device."""
    try:
        interposing = SIM.varnik_sim_interposing()
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


class LoggedProcess:
    """A process whose standard error is read as it comes, so that a test
    can wait for a line of its log with a deadline."""

    def __init__(self, name: str, command: list, **popen: object) -> None:
        self.name = name
        self.process = subprocess.Popen(command, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE, **popen)
        self.log = ""

    def read_log_until(self, word: str, timeout: float) -> None:
        """Reads its standard error into log until word is there; fails the
        test at the timeout or when the process ends first."""
        deadline = time.monotonic() + timeout
        while word not in self.log:
            if not self._read_log(max(0.0, deadline - time.monotonic())):
                raise AssertionError(f"{self.name} did not say {word!r}: {self.log}")

    def said(self, word: str) -> bool:
        """Whether its standard error holds word by now, without waiting."""
        while word not in self.log and self._read_log(0):
            pass
        return word in self.log

    def read_log(self) -> str:
        """Its log with what it wrote by now, without waiting."""
        while self._read_log(0):
            pass
        return self.log

    def _read_log(self, timeout: float) -> bool:
        if self.process.stderr.closed:  # read to its end at the stop
            return False
        ready, _, _ = select.select([self.process.stderr], [], [], timeout)
        chunk = os.read(self.process.stderr.fileno(), 4096) if ready else b""
        self.log += chunk.decode(errors="replace")
        return bool(chunk)

    def stop(self) -> int:
        """SIGTERM, then its exit status (killed after 10 s, failing the test)."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            _, rest = self.process.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.communicate()
            raise AssertionError(f"{self.name} did not stop on SIGTERM: {self.log}")
        self.log += (rest or b"").decode(errors="replace")
        return self.process.returncode


class BoardService(LoggedProcess):
    """dio-boardd serving a board file on a socket of its own, its state
    file beside the socket."""

    def __init__(self, board_file: Path, socket: Path, *options: str) -> None:
        self.board_file = board_file
        self.socket = socket
        group = grp.getgrgid(os.getgid()).gr_name  # a group this user is in
        super().__init__("dio-boardd", [
            DIO_BOARDD, "--device", str(board_file), "--socket", str(socket), "--group", group,
            "--state-file", str(socket.parent / "inputs.state"), *options])
        try:
            self.read_log_until("serving", timeout=10)
        except AssertionError:
            self.process.kill()
            raise
