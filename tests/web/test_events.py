"""dio-webd's event stream (GET /api/v1/events) end to end: the snapshot
first, changes from outside and through the API, the board service lost and
back, the cap on streams, and a stop with streams open."""

import http.client
import json
import signal
import socket
import time
from concurrent.futures import ThreadPoolExecutor
from typing import Dict, List, Optional, Tuple

from conftest import Rig, WebServer

Event = Tuple[str, dict]


class EventStream:
    """One Server-Sent Events stream read block by block ("event:" and
    "data:" lines up to a blank line; comments skipped)."""

    def __init__(self, web: WebServer) -> None:
        self.connection = http.client.HTTPConnection(web.host, web.port, timeout=5)
        self.connection.connect()
        self.socket = self.connection.sock  # kept: a closing answer takes it from connection
        self.connection.request("GET", "/api/v1/events")
        self.response = self.connection.getresponse()

    def next(self, name: str, timeout: float = 5.0) -> dict:
        """The data of the next event called name, others skipped."""
        return self.next_of((name,), timeout)[name]

    def next_of(self, names: Tuple[str, ...], timeout: float = 5.0) -> Dict[str, dict]:
        """The data of the next event of each name, in whatever order they come."""
        deadline, found = time.monotonic() + timeout, {}
        while len(found) < len(names):
            event = self.read(deadline)
            assert event is not None, f"the stream ended with only {found}"
            if event[0] in names:
                found.setdefault(event[0], event[1])
        return found

    def read_to_end(self, timeout: float) -> List[Event]:
        """Every event up to the stream's end, which must come in time and
        be a clean one (http.client raises on a cut chunked body)."""
        deadline, events = time.monotonic() + timeout, []
        while (event := self.read(deadline)) is not None:
            events.append(event)
        return events

    def read(self, deadline: float) -> Optional[Event]:
        """The next event by the deadline (time.monotonic), None at the end."""
        fields: Dict[str, List[str]] = {}
        while True:
            remaining = deadline - time.monotonic()
            assert remaining > 0, f"no event in time; so far {fields}"
            self.socket.settimeout(remaining)
            line = self.response.readline()
            if not line:
                return None
            text = line.decode().rstrip("\r\n")
            if not text:
                if fields:
                    return fields["event"][0], json.loads("\n".join(fields["data"]))
            elif not text.startswith(":"):
                key, _, value = text.partition(":")
                fields.setdefault(key, []).append(value[1:] if value.startswith(" ") else value)

    def close(self) -> None:
        self.connection.close()
        self.response.close()


def test_changes_and_the_board_service_coming_and_going_reach_the_stream(
        running: Rig) -> None:
    stream = EventStream(running.web)
    assert stream.response.status == 200
    assert stream.response.getheader("Content-Type").startswith("text/event-stream")
    name, snapshot = stream.read(time.monotonic() + 5)
    assert name == "snapshot" and len(snapshot["lines"]) == 19 and snapshot["connected"]

    running.inputs("DI3=1")
    change = stream.next("line", timeout=1.0)
    assert (change["name"], change["level"], change["edge"]) == ("DI3", 1, "rising")

    answer = running.web.request("PUT", "/api/v1/lines/DO2", {"value": 1}, running.auth())
    assert answer.status == 204
    change = stream.next("line", timeout=1.0)
    assert (change["name"], change["direction"], change["level"]) == ("DO2", "output", 1)

    running.service.stop()
    lost = stream.next("board")
    assert lost["connected"] is False and lost["error"]
    running.start_service()  # back on the same socket
    back = stream.next_of(("board", "snapshot"))
    assert back["board"] == {"connected": True}
    assert back["snapshot"]["connected"]
    assert [entry["level"] for entry in back["snapshot"]["lines"]
            if entry["name"] in ("DI3", "DO2")] == [1, 1]
    stream.close()


def test_streams_are_capped_and_end_cleanly_at_a_stop(rig: Rig) -> None:
    rig.start_service()
    web = rig.start_web("--max-event-clients", "2")
    streams = [EventStream(web) for _ in range(2)]
    for stream in streams:
        stream.next("snapshot")
    third = web.request("GET", "/api/v1/events")
    assert third.status == 503, third.body
    assert third.json()["error"]

    web.process.send_signal(signal.SIGTERM)
    for stream in streams:
        stream.read_to_end(timeout=5)
    assert web.process.wait(timeout=5) == 0


def toggle(rig: Rig, web: WebServer, line: str, times: int) -> int:
    """Switches line times, on one connection; how many were answered 204."""
    writer = http.client.HTTPConnection(web.host, web.port, timeout=5)
    headers = {"Content-Type": "application/json", **rig.auth()}
    done = 0
    for number in range(times):
        writer.request("PUT", f"/api/v1/lines/{line}",
                       json.dumps({"value": (number + 1) % 2}).encode(), headers)
        answer = writer.getresponse()
        done += answer.read() == b"" and answer.status == 204
    writer.close()
    return done


def test_a_stop_is_not_held_up_by_a_stream_whose_client_reads_nothing(running: Rig) -> None:
    web = running.start_web("--request-timeout", "30s")
    # Small segments and a small window: a few kilobytes of events fill
    # what the connection holds, and the stream's write blocks.
    reader = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    reader.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1024)
    reader.setsockopt(socket.IPPROTO_TCP, socket.TCP_MAXSEG, 536)
    reader.settimeout(5)
    reader.connect(("127.0.0.1", web.port))
    reader.sendall(f"GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1:{web.port}\r\n\r\n".encode())
    with ThreadPoolExecutor(max_workers=8) as pool:  # a PUT takes tens of ms: in parallel
        toggled = list(pool.map(lambda line: toggle(running, web, line, 60),
                                [f"DO{number}" for number in range(8)]))
    assert toggled == [60] * 8

    web.process.send_signal(signal.SIGTERM)
    started = time.monotonic()
    assert web.process.wait(timeout=10) == 0
    assert time.monotonic() - started < 5, web.read_log()
    reader.close()
