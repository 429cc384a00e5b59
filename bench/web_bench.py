"""The benchmark of dio-webd (run by bench/run-web-bench).

A board file, the board service on it (dio-boardd --interval 10ms) and
dio-webd on a free loopback port, all on this machine. Measures:
  - GET /api/v1/lines: requests per second, and each request's time
    (p50, p99), with 1 and with 16 connections kept open (Python threads,
    http.client: one connection each);
  - events: from an input's register change (written into the board file,
    as the outside world would) to each Server-Sent Events client receiving
    the "line" event for it, with 1 and with 50 clients.
Prints one table with the machine's CPU, cores and load. Reports; asserts
nothing. Everything it starts is stopped, and its folder removed, however
it ends (Ctrl-C included).
"""

import argparse
import http.client
import json
import mmap
import os
import platform
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

# The inputs' registers: one byte each at these physical addresses, which
# are the offsets in a board file (tests/common/board_registers.h).
INPUT_REGISTERS = [0xFDAE06A8, 0xFDAE06B0, 0xFDAE06B8, 0xFDAE06C0,
                   0xFDAE06C8, 0xFDAE06D0, 0xFDAE06D8, 0xFDAE06E0]
INPUT_ACTIVE, INPUT_INACTIVE = 0x00, 0x02  # active-low
PAGE = 4096
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


class Fail(Exception):
    """Something the bench needs did not come up; the message says what."""


def now_ns():
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC)


def wait_for(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise Fail(f"{what} did not happen within {seconds} s")
        time.sleep(0.02)


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def load_average():
    with open("/proc/loadavg") as loadavg:
        return " ".join(loadavg.read().split()[:3])


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime, stime


class CpuWindow:
    """CPU time of some processes (pids) over a phase, as % of one core."""

    def __init__(self, pids):
        self.pids = pids

    def __enter__(self):
        self._start = time.monotonic()
        self._ticks = [cpu_ticks(pid) for pid in self.pids]
        return self

    def __exit__(self, *_):
        seconds = time.monotonic() - self._start
        self.percent = [100.0 * (cpu_ticks(pid) - ticks) / CLOCK_TICKS / seconds
                        for pid, ticks in zip(self.pids, self._ticks)]
        self.load = load_average()


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


class Rig:
    """The board file, the service and dio-webd; stopped by stop()."""

    def __init__(self, args):
        self.args = args
        self.work = tempfile.mkdtemp(prefix="varnik-web-bench.")
        self.board = os.path.join(self.work, "board.img")
        self.socket = os.path.join(self.work, "board.sock")
        self.service = self.web = None
        self.port = None
        self._logs = []

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

    def _start(self, command, log_name):
        log = open(os.path.join(self.work, log_name), "w")
        self._logs.append(log)
        return subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log,
                                stderr=subprocess.STDOUT, env=self._preloaded())

    def log(self, name):
        with open(os.path.join(self.work, name), errors="replace") as log:
            return log.read()

    def start(self):
        subprocess.run([self._program("sim/dio-sim"), "--board", self.board, "new"],
                       check=True, stdout=subprocess.DEVNULL)
        group = subprocess.run(["id", "-gn"], check=True, capture_output=True,
                               text=True).stdout.strip()
        self.service = self._start(
            [self._program("service/dio-boardd"), "--device", self.board, "--socket", self.socket,
             "--group", group, "--state-file", os.path.join(self.work, "inputs.state"),
             "--interval", "10ms"], "service.log")
        wait_for(lambda: self._up(self.service, "service.log", "serving "), 30, "the service serving")
        self.web = self._start(
            [self.args.server, "--device", self.socket, "--listen", "127.0.0.1:0",
             "--www", self.args.www, "--max-event-clients", str(max(64, self.args.clients + 8))],
            "web.log")
        wait_for(lambda: self._up(self.web, "web.log", "listening on http://"), 30,
                 "dio-webd listening")
        match = re.search(r"listening on http://127\.0\.0\.1:([0-9]+)", self.log("web.log"))
        if not match:
            raise Fail(f"no port in dio-webd's start-up line: {self.log('web.log')}")
        self.port = int(match.group(1))

    def _up(self, process, log_name, line):
        if process.poll() is not None:
            raise Fail(f"{log_name[:-4]} exited: {self.log(log_name)}")
        return line in self.log(log_name)

    def stop(self):
        for process in (self.web, self.service):
            if process is not None and process.poll() is None:
                process.terminate()
        for process in (self.web, self.service):
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
            os.remove(self.board)  # 4 GiB, if sparse
            print(f"run-web-bench: the logs are kept in {self.work}", file=sys.stderr)
        else:
            shutil.rmtree(self.work, ignore_errors=True)


# ---- GET /api/v1/lines -------------------------------------------------------

def ask_lines(port, seconds, times, errors, reconnects):
    """One connection, kept open, asking GET /api/v1/lines until seconds
    pass; each request's time into times (ms)."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        started = now_ns()
        try:
            connection.request("GET", "/api/v1/lines")
            answer = connection.getresponse()
            answer.read()
        except (OSError, http.client.HTTPException):
            errors.append(1)
            connection.close()
            continue
        times.append((now_ns() - started) / 1e6)
        if answer.status != 200:
            errors.append(answer.status)
        if answer.will_close:
            reconnects.append(1)  # http.client opens a new one for the next
    connection.close()


def measure_requests(rig, connections, seconds):
    times, errors, reconnects = [], [], []
    threads = [threading.Thread(target=ask_lines,
                                args=(rig.port, seconds, times, errors, reconnects))
               for _ in range(connections)]
    with CpuWindow([rig.web.pid, rig.service.pid, os.getpid()]) as window:
        started = time.monotonic()
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        elapsed = time.monotonic() - started
    if not times:
        raise Fail(f"no GET /api/v1/lines answered with {connections} connection(s)")
    return {
        "what": f"GET /api/v1/lines, {connections} connection(s)",
        "rate": f"{len(times) / elapsed:.0f} req/s",
        "p50": percentile(times, 0.50), "p99": percentile(times, 0.99),
        "count": f"{len(times)} requests, {len(errors)} failed, "
                 f"{len(reconnects)} closed by the server",
        "cpu": window.percent, "load": window.load,
    }


# ---- events ----------------------------------------------------------------------

class Awaited:
    """The line event every client waits for: one flip at a time."""

    def __init__(self, clients):
        self.clients = clients
        self.lock = threading.Lock()
        self.target = None     # ("DI3", 1)
        self.receipts = {}     # client index -> receipt time (ns)
        self.all_in = threading.Event()

    def expect(self, name, level):
        with self.lock:
            self.target, self.receipts = (name, level), {}
            self.all_in.clear()

    def received(self, client, name, level, at_ns):
        with self.lock:
            if self.target == (name, level) and client not in self.receipts:
                self.receipts[client] = at_ns
                if len(self.receipts) == self.clients:
                    self.all_in.set()

    def collected(self):
        with self.lock:
            self.target = None
            return dict(self.receipts)


class EventClient(threading.Thread):
    """One GET /api/v1/events, read line by line; each line event's
    receipt time goes to the Awaited."""

    def __init__(self, index, port, awaited):
        super().__init__(daemon=True)
        self.index, self.awaited = index, awaited
        self.ready = threading.Event()
        self.failure = None
        self._connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)

    def run(self):
        try:
            self._connection.request("GET", "/api/v1/events",
                                     headers={"Accept": "text/event-stream"})
            answer = self._connection.getresponse()
            if answer.status != 200:
                raise Fail(f"GET /api/v1/events: {answer.status} {answer.read()[:200]!r}")
            event = None
            while True:
                line = answer.readline()
                if not line:
                    return
                received = now_ns()
                line = line.rstrip(b"\r\n")
                if line.startswith(b"event:"):
                    event = line[6:].strip().decode()
                elif line.startswith(b"data:"):
                    self._data(event, line[5:].strip(), received)
                elif not line:
                    event = None
        except Exception as failure:  # reported by the flipper, which waits on it
            self.failure = failure
            self.ready.set()

    def _data(self, event, data, received):
        if event == "snapshot":
            self.ready.set()
        elif event == "line":
            change = json.loads(data)
            self.awaited.received(self.index, change["name"], change["level"], received)

    def close(self):
        try:
            self._connection.sock.shutdown(2)
        except (AttributeError, OSError):
            pass
        self._connection.close()


def measure_events(rig, inputs, levels, clients, flips):
    awaited = Awaited(clients)
    readers = [EventClient(k, rig.port, awaited) for k in range(clients)]
    try:
        for reader in readers:
            reader.start()
        for reader in readers:
            if not reader.ready.wait(20) or reader.failure:
                raise Fail(f"event client {reader.index}: no snapshot ({reader.failure})")
        time.sleep(0.5)
        latencies, missing = [], 0
        with CpuWindow([rig.web.pid, rig.service.pid, os.getpid()]) as window:
            for i in range(flips):
                line = i % 8
                levels[line] = not levels[line]
                awaited.expect(f"DI{line}", 1 if levels[line] else 0)
                flipped = now_ns()
                inputs.set(line, levels[line])
                awaited.all_in.wait(2.0)
                receipts = awaited.collected()
                missing += clients - len(receipts)
                latencies.extend((at - flipped) / 1e6 for at in receipts.values())
                # A random phase against the service's 10 ms sampling.
                time.sleep(0.005 + (i * 7919 % 20) / 1000)
    finally:
        for reader in readers:
            reader.close()
    if not latencies:
        raise Fail(f"no line event reached any of {clients} client(s)")
    return {
        "what": f"register to line event, {clients} client(s)",
        "rate": f"{flips} flips",
        "p50": statistics.median(latencies), "p99": percentile(latencies, 0.99),
        "count": f"{len(latencies)} receipts, {missing} not within 2 s",
        "cpu": window.percent, "load": window.load,
    }


# ---- report -----------------------------------------------------------------------

def cpu_model():
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.processor() or "unknown"


def print_table(rows, before):
    print(f"Machine: {cpu_model()}, {os.cpu_count()} cores, Linux {platform.release()}; "
          f"load average {before} before the run")
    print("Client: Python threads with http.client (one connection each)")
    print()
    header = ("measure", "rate", "p50 ms", "p99 ms", "dio-webd CPU", "service CPU",
              "bench CPU", "load average", "counted")
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for row in rows:
        web, service, bench = row["cpu"]
        print(f"| {row['what']} | {row['rate']} | {row['p50']:.2f} | {row['p99']:.2f} | "
              f"{web:.0f} % | {service:.0f} % | {bench:.0f} % | {row['load']} | {row['count']} |")
    print()
    print("CPU: % of one core over the phase, from /proc (the bench itself is the clients).")


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--server", help="the dio-webd program (default: the build's)")
    parser.add_argument("--www", help="the page's folder (default: the build's)")
    parser.add_argument("--seconds", type=float, default=10.0,
                        help="how long each request phase runs")
    parser.add_argument("--flips", type=int, default=300)
    parser.add_argument("--clients", type=int, default=50,
                        help="event clients of the second event phase")
    parser.add_argument("--connections", type=int, default=16,
                        help="connections of the second request phase")
    parser.add_argument("--keep", action="store_true", help="keep the folder with the logs")
    args = parser.parse_args()
    if args.seconds <= 0 or args.flips < 1 or args.clients < 1 or args.connections < 1:
        parser.error("--seconds, --flips, --clients and --connections must be above 0")
    args.server = args.server or os.path.join(args.build_dir, "web", "dio-webd")
    args.www = args.www or os.path.join(args.build_dir, "share", "varnik-dio", "www")
    return args


def catch_stop_signals():
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, signal.default_int_handler)


def run(args):
    rig = Rig(args)
    inputs = None
    try:
        before = load_average()
        rig.start()
        inputs = BoardInputs(rig.board)
        levels = [False] * 8
        rows = [measure_requests(rig, 1, args.seconds),
                measure_requests(rig, args.connections, args.seconds),
                measure_events(rig, inputs, levels, 1, args.flips),
                measure_events(rig, inputs, levels, args.clients, args.flips)]
        if rig.web.poll() is not None:
            raise Fail(f"dio-webd exited during the run: {rig.log('web.log')}")
        print_table(rows, before)
    finally:
        # A second Ctrl-C must not cut the clean-up short.
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        if inputs is not None:
            inputs.close()
        rig.stop()


def main():
    args = parse_arguments()
    catch_stop_signals()
    try:
        run(args)
    except Fail as failure:
        print(f"run-web-bench: {failure}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("run-web-bench: interrupted; everything started is stopped", file=sys.stderr)
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
