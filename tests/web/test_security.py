"""What dio-webd refuses and in which order: the token, read-only servers,
Host and Origin checks against DNS rebinding and other sites' pages, the
security headers, and configurations refused at start."""

import subprocess

from conftest import DIO_WEBD, DIO_WEBD_WWW, Rig

CSP = ("default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
       "connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'")
BROKEN = b'{"value": '


def run_webd(rig: Rig, *options: str) -> subprocess.CompletedProcess:
    """dio-webd to its end (a refused start or --check); one that serves
    instead fails the test at the timeout."""
    return subprocess.run([DIO_WEBD, "--device", str(rig.socket), "--www", DIO_WEBD_WWW,
                           *options], capture_output=True, text=True, timeout=10)


def put(rig: Rig, name: str, body: object, **headers: str):
    return rig.web.request("PUT", f"/api/v1/lines/{name}", body,
                           {"Content-Type": "application/json", **headers})


def test_each_check_comes_before_the_next(running: Rig) -> None:
    token = running.auth()["Authorization"]
    evil = f"evil.example:{running.web.port}"
    with running.held("DO1=1", "mixer"):
        for headers in ({}, {"Authorization": f"Bearer {running.token[:-1]}x"},
                        {"Authorization": running.token}):
            unauthorized = put(running, "DO9", BROKEN, Host=evil, **headers)
            assert unauthorized.status == 401, (headers, unauthorized.body)
            assert unauthorized.headers["www-authenticate"] == 'Bearer realm="dio-webd"'
            assert unauthorized.json()["error"]
        assert put(running, "DO9", BROKEN, Host=evil, Authorization=token).status == 403
        assert put(running, "DO9", BROKEN, Authorization=token).status == 404
        assert put(running, "DO1", BROKEN, Authorization=token).status == 400
        assert put(running, "DO1", {"value": 0}, Authorization=token).status == 409
        assert running.driven("DO1") == 1
    for headers, status in (({}, 401), ({"Host": evil, "Authorization": token}, 403),
                            ({"Authorization": token}, 404)):
        assert running.web.request("POST", "/api/v1/lines/DO3/pulse/x", BROKEN,
                                   headers).status == status, headers


def test_other_sites_pages_and_hosts_are_refused(running: Rig) -> None:
    port, token = running.web.port, running.auth()["Authorization"]
    for origin, status in ((f"http://evil.example:{port}", 403), ("null", 403),
                           (f"http://127.0.0.1:{port + 1}", 403),
                           (f"http://127.0.0.1:{port}", 204)):
        answer = put(running, "DO2", {"value": 1}, Origin=origin, Authorization=token)
        assert answer.status == status, (origin, answer.body)
    assert put(running, "DO2", {"value": 0}, Host=f"LocalHost:{port}",
               Authorization=token).status == 204

    named = running.start_web("--host", "board.example")
    assert named.request("GET", "/api/v1/lines",
                         headers={"Host": f"BOARD.example:{named.port}"}).status == 200
    answer = named.request("PUT", "/api/v1/lines/DO2", {"value": 1},
                           {"Host": f"board.example:{named.port}", "Authorization": token,
                            "Origin": f"http://board.example:{named.port}"})
    assert answer.status == 204, answer.body
    assert running.driven("DO2") == 1
    # A name rebound to 127.0.0.1 reads nothing either.
    assert named.request("GET", "/api/v1/lines",
                         headers={"Host": f"evil.example:{named.port}"}).status == 403
    # Bytes that are no UTF-8, echoed in the refusal's message (sent as latin-1).
    assert named.request("GET", "/", headers={"Host": "\xff\xfe.example"}).status == 403
    answer = put(running, "DO2", {"value": 1}, Origin="http://\xff\xfe.example",
                 Authorization=token)
    assert answer.status == 403 and answer.json()["error"], answer.body


def test_servers_without_a_token_or_read_only_take_no_write(running: Rig) -> None:
    tokenless = running.start_web(with_token=False)
    read_only = running.start_web("--read-only")
    for web in (tokenless, read_only):
        for method, path, body in (("PUT", "/api/v1/lines/DO3", {"value": 1}),
                                   ("POST", "/api/v1/lines/DO3/pulse", {"width_ms": 100})):
            answer = web.request(method, path, body, running.auth())
            assert answer.status == 403, (web.process.args, path, answer.body)
            assert answer.json()["error"]
    assert running.driven("DO3") == 0


def test_every_answer_carries_the_security_headers(running: Rig) -> None:
    for path, status in (("/", 200), ("/api/v1/lines", 200), ("/api/v1/lines/DO9", 404)):
        answer = running.web.request("GET", path)
        assert answer.status == status, path
        assert answer.headers["content-security-policy"] == CSP, path
        assert answer.headers["x-content-type-options"] == "nosniff", path
        assert answer.headers["referrer-policy"] == "no-referrer", path
        assert answer.headers["x-frame-options"] == "DENY", path


def test_unsafe_configurations_are_refused_at_start(rig: Rig) -> None:
    rig.start_service()
    readable = rig.folder / "shared-token"
    readable.write_text(rig.token + "\n")
    readable.chmod(0o604)
    short = rig.folder / "short-token"
    short.write_text("x" * 31 + "\n")
    short.chmod(0o600)
    for token_file, said in ((readable, f"chmod o= {readable}"), (short, str(short))):
        refused = run_webd(rig, "--listen", "127.0.0.1:0", "--token-file", str(token_file))
        assert refused.returncode == 2, refused.stderr
        assert said in refused.stderr

    refused = run_webd(rig, "--listen", "0.0.0.0:8080", "--check")
    assert refused.returncode == 2, refused.stderr
    assert "--insecure-http" in refused.stderr and "TLS reverse proxy" in refused.stderr
    checked = run_webd(rig, "--listen", "0.0.0.0:8080", "--insecure-http", "--check")
    assert checked.returncode == 0, checked.stderr
    assert "add --host" in checked.stderr, checked.stderr
    named = run_webd(rig, "--listen", "0.0.0.0:8080", "--insecure-http", "--host", "board",
                     "--check")
    assert named.returncode == 0 and "add --host" not in named.stderr, named.stderr
