"""dio-mqttd's Home Assistant discovery end to end (configs at connect and
when Home Assistant comes online, removed by --no-discovery), and the
inputs' count and frequency topics."""

import json
import os
import re

from board_processes import dio_sim
from conftest import BOARD_ID, PREFIX, Rig, wait_until

ENTITIES = {
    **{f"binary_sensor/{BOARD_ID}/di{n}": f"DI{n}" for n in range(8)},
    **{f"switch/{BOARD_ID}/do{n}": f"DO{n}" for n in range(8)},
    **{f"light/{BOARD_ID}/led{n}": f"LED{n}" for n in range(1, 4)},
    **{f"sensor/{BOARD_ID}/di{n}_count": f"DI{n}/count" for n in range(8)},
}
CONFIGS = {f"homeassistant/{entity}/config": state for entity, state in ENTITIES.items()}


def test_discovery_configs_at_connect_again_for_home_assistant_and_removed(rig: Rig) -> None:
    rig.start_broker()
    rig.start_service()
    watcher = rig.subscribe("#")
    # Home Assistant leaves its status retained: found at connect, it sends
    # no second discovery.
    watcher.publish("homeassistant/status", "online", retain=True)
    bridge = rig.start_bridge("--stats-interval", "100ms")
    watcher.wait_for(f"{PREFIX}/status", "online")
    assert wait_until(lambda: all(watcher.last(topic) for topic in CONFIGS))
    # A set sent now reaches the bridge after that retained status.
    watcher.publish(f"{PREFIX}/DO3/set", "1")
    watcher.wait_for(f"{PREFIX}/DO3", "1")
    assert len(watcher.payloads(f"homeassistant/switch/{BOARD_ID}/do3/config")) == 1
    watcher.publish("homeassistant/status", "", retain=True)

    configs = {topic: json.loads(watcher.last(topic).payload) for topic in CONFIGS}
    late = rig.subscribe("homeassistant/#")
    assert wait_until(lambda: all(late.last(topic) for topic in CONFIGS))
    assert all(late.last(topic).retain for topic in CONFIGS)
    for topic, config in configs.items():
        unique = topic.split("/")[3]
        assert config["unique_id"] == f"varnik-dio_{BOARD_ID}_{unique}"
        assert config["state_topic"] == f"{PREFIX}/{CONFIGS[topic]}"
        assert config["availability_topic"] == f"{PREFIX}/status"
        assert config["name"]
        assert config["device"]["sw_version"] == os.environ["VARNIK_VERSION"]
        assert any(BOARD_ID in identifier for identifier in config["device"]["identifiers"])
        assert config["origin"]
        assert not {"stat_t", "cmd_t", "avty_t", "uniq_id", "dev", "o"} & config.keys()
    switch = configs[f"homeassistant/switch/{BOARD_ID}/do3/config"]
    assert (switch["command_topic"], switch["payload_on"], switch["payload_off"]) == (
        f"{PREFIX}/DO3/set", "1", "0")
    assert configs[f"homeassistant/light/{BOARD_ID}/led2/config"]["command_topic"] == \
        f"{PREFIX}/LED2/set"
    assert "command_topic" not in configs[f"homeassistant/binary_sensor/{BOARD_ID}/di3/config"]
    assert configs[f"homeassistant/sensor/{BOARD_ID}/di3_count/config"]["state_class"] == \
        "total_increasing"

    watcher.wait_for(f"{PREFIX}/DI3/count", "0")  # published at connect
    watcher.forget()
    watcher.publish_until("homeassistant/status", "online",
                          lambda: all(watcher.last(topic) for topic in CONFIGS))
    assert json.loads(watcher.last(f"homeassistant/switch/{BOARD_ID}/do3/config").payload) == switch

    for _ in range(3):
        dio_sim(rig.board_file, "inputs", "DI3=1")
        watcher.wait_for(f"{PREFIX}/DI3", "1")
        dio_sim(rig.board_file, "inputs", "DI3=0")
        watcher.wait_for(f"{PREFIX}/DI3", "0")
    watcher.wait_for(f"{PREFIX}/DI3/count", "3")
    assert wait_until(lambda: any(float(hertz) > 0 for hertz in
                                  watcher.payloads(f"{PREFIX}/DI3/frequency")))
    assert all(re.fullmatch(r"\d+\.\d{3}", hertz)
               for hertz in watcher.payloads(f"{PREFIX}/DI3/frequency"))

    assert bridge.stop() == 0
    watcher.wait_for(f"{PREFIX}/status", "offline")

    rig.start_bridge("--no-discovery")
    for topic in CONFIGS:
        watcher.wait_for(topic, "")
    watcher.wait_for(f"{PREFIX}/status", "online")
    late = rig.subscribe("#")
    assert wait_until(lambda: late.last(f"{PREFIX}/status") and late.last(f"{PREFIX}/DO7"))
    assert not [topic for topic in late.messages if topic.startswith("homeassistant/")]
