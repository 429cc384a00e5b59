"""Fixtures of dio-webd's end-to-end tests: a board file served by
dio-boardd, dio-webd on a loopback port it picks itself (--listen
127.0.0.1:0; the port read from its start-up line), a token file, and an
HTTP client.

Run through tests/bindings/python/run-pytest (ctest does): every program
started here inherits the simulated board's preload."""

import contextlib
import http.client
import json
import os
import re
import secrets
import select
import signal
import subprocess
import time
from pathlib import Path
from typing import Callable, Dict, Iterator, List, Optional, Tuple

import pytest

from board_registers import driven_mask
from board_processes import (BoardService, LoggedProcess, dio_sim, new_board_file,
                             require_simulated_board)

DIO_WEBD = os.environ["DIO_WEBD"]
DIO_WEBD_WWW = os.environ["DIO_WEBD_WWW"]
DIOCTL = os.environ["DIOCTL"]


def pytest_sessionstart(session: pytest.Session) -> None:
    require_simulated_board()


def wait_until(condition: Callable[[], object], timeout: float = 5.0) -> bool:
    """Polls condition until it holds or the timeout passes; its last answer."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return bool(condition())
        time.sleep(0.01)
    return True


class Response:
    def __init__(self, status: int, headers: Dict[str, str], body: bytes) -> None:
        self.status, self.headers, self.body = status, headers, body

    def json(self) -> object:
        return json.loads(self.body)


class WebServer(LoggedProcess):
    """dio-webd on 127.0.0.1 and a port the system picks, with the build's
    page folder; options added as given."""

    def __init__(self, device: Path, *options: str, www: str = DIO_WEBD_WWW) -> None:
        super().__init__("dio-webd", [DIO_WEBD, "--device", str(device), "--listen",
                                      "127.0.0.1:0", "--www", www, *options])
        try:
            self.read_log_until("listening on http://", timeout=10)
        except AssertionError:
            self.process.kill()
            raise
        match = re.search(r"listening on http://([0-9.]+):([0-9]+)", self.log)
        assert match, self.log
        self.host, self.port = match.group(1), int(match.group(2))
        self.url = f"http://{self.host}:{self.port}"

    def request(self, method: str, path: str, body: Optional[object] = None,
                headers: Optional[Dict[str, str]] = None, timeout: float = 10.0) -> Response:
        """One request on a connection of its own; a dict or list body is
        sent as JSON with its Content-Type unless headers say otherwise."""
        headers = dict(headers or {})
        data = body
        if isinstance(body, (dict, list)):
            data = json.dumps(body).encode()
            headers.setdefault("Content-Type", "application/json")
        connection = http.client.HTTPConnection(self.host, self.port, timeout=timeout)
        try:
            connection.request(method, path, body=data, headers=headers)
            answer = connection.getresponse()
            return Response(answer.status, {k.lower(): v for k, v in answer.getheaders()},
                            answer.read())
        finally:
            connection.close()


class Rig:
    """A test's folder: the board file, the board service on it, dio-webd,
    and the token file (0600) that write tests give it."""

    def __init__(self, folder: Path) -> None:
        self.folder = folder
        self.board_file = new_board_file(folder / "board.img")
        self.socket = folder / "board.sock"
        self.token = secrets.token_hex(24)  # 48 characters
        self.token_file = folder / "token"
        self.token_file.write_text(self.token + "\n")
        self.token_file.chmod(0o600)
        self.service: Optional[BoardService] = None
        self.web: Optional[WebServer] = None  # the last one started
        self.webs: List[WebServer] = []

    def start_service(self, *options: str) -> BoardService:
        self.service = BoardService(self.board_file, self.socket, *options)
        return self.service

    def start_web(self, *options: str, with_token: bool = True,
                  www: str = DIO_WEBD_WWW) -> WebServer:
        token = ("--token-file", str(self.token_file)) if with_token else ()
        self.web = WebServer(self.socket, *token, *options, www=www)
        self.webs.append(self.web)
        return self.web

    def dioctl(self, *words: str) -> None:
        """dioctl on the service's socket; fails the test on a non-zero exit."""
        subprocess.run([DIOCTL, "--device", str(self.socket), *words], check=True,
                       capture_output=True, timeout=30)

    @contextlib.contextmanager
    def held(self, assignment: str, consumer: str) -> Iterator[subprocess.Popen]:
        """dioctl set ASSIGNMENT --hold --consumer CONSUMER in the background:
        another client's claim through the service, until the block ends."""
        holder = subprocess.Popen([DIOCTL, "--device", str(self.socket), "set", assignment,
                                   "--hold", "--consumer", consumer],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            ready, _, _ = select.select([holder.stdout], [], [], 10)
            said = holder.stdout.readline().decode() if ready else ""
            if not said.startswith("holding"):
                holder.kill()
                raise AssertionError(f"dioctl did not hold {assignment}: {said}"
                                     f"{holder.communicate()[1].decode()}")
            yield holder
        finally:
            holder.send_signal(signal.SIGTERM)
            holder.wait(timeout=10)

    def auth(self) -> Dict[str, str]:
        """The headers of a write that passes every check."""
        return {"Authorization": f"Bearer {self.token}"}

    def inputs(self, *assignments: str) -> None:
        """dio-sim inputs DI3=1 ...: an input flipped from outside."""
        dio_sim(self.board_file, "inputs", *assignments)

    def driven(self, *names: str) -> int:
        """The lines' levels read from their register bytes on the board
        file (bit i for names[i]): what the board drives, not what dio-webd
        says."""
        return driven_mask(self.board_file, list(names))

    def close(self) -> None:
        """Stops what the test left running, even when a stop fails; the logs
        go to standard output, which pytest shows for a failed test."""
        for process in (*self.webs, self.service):
            if process is not None:
                try:
                    process.stop()
                except AssertionError:
                    pass  # killed after 10 s: its log shows where it hung
                print(f"--- {process.name}:\n{process.log}")


@pytest.fixture
def rig(tmp_path: Path) -> Iterator[Rig]:
    rig = Rig(tmp_path)
    try:
        yield rig
    finally:
        rig.close()


@pytest.fixture
def running(rig: Rig) -> Rig:
    """The service and dio-webd with the rig's token."""
    rig.start_service()
    rig.start_web()
    return rig
