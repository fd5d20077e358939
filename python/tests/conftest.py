# SPDX-License-Identifier: MIT
"""Runs the package against the camera-board simulator of a build tree.

The library is $VANTORPI_LIBRARY (default: build/libvantorpi.so.1 of this repository); the
simulator is the stand-in libusb-1.0.so.0 in $VANTORPI_SIM_DIR (default: the sim/ folder beside
the library). The simulator is loaded first and globally, so the library binds to it whatever
LD_LIBRARY_PATH says, and its simcam_* control functions are called through ctypes.
"""

import ctypes
import os
import pathlib
import sys

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
os.environ.setdefault("VANTORPI_LIBRARY", str(ROOT / "build" / "libvantorpi.so.1"))
LIBRARY = pathlib.Path(os.environ["VANTORPI_LIBRARY"])
SIM_DIR = pathlib.Path(os.environ.get("VANTORPI_SIM_DIR", LIBRARY.parent / "sim"))

SIMCAM_IN = 1
SIMCAM_OUT = 0
SIMCAM_STREAM_ON = 0
SIMCAM_STREAM_OFF = 1

_c = ctypes
_SIMCAM = {
    "simcam_reset": (None, []),
    "simcam_add_camera": (_c.c_int, [_c.c_char_p]),
    "simcam_unplug": (None, [_c.c_int]),
    "simcam_set_open_error": (None, [_c.c_int, _c.c_int]),
    "simcam_set_claim_error": (None, [_c.c_int, _c.c_int]),
    "simcam_open_handles": (_c.c_int, []),
    "simcam_claimed_interfaces": (_c.c_int, []),
    "simcam_log_count": (_c.c_size_t, []),
    "simcam_log_clear": (None, []),
    "simcam_script_error": (None, [_c.c_int, _c.c_int, _c.c_uint8, _c.c_int]),
    "simcam_script_reply": (None, [_c.c_int, _c.c_uint8, _c.c_char_p, _c.c_int]),
    "simcam_set_cpu2_reg": (None, [_c.c_int, _c.c_int, _c.c_uint32]),
    "simcam_set_stream_rate": (None, [_c.c_int, _c.c_uint64]),
    "simcam_set_stream_mode": (None, [_c.c_int, _c.c_int]),
    "simcam_bulk_calls": (_c.c_uint64, [_c.c_int]),
    "simcam_packets_sent": (_c.c_uint64, [_c.c_int]),
    "simcam_fill_packet": (None, [_c.c_uint64, _c.c_char_p, _c.c_int]),
    "simcam_flash_image": (_c.c_int, [_c.c_int, _c.c_char_p, _c.c_int]),
}


def _load_simulator() -> ctypes.CDLL:
    sim = ctypes.CDLL(str(SIM_DIR / "libusb-1.0.so.0"), mode=ctypes.RTLD_GLOBAL)
    for name, (restype, argtypes) in _SIMCAM.items():
        function = getattr(sim, name)
        function.restype, function.argtypes = restype, argtypes
    return sim


SIM = _load_simulator()
sys.path.insert(0, str(ROOT / "python"))

import vantorpi  # noqa: E402


def subprocess_env() -> dict:
    """The environment for a child process that runs the package against the default simulated bus."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("SIMCAM_")}
    env["VANTORPI_LIBRARY"] = str(LIBRARY)
    env["LD_LIBRARY_PATH"] = str(SIM_DIR)
    env["PYTHONPATH"] = str(ROOT / "python")
    return env


def sequence(lines) -> list:
    """The packet sequence numbers in the first four pixels of simulated lines (whole packets)."""
    return np.ascontiguousarray(lines[:, :4]).view("<u8")[:, 0].tolist()


def stream_bytes(packet_length: int, nbytes: int) -> bytes:
    """The first nbytes of the simulated stream after an open: packets 0, 1, ... of packet_length bytes."""
    packet = ctypes.create_string_buffer(packet_length)
    out = bytearray()
    seq = 0
    while len(out) < nbytes:
        SIM.simcam_fill_packet(seq, packet, packet_length)
        out += packet.raw
        seq += 1
    return bytes(out[:nbytes])


@pytest.fixture
def bus():
    """An empty simulated bus (add cameras with bus.simcam_add_camera); nothing open at the end."""
    lib = vantorpi._lib.lib()
    assert lib.ls_currentdeviceindex() == -1, "a previous test left a camera open"
    SIM.simcam_reset()
    lib.ls_enumdevices()
    yield SIM
    assert lib.ls_currentdeviceindex() == -1
    assert SIM.simcam_open_handles() == 0
    assert SIM.simcam_claimed_interfaces() == 0
