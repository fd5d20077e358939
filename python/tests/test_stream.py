# SPDX-License-Identifier: MIT
"""Lines from the simulated stream: exact content, whole lines at every time-out, Ctrl-C, unplug,
time-outs, one copy, fresh data and falling behind."""

import signal
import threading
import time
import tracemalloc
import warnings

import numpy as np
import pytest
from conftest import SIMCAM_STREAM_OFF, SIMCAM_STREAM_ON, sequence, stream_bytes

import vantorpi
from vantorpi import CameraDisconnected, CameraError, CameraTimeout, OverrunWarning, errors


def wait_for(condition, seconds=20.0):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return condition()
        time.sleep(0.005)
    return True


def stall(bus, dev):
    """Stops the simulated stream; returns once the library's reader has started a transfer after
    the stop, so that nothing more arrives."""
    bus.simcam_set_stream_mode(dev, SIMCAM_STREAM_OFF)
    calls = bus.simcam_bulk_calls(dev)
    assert wait_for(lambda: bus.simcam_bulk_calls(dev) > calls)


@pytest.mark.parametrize(
    "register, pixels",
    [
        (4096, None),  # the library's default length: one open
        (8192, None),  # the register differs: the camera is opened again with its length
        (4096, 1000),  # lines of 2000 bytes across packets of 4096
    ],
)
def test_lines_are_the_stream_in_whole_lines_at_every_time_out(bus, register, pixels):
    dev = bus.simcam_add_camera(b"SIM0001")
    bus.simcam_set_cpu2_reg(dev, 253, register)
    bus.simcam_set_stream_rate(dev, 100_000)  # a packet every 41 or 82 ms
    rows, timeouts = [], 0
    with vantorpi.open(pixels=pixels) as cam:
        assert cam.packet_length == register
        assert cam.pixels == (pixels or register // 2)
        head = cam.read(3)  # inside line 0: the lines go on with line 1
        deadline = time.monotonic() + 60
        while sum(len(r) for r in rows) < 35 and time.monotonic() < deadline:
            try:
                got = cam.lines(7, timeout=0.02)
            except CameraTimeout:
                timeouts += 1
                continue
            assert got.shape == (7, cam.pixels) and got.dtype == np.uint16
            rows.append(got)
        line_bytes = cam.line_bytes
    assert timeouts > 0, "no read timed out, so none could leave a partial line"
    data = np.concatenate(rows).tobytes()
    expected = stream_bytes(register, line_bytes + len(data))
    assert head == expected[:3]
    assert data == expected[line_bytes:]
    if pixels is None:
        assert sequence(np.concatenate(rows)) == list(range(1, len(data) // line_bytes + 1))


def test_ctrl_c_ends_a_stalled_read_at_once_and_loses_nothing(bus):
    dev = bus.simcam_add_camera(b"SIM0001")
    bus.simcam_set_stream_rate(dev, 1_000_000)
    with vantorpi.open() as cam:
        first = cam.lines(1)
        stall(bus, dev)
        buffered = cam.backlog // cam.line_bytes
        sent = {}

        def interrupt():
            sent["at"] = time.monotonic()
            signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

        timer = threading.Timer(0.3, interrupt)
        timer.start()
        try:
            with pytest.raises(KeyboardInterrupt):
                cam.lines(buffered + 10, timeout=30)  # takes the buffered lines, then waits
            interrupted = time.monotonic()
        finally:
            timer.join()
        assert interrupted - sent["at"] < 0.2
        assert cam.backlog == buffered * cam.line_bytes
        bus.simcam_set_stream_mode(dev, SIMCAM_STREAM_ON)
        after = cam.lines(buffered + 10, timeout=10)
    assert sequence(np.concatenate([first, after])) == list(range(buffered + 11))


def test_unplug_raises_promptly_after_the_buffered_lines(bus):
    dev = bus.simcam_add_camera(b"SIM0001")
    bus.simcam_set_stream_rate(dev, 40_000_000)
    unplugged = {}

    def unplug():
        wait_for(lambda: bus.simcam_packets_sent(dev) >= 2000)
        bus.simcam_unplug(dev)
        unplugged["at"] = time.monotonic()

    with vantorpi.open(overrun="ignore") as cam:  # a loaded machine may fall behind: not the point here
        thread = threading.Thread(target=unplug)
        thread.start()
        try:
            with pytest.raises(CameraDisconnected) as gone:
                cam.lines(20000, timeout=10)
            raised = time.monotonic()
        finally:
            thread.join()
        assert raised - unplugged["at"] < 0.5
        assert isinstance(gone.value, ConnectionError)
        assert (gone.value.code, gone.value.name) == (-4, "LIBUSB_ERROR_NO_DEVICE")
        sent = bus.simcam_packets_sent(dev)
        assert cam.backlog == sent * cam.line_bytes
        lines = cam.stream(timeout=0)
        assert sequence(np.array([next(lines) for _ in range(sent)])) == list(range(sent))
        with pytest.raises(CameraDisconnected):
            next(lines)
        with pytest.raises(CameraDisconnected):
            cam.rate


def test_time_out_means_no_data_for_that_long(bus):
    dev = bus.simcam_add_camera(b"SIM0001")
    bus.simcam_set_stream_rate(dev, 40_000_000)
    with vantorpi.open(overrun="ignore") as cam:
        stall(bus, dev)
        cam.flush()
        started = time.monotonic()
        with pytest.raises(CameraTimeout) as quiet:
            cam.lines(5, timeout=1)
        assert 1.0 <= time.monotonic() - started <= 1.2
        assert isinstance(quiet.value, TimeoutError) and quiet.value.code == errors.LIBUSB_ERROR_TIMEOUT
        started = time.monotonic()
        with pytest.raises(CameraTimeout, match="deadline"):
            cam.lines(5, timeout=30, deadline=0.3)
        assert 0.3 <= time.monotonic() - started <= 0.5
        bus.simcam_set_stream_mode(dev, SIMCAM_STREAM_ON)
        # 246 MB, 6.1 s at 40 MB/s: longer than the default time-out of 5 s, never without data.
        many = cam.lines(60000)
    numbers = np.ascontiguousarray(many[:, :4]).view("<u8")[:, 0]
    assert (np.diff(numbers) == 1).all()


def test_reads_into_the_callers_memory_and_fresh_lines_follow_a_flush(bus):
    dev = bus.simcam_add_camera(b"SIM0001")
    bus.simcam_set_stream_rate(dev, 4_000_000)
    with vantorpi.open() as cam:
        out = np.empty((64, cam.pixels), dtype=np.uint16)
        raw = bytearray(3 * cam.line_bytes)
        cam.lines(64, out=out)
        cam.readinto(raw)
        tracemalloc.start()
        try:
            returned = cam.lines(64, out=out)
            cam.readinto(raw)
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        assert returned is out
        assert peak < 4096, f"{peak} bytes allocated for lines of {out.nbytes + len(raw)} bytes"
        first = sequence(out)[0]
        expected = stream_bytes(cam.packet_length, (first + 67) * cam.line_bytes)
        assert out.tobytes() + raw == expected[first * cam.line_bytes :]

        lines = cam.stream()
        assert wait_for(lambda: cam.backlog >= 20 * cam.line_bytes)
        line = next(lines)  # takes every waiting line as one block; the Camera holds the rest
        last = sequence(line[None])[0] + cam.backlog // cam.line_bytes
        cam.flush()
        assert sequence(next(lines)[None])[0] > last
        assert wait_for(lambda: cam.backlog >= 20 * cam.line_bytes)
        last = sequence(cam.lines(1))[0] + cam.backlog // cam.line_bytes
        assert sequence(cam.lines(1, fresh=True))[0] > last


def test_a_reader_that_falls_behind_gets_one_overrun_warning(bus):
    dev = bus.simcam_add_camera(b"SIM0001")
    bus.simcam_set_stream_rate(dev, 40_000_000)
    with vantorpi.open(fifo_size=1 << 20) as cam:

        def full():
            return cam.backlog + cam.packet_length > cam.fifo_size

        numbers = []
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            for _ in range(3):
                assert wait_for(full)
                numbers += sequence(cam.lines(1))
        assert [w.category for w in caught] == [OverrunWarning]
        assert "bytes waiting" in str(caught[0].message) and caught[0].filename == __file__

        cam.flush()
        cam.overrun = "raise"
        numbers += sequence(cam.lines(1))
        assert wait_for(full)
        with pytest.raises(OverrunWarning):
            cam.lines(1)
        numbers += sequence(cam.lines(1))
    assert numbers[:3] == [0, 1, 2] and numbers[-1] == numbers[-2] + 1
