"""Lines from the simulated stream: exact content, whole lines at every time-out, end of stream."""

import time

import numpy as np
import pytest
from conftest import stream_bytes

import vantorpi
from vantorpi import CameraError, errors


def wait_for(condition, seconds=20.0):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return condition()
        time.sleep(0.005)
    return True


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
    bus.simcam_set_stream_rate(dev, 100_000)
    rows, timeouts = [], 0
    with vantorpi.open(pixels=pixels) as cam:
        assert cam.packet_length == register
        assert cam.pixels == (pixels or register // 2)
        head = cam.read(3)  # inside line 0: the lines go on with line 1
        deadline = time.monotonic() + 60
        while sum(len(r) for r in rows) < 35 and time.monotonic() < deadline:
            started = time.monotonic()
            try:
                got = cam.lines(7, timeout=0.05)
            except CameraError as e:
                assert e.code == errors.LIBUSB_ERROR_TIMEOUT
                assert time.monotonic() - started < 1.0
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
        sequence = np.concatenate(rows)[:, :4].copy().view("<u8")[:, 0]
        assert sequence.tolist() == list(range(1, len(sequence) + 1))


def test_unplug_raises_after_the_buffered_lines(bus):
    dev = bus.simcam_add_camera(b"SIM0001")
    with vantorpi.open(fifo_size=1 << 20) as cam:
        lines = cam.stream(timeout=1.0)
        seen = [next(lines)]
        assert wait_for(lambda: bus.simcam_packets_sent(dev) >= 64)
        bus.simcam_unplug(dev)
        with pytest.raises(CameraError) as ended:
            for line in lines:
                seen.append(line)
        assert ended.value.code == errors.LIBUSB_ERROR_NO_DEVICE
        assert len(seen) == bus.simcam_packets_sent(dev) >= 64
        sequence = np.array(seen)[:, :4].copy().view("<u8")[:, 0]
        assert sequence.tolist() == list(range(len(seen)))
        with pytest.raises(CameraError) as again:
            cam.lines(1, timeout=0)
        assert again.value.code == errors.LIBUSB_ERROR_NO_DEVICE
