"""dio-mqttd when the broker goes away: reconnecting and republishing, the
last will when the bridge itself is killed, and --claim's safe outputs
once the broker has been out of reach for longer than the lease; when the
board's service goes away: the bridge stops, failing, and says offline."""

import os
import signal
import subprocess
import time

from board_registers import driven_mask
from conftest import PREFIX, Rig, wait_until

DIOCTL = os.environ["DIOCTL"]
OUTPUTS = [f"DO{n}" for n in range(8)]


def test_a_restarted_broker_gets_status_and_current_states_and_the_will_on_a_kill(
        running: Rig) -> None:
    bridge = running.start_bridge()
    running.subscribe(f"{PREFIX}/#").wait_for(f"{PREFIX}/status", "online")

    running.broker.kill()
    # Changed while the broker is down: the level published at reconnect.
    subprocess.run([DIOCTL, "--device", str(running.service.socket), "set", "DO1=1", "LED3=1"],
                   check=True, capture_output=True, timeout=30)
    running.broker.start()

    # The broker kept nothing (persistence false): all of it is republished.
    after = running.subscribe(f"{PREFIX}/#")
    after.wait_for(f"{PREFIX}/status", "online", timeout=10)
    after.wait_for(f"{PREFIX}/DO1", "1")
    after.wait_for(f"{PREFIX}/LED3", "1")
    after.wait_for(f"{PREFIX}/DI7", "0")
    assert bridge.process.poll() is None

    bridge.process.kill()
    after.wait_for(f"{PREFIX}/status", "offline")
    assert running.subscribe(f"{PREFIX}/status").wait_for(f"{PREFIX}/status", "offline").retain


def test_a_lost_board_service_ends_the_bridge_with_status_1_and_offline(running: Rig) -> None:
    bridge = running.start_bridge()
    watcher = running.subscribe(f"{PREFIX}/status")
    watcher.wait_for(f"{PREFIX}/status", "online")

    running.service.stop()
    watcher.wait_for(f"{PREFIX}/status", "offline")
    bridge.read_log_until("the board was lost", timeout=10)
    assert bridge.process.wait(timeout=10) == 1


def test_two_bridges_with_one_id_back_off_and_say_so(running: Rig) -> None:
    first, second = running.start_bridge(), running.start_bridge()
    # Each connect kicks the other off: the waits grow instead of staying 1s.
    for bridge in (first, second):
        bridge.read_log_until("another client may use the client id dio-mqttd-", timeout=15)
        bridge.read_log_until("next attempt in 2s", timeout=15)
    assert first.stop() == 0 and second.stop() == 0


def test_claimed_outputs_go_safe_when_the_broker_is_gone_longer_than_the_lease(
        running: Rig) -> None:
    bridge = running.start_bridge("--claim", "--safe-outputs", "0x05", "--lease", "1s")
    watcher = running.subscribe(f"{PREFIX}/#")
    watcher.wait_for(f"{PREFIX}/status", "online")
    watcher.publish_until(f"{PREFIX}/DO1/set", "1",
                          lambda: watcher.payloads(f"{PREFIX}/DO1")[-1:] == ["1"])
    assert driven_mask(running.board_file, OUTPUTS) == 0x02

    running.broker.kill()
    killed = time.monotonic()
    assert wait_until(lambda: driven_mask(running.board_file, OUTPUTS) == 0x05, timeout=8)
    # Counted from the broker's last answer, at most a quarter lease before.
    assert time.monotonic() - killed >= 0.7
    bridge.read_log_until("0x05", timeout=2)
    assert any("safe" in line and "0x05" in line for line in bridge.log.splitlines())

    running.broker.start()
    after = running.subscribe(f"{PREFIX}/#")
    after.wait_for(f"{PREFIX}/status", "online", timeout=10)
    after.wait_for(f"{PREFIX}/DO0", "1")
    after.wait_for(f"{PREFIX}/DO1", "0")
    after.wait_for(f"{PREFIX}/DO2", "1")
    assert bridge.stop() == 0


def test_claimed_outputs_go_safe_when_the_broker_falls_silent_longer_than_the_lease(
        running: Rig) -> None:
    """A stopped broker keeps the connection open: the keepalive (30s) would
    notice it far later than the lease."""
    bridge = running.start_bridge("--claim", "--safe-outputs", "0x05", "--lease", "1s")
    running.subscribe(f"{PREFIX}/#").wait_for(f"{PREFIX}/status", "online")
    # Quiet but answering its probes, the broker is not taken for a lost one.
    assert not wait_until(lambda: driven_mask(running.board_file, OUTPUTS) == 0x05, timeout=1.5)
    broker = running.broker.process
    broker.send_signal(signal.SIGSTOP)
    try:
        stopped = time.monotonic()
        assert wait_until(lambda: driven_mask(running.board_file, OUTPUTS) == 0x05, timeout=2.0)
        assert time.monotonic() - stopped >= 0.7  # not at once
        bridge.read_log_until("0x05", timeout=2)
        assert any("no answer from the broker" in line and "--lease 1s" in line
                   for line in bridge.log.splitlines())
    finally:
        broker.send_signal(signal.SIGCONT)
    # The silent connection was dropped: a new one gets the levels again.
    again = running.subscribe(f"{PREFIX}/#")
    again.wait_for(f"{PREFIX}/DO2", "1", timeout=10)
    bridge.read_log_until("broker is back", timeout=5)
    assert bridge.stop() == 0
