# SPDX-License-Identifier: MIT
"""The USB line-scan camera from Python: lines as numpy arrays.

A thin layer over the camera library ``libvantorpi.so.1`` (through ctypes), which the dynamic
loader finds, or the file named by the environment variable ``VANTORPI_LIBRARY``::

    import vantorpi

    print(vantorpi.list_cameras())
    with vantorpi.open() as cam:       # the first camera; open(serial=...) chooses one
        cam.integration_time = 1500     # in the second processor's unit
        lines = cam.lines(100)          # numpy array, shape (100, pixels), dtype uint16

Every failing call raises :class:`CameraError` with the library's result code and its symbolic
name (:class:`CameraTimeout` and :class:`CameraDisconnected` are also the built-in
TimeoutError and ConnectionError); :mod:`vantorpi.errors` names every code. A reader that
falls behind the stream gets an :class:`OverrunWarning`. ``open`` is not in ``__all__``, so
``from vantorpi import *`` leaves the built-in ``open`` alone: call ``vantorpi.open()``.
:mod:`vantorpi.processing` holds numpy helpers for spectrometer use; ``python3 -m vantorpi``
lists cameras, prints their information and captures lines to a file.
"""

from . import errors, processing
from .camera import (
    Camera,
    CameraInfo,
    SensorInfo,
    SensorType,
    library_version,
    list_cameras,
    open,
    sensor_type,
    version_text,
)
from .errors import CameraDisconnected, CameraError, CameraOSError, CameraTimeout, OverrunWarning

__version__ = "1.2.0"

__all__ = [
    "Camera",
    "CameraDisconnected",
    "CameraError",
    "CameraInfo",
    "CameraOSError",
    "CameraTimeout",
    "OverrunWarning",
    "SensorInfo",
    "SensorType",
    "errors",
    "library_version",
    "list_cameras",
    "sensor_type",
    "processing",
    "version_text",
]
