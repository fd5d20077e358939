# SPDX-License-Identifier: MIT
"""Opening and closing, result codes as exceptions, argument checks before anything is sent."""

import ctypes
import errno
import gc
import re

import numpy as np
import pytest
from conftest import ROOT, SIMCAM_IN, SIMCAM_OUT

import vantorpi
from vantorpi import CameraDisconnected, CameraError, CameraTimeout, errors


def test_open_close_and_context_manager_leave_nothing_open(bus):
    for serial in (b"SIM0001", b"SIM0002"):
        bus.simcam_add_camera(serial)
    listed = [(c.index, c.serial, c.vendor, c.product, c.mcu1_version) for c in vantorpi.list_cameras()]
    assert listed == [
        (0, "SIM0001", "Vantor Imaging", "LS-2048 line camera", 0x0102),
        (1, "SIM0002", "Vantor Imaging", "LS-2048 line camera", 0x0102),
    ]

    with vantorpi.open(serial="SIM0002") as cam:
        assert (cam.index, cam.serial) == (1, "SIM0002")
        assert (bus.simcam_open_handles(), bus.simcam_claimed_interfaces()) == (1, 1)
        # The library would silently close the open camera: the package refuses instead.
        with pytest.raises(RuntimeError, match="camera is open"):
            vantorpi.open(index=0)
        with pytest.raises(RuntimeError, match="camera is open"):
            vantorpi.list_cameras()
        assert cam.mode == 0 and not cam.closed
    assert cam.closed
    assert (bus.simcam_open_handles(), bus.simcam_claimed_interfaces()) == (0, 0)
    with pytest.raises(CameraError) as used:
        cam.mode
    assert used.value.code == errors.CX_ERR_USB_INVALID_HANDLE
    with pytest.raises(CameraError):
        cam.lines(1)

    dropped = vantorpi.open()
    del dropped
    gc.collect()
    assert bus.simcam_open_handles() == 0
    cam = vantorpi.open()
    assert cam.serial == "SIM0001"
    cam.close()
    cam.close()


def test_errors_carry_code_and_name(bus):
    header = (ROOT / "api" / "vantorpi.h").read_text()
    defined = {name: int(code) for name, code in re.findall(r"#define (CX_\w+) \((-\d+)\)", header)}
    del defined["CX_ERR_CPU2_BASE"]  # a base for computed codes, not a code
    assert {name: errors.codes.get(name) for name in defined} == defined
    assert errors.names[errors.CX_ERR_POWER_SECURITY] == "CX_ERR_POWER_SECURITY"

    oserror = CameraError(errno.EINVAL, "read")
    assert isinstance(oserror, OSError) and oserror.errno == errno.EINVAL
    assert not isinstance(CameraError(errors.CX_ERR_I2C_TRANSFER), OSError)

    dev = bus.simcam_add_camera(b"SIM0001")
    with pytest.raises(CameraError) as missing:
        vantorpi.open(serial="SIM9999")
    assert (missing.value.code, missing.value.name) == (-10003, "CX_ERR_SERIAL_NUM_NOT_FOUND")
    assert "CX_ERR_SERIAL_NUM_NOT_FOUND" in str(missing.value)

    def stall(direction, request):
        return lambda: bus.simcam_script_error(dev, direction, request, errors.LIBUSB_ERROR_PIPE)

    def reply(text):
        return lambda: bus.simcam_script_reply(dev, 0x20, text, len(text))

    cases = [
        (stall(SIMCAM_IN, 0x51), lambda cam: cam.ep6_status, errors.LIBUSB_ERROR_PIPE),
        (stall(SIMCAM_OUT, 0x45), lambda cam: setattr(cam, "gains", (1, 2, 3)), errors.LIBUSB_ERROR_PIPE),
        (reply(b"g3:12x;"), lambda cam: cam.integration_time, errors.CX_ERR_GET_INVALID_FORMAT),
        (reply(b"?unknown register:3;"), lambda cam: cam.mode, errors.CX_ERR_CPU2_UNKNOWN_GET_CMD),
        (lambda: None, lambda cam: cam.i2c_write(0x42, b"\x01"), errors.CX_ERR_I2C_TRANSFER),
    ]
    with vantorpi.open() as cam:
        for fault, call, code in cases:
            fault()
            with pytest.raises(CameraError) as failed:
                call(cam)
            assert (failed.value.code, failed.value.name) == (code, errors.names[code])


def test_range_checks_refuse_before_anything_is_sent(bus, tmp_path):
    bus.simcam_add_camera(b"SIM0001")
    image = tmp_path / "image.bin"
    image.write_bytes(b"\x01\x02")
    refused = [
        lambda cam: setattr(cam, "mode", 4),
        lambda cam: setattr(cam, "mode", -1),
        lambda cam: setattr(cam, "state", 2),
        lambda cam: setattr(cam, "integration_time", cam.sensor.catalogue.min_integration_time - 1),
        lambda cam: setattr(cam, "integration_time", cam.sensor.catalogue.max_integration_time + 1),
        lambda cam: setattr(cam, "adc_config", 0x200),
        lambda cam: setattr(cam, "adc_mux", -1),
        lambda cam: setattr(cam, "gains", 512),
        lambda cam: setattr(cam, "gains", (1, 2)),
        lambda cam: setattr(cam, "offsets", (0, 0, 512)),
        lambda cam: cam.set_gain(4, 1),
        lambda cam: cam.set_offset(1, 512),
        lambda cam: setattr(cam, "i2c_frequency", 2),
        lambda cam: cam.i2c_write(0x100, b"\x00"),
        lambda cam: cam.i2c_write(0xA0, b""),
        lambda cam: cam.i2c_write(0xA0, bytes(65)),
        lambda cam: cam.i2c_read(0xA0, 0),
        lambda cam: cam.set_sensor_power(2),
        lambda cam: cam.flash(image, block=0),
        lambda cam: cam.lines(0),
        lambda cam: cam.read(0),
        lambda cam: cam.lines(1, timeout=-1),
        lambda cam: vantorpi.open(packet_length=2047),
        lambda cam: vantorpi.open(fifo_size=1000),
        lambda cam: vantorpi.open(serial="SIM0001", index=0),
    ]
    with vantorpi.open() as cam:
        bus.simcam_log_clear()
        for number, call in enumerate(refused):
            with pytest.raises(ValueError):
                call(cam)
            assert bus.simcam_log_count() == 0, f"case {number} sent a request"
        with pytest.raises(TypeError):
            cam.mode = "1"
        assert bus.simcam_log_count() == 0


def test_numpy_values_pixel_types_and_symbolic_names(bus):
    dev = bus.simcam_add_camera(b"SIM0001")
    with vantorpi.open() as cam:
        cam.gains = np.array([1, 2, 3])
        cam.offsets = np.uint16(7)
        cam.integration_time = np.int64(2000)
        cam.mode = np.uint8(2)
        assert (cam.gains, cam.offsets, cam.integration_time, cam.mode) == ((1, 2, 3), (7, 7, 7), 2000, 2)
        assert cam.lines(np.int32(2), timeout=np.float32(5)).shape == (2, cam.pixels)
        for name, wrong in (("mode", 1.0), ("gains", np.array([1.5, 2, 3]))):
            with pytest.raises(TypeError, match="must be an integer"):
                setattr(cam, name, wrong)
    for dtype in ("f8", ">u2", "i2"):
        with pytest.raises(ValueError, match="convert"):
            vantorpi.open(dtype=dtype)
    with vantorpi.open(dtype="u1", skip=4) as cam:
        line = cam.lines(1)[0]
        assert (cam.pixels, line.dtype, len(line)) == (4096, np.uint8, 4092)
    assert "open" not in vantorpi.__all__

    bus.simcam_script_error(dev, SIMCAM_IN, 0x51, errors.LIBUSB_ERROR_TIMEOUT)
    bus.simcam_set_claim_error(dev, errors.LIBUSB_ERROR_BUSY)
    with pytest.raises(CameraError) as busy:
        vantorpi.open()
    assert busy.value.name == "LIBUSB_ERROR_BUSY" and "another program holds the camera" in str(busy.value)
    bus.simcam_set_claim_error(dev, 0)
    with vantorpi.open() as cam:
        with pytest.raises(CameraTimeout) as late:
            cam.ep6_status
        assert isinstance(late.value, TimeoutError) and late.value.name == "LIBUSB_ERROR_TIMEOUT"
    bus.simcam_set_open_error(dev, errors.LIBUSB_ERROR_ACCESS)
    with pytest.raises(CameraError) as hidden:
        vantorpi.open()
    assert hidden.value.name == "CX_ERR_NO_DEVICES_ATTACHED" and "lscam doctor" in str(hidden.value)
    assert errors.names[-3] == "LIBUSB_ERROR_ACCESS" and "udev" in CameraError(-3).hint
    assert isinstance(CameraError(-4), CameraDisconnected) and errors.names[errno.ENOMEM] == "ENOMEM"


@pytest.mark.parametrize("lastbyte", [False, True])
def test_flash_writes_the_file_in_blocks(bus, tmp_path, lastbyte):
    dev = bus.simcam_add_camera(b"SIM0001")
    image = bytes((i * 7 + 3) % 256 for i in range(1300))
    (tmp_path / "image.bin").write_bytes(image)
    progress = []
    with vantorpi.open() as cam:
        value = cam.flash(
            tmp_path / "image.bin", block=512, lastbyte=lastbyte, progress=lambda *p: progress.append(p)
        )
    written = ctypes.create_string_buffer(4096)
    length = bus.simcam_flash_image(dev, written, 4096)
    assert written.raw[:length] == image
    assert value == sum(image) & 0xFFFF
    assert progress == [(512, 1300), (1024, 1300), (1300 - lastbyte, 1300), (1300, 1300)]
