"""The USB line-scan camera from Python: lines as numpy arrays.

A thin layer over the camera library ``libvantorpi.so.1`` (through ctypes), which the dynamic
loader finds, or the file named by the environment variable ``VANTORPI_LIBRARY``::

    import vantorpi

    print(vantorpi.list_cameras())
    with vantorpi.open(serial="SIM0001") as cam:
        cam.integration_time = 1500
        lines = cam.lines(100)          # numpy array, shape (100, pixels), dtype uint16

Every failing call raises :class:`CameraError` with the library's result code and name;
:mod:`vantorpi.errors` names every code. :mod:`vantorpi.processing` holds numpy helpers for
spectrometer use; ``python3 -m vantorpi`` lists cameras, prints their information and captures
lines to a file.
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
from .errors import CameraError, CameraOSError

__version__ = "1.2.0"

__all__ = [
    "Camera",
    "CameraError",
    "CameraInfo",
    "CameraOSError",
    "SensorInfo",
    "SensorType",
    "errors",
    "library_version",
    "list_cameras",
    "open",
    "sensor_type",
    "processing",
    "version_text",
]
