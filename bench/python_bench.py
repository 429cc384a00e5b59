"""What the Python package costs: a call through varnik_dio beside the same
ctypes call made bare, on the simulated board, and the time of
`import varnik_dio`.

    python_bench.py --board FILE [--package DIR] [--repetitions N] [--imports N]

bench/run-python-bench runs it with the simulated board preloaded. The calls
are timed in repetitions of 20,000, the package's and the bare call's in
turn, in CPU time of the thread (what other programs on the machine take
does not count) and in real time: the fastest repetition, timeit's lower
bound of what the machine can do, and the median. The import is timed by `python3 -X importtime` in fresh interpreters,
from a byte-compiled copy of the package, as an installed package is.
"""

import argparse
import compileall
import ctypes
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import timeit

CALLS_PER_REPETITION = 20_000

# name: (the package's call, the same call through ctypes alone)
CALLS = {
    "get": ("board.get('DI0')", "vdio_get(handle, 0)"),
    "set": ("board.set('DO0', 1)", "vdio_set(handle, 8, 1)"),
}


def per_call_ns(statement: str, names: dict, clock) -> float:
    timer = timeit.Timer(statement, globals=names, timer=clock)
    return timer.timeit(CALLS_PER_REPETITION) / CALLS_PER_REPETITION * 1e9


def call_costs(board_file: str, repetitions: int) -> None:
    import varnik_dio
    from varnik_dio._library import LIBRARY

    handle = ctypes.c_void_p()
    if LIBRARY.vdio_open(os.fsencode(board_file), ctypes.byref(handle)) < 0:
        sys.exit(f"python_bench: cannot open the board file {board_file}")
    names = {"board": varnik_dio.Board(board_file), "handle": handle,
             "vdio_get": LIBRARY.vdio_get, "vdio_set": LIBRARY.vdio_set}
    clocks = {"CPU": time.thread_time, "real": time.perf_counter}
    samples = {(call, kind, clock): [] for call in CALLS for kind in (0, 1) for clock in clocks}
    for _ in range(repetitions):
        for call, statements in CALLS.items():
            for kind, statement in enumerate(statements):
                for clock_name, clock in clocks.items():
                    samples[call, kind, clock_name].append(per_call_ns(statement, names, clock))
    names["board"].close()
    LIBRARY.vdio_close(handle)

    print(f"== A call: {repetitions} repetitions of {CALLS_PER_REPETITION:,} calls, ns per call")
    print(f"{'call':<20} {'clock':<5} {'fastest: varnik_dio':>19} {'bare':>5} {'ratio':>5}"
          f"   {'median: varnik_dio':>18} {'bare':>5} {'ratio':>5}")
    for call, statements in CALLS.items():
        for clock_name in clocks:
            line = f"{statements[0]:<20} {clock_name:<5}"
            for summary, width in ((min, 19), (statistics.median, 18)):
                package = summary(samples[call, 0, clock_name])
                bare = summary(samples[call, 1, clock_name])
                line += f" {package:>{width}.0f} {bare:>5.0f} {package / bare:>5.2f}  "
            print(line.rstrip())
    print(f"(bare: {CALLS['get'][1]} and {CALLS['set'][1]}, the library's ctypes functions "
          "called with the board pointer)")


def compiled_copy(package_parent: str, folder: str) -> str:
    """A byte-compiled copy of the varnik_dio folder in package_parent, in folder."""
    shutil.copytree(os.path.join(package_parent, "varnik_dio"), os.path.join(folder, "varnik_dio"))
    compileall.compile_dir(folder, quiet=1)
    return folder


def import_microseconds(package_parent: str) -> int:
    """The cumulative time -X importtime gives `import varnik_dio`, in µs."""
    result = subprocess.run([sys.executable, "-X", "importtime", "-c", "import varnik_dio"],
                            env={**os.environ, "PYTHONPATH": package_parent},
                            capture_output=True, text=True, check=True, timeout=60)
    for line in result.stderr.splitlines():
        fields = line.split("|")
        if len(fields) == 3 and fields[2].strip() == "varnik_dio":
            return int(fields[1])
    sys.exit(f"python_bench: no import time of varnik_dio in:\n{result.stderr}")


def modules_imported(package_parent: str) -> list:
    """The modules `import varnik_dio` loads that the interpreter had not."""
    program = ("import sys; before = set(sys.modules); import varnik_dio; "
               "print(' '.join(sorted(set(sys.modules) - before)))")
    result = subprocess.run([sys.executable, "-c", program],
                            env={**os.environ, "PYTHONPATH": package_parent},
                            capture_output=True, text=True, check=True, timeout=60)
    return [name for name in result.stdout.split() if not name.startswith("varnik_dio")]


def import_costs(package_parent: str, runs: int) -> None:
    times = sorted(import_microseconds(package_parent) for _ in range(runs))
    modules = modules_imported(package_parent)
    print(f"== import varnik_dio, -X importtime over {runs} fresh interpreters")
    print(f"median {statistics.median(times) / 1000:.1f} ms, "
          f"fastest {times[0] / 1000:.1f} ms, slowest {times[-1] / 1000:.1f} ms")
    print(f"{len(modules)} modules besides the package's own: {' '.join(modules)}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--board", required=True, help="the simulated board's board file")
    parser.add_argument("--package", default=os.path.join(os.path.dirname(__file__), "..",
                                                          "bindings", "python"),
                        help="the folder holding varnik_dio (default: the sources')")
    parser.add_argument("--repetitions", type=int, default=30)
    parser.add_argument("--imports", type=int, default=30)
    arguments = parser.parse_args()
    package = os.path.abspath(arguments.package)
    print(f"Python {sys.version.split()[0]} ({sys.executable}), package {package}")
    with tempfile.TemporaryDirectory() as folder:
        copy = compiled_copy(package, folder)
        sys.path.insert(0, copy)
        call_costs(arguments.board, arguments.repetitions)
        print()
        import_costs(copy, arguments.imports)


if __name__ == "__main__":
    main()
