"""dio-mqttd over TLS to a broker that wants a password: the test's own CA,
made by openssl, and a password file; a wrong password is refused, logged
and retried without ending the bridge."""

import re
from pathlib import Path

from conftest import PREFIX, Rig, Tls, wait_until

USERS = {"board": "s3cret word", "viewer": "look"}


def password_file(folder: Path, password: str) -> Path:
    path = folder / f"password-{len(password)}"
    path.write_text(password + "\n")
    path.chmod(0o600)
    return path


def test_tls_with_a_password_and_a_wrong_password_refused(rig: Rig) -> None:
    tls = Tls(rig.folder / "tls")
    broker = rig.start_broker(users=USERS, tls=tls)
    assert broker.url.startswith("mqtts://")
    rig.start_service()
    login = ["--cafile", str(tls.cafile), "--username", "board"]
    bridge = rig.start_bridge(*login, "--password-file",
                              str(password_file(rig.folder, USERS["board"])))
    watcher = rig.subscribe(f"{PREFIX}/#", username="viewer", password=USERS["viewer"])
    watcher.wait_for(f"{PREFIX}/status", "online")
    watcher.publish_until(f"{PREFIX}/LED2/set", "on",
                          lambda: watcher.payloads(f"{PREFIX}/LED2")[-1:] == ["1"])
    assert bridge.stop() == 0
    watcher.wait_for(f"{PREFIX}/status", "offline")

    refused = rig.start_bridge(*login, "--password-file", str(password_file(rig.folder, "guess")))
    # Refused at least twice: it keeps retrying (1 s, then 2 s later).
    assert wait_until(lambda: broker.log_text().count("not authorised") >= 2, timeout=8), \
        broker.log_text()
    assert re.search("refused|authori", refused.read_log(), re.IGNORECASE), refused.log
    assert refused.process.poll() is None
    assert watcher.payloads(f"{PREFIX}/status")[-1] == "offline"
    assert refused.stop() == 0
