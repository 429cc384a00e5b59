"""Reading and writing lines and groups, checked in the board file's bytes."""

import threading
import time

import pytest

import board_registers as registers

OUTPUT_NAMES = [f"DO{n}" for n in range(8)]
LED_NAMES = ["LED1", "LED2", "LED3"]


def test_a_fresh_board_reads_all_inactive(board):
    assert board.read() == (0, 0, 0)
    assert (board.inputs, board.outputs, board.leds) == (0, 0, 0)


@pytest.mark.parametrize("name", OUTPUT_NAMES + LED_NAMES)
def test_set_drives_exactly_that_register(board, board_file, name):
    group = OUTPUT_NAMES if name in OUTPUT_NAMES else LED_NAMES
    board.set(name, 1)
    assert registers.peek(board_file, registers.ADDRESSES[name]) == registers.DRIVEN
    assert registers.driven_mask(board_file, group) == 1 << group.index(name)
    assert board.get(name) == 1
    board.set(name.lower(), 0)
    assert registers.peek(board_file, registers.ADDRESSES[name]) == registers.RELEASED
    assert board.get(name) == 0


@pytest.mark.parametrize("n", range(8))
def test_inputs_read_what_the_registers_sense(board, board_file, n):
    registers.set_input_register(board_file, n, active=True)
    assert board.get(f"DI{n}") == 1
    assert board.inputs == 1 << n
    assert board.read().inputs == 1 << n
    registers.set_input_register(board_file, n, active=False)
    assert board.get(f"DI{n}") == 0 and board.inputs == 0


def test_group_masks_write_every_register_and_read_back(board, board_file):
    board.outputs = 0xA5
    board.leds = 0b101
    assert registers.driven_mask(board_file, OUTPUT_NAMES) == 0xA5
    assert registers.driven_mask(board_file, LED_NAMES) == 0b101
    assert (board.outputs, board.leds) == (0xA5, 0b101)
    registers.set_input_register(board_file, 2, active=True)
    state = board.read()
    assert (state.inputs, state.outputs, state.leds) == (0x04, 0xA5, 0b101)
    board.outputs = 0
    board.leds = 0
    assert registers.driven_mask(board_file, OUTPUT_NAMES + LED_NAMES) == 0


def test_inputs_cannot_be_assigned(board):
    with pytest.raises(AttributeError):
        board.inputs = 1


@pytest.mark.parametrize("name", ["DI0", "di7"])
def test_inputs_cannot_be_driven(board, board_file, name):
    before = registers.pages(board_file)
    for call in (lambda: board.set(name, 1), lambda: board.toggle(name), lambda: board.pulse(name)):
        with pytest.raises(ValueError, match=f"{name.upper()}: it is an input"):
            call()
    assert registers.pages(board_file) == before


@pytest.mark.parametrize("level", [2, -1, "1", 1.0, None])
def test_a_bad_level_is_a_value_error_naming_line_and_level(board, board_file, level):
    before = registers.pages(board_file)
    with pytest.raises(ValueError, match=f"level {level!r} for DO3"):
        board.set("DO3", level)
    with pytest.raises(ValueError, match=f"level {level!r} for DI3"):
        board.wait("DI3", level, timeout=0)
    assert registers.pages(board_file) == before


@pytest.mark.parametrize("group, mask", [("outputs", 0x100), ("outputs", -1), ("leds", 0x08),
                                         ("leds", "7"), ("outputs", True), ("outputs", 1.0)])
def test_a_bad_mask_is_a_value_error_with_nothing_written(board, board_file, group, mask):
    before = registers.pages(board_file)
    with pytest.raises(ValueError, match=f"{group} mask {mask!r}"):
        setattr(board, group, mask)
    assert registers.pages(board_file) == before


def test_toggle_turns_a_line_over_and_returns_its_new_level(board, board_file):
    assert board.toggle("LED2") == 1
    assert registers.driven_mask(board_file, LED_NAMES) == 0b010
    assert board.toggle("led2") == 0
    assert registers.driven_mask(board_file, LED_NAMES) == 0


@pytest.mark.parametrize("start", [0, 1])
def test_pulse_holds_the_other_level_for_its_width_and_restores(board, board_file, start):
    board.set("DO5", start)
    seen = []
    watcher = threading.Thread(target=lambda: seen.append(wait_register(board_file, "DO5", 1 - start)))
    watcher.start()
    began = time.monotonic()
    board.pulse("DO5", width=0.3)
    took = time.monotonic() - began
    watcher.join()
    assert seen == [True]
    assert 0.3 <= took < 1.0
    assert board.get("DO5") == start


def wait_register(board_file, name, level, timeout=2.0):
    """True once line name's register shows level, read from the file."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if registers.driven_mask(board_file, [name]) == level:
            return True
        time.sleep(0.005)
    return False


@pytest.mark.parametrize("width", [0, -0.1, 3601, float("nan"), "0.1"])
def test_a_bad_pulse_width_is_a_value_error_with_nothing_written(board, board_file, width):
    before = registers.pages(board_file)
    with pytest.raises(ValueError, match="width"):
        board.pulse("DO0", width=width)
    assert registers.pages(board_file) == before
