"""The README's Python example, as written, on a simulated board through
dio-sim run, with the inputs it waits for flipped from outside."""

import os
import re
import subprocess
import sys
import time
from pathlib import Path

import board_registers as registers
from conftest import DIO_SIM, dio_sim

MARKED_EXAMPLE = re.compile(r"<!-- python-example -->\n```python\n(.*?)```\n<!-- /python-example -->",
                            re.DOTALL)


def readme_example() -> str:
    (example,) = MARKED_EXAMPLE.findall(Path(os.environ["VARNIK_README"]).read_text())
    return example


def test_the_readme_example_runs_as_written(board_file, tmp_path):
    script = tmp_path / "example.py"
    script.write_text(readme_example())
    environment = {**os.environ, "PYTHONUNBUFFERED": "1"}
    example = subprocess.Popen([DIO_SIM, "--board", str(board_file), "run", "--", sys.executable,
                                str(script)], env=environment, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    try:
        assert example.stdout.readline() == "State(inputs=0, outputs=8, leds=1)\n"
        assert registers.driven_mask(board_file, [f"DO{n}" for n in range(8)]) == 0x08
        assert registers.driven_mask(board_file, ["LED1", "LED2", "LED3"]) == 0b001
        dio_sim(board_file, "inputs", "DI0=1")
        assert example.stdout.readline() == "DI0 is active\n"
        time.sleep(0.3)  # the watch has begun
        dio_sim(board_file, "inputs", "DI1=1")
        rest, errors = example.communicate(timeout=30)
    finally:
        example.kill()
        example.wait()
    assert (rest, errors, example.returncode) == ("DI1 rising\n", "", 0)
