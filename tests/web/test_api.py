"""dio-webd's JSON API end to end: the board as read, writes and pulses
reaching its registers, each refusal with its status, a lost board service,
and the OpenAPI description."""

import json
import time

from conftest import Rig, wait_until

INPUTS = [f"DI{n}" for n in range(8)]
OUTPUTS = [f"DO{n}" for n in range(8)]
LEDS = ["LED1", "LED2", "LED3"]
LINES = INPUTS + OUTPUTS + LEDS
DIRECTIONS = ["input"] * 8 + ["output"] * 8 + ["led"] * 3


def line(rig: Rig, name: str) -> dict:
    answer = rig.web.request("GET", f"/api/v1/lines/{name}")
    assert answer.status == 200, answer.body
    return answer.json()


def test_the_board_as_read_shows_levels_functions_and_another_clients_claim(
        running: Rig) -> None:
    running.dioctl("set", "DO4=1", "LED3=1")
    running.inputs("DI6=1")
    with running.held("DO1=1", "mixer") as holder:
        answer = running.web.request("GET", "/api/v1/lines")
        assert answer.status == 200, answer.body
        assert answer.headers["content-type"].startswith("application/json")
        assert answer.headers["cache-control"] == "no-store"
        board = answer.json()
        assert (board["connected"], board["through_service"]) == (True, True)
        assert [(entry["name"], entry["direction"]) for entry in board["lines"]] == \
            list(zip(LINES, DIRECTIONS))
        assert {entry["name"] for entry in board["lines"] if entry["level"] == 1} == \
            {"DI6", "DO1", "DO4", "LED3"}
        assert all(entry["claim"] is None for entry in board["lines"][8:]
                   if entry["name"] != "DO1")

        held = line(running, "do1")  # names in any case
        assert held["name"] == "DO1" and held["level"] == 1
        assert (held["claim"]["consumer"], held["claim"]["pid"]) == ("mixer", holder.pid)

        refused = running.web.request("PUT", "/api/v1/lines/DO1", {"value": 0},
                                      running.auth())
        assert refused.status == 409
        assert '"mixer"' in refused.json()["error"] and f"pid {holder.pid}" in refused.json()["error"]
        assert running.driven("DO1") == 1
    assert wait_until(lambda: line(running, "DO1")["claim"] is None)

    # The service counts DI6's rising edge for its figures.
    assert wait_until(lambda: (line(running, "DI6")["functions"] or {}).get("count") == 1)
    assert {"count", "frequency_hz", "on_time_ms"} <= set(line(running, "DI6")["functions"])

    for path in ("/api/v1/lines/DO8", "/api/v1/lines/DI", "/api/v1/lights", "/api/v2/lines"):
        missing = running.web.request("GET", path)
        assert missing.status == 404, path
        assert missing.json()["error"], path


def test_writes_and_pulses_reach_the_board_registers(running: Rig) -> None:
    web, auth = running.web, running.auth()
    for name, value, driven in (("DO3", 1, 1), ("do5", True, 1), ("DO3", 0, 0),
                                ("LED2", 1, 1), ("LED2", False, 0), ("LED2", True, 1)):
        answer = web.request("PUT", f"/api/v1/lines/{name}", {"value": value}, auth)
        assert (answer.status, answer.body) == (204, b""), (name, value)
        assert running.driven(name.upper()) == driven, (name, value)
    assert running.driven(*OUTPUTS) == 0x20 and running.driven(*LEDS) == 0x02

    started = time.monotonic()
    answer = web.request("POST", "/api/v1/lines/DO3/pulse", {"width_ms": 400}, auth)
    assert answer.status == 202, answer.body
    assert answer.json() == {"name": "DO3", "width_ms": 400}
    assert wait_until(lambda: running.driven("DO3") == 1, timeout=0.4)
    again = web.request("POST", "/api/v1/lines/DO3/pulse", {"width_ms": 400}, auth)
    assert again.status == 409, again.body  # one pulse at a time
    assert wait_until(lambda: running.driven("DO3") == 0, timeout=3)
    assert time.monotonic() - started >= 0.35
    assert running.driven(*OUTPUTS) == 0x20


def test_bad_writes_get_the_status_that_names_what_was_wrong(running: Rig) -> None:
    web, auth = running.web, running.auth()
    json_type = {**auth, "Content-Type": "application/json"}
    for path, body, status, said in (
            ("DI3", {"value": 1}, 400, "DI3 is an input"),
            ("DO3", {"value": 2}, 400, "value"),
            ("DO3", {"value": "1"}, 400, "value"),
            ("DO3", b'{"value": 1', 400, ""),
            ("DO3", {"value": 1, "level": 1}, 400, "level"),
            ("DO3", [1], 400, ""),
            ("DO3/pulse", {"width_ms": 0}, 400, "width_ms"),
            ("DO3/pulse", {"width_ms": 3600001}, 400, "width_ms"),
            ("DO3", {"value": 1, "pad": "x" * 4096}, 413, "")):
        method = "POST" if path.endswith("pulse") else "PUT"
        answer = web.request(method, f"/api/v1/lines/{path}", body, json_type)
        assert answer.status == status, (path, body, answer.body)
        assert said in answer.json()["error"], (path, body, answer.body)

    plain = web.request("PUT", "/api/v1/lines/DO3", b'{"value": 1}',
                        {**auth, "Content-Type": "text/plain"})
    assert plain.status == 415, plain.body
    charset = web.request("PUT", "/api/v1/lines/DO3", b'{"value": 1}',
                          {**auth, "Content-Type": "application/json; charset=utf-8"})
    assert charset.status == 204, charset.body
    running.dioctl("set", "DO3=0")

    other = web.request("DELETE", "/api/v1/lines/DO3", headers=auth)
    assert other.status == 405 and "PUT" in other.headers["allow"]
    assert running.driven(*OUTPUTS, *LEDS) == 0


def test_a_lost_board_service_gives_503_until_it_is_back(running: Rig) -> None:
    web = running.web
    running.service.stop()
    assert wait_until(lambda: web.request("GET", "/api/v1/lines").status == 503)
    lost = web.request("GET", "/api/v1/lines")
    assert "out of reach" in lost.json()["error"] and "every second" in lost.json()["error"]
    write = web.request("PUT", "/api/v1/lines/DO2", {"value": 1}, running.auth())
    assert write.status == 503, write.body

    running.start_service()
    assert wait_until(lambda: web.request("GET", "/api/v1/lines").status == 200, timeout=5)
    assert web.request("PUT", "/api/v1/lines/DO2", {"value": 1}, running.auth()).status == 204
    assert running.driven("DO2") == 1
    assert web.process.poll() is None and web.stop() == 0


def test_the_openapi_description_is_served(running: Rig) -> None:
    answer = running.web.request("GET", "/api/v1/openapi.json")
    assert answer.status == 200
    description = json.loads(answer.body)
    assert description["openapi"].startswith("3.")
    assert any(path.startswith("/api/v1/lines/") for path in description["paths"])
