"""Opening and closing the board, and each device error as its OSError."""

import errno
import os
import socket

import pytest

import board_registers as registers
import varnik_dio
from conftest import Sim, new_board_file

SERVICE_SOCKET = "/run/varnik-dio/board.sock"


def test_a_missing_device_is_file_not_found_naming_it(tmp_path):
    missing = tmp_path / "no-board.img"
    with pytest.raises(FileNotFoundError) as raised:
        varnik_dio.Board(missing)
    assert raised.value.errno == errno.ENOENT
    assert raised.value.filename == str(missing)
    assert str(missing) in str(raised.value) and "dio-sim new" in str(raised.value)


@pytest.mark.parametrize("make", [
    lambda path: path.write_bytes(b"not a board"),
    lambda path: path.mkdir(),
], ids=["short file", "folder"])
def test_a_file_that_is_not_a_board_is_refused_before_it_is_mapped(tmp_path, make):
    device = tmp_path / "other"
    make(device)
    with pytest.raises(OSError) as raised:
        varnik_dio.Board(device)
    assert raised.value.errno == errno.EINVAL
    assert str(device) in str(raised.value) and "4 GiB" in str(raised.value)


def test_no_right_to_open_the_device_is_a_permission_error(sim: Sim):
    sim.fail(Sim.OPEN, errno.EACCES)
    with pytest.raises(PermissionError) as raised:
        varnik_dio.Board()
    assert raised.value.errno == errno.EACCES
    assert "/dev/mem" in str(raised.value) and "CAP_SYS_RAWIO" in str(raised.value)


def test_no_right_to_open_a_board_file_is_a_permission_error_naming_the_file_s_permission(
        board_file):
    if os.geteuid() == 0:
        pytest.skip("root opens any file: a board file cannot refuse root")
    board_file.chmod(0o444)
    with pytest.raises(PermissionError) as raised:
        varnik_dio.Board(board_file)
    assert raised.value.errno == errno.EACCES and raised.value.filename == str(board_file)
    assert "read and write permission" in str(raised.value)
    assert "CAP_SYS_RAWIO" not in str(raised.value)


def test_a_kernel_refusing_the_mapping_is_a_permission_error_saying_why(sim: Sim):
    sim.fail(Sim.MMAP, errno.EPERM)
    with pytest.raises(PermissionError) as raised:
        varnik_dio.Board("/dev/mem")
    assert raised.value.errno == errno.EPERM
    assert "kernel driver" in str(raised.value)


@pytest.mark.parametrize("error", [errno.ENOMEM, errno.ENODEV])
def test_other_failures_keep_their_errno(sim: Sim, error):
    sim.fail(Sim.MMAP, error)
    with pytest.raises(OSError) as raised:
        varnik_dio.Board()
    assert raised.value.errno == error and raised.value.strerror.endswith(os.strerror(error))


@pytest.mark.parametrize("device", ["", b"", "board\0.img"])
def test_an_empty_device_or_one_with_a_nul_is_a_value_error(device):
    with pytest.raises(ValueError, match="device"):
        varnik_dio.Board(device)


def test_the_default_device_is_the_board_library_s_default(sim: Sim, board_file, tmp_path,
                                                          monkeypatch):
    if os.path.exists(SERVICE_SOCKET):
        pytest.skip(f"a board service serves {SERVICE_SOCKET} on this machine")
    # The preload sends this process's /dev/mem to board_file, and the
    # library sees the file it opened.
    monkeypatch.delenv("VARNIK_DIO_DEVICE", raising=False)
    with varnik_dio.Board() as board:
        board.set("DO1", 1)
        assert (board.device, board.device_kind) == ("/dev/mem", "board file")
    named = new_board_file(tmp_path / "named.img")
    monkeypatch.setenv("VARNIK_DIO_DEVICE", str(named))
    with varnik_dio.Board() as board:
        board.set("DO2", 1)
        assert (board.device, board.device_kind) == (str(named), "board file")
    with varnik_dio.Board(board_file) as board:
        assert (board.get("DO1"), board.get("DO2")) == (1, 0)
    with varnik_dio.Board(named) as board:
        assert (board.get("DO1"), board.get("DO2")) == (0, 1)


def test_a_board_through_the_service_s_socket_by_name_or_by_default(board_service, board_file,
                                                                    monkeypatch):
    with varnik_dio.Board(board_service.socket) as board:
        board.set("DO5", 1)
        assert (board.device, board.device_kind) == (str(board_service.socket), "service")
    monkeypatch.setenv("VARNIK_DIO_DEVICE", str(board_service.socket))
    with varnik_dio.Board() as board:
        assert (board.device_kind, board.get("DO5")) == ("service", 1)
    assert registers.driven_mask(board_file, ["DO5"]) == 1


def test_a_socket_nobody_serves_is_refused_saying_to_start_the_service(tmp_path):
    dead = tmp_path / "dead.sock"
    with socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET) as server:
        server.bind(str(dead))  # the file stays, with no one listening
    with pytest.raises(ConnectionRefusedError) as raised:
        varnik_dio.Board(dead)
    assert raised.value.filename == str(dead) and "start the board service" in str(raised.value)


def test_a_closed_board_refuses_every_call_and_closes_once(board_file):
    board = varnik_dio.Board(str(board_file))
    with board:
        assert not board.closed and "open" in repr(board)
    assert board.closed and "closed" in repr(board)
    board.close()
    for call in (lambda: board.get("DI0"), lambda: board.set("DO0", 1), lambda: board.inputs,
                 lambda: board.read(), lambda: board.watch(), lambda: board.wait("DI0", 1, 0),
                 lambda: board.device_kind, lambda: board.watch_async()):
        with pytest.raises(ValueError, match="closed"):
            call()
    with pytest.raises(ValueError, match="closed"):
        board.outputs = 1

    # A board nobody closed is closed when dropped (nothing_left_open checks).
    varnik_dio.Board().set("LED1", 1)
