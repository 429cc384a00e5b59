"""The fleet benchmark of dio-mqttd (run by bench/run-mqtt-fleet-bench).

For each fleet size N: N board files, N board services on them (one
dio-boardd each), one mosquitto on a free loopback port, N bridges (one
dio-mqttd each, board-0 ... board-N-1) and one subscriber on PREFIX/+/+.
Measures the latency from an input's register change to the subscriber
receiving the new level, the messages per second the fleet delivers with
every input toggling, and each bridge's and service's CPU and RSS.
Reports; asserts nothing. Everything it starts is stopped, and its folder
removed, however it ends (Ctrl-C included).
"""

import argparse
import mmap
import os
import pwd
import random
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import paho.mqtt.client as mqtt

PREFIX = "varnik-dio"
# The inputs' registers: one byte each at these physical addresses, which
# are the offsets in a board file (tests/common/board_registers.h).
INPUT_REGISTERS = [0xFDAE06A8, 0xFDAE06B0, 0xFDAE06B8, 0xFDAE06C0,
                   0xFDAE06C8, 0xFDAE06D0, 0xFDAE06D8, 0xFDAE06E0]
INPUT_ACTIVE, INPUT_INACTIVE = 0x00, 0x02  # active-low
PAGE = 4096
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


class Fail(Exception):
    """Something the bench needs did not come up; the message says what."""


def wait_for(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise Fail(f"{what} did not happen within {seconds} s")
        time.sleep(0.02)


def free_loopback_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class BoardInputs:
    """A board file's input registers, mapped, written as the outside world would."""

    def __init__(self, path):
        page = INPUT_REGISTERS[0] & ~(PAGE - 1)
        self._file = open(path, "r+b")
        self._map = mmap.mmap(self._file.fileno(), PAGE, offset=page)
        self._offsets = [address - page for address in INPUT_REGISTERS]

    def set(self, line, active):
        self._map[self._offsets[line]] = INPUT_ACTIVE if active else INPUT_INACTIVE

    def close(self):
        self._map.close()
        self._file.close()


class Subscriber:
    """One client on PREFIX/+/+: every message stamped with CLOCK_MONOTONIC."""

    def __init__(self, port):
        self._lock = threading.Lock()
        self._expected = None  # (topic, payload, event, receipt) awaited by a flip
        self.last = {}          # topic -> last payload
        self.counts = {}        # topic -> messages received
        self.total = 0
        self._client = mqtt.Client(client_id=f"fleet-bench-{os.getpid()}-{id(self)}",
                                   clean_session=True)
        self._client.on_message = self._on_message
        self._client.connect("127.0.0.1", port, keepalive=30)
        self._client.subscribe(f"{PREFIX}/+/+", qos=0)
        self._client.loop_start()

    def _on_message(self, _client, _userdata, message):
        received = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
        payload = message.payload.decode(errors="replace")
        with self._lock:
            self.last[message.topic] = payload
            self.counts[message.topic] = self.counts.get(message.topic, 0) + 1
            self.total += 1
            awaited = self._expected
            if awaited and awaited[0] == message.topic and awaited[1] == payload:
                awaited[3].append(received)
                awaited[2].set()
                self._expected = None

    def await_payload(self, topic, payload):
        """Arms the wait for topic's next payload: returns (event, receipt list)."""
        event, receipt = threading.Event(), []
        with self._lock:
            self._expected = (topic, payload, event, receipt)
        return event, receipt

    def forget_awaited(self):
        with self._lock:
            self._expected = None

    def snapshot(self):
        with self._lock:
            return dict(self.counts), self.total

    def stop(self):
        self._client.loop_stop()
        self._client.disconnect()


class Fleet:
    """The processes of one run: services, broker, bridges; stopped by stop()."""

    def __init__(self, args, size):
        self.args = args
        self.size = size
        self.work = tempfile.mkdtemp(prefix=f"varnik-mqtt-fleet-{size}.")
        self.services, self.bridges, self.broker = [], [], None
        self._logs = []
        self.boards = []
        self.port = None

    def _program(self, relative):
        return os.path.join(self.args.build_dir, relative)

    def _preloaded(self):
        # The programs never name /dev/mem, but if one did it would reach a
        # throwaway board file, never a real device.
        environment = dict(os.environ)
        environment["LD_PRELOAD"] = self._program("sim/libvarnik_dio_sim.so")
        environment["VARNIK_SIM_BOARD"] = os.path.join(self.work, "throwaway.img")
        environment["VARNIK_DIO_DEVICE"] = "/dev/mem"
        return environment

    def _start(self, command, log_name, environment=None):
        log = open(os.path.join(self.work, log_name), "w")
        self._logs.append(log)
        return subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log,
                                stderr=subprocess.STDOUT, env=environment)

    def _log(self, name):
        with open(os.path.join(self.work, name), errors="replace") as log:
            return log.read()

    def make_boards(self):
        for k in range(self.size):
            path = os.path.join(self.work, f"board-{k}.img")
            subprocess.run([self._program("sim/dio-sim"), "--board", path, "new"],
                           check=True, stdout=subprocess.DEVNULL)
            self.boards.append(path)

    def start_services(self):
        group = subprocess.run(["id", "-gn"], check=True, capture_output=True,
                               text=True).stdout.strip()
        for k, board in enumerate(self.boards):
            self.services.append(self._start(
                [self._program("service/dio-boardd"), "--device", board,
                 "--socket", self.socket(k), "--group", group,
                 "--state-file", os.path.join(self.work, f"inputs-{k}.state"),
                 "--interval", "10ms"],
                f"service-{k}.log", self._preloaded()))
        for k, service in enumerate(self.services):
            wait_for(lambda: self._service_up(k, service), 30, f"service {k} serving")

    def _service_up(self, k, service):
        if service.poll() is not None:
            raise Fail(f"service {k} exited: {self._log(f'service-{k}.log')}")
        return os.path.exists(self.socket(k)) and "serving " in self._log(f"service-{k}.log")

    def socket(self, k):
        return os.path.join(self.work, f"board-{k}.sock")

    def start_broker(self):
        self.port = free_loopback_port()
        config = os.path.join(self.work, "mosquitto.conf")
        with open(config, "w") as out:
            # Root drops to the user named here; anyone else stays as is.
            out.write(f"listener {self.port} 127.0.0.1\nallow_anonymous true\n"
                      f"persistence false\nlog_dest stderr\nuser {self._user()}\n")
        self.broker = self._start([self.args.mosquitto, "-c", config], "mosquitto.log")
        wait_for(self._broker_up, 10, "mosquitto listening on 127.0.0.1:%d" % self.port)

    @staticmethod
    def _user():
        return pwd.getpwuid(os.getuid()).pw_name

    def _broker_up(self):
        if self.broker.poll() is not None:
            raise Fail(f"mosquitto exited: {self._log('mosquitto.log')}")
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
            return True
        except OSError:
            return False

    def service_levels(self, k):
        """Board k's inputs as its service sees them: bit n is DIn."""
        answer = subprocess.run([self._program("tools/dioctl/dioctl"), "--device", self.socket(k),
                                 "get", "--numeric", "DI"], env=self._preloaded(),
                                capture_output=True, text=True, timeout=10)
        if answer.returncode != 0:
            raise Fail(f"dioctl get through service {k}'s socket: {answer.stderr.strip()}")
        return int(answer.stdout.split()[0], 16)

    def exited(self):
        """Which programs ended by themselves, and the services' dropped watchers."""
        bridges = [k for k, p in enumerate(self.bridges) if p.poll() is not None]
        services = [k for k, p in enumerate(self.services) if p.poll() is not None]
        dropped = sum(self._log(f"service-{k}.log").count("stopped reading")
                      for k in range(self.size))
        note = f"{len(bridges)} bridge(s), {len(services)} service(s); {dropped} watcher(s) dropped by a service"
        if bridges:
            last_words = self._log(f"bridge-{bridges[0]}.log").strip().splitlines()[-2:]
            note += f"; bridge {bridges[0]} said: {' / '.join(last_words)}"
        return note

    def broker_drop_notes(self):
        return sum(1 for line in self._log("mosquitto.log").splitlines() if "dropped" in line)

    def start_bridges(self, subscriber):
        for k in range(self.size):
            self.bridges.append(self._start(
                [self.args.bridge, "--device", self.socket(k),
                 "--broker", f"mqtt://127.0.0.1:{self.port}", "--id", f"board-{k}",
                 "--no-discovery"],
                f"bridge-{k}.log", self._preloaded()))
        for k, bridge in enumerate(self.bridges):
            wait_for(lambda: self._bridge_up(k, bridge, subscriber), 60,
                     f"board-{k}'s status online and its levels published")

    def _bridge_up(self, k, bridge, subscriber):
        if bridge.poll() is not None:
            raise Fail(f"bridge {k} exited: {self._log(f'bridge-{k}.log')}")
        counts, _ = subscriber.snapshot()
        return (subscriber.last.get(f"{PREFIX}/board-{k}/status") == "online"
                and all(f"{PREFIX}/board-{k}/DI{line}" in counts for line in range(8)))

    def stop(self):
        for process in self.bridges + self.services + [self.broker]:
            if process is not None and process.poll() is None:
                process.terminate()
        for process in self.bridges + self.services + [self.broker]:
            if process is None:
                continue
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        for log in self._logs:
            log.close()
        if self.args.keep:
            print(f"run-mqtt-fleet-bench: the logs of N = {self.size} are kept in {self.work}",
                  file=sys.stderr)
            for board in self.boards:
                os.remove(board)  # 4 GiB each, if sparse
        else:
            shutil.rmtree(self.work, ignore_errors=True)


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime, stime (fields 14 and 15)


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class Me:
    pid = os.getpid()


class CpuWindow:
    """CPU time of some processes between begin() and end(), as % of one core."""

    def __init__(self, processes):
        self.processes = processes

    def begin(self):
        self._start = time.monotonic()
        self._ticks = [cpu_ticks(p.pid) for p in self.processes]

    def end(self):
        seconds = time.monotonic() - self._start
        return [100.0 * (cpu_ticks(p.pid) - t) / CLOCK_TICKS / seconds
                for p, t in zip(self.processes, self._ticks)]


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def measure_latency(fleet, inputs, levels, subscriber, flips):
    """Flips one input at a time, spread over the boards and lines, at a
    random phase against the services' 10 ms sampling; waits for each."""
    latencies, lost = [], 0
    for i in range(flips):
        board, line = i % fleet.size, (i // fleet.size) % 8
        levels[board][line] = not levels[board][line]
        topic = f"{PREFIX}/board-{board}/DI{line}"
        event, receipt = subscriber.await_payload(topic, "1" if levels[board][line] else "0")
        flipped = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
        inputs[board].set(line, levels[board][line])
        if event.wait(2.0):
            latencies.append((receipt[0] - flipped) / 1e6)
        else:
            subscriber.forget_awaited()
            lost += 1
        time.sleep(random.uniform(0.005, 0.025))
    return latencies, lost


def toggle_everything(fleet, inputs, levels, rate, seconds):
    """Every input of every board changes `rate` times a second, the boards
    spread evenly over each period. Returns the changes made per topic."""
    period = 1.0 / rate
    changes = {}
    start = time.monotonic()
    steps = max(1, int(seconds * rate))
    for step in range(steps):
        for board in range(fleet.size):
            due = start + step * period + board * period / fleet.size
            delay = due - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            for line in range(8):
                levels[board][line] = not levels[board][line]
                inputs[board].set(line, levels[board][line])
                topic = f"{PREFIX}/board-{board}/DI{line}"
                changes[topic] = changes.get(topic, 0) + 1
    # The rates are over the nominal time; the elapsed one shows whether the
    # bench itself kept up.
    return changes, steps * period, time.monotonic() - start


def wrong_levels(subscriber, levels):
    """The input topics whose last payload is not the board's level."""
    return sum(1 for board, lines in enumerate(levels) for line, active in enumerate(lines)
               if subscriber.last.get(f"{PREFIX}/board-{board}/DI{line}")
               != ("1" if active else "0"))


def retained_wrong_levels(port, levels):
    """wrong_levels as the retained messages tell a subscriber that comes now."""
    late = Subscriber(port)
    try:
        topics = [f"{PREFIX}/board-{b}/DI{line}" for b in range(len(levels)) for line in range(8)]
        try:
            wait_for(lambda: all(t in late.last for t in topics), 10, "every retained level")
        except Fail:
            pass  # the missing ones count as wrong
        return wrong_levels(late, levels)
    finally:
        late.stop()


def services_wrong_levels(fleet, levels):
    wrong = 0
    for board, lines in enumerate(levels):
        seen = fleet.service_levels(board)
        wrong += sum(1 for line, active in enumerate(lines) if bool(seen >> line & 1) != active)
    return wrong


def settle(subscriber, seconds=5.0):
    """Waits until the subscriber has had nothing new for half a second."""
    deadline = time.monotonic() + seconds
    _, last_total = subscriber.snapshot()
    while time.monotonic() < deadline:
        time.sleep(0.5)
        _, total = subscriber.snapshot()
        if total == last_total:
            return
        last_total = total


def fleet_figures(label, values, unit, digits):
    return (f"{label:<38} mean {statistics.mean(values):.{digits}f} {unit}, "
            f"max {max(values):.{digits}f} {unit}")


def machine_load():
    with open("/proc/loadavg") as loadavg:
        return f"load average {' '.join(loadavg.read().split()[:3])}, nproc {os.cpu_count()}"


def run_fleet(args, size):
    fleet = Fleet(args, size)
    subscriber, inputs = None, []
    try:
        started = time.monotonic()
        fleet.make_boards()
        fleet.start_services()
        fleet.start_broker()
        subscriber = Subscriber(fleet.port)
        fleet.start_bridges(subscriber)
        startup = time.monotonic() - started
        inputs = [BoardInputs(board) for board in fleet.boards]
        levels = [[False] * 8 for _ in range(size)]

        processes = fleet.bridges + fleet.services
        # Last two: the broker, and this process (subscriber and flipper), whose
        # own saturation would pass for the fleet's losses.
        window = CpuWindow(processes + [fleet.broker, Me()])
        settle(subscriber)
        window.begin()
        time.sleep(args.idle_seconds)
        idle_cpu = window.end()
        idle_rss = [rss_kib(p.pid) / 1024 for p in processes]
        idle_load = machine_load()

        latencies, latency_lost = measure_latency(fleet, inputs, levels, subscriber, args.flips)

        settle(subscriber)
        before, total_before = subscriber.snapshot()
        window.begin()
        changes, toggled_for, elapsed = toggle_everything(fleet, inputs, levels, args.rate, args.seconds)
        loaded_cpu = window.end()
        loaded_load = machine_load()
        loaded_rss = [rss_kib(p.pid) / 1024 for p in processes]
        _, total_during = subscriber.snapshot()
        settle(subscriber)
        wrong_retained = retained_wrong_levels(fleet.port, levels)
        wrong_in_services = services_wrong_levels(fleet, levels)
        # A starved fleet can fall silent for longer than settle() waits:
        # a change counts as lost only if it has not come 5 s later either.
        time.sleep(5)
        wrong_retained_later = retained_wrong_levels(fleet.port, levels)
        after, total_after = subscriber.snapshot()
        received = {t: after.get(t, 0) - before.get(t, 0) for t in changes}
        lost = sum(max(0, changes[t] - received[t]) for t in changes)
        extra = sum(max(0, received[t] - changes[t]) for t in changes)
        losing_boards = len({t.split("/")[1] for t in changes if received[t] < changes[t]})
        wrong_final = wrong_levels(subscriber, levels)
        gone = fleet.exited()

        bridges_idle, services_idle, broker_idle = idle_cpu[:size], idle_cpu[size:-2], idle_cpu[-2]
        bridges_busy, services_busy, broker_busy = loaded_cpu[:size], loaded_cpu[size:-2], loaded_cpu[-2]
        print(f"== N = {size}: {size} board(s), service(s) at --interval 10ms, bridge(s); "
              f"one mosquitto, one subscriber (started in {startup:.1f} s)")
        print(f"{'Latency, register to subscriber':<38} median {statistics.median(latencies):.2f} ms, "
              f"p99 {percentile(latencies, 0.99):.2f} ms, max {max(latencies):.2f} ms "
              f"({len(latencies)} flips, {latency_lost} not seen within 2 s)")
        expected = sum(changes.values())
        print(f"{'Throughput, every input at %g/s' % args.rate:<38} "
              f"{expected / toggled_for:.0f} changes/s made, "
              f"{(total_during - total_before) / toggled_for:.0f} messages/s received "
              f"while toggling for {toggled_for:.1f} s (took {elapsed:.1f} s), "
              f"{total_after - total_during} more after")
        print(f"{'  changes never received, extra':<38} {lost} of {expected} lost, {extra} extra, "
              f"{wrong_final} topic(s) ending on a wrong level; losses on {losing_boards} board(s)")
        print(f"{'  retained levels wrong once quiet':<38} {wrong_retained}, 5 s later {wrong_retained_later} "
              "(a fresh subscriber: the bridges' last word)")
        print(f"{'  levels wrong in the services':<38} {wrong_in_services} (dioctl get through each socket)")
        print(f"{'  exited during the run':<38} {gone}")
        print(fleet_figures("Bridge CPU idle (% of one core)", bridges_idle, "%", 2))
        print(fleet_figures("Bridge CPU loaded", bridges_busy, "%", 2))
        print(fleet_figures("Bridge RSS idle / loaded (MiB)", idle_rss[:size], "MiB", 1)
              + f"; loaded max {max(loaded_rss[:size]):.1f} MiB")
        print(fleet_figures("Service CPU idle", services_idle, "%", 2))
        print(fleet_figures("Service CPU loaded", services_busy, "%", 2))
        print(fleet_figures("Service RSS idle (MiB)", idle_rss[size:], "MiB", 1)
              + f"; loaded max {max(loaded_rss[size:]):.1f} MiB")
        print(f"{'mosquitto CPU idle / loaded':<38} {broker_idle:.2f} % / {broker_busy:.2f} %")
        print(f"{'bench (subscriber, flipper) CPU':<38} {idle_cpu[-1]:.2f} % / {loaded_cpu[-1]:.2f} %")
        print(f"{'mosquitto log lines on dropped messages':<38} {fleet.broker_drop_notes()}")
        print(f"{'Machine, idle phase':<38} {idle_load}")
        print(f"{'Machine, loaded phase':<38} {loaded_load}")
        print()
        sys.stdout.flush()
    finally:
        # A second Ctrl-C must not cut the clean-up short.
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        for board in inputs:
            board.close()
        if subscriber is not None:
            subscriber.stop()
        fleet.stop()
        catch_stop_signals()


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--bridge", help="the bridge program (default: the build's dio-mqttd)")
    parser.add_argument("--mosquitto", default="/usr/sbin/mosquitto")
    parser.add_argument("--flips", type=int, default=300)
    parser.add_argument("--rate", type=float, default=10.0,
                        help="changes per second of every input in the throughput phase")
    parser.add_argument("--seconds", type=float, default=5.0)
    # utime + stime count in clock ticks (10 ms): 10 s resolve 0.1 % of a core.
    parser.add_argument("--idle-seconds", type=float, default=10.0)
    parser.add_argument("--keep", action="store_true",
                        help="keep each run's folder (logs, broker configuration)")
    parser.add_argument("sizes", nargs="*", type=int, default=[1, 10, 100])
    args = parser.parse_args()
    if any(size < 1 for size in args.sizes):
        parser.error("fleet sizes must be whole numbers from 1 up")
    if args.flips < 1 or args.rate <= 0 or args.seconds <= 0 or args.idle_seconds <= 0:
        parser.error("--flips, --rate, --seconds and --idle-seconds must be above 0")
    args.bridge = args.bridge or os.path.join(args.build_dir, "mqtt", "dio-mqttd")
    return args


def catch_stop_signals():
    # Ctrl-C and a stop signal end the run through the clean-up, also where
    # the shell started the bench with SIGINT ignored.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, signal.default_int_handler)


def main():
    args = parse_arguments()
    catch_stop_signals()
    try:
        for size in args.sizes:
            run_fleet(args, size)
    except Fail as failure:
        print(f"run-mqtt-fleet-bench: {failure}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("run-mqtt-fleet-bench: interrupted; everything started is stopped",
              file=sys.stderr)
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
