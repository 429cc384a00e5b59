"""The pin map, line names, the version and finding the library."""

import os
import re
import subprocess
import sys

import pytest

import board_registers as registers
import varnik_dio


def c_library_pin_map():
    """The pin map as dioctl prints it from the C library, in another process:
    the rows between the heading and the line naming the device."""
    rows = subprocess.run([os.environ["DIOCTL"], "info"], check=True, capture_output=True,
                          text=True, timeout=30).stdout.splitlines()[1:]
    listing = [row for row in rows if not row.startswith("DEVICE ")]
    return [(name, direction.lower(), int(address, 16), int(bit), active_low == "yes")
            for name, direction, address, bit, active_low in (row.split() for row in listing)]


def test_pin_map_agrees_with_the_c_library_and_the_board_documentation():
    python_map = [tuple(info) for info in varnik_dio.lines()]
    assert python_map == c_library_pin_map()
    assert {info.name: info.address for info in varnik_dio.lines()} == registers.ADDRESSES
    expected_bits = [registers.INPUT_BIT] * 8 + [registers.DRIVEN_BIT] * 11
    assert [info.bit for info in varnik_dio.lines()] == expected_bits
    assert [info.direction for info in varnik_dio.lines()] == ["input"] * 8 + ["output"] * 8 + ["led"] * 3


def test_names_are_found_in_any_case(board, board_file):
    registers.set_input_register(board_file, 3, active=True)
    board.set("Do7", 1)
    board.set("led2", 1)
    assert [board.get(name) for name in ("di3", "DO7", "LED2", "dI2", "lEd1")] == [1, 1, 1, 0, 0]


@pytest.mark.parametrize("word", ["DI8", "LED0", "LED4", "DO", "", " DI3", "DI3\0", "DI3\0x",
                                  "dı3", 3, None, b"DI3"])
def test_a_word_that_names_no_line_is_a_value_error_naming_it(board, board_file, word):
    before = registers.pages(board_file)
    for call in (lambda: board.get(word), lambda: board.set(word, 1), lambda: board.toggle(word),
                 lambda: board.pulse(word), lambda: board.wait(word, 1, timeout=0),
                 lambda: board.watch([word])):
        with pytest.raises(ValueError, match=re.escape(repr(word))):
            call()
    assert registers.pages(board_file) == before


def test_version_is_the_products():
    assert varnik_dio.__version__ == os.environ["VARNIK_VERSION"]
    dio_sim_version = subprocess.run([os.environ["DIO_SIM"], "--version"], check=True,
                                     capture_output=True, text=True, timeout=30).stdout.split()
    assert dio_sim_version == ["dio-sim", varnik_dio.__version__]


def run_import(environment_changes):
    environment = {**os.environ, **environment_changes}
    environment = {key: value for key, value in environment.items() if value is not None}
    return subprocess.run([sys.executable, "-c", "import varnik_dio; print(varnik_dio.__version__)"],
                          env=environment, capture_output=True, text=True, timeout=30)


def test_the_library_is_found_by_its_soname_without_the_variable():
    library_folder = os.path.dirname(os.environ["VARNIK_DIO_BOARD_LIBRARY"])
    found = run_import({"VARNIK_DIO_BOARD_LIBRARY": None, "LD_LIBRARY_PATH": library_folder})
    assert (found.returncode, found.stdout.strip()) == (0, os.environ["VARNIK_VERSION"])


@pytest.mark.parametrize("library", ["/nonexistent/libnone.so.1",
                                     # loads, but has none of the vdio_ functions
                                     os.environ["VARNIK_SIM_LIBRARY"]])
def test_a_library_that_cannot_be_used_is_an_import_error_saying_what_to_do(library):
    failed = run_import({"VARNIK_DIO_BOARD_LIBRARY": library})
    assert failed.returncode == 1
    assert "ImportError" in failed.stderr and library in failed.stderr
    assert "VARNIK_DIO_BOARD_LIBRARY" in failed.stderr and "libvarnik-dio-board1" in failed.stderr
