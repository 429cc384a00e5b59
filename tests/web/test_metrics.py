"""dio-webd's /metrics read by Prometheus's own parser: every family with
its type, the levels the board has, rising edges, requests by endpoint and
status, and claims."""

from typing import Dict, Tuple

from prometheus_client.parser import text_string_to_metric_families

from conftest import Rig, wait_until

# The parser names a counter's family without its _total.
FAMILIES = {
    "varnik_dio_board_connected": "gauge",
    "varnik_dio_line_level": "gauge",
    "varnik_dio_input_rising_edges": "counter",
    "varnik_dio_input_count": "gauge",
    "varnik_dio_input_frequency_hertz": "gauge",
    "varnik_dio_line_claimed": "gauge",
    "varnik_dio_claims_held": "gauge",
    "varnik_dio_http_requests": "counter",
    "varnik_dio_event_clients": "gauge",
    "varnik_dio_events_dropped": "counter",
    "varnik_dio_sampler_late_samples": "counter",
    "varnik_dio_sampler_samples": "counter",
}
LINES = [f"DI{n}" for n in range(8)] + [f"DO{n}" for n in range(8)] + ["LED1", "LED2", "LED3"]
DIRECTIONS = dict(zip(LINES, ["input"] * 8 + ["output"] * 8 + ["led"] * 3))

Samples = Dict[Tuple[str, Tuple[Tuple[str, str], ...]], float]


def scrape(rig: Rig) -> Tuple[Dict[str, str], Samples]:
    """The families' types and every sample by name and labels."""
    answer = rig.web.request("GET", "/metrics")
    assert answer.status == 200, answer.body
    assert answer.headers["content-type"].startswith("text/plain; version=0.0.4")
    types, samples = {}, {}
    for family in text_string_to_metric_families(answer.body.decode()):
        types[family.name] = family.type
        for sample in family.samples:
            key = (sample.name, tuple(sorted(sample.labels.items())))
            assert key not in samples, f"{key} twice"
            samples[key] = sample.value
    return types, samples


def value(samples: Samples, name: str, **labels: str) -> float:
    """The sample's value; a sample that is not there fails the test."""
    key = (name, tuple(sorted(labels.items())))
    assert key in samples, f"no sample {key}"
    return samples[key]


def test_families_levels_and_edges_follow_the_board(running: Rig) -> None:
    types, samples = scrape(running)
    assert {name: types.get(name) for name in FAMILIES} == FAMILIES
    assert value(samples, "varnik_dio_board_connected") == 1

    running.dioctl("set", "DO6=1")
    assert running.web.request("PUT", "/api/v1/lines/LED2", {"value": 1},
                               running.auth()).status == 204
    # Three rising edges of DI4, each counted by the service (its rising
    # and falling counts) before the next: the register's level alone can
    # be read back before the service's next sample sees it.
    def edges() -> Tuple[int, int]:
        functions = running.web.request("GET", "/api/v1/lines/DI4").json()["functions"]
        return functions["count"], functions["falling"]

    for n, level in enumerate((1, 0, 1, 0, 1)):
        running.inputs(f"DI4={level}")
        expected = ((n + 2) // 2, (n + 1) // 2)
        assert wait_until(lambda: edges() == expected), (edges(), expected)
    assert wait_until(lambda: value(scrape(running)[1], "varnik_dio_input_rising_edges_total",
                                    line="DI4") == 3)
    _, samples = scrape(running)
    levels = {line: value(samples, "varnik_dio_line_level", line=line,
                          direction=DIRECTIONS[line]) for line in LINES}
    assert levels == {line: 1.0 if line in ("DI4", "DO6", "LED2") else 0.0 for line in LINES}
    assert running.driven("DO6", "LED2") == 0b11
    assert value(samples, "varnik_dio_input_count", line="DI4") == 3
    assert sum(v for (name, _), v in samples.items()
               if name == "varnik_dio_input_rising_edges_total") == 3


def test_requests_are_counted_by_endpoint_and_status(running: Rig) -> None:
    def counted(endpoint: str, code: str) -> float:  # 0 before the first
        labels = (("code", code), ("endpoint", endpoint))
        return scrape(running)[1].get(("varnik_dio_http_requests_total", labels), 0.0)

    missing, written = counted("line", "404"), counted("line", "204")
    assert running.web.request("GET", "/api/v1/lines/DO9").status == 404
    assert running.web.request("PUT", "/api/v1/lines/DO0", {"value": 1},
                               running.auth()).status == 204
    assert (counted("line", "404"), counted("line", "204")) == (missing + 1, written + 1)


def test_claims_are_counted_while_held(running: Rig) -> None:
    assert value(scrape(running)[1], "varnik_dio_claims_held") == 0
    with running.held("DO5=1", "mixer"):
        assert wait_until(lambda: value(scrape(running)[1], "varnik_dio_claims_held") == 1)
        # The holder is named, so that a dashboard can say who holds it.
        assert value(scrape(running)[1], "varnik_dio_line_claimed", line="DO5",
                     consumer="mixer") == 1
        assert value(scrape(running)[1], "varnik_dio_line_claimed", line="DO4",
                     consumer="") == 0
    assert wait_until(lambda: value(scrape(running)[1], "varnik_dio_claims_held") == 0)
