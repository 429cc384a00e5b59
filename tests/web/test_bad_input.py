"""dio-webd under random and malformed requests over raw sockets: every
answer a valid status line or a closed connection, no file from beyond the
page's folder ever served, slow clients cut off, and the server still
answering and stopping cleanly afterwards. Seeded: a failure names the
request, and the same seed makes it again."""

import random
import re
import secrets
import shutil
import socket
import threading
import time
from collections import Counter
from pathlib import Path
from typing import Iterator, List, Tuple

from conftest import DIO_WEBD_WWW, Rig

SEED = 0x5EED_D10
REQUESTS = 2000
# HTTP-version SP status-code as RFC 9112 writes them: an answer in the
# request's own well-formed version ("HTTP/2.0 400") passes; one that repeats
# a malformed request line ("HTTP//etc/passwd HTTP/1.1 400") does not.
STATUS_LINE = re.compile(rb"HTTP/[0-9]\.[0-9] ([1-5][0-9][0-9])[ \r]")

API = ["/", "/app.js", "/style.css", "/metrics", "/api/v1/openapi.json", "/api/v1/lines",
       "/api/v1/lines/DO3", "/api/v1/lines/led2", "/api/v1/lines/DI3",
       "/api/v1/lines/DO3/pulse", "/api/v1/lines/DO99", "/api/v1/lines/DO3/pulse/x"]
TRAVERSALS = ["/../../etc/passwd", "/%2e%2e/%2e%2e/etc/passwd", "/..%2fetc%2fpasswd",
              "/%252e%252e/%252e%252e/etc/passwd", "//etc/passwd", "/index.html/../../etc/passwd",
              "/..\\..\\etc\\passwd", "/%5c..%5c..%5cetc%5cpasswd", "/index.html%00.css",
              "/ind\x00ex.html", "/%00", "/../secret.txt", "/%2e%2e/secret.txt",
              "/..%2fsecret.txt", "/Secret.txt", "/.secret", "/linked.txt", "/www/../secret.txt",
              "/./../secret.txt", "/api/v1/../../../etc/passwd", "http://evil.example/etc/passwd",
              "/etc/passwd", "/proc/self/environ", "/%2fetc%2fpasswd", "/.."]
METHODS = ["GET"] * 6 + ["PUT"] * 3 + ["POST"] * 2 + [
    "HEAD", "DELETE", "OPTIONS", "PATCH", "TRACE", "CONNECT", "PROPFIND", "get", "G ET", "",
    "\x00GET", "M" * 300]
VERSIONS = ["HTTP/1.1"] * 6 + ["HTTP/1.0"] * 2 + [
    "HTTP/2.0", "HTTP/0.9", "HTTP/1.1.1", "HTTP/9", "HTTPS/1.1", "http/1.1", "", "HTTP/1.1 x"]
JSON_BODIES = [b'{"value": 1}', b'{"value": true}', b'{"width_ms": 1}', b'{"value": ', b'{',
               b'[1]', b'"x"', b'null', b'{"value": 1, "value": 0}', b'{"value": 1e999}',
               b'{"width_ms": -1}', b'{"value": "\xff\xfe"}', b'{"\x00": 0}']


def random_path(rng: random.Random) -> str:
    pick = rng.random()
    if pick < 0.35:
        return rng.choice(API)
    if pick < 0.75:
        return rng.choice(TRAVERSALS)
    if pick < 0.85:
        return "/" + "a/" * rng.randint(500, 5000)
    if pick < 0.95:
        return "/" + rng.randbytes(rng.randint(1, 64)).decode("latin-1")
    return rng.choice(["*", "", "api/v1/lines", "/" * 300, "/?" + "x=" * 2000])


def random_body(rng: random.Random) -> bytes:
    pick = rng.random()
    if pick < 0.3:
        return b""
    if pick < 0.75:
        return rng.choice(JSON_BODIES)
    if pick < 0.85:
        return b'{"value": ' + b"1" * rng.randint(4000, 200000) + b"}"
    return rng.randbytes(rng.randint(1, 8192))


def odd_headers(rng: random.Random, body: bytes) -> List[str]:
    """Zero or one fault among the headers, besides the Content-Length."""
    length = len(body)
    return rng.choice([
        [], [], [], [f"Content-Length: {length}"], [f"Content-Length: {length}"],
        [f"Content-Length: {length + rng.randint(1, 100)}"],
        [f"Content-Length: {max(0, length - rng.randint(1, 10))}"],
        ["Content-Length: -1"], ["Content-Length: 12abc"], ["Content-Length: 99999999999999999999"],
        [f"Content-Length: {length}", "Content-Length: 3"],
        ["Transfer-Encoding: chunked"], ["Transfer-Encoding: gzip, chunked"],
        ["X-Big: " + "a" * rng.randint(65536, 100000)],
        [f"X-Many-{n}: {n}" for n in range(rng.randint(100, 2000))],
        ["NoColonInThisLine"], [" folded continuation"], ["X-Nul: a\x00b"], [": empty name"],
        ["Content-Type: application/json; charset=\xff"], ["Host: evil.example"],
        ["Authorization: Bearer " + "t" * 10000], ["Origin: null"],
    ])


def random_request(rng: random.Random, host: str, token: str) -> Tuple[str, bytes]:
    """The path asked for and the whole request."""
    body, path = random_body(rng), random_path(rng)
    lines = [f"{rng.choice(METHODS)} {path} {rng.choice(VERSIONS)}".rstrip(), f"Host: {host}"]
    if rng.random() < 0.5:
        lines.append(f"Authorization: Bearer {token}")
    if rng.random() < 0.6:
        lines.append("Content-Type: application/json")
    lines += odd_headers(rng, body)
    end = "\r\n" if rng.random() < 0.9 else "\n"
    return path, (end.join(lines) + end + end).encode("latin-1") + body


def requests(host: str, token: str) -> Iterator[Tuple[str, bytes]]:
    """Every way out of the folder asked for plainly once, then random ones."""
    for path in TRAVERSALS:
        yield path, f"GET {path} HTTP/1.1\r\nHost: {host}\r\n\r\n".encode("latin-1")
    rng = random.Random(SEED)
    for _ in range(REQUESTS - len(TRAVERSALS)):
        yield random_request(rng, host, token)


def exchange(port: int, request: bytes, timeout: float = 3.0) -> bytes:
    """Sends request, says it is all, and reads to the server's close: the
    whole answer, or b"" when the server closed without one."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as client:
        try:
            client.sendall(request)
            client.shutdown(socket.SHUT_WR)
        except socket.timeout:
            raise
        except OSError:
            pass  # answered and closed (EPIPE, ECONNRESET, ENOTCONN) before the end of a huge request
        answer = b""
        try:
            while chunk := client.recv(65536):
                answer += chunk
        except ConnectionResetError:
            pass
        return answer


def slow_client(port: int, parts: List[bytes], pause: float, outcome: list) -> None:
    """Sends parts with pauses between, never ending the request; records
    the answer and how long after the last part the server ended it."""
    with socket.create_connection(("127.0.0.1", port), timeout=8) as client:
        answer, sent = b"", time.monotonic()
        try:
            for part in parts:
                client.sendall(part)
                sent = time.monotonic()
                time.sleep(pause)
            while chunk := client.recv(65536):
                answer += chunk
        except socket.timeout:
            answer = b"(still open after 8 s)"
        except (BrokenPipeError, ConnectionResetError):
            pass  # cut off before its last part
        outcome.append((answer, time.monotonic() - sent))


def site_with_secrets(folder: Path) -> Tuple[Path, str]:
    """A copy of the page's folder, a secret file beside it, and in it the
    secret under names the server must not serve: not lower case, hidden,
    a symbolic link."""
    secret = "secret-" + secrets.token_hex(16)
    www = folder / "site" / "www"
    shutil.copytree(DIO_WEBD_WWW, www)
    (www.parent / "secret.txt").write_text(secret)
    (www / "Secret.txt").write_text(secret)
    (www / ".secret").write_text(secret)
    (www / "linked.txt").symlink_to(www.parent / "secret.txt")
    return www, secret


def test_random_and_malformed_requests_are_answered_or_closed_and_serve_no_other_file(
        rig: Rig) -> None:
    www, secret = site_with_secrets(rig.folder)
    rig.start_service()
    web = rig.start_web("--request-timeout", "2s", www=str(www))
    host = f"127.0.0.1:{web.port}"
    slow: List[tuple] = []
    slow_parts = [[b"GET /api/v1/lines HTTP/1.1\r\nHost: " + host.encode()],
                  [b"PUT /api/v1/lines/DO3 HTTP/1.1\r\nHost: " + host.encode() +
                   b"\r\nContent-Type: application/json\r\nContent-Length: 50\r\n\r\n{\"val"],
                  [bytes([byte]) for byte in b"GET / HTTP/1.1\r\n"][:6], []]
    threads = [threading.Thread(target=slow_client, args=(web.port, parts, 0.5, slow))
               for parts in slow_parts]
    for thread in threads:
        thread.start()

    statuses, started, previous = Counter(), time.monotonic(), b""
    for number, (path, request) in enumerate(requests(host, rig.token)):
        try:
            answer = exchange(web.port, request)
        except OSError as error:
            raise AssertionError(f"request {number} ({error}): {request[:300]!r}; the one "
                                 f"before: {previous[:300]!r}\n{web.read_log()}") from error
        previous = request
        status_line = STATUS_LINE.match(answer)
        assert answer == b"" or status_line, (number, request[:300], answer[:300])
        assert secret.encode() not in answer and b"root:x:0:0" not in answer, \
            (number, request[:300], answer[:300])
        status = int(status_line.group(1)) if answer else 0
        statuses[status] += 1
        assert status != 500, (number, request[:300], answer[:300])
        assert status != 200 or path not in TRAVERSALS, (number, request[:300], answer[:300])
    flood = time.monotonic() - started
    for thread in threads:
        thread.join(timeout=15)
    print(f"{REQUESTS} requests in {flood:.1f} s; statuses {sorted(statuses.items())}; "
          f"slow clients {[(answer[:12], round(after, 1)) for answer, after in slow]}")

    assert len(slow) == len(slow_parts)
    for answer, after in slow:
        assert answer == b"" or STATUS_LINE.match(answer), answer[:200]
        # One request timeout for the rest of the request, one for the next
        # (after an early answer), and a margin.
        assert after < 2 * 2 + 2, f"a slow client kept its connection {after:.1f} s after its last byte"
    assert statuses[0] < REQUESTS / 2, statuses  # most requests get an answer

    lines = web.request("GET", "/api/v1/lines")
    assert lines.status == 200 and len(lines.json()["lines"]) == 19
    assert web.process.poll() is None
    assert web.stop() == 0


def test_the_api_answers_while_clients_stall_mid_request(rig: Rig) -> None:
    """Clients that send a request line and nothing more hold a request
    thread each until the timeout; more of them than event streams may be
    open must not keep the API from answering."""
    rig.start_service()
    web = rig.start_web("--max-event-clients", "1", "--request-timeout", "5s")
    stalled = [socket.create_connection(("127.0.0.1", web.port), timeout=5) for _ in range(40)]
    try:
        for client in stalled:
            client.sendall(b"GET / HTTP/1.1\r\n")
        time.sleep(0.2)  # taken up by the server's threads
        started = time.monotonic()
        lines = web.request("GET", "/api/v1/lines", timeout=5)
        taken = time.monotonic() - started
        assert lines.status == 200 and taken < 1.0, f"answered {lines.status} after {taken:.1f} s"
    finally:
        for client in stalled:
            client.close()
