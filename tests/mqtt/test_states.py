"""dio-mqttd's levels and sets end to end: retained states at connect, an
input's change on its topic, set topics writing outputs and LEDs, what it
ignores, --read-only, and a line another client holds."""

import os
import subprocess

from board_processes import dio_sim
from board_registers import driven_mask
from conftest import PREFIX, Rig, wait_until

DIOCTL = os.environ["DIOCTL"]
OUTPUTS = [f"DO{n}" for n in range(8)]
LEDS = ["LED1", "LED2", "LED3"]
LINES = [f"DI{n}" for n in range(8)] + OUTPUTS + LEDS


def dioctl(rig: Rig, *words: str) -> None:
    subprocess.run([DIOCTL, "--device", str(rig.service.socket), *words], check=True,
                   capture_output=True, timeout=30)


def logged_line(log: str, *words: str) -> bool:
    """Whether one line of log holds every word."""
    return any(all(word in line for word in words) for line in log.splitlines())


def test_states_at_connect_changes_and_sets_reach_the_board(running: Rig) -> None:
    dio_sim(running.board_file, "inputs", "DI5=1")
    dioctl(running, "set", "DO2=1")
    publisher = running.subscribe(f"{PREFIX}/#")
    # Sent before the bridge subscribes, so the broker delivers it retained.
    publisher.publish(f"{PREFIX}/DO5/set", "1", retain=True)
    bridge = running.start_bridge()
    publisher.wait_for(f"{PREFIX}/status", "online")
    assert wait_until(lambda: all(publisher.last(f"{PREFIX}/{line}") for line in LINES))

    late = running.subscribe(f"{PREFIX}/#")
    assert late.wait_for(f"{PREFIX}/status", "online").retain
    assert wait_until(lambda: all(late.last(f"{PREFIX}/{line}") for line in LINES))
    levels = {line: late.payloads(f"{PREFIX}/{line}")[-1] for line in LINES}
    assert levels == {line: "1" if line in ("DI5", "DO2") else "0" for line in LINES}
    assert all(late.last(f"{PREFIX}/{line}").retain for line in LINES)

    bridge.read_log_until(f'{PREFIX}/DO5/set "1"', timeout=5)

    dio_sim(running.board_file, "inputs", "DI3=1")
    late.wait_for(f"{PREFIX}/DI3", "1")
    dio_sim(running.board_file, "inputs", "DI3=0")
    late.wait_for(f"{PREFIX}/DI3", "0")

    for line, spellings in (("DO3", ("ON", "off", "1", "0", "On")), ("LED1", ("on", "OFF", "1"))):
        for payload in spellings:
            level = "1" if payload.lower() in ("1", "on") else "0"
            late.publish(f"{PREFIX}/{line}/set", payload)
            late.wait_for(f"{PREFIX}/{line}", level)
            assert driven_mask(running.board_file, [line]) == int(level), (line, payload)
    assert driven_mask(running.board_file, OUTPUTS) == 0x0C
    assert driven_mask(running.board_file, LEDS) == 0x01

    assert bridge.stop() == 0
    assert driven_mask(running.board_file, OUTPUTS) == 0x0C  # DO5 untouched


def test_garbage_and_sets_on_inputs_are_logged_naming_topic_and_payload_and_write_nothing(
        running: Rig) -> None:
    watcher = running.subscribe(f"{PREFIX}/#")
    bridge = running.start_bridge()
    watcher.wait_for(f"{PREFIX}/status", "online")
    # The log names one ignored message a second: each is sent again until
    # its turn comes.
    for topic, payload in (("DO4/set", "2"), ("DO4/set", "true"), ("LED2/set", " 1"),
                           ("DI3/set", "1"), ("LED2/set", "")):
        named = f'{PREFIX}/{topic} "{payload}"'
        watcher.publish_until(f"{PREFIX}/{topic}", payload, lambda: bridge.said(named))
    assert bridge.stop() == 0
    assert (driven_mask(running.board_file, OUTPUTS), driven_mask(running.board_file, LEDS)) == (0, 0)
    assert set(watcher.payloads(f"{PREFIX}/DO4") + watcher.payloads(f"{PREFIX}/LED2") +
               watcher.payloads(f"{PREFIX}/DI3")) == {"0"}


def test_a_line_held_by_another_client_refuses_the_set_naming_the_holder(running: Rig) -> None:
    bridge = running.start_bridge()
    watcher = running.subscribe(f"{PREFIX}/#")
    watcher.wait_for(f"{PREFIX}/status", "online")
    holder = subprocess.Popen([DIOCTL, "--device", str(running.service.socket), "set", "--hold",
                               "--consumer", "rival", "DO7=1"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        watcher.wait_for(f"{PREFIX}/DO7", "1")
        watcher.publish_until(f"{PREFIX}/DO7/set", "0", lambda: bridge.said("rival"))
        assert logged_line(bridge.log, "DO7", "rival")
        assert driven_mask(running.board_file, ["DO7"]) == 1
    finally:
        holder.terminate()
        holder.wait(timeout=10)
    assert bridge.stop() == 0


def test_read_only_takes_no_set_and_announces_outputs_as_sensors(running: Rig) -> None:
    watcher = running.subscribe("#")
    bridge = running.start_bridge("--read-only")
    watcher.wait_for(f"{PREFIX}/status", "online")
    watcher.wait_for(f"{PREFIX}/DO3", "0")
    assert watcher.last("homeassistant/binary_sensor/test-board/do3/config").payload
    assert watcher.last("homeassistant/binary_sensor/test-board/led1/config").payload
    for removed in ("switch/test-board/do3", "light/test-board/led1"):
        assert not watcher.last(f"homeassistant/{removed}/config") or \
            watcher.last(f"homeassistant/{removed}/config").payload == b""

    watcher.publish(f"{PREFIX}/DO3/set", "1")
    watcher.publish(f"{PREFIX}/LED1/set", "1")
    # A change that passes through the bridge after the sets: they were
    # delivered by then if it had subscribed.
    dio_sim(running.board_file, "inputs", "DI0=1")
    watcher.wait_for(f"{PREFIX}/DI0", "1")
    assert (driven_mask(running.board_file, OUTPUTS), driven_mask(running.board_file, LEDS)) == (0, 0)
    assert watcher.payloads(f"{PREFIX}/DO3") == ["0"]
    assert bridge.stop() == 0
