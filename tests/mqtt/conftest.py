"""Fixtures of dio-mqttd's end-to-end tests: a mosquitto of the test's own
on a loopback port it picks, a board file served by dio-boardd, the bridge
between them, and a paho client that collects what the broker delivers.

Run through tests/bindings/python/run-pytest (ctest does): every program
started here inherits the simulated board's preload."""

import os
import pwd
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
from pathlib import Path
from typing import Callable, Dict, Iterator, List, Optional

import paho.mqtt.client as mqtt
import pytest

from board_processes import (BoardService, LoggedProcess, new_board_file,
                             require_simulated_board)

DIO_MQTTD = os.environ["DIO_MQTTD"]
MOSQUITTO = os.environ["MOSQUITTO"]
MOSQUITTO_PASSWD = os.environ["MOSQUITTO_PASSWD"]
OPENSSL = os.environ["OPENSSL"]
BOARD_ID = "test-board"
PREFIX = f"varnik-dio/{BOARD_ID}"


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


def free_port() -> int:
    """A loopback port nobody listens on now."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Tls:
    """A CA and a server certificate for 127.0.0.1, made by openssl."""

    def __init__(self, folder: Path) -> None:
        folder.mkdir()
        self.cafile, self.certfile, self.keyfile = (folder / "ca.crt", folder / "server.crt",
                                                    folder / "server.key")
        ca_key, request = folder / "ca.key", folder / "server.csr"
        names = folder / "names.ext"
        names.write_text("subjectAltName=IP:127.0.0.1\n")
        for command in (
                ["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                 "-subj", "/CN=varnik test CA", "-keyout", ca_key, "-out", self.cafile],
                ["req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
                 "-keyout", self.keyfile, "-out", request],
                ["x509", "-req", "-in", request, "-CA", self.cafile, "-CAkey", ca_key,
                 "-CAcreateserial", "-days", "2", "-extfile", names, "-out", self.certfile]):
            subprocess.run([OPENSSL, *map(str, command)], check=True, capture_output=True,
                           timeout=60)


class Broker:
    """mosquitto on 127.0.0.1 with a config file of its own: anonymous, or
    with users given as {name: password}; TLS with a Tls's files."""

    def __init__(self, folder: Path, users: Optional[Dict[str, str]] = None,
                 tls: Optional[Tls] = None) -> None:
        self.port = free_port()
        self.config = folder / "mosquitto.conf"
        self.tls = tls
        self.log = folder / "mosquitto.log"
        lines = [f"listener {self.port} 127.0.0.1", "persistence false",
                 f"log_dest file {self.log}", "log_type error", "log_type warning",
                 "log_type notice",
                 # Started as root it would run as user mosquitto, who cannot
                 # read the test's files: it stays the test's user.
                 f"user {pwd.getpwuid(os.getuid()).pw_name}"]
        if users:
            passwords = folder / "passwords"
            for name, password in users.items():
                subprocess.run([MOSQUITTO_PASSWD, *(["-c"] if not passwords.exists() else []),
                                "-b", str(passwords), name, password], check=True, timeout=30)
            lines += ["allow_anonymous false", f"password_file {passwords}"]
        else:
            lines.append("allow_anonymous true")
        if tls:
            lines += [f"cafile {tls.cafile}", f"certfile {tls.certfile}",
                      f"keyfile {tls.keyfile}"]
        self.config.write_text("\n".join(lines) + "\n")
        self.process: Optional[subprocess.Popen] = None
        self.start()

    @property
    def url(self) -> str:
        return f"{'mqtts' if self.tls else 'mqtt'}://127.0.0.1:{self.port}"

    def start(self, timeout: float = 10.0) -> None:
        """Starts it on its port and waits until the port takes connections."""
        self.process = subprocess.Popen([MOSQUITTO, "-c", str(self.config)],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + timeout
        while True:
            if self.process.poll() is not None:
                raise AssertionError(f"mosquitto ended: {self.process.stderr.read().decode()}"
                                     f"{self.log_text()}")
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                if time.monotonic() > deadline:
                    raise AssertionError(f"mosquitto not listening on {self.port} "
                                         f"after {timeout}s")
                time.sleep(0.02)

    def log_text(self) -> str:
        return self.log.read_text() if self.log.exists() else ""

    def kill(self) -> None:
        """SIGKILL: gone at once, without closing a client's session."""
        self._end(signal.SIGKILL)

    def stop(self) -> None:
        self._end(signal.SIGTERM)

    def _end(self, signal_number: int) -> None:
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal_number)
            self.process.communicate(timeout=10)


class Subscriber:
    """A paho client that keeps every message delivered, by topic, in order."""

    def __init__(self, broker: Broker, *filters: str, username: Optional[str] = None,
                 password: Optional[str] = None) -> None:
        self.messages: Dict[str, List[mqtt.MQTTMessage]] = {}
        self.lock = threading.Lock()
        self.client = mqtt.Client(client_id=f"test-{os.getpid()}-{id(self)}", clean_session=True)
        if username:
            self.client.username_pw_set(username, password)
        if broker.tls:
            self.client.tls_set(ca_certs=str(broker.tls.cafile))
        subscribed = threading.Event()
        self.client.on_message = self._keep
        self.client.on_subscribe = lambda *_: subscribed.set()
        self.client.connect("127.0.0.1", broker.port, keepalive=10)
        self.client.loop_start()
        self.client.subscribe([(topic, 1) for topic in (filters or ("#",))])
        assert subscribed.wait(5), "the broker did not confirm the subscription"

    def _keep(self, _client: mqtt.Client, _data: object, message: mqtt.MQTTMessage) -> None:
        with self.lock:
            self.messages.setdefault(message.topic, []).append(message)

    def payloads(self, topic: str) -> List[str]:
        with self.lock:
            return [message.payload.decode() for message in self.messages.get(topic, [])]

    def last(self, topic: str) -> Optional[mqtt.MQTTMessage]:
        with self.lock:
            kept = self.messages.get(topic)
            return kept[-1] if kept else None

    def wait_for(self, topic: str, payload: str, timeout: float = 5.0) -> mqtt.MQTTMessage:
        """The last message on topic, once its payload is payload; fails the
        test when it is not by the timeout."""
        if not wait_until(lambda: self.payloads(topic)[-1:] == [payload], timeout):
            raise AssertionError(f"{topic}: {payload!r} not received in {timeout}s; "
                                 f"got {self.payloads(topic)}")
        return self.last(topic)

    def forget(self) -> None:
        """Drops what was received, so that the next wait sees new messages only."""
        with self.lock:
            self.messages.clear()

    def publish(self, topic: str, payload: str, retain: bool = False) -> None:
        self.client.publish(topic, payload, qos=1, retain=retain).wait_for_publish()

    def publish_until(self, topic: str, payload: str, condition: Callable[[], object],
                      timeout: float = 5.0) -> None:
        """Publishes payload on topic again until condition holds: the bridge
        subscribes just after it says online, so a message sent at once may
        reach the broker before its subscription does."""
        deadline = time.monotonic() + timeout
        while True:
            self.publish(topic, payload)
            if wait_until(condition, timeout=0.5):
                return
            if time.monotonic() > deadline:
                raise AssertionError(f"{topic} {payload!r}: no effect in {timeout}s")

    def close(self) -> None:
        self.client.loop_stop()
        self.client.disconnect()


class Bridge(LoggedProcess):
    """dio-mqttd between a board service and a broker."""

    def __init__(self, service: BoardService, broker: Broker, *options: str) -> None:
        super().__init__("dio-mqttd", [DIO_MQTTD, "--device", str(service.socket),
                                       "--broker", broker.url, "--id", BOARD_ID, *options])


class Rig:
    """The test's broker, board, service and bridges; whatever was started
    is stopped at the end."""

    def __init__(self, folder: Path) -> None:
        self.folder = folder
        self.socket_folder = Path(tempfile.mkdtemp(prefix="vdio-"))  # a short socket path
        self.board_file = new_board_file(folder / "board.img")
        self.broker: Optional[Broker] = None
        self.service: Optional[BoardService] = None
        self.bridges: List[Bridge] = []
        self.subscribers: List[Subscriber] = []

    def start_broker(self, **settings: object) -> Broker:
        self.broker = Broker(self.folder, **settings)
        return self.broker

    def start_service(self) -> BoardService:
        self.service = BoardService(self.board_file, self.socket_folder / "board.sock",
                                    "--interval", "10ms")
        return self.service

    def start_bridge(self, *options: str) -> Bridge:
        self.bridges.append(Bridge(self.service, self.broker, *options))
        return self.bridges[-1]

    def subscribe(self, *filters: str, **login: Optional[str]) -> Subscriber:
        self.subscribers.append(Subscriber(self.broker, *filters, **login))
        return self.subscribers[-1]

    def close(self) -> None:
        """Stops everything, the broker last and even when a stop failed; the
        logs go to standard output, which pytest shows for a failed test."""
        try:
            for subscriber in self.subscribers:
                subscriber.close()
            for process in [*self.bridges, self.service]:
                if process:
                    if process.process.poll() is None:
                        process.process.kill()  # what the test did not stop: cannot hang
                        process.process.wait(timeout=10)
                    print(f"--- {process.name}:\n{process.read_log()}")
        finally:
            if self.broker:
                self.broker.stop()
                print(f"--- mosquitto:\n{self.broker.log_text()}")
            shutil.rmtree(self.socket_folder, ignore_errors=True)


@pytest.fixture
def rig(tmp_path: Path) -> Iterator[Rig]:
    """Nothing started yet: the test starts what it needs."""
    made = Rig(tmp_path)
    try:
        yield made
    finally:
        made.close()


@pytest.fixture
def running(rig: Rig) -> Rig:
    """A broker and a board service, ready for a bridge."""
    rig.start_broker()
    rig.start_service()
    return rig
