# SPDX-License-Identifier: MIT
"""Cameras: listing, opening, control and the line stream."""

from __future__ import annotations

import builtins
import ctypes
import math
import numbers
import operator
import os
import threading
import time
import weakref
from dataclasses import dataclass
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple, Union

import numpy as np
from numpy.typing import NDArray

from . import _lib
from ._stream import OVERRUN_CHOICES, PROBE_TIMEOUT_MS, Stream
from .errors import LIBUSB_NO_DEVICE, CameraError, check, codes

# The library's defaults for the next open.
DEFAULT_FIFO_SIZE = 4 << 20
DEFAULT_PACKET_LENGTH = 4096
MIN_FIFO_SIZE = 1 << 20
MAX_FIFO_SIZE = 0x7FFFFFFE
MIN_PACKET_LENGTH = 2048
#: Time-out of a control request, in seconds, unless ``open(timeout=...)`` says otherwise.
DEFAULT_CONTROL_TIMEOUT = 2.0
#: Time-out of a stream read, in seconds.
DEFAULT_READ_TIMEOUT = 5.0
MAX_TIMEOUT = 0xFFFFFFFF / 1000
I2C_MAX_TRANSFER = 64
MAX_FLASH_IMAGE = 1 << 20
#: The pixel type of a line unless ``open(dtype=...)`` says otherwise: 16-bit little-endian.
DEFAULT_DTYPE = np.dtype("<u2")
#: The pixel types the stream's bytes are: 16-bit little-endian, or 8-bit for a camera sending those.
PIXEL_DTYPES = (np.dtype("<u2"), np.dtype("u1"))
#: Largest value of the ADC configuration and multiplexer registers (9 bits).
ADC_REGISTER_MAX = 0x1FF

_CX_ERR_USB_INVALID_HANDLE = codes["CX_ERR_USB_INVALID_HANDLE"]
_CX_ERR_GET_INVALID_FORMAT = codes["CX_ERR_GET_INVALID_FORMAT"]
_CX_ERR_I2C_TRANSFER = codes["CX_ERR_I2C_TRANSFER"]
_CX_ERR_OPEN_FLASH_FILE = codes["CX_ERR_OPEN_FLASH_FILE"]
_CX_ERR_LENGTH_FLASH_FILE = codes["CX_ERR_LENGTH_FLASH_FILE"]

ProgressCallback = Callable[[int, int], None]


# ---- argument checks: every value is checked before anything is sent ----


def _integer(name: str, value: Any, low: int, high: int) -> int:
    """value as an int within low..high: Python and numpy integers (anything with __index__)."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
    try:
        value = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if not low <= value <= high:
        raise ValueError(f"{name} must be {low} to {high}, got {value}")
    return value


def _seconds(name: str, value: Any, allow_zero: bool = False) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number of seconds, not {type(value).__name__}")
    value = float(value)
    if math.isnan(value) or value < 0 or (value == 0 and not allow_zero) or value > MAX_TIMEOUT:
        low = "0" if allow_zero else "more than 0"
        raise ValueError(f"{name} must be {low} to {MAX_TIMEOUT:g} seconds, got {value}")
    return value


def _milliseconds(seconds: float) -> int:
    return max(1, min(0xFFFFFFFF, int(math.ceil(seconds * 1000))))


def _channel(channel: Any) -> int:
    return _integer("channel", channel, 1, 3)


def version_text(version: int) -> str:
    """A version number as the camera tools print it: 0x0102 is "1.02"."""
    return f"{(version >> 8) & 0xFF:x}.{version & 0xFF:02x}"


def library_version() -> int:
    """``ls_libversion()``: the loaded library's version, 0x0102 for 1.02."""
    return int(_lib.lib().ls_libversion())


# ---- records ----


@dataclass(frozen=True)
class CameraInfo:
    """One camera found by :func:`list_cameras`."""

    index: int
    serial: str
    vendor: str
    product: str
    #: First-processor version (USB bcdDevice), 0x0102 for 1.02.
    mcu1_version: int


@dataclass(frozen=True)
class SensorType:
    """A sensor type of the library's catalogue (no camera needed): see :func:`sensor_type`."""

    type: int
    name: str
    min_integration_time: int
    max_integration_time: int
    #: (mask, fixed bits) that ``adc_config`` and ``adc_mux`` writes are filtered through.
    config_mask: Tuple[int, int]
    mux_mask: Tuple[int, int]
    default_parameters: Tuple[int, ...]


@dataclass(frozen=True)
class SensorInfo:
    """The sensor fitted to an open camera, read once when it was opened."""

    #: Type code and second identification word that the first processor reports.
    type: int
    second: int
    #: The catalogue's entry for ``type``, None when the type is not catalogued.
    catalogue: Optional[SensorType]

    @property
    def name(self) -> str:
        """Catalogue name of the sensor, "-?-" when it is not catalogued."""
        return _lib.text(_lib.lib().ls_getsensorname(self.type))


def sensor_type(code: int) -> SensorType:
    """The catalogue entry of a sensor type code (0x1000 to 0x100B are catalogued).

    Raises CameraError CX_ERROR_SENSOR_TYPE for a type the catalogue does not hold.
    """
    code = _integer("sensor type", code, 0, 0xFFFF)
    lib = _lib.lib()
    lo, hi = ctypes.c_uint(), ctypes.c_uint()
    check(lib.ls_getminmaxtime(code, ctypes.byref(lo), ctypes.byref(hi)), "sensor limits")
    masks = []
    for function in (lib.ls_getsensorconfigmask, lib.ls_getsensormuxmask):
        mask, fixed = ctypes.c_ushort(), ctypes.c_ushort()
        check(function(code, ctypes.byref(mask), ctypes.byref(fixed)), "sensor masks")
        masks.append((mask.value, fixed.value))
    params = [ctypes.c_ushort() for _ in range(8)]
    check(lib.ls_getsensordefaultparameter(code, *[ctypes.byref(p) for p in params]), "sensor defaults")
    return SensorType(
        type=code,
        name=_lib.text(lib.ls_getsensorname(code)),
        min_integration_time=lo.value,
        max_integration_time=hi.value,
        config_mask=masks[0],
        mux_mask=masks[1],
        default_parameters=tuple(p.value for p in params),
    )


# ---- the one camera of the process ----

# The library holds one open camera per process and an open or an enumeration silently closes
# it; this lock and the session below make the package refuse that instead.
_library_lock = threading.RLock()


class _Session:
    """The open state of one Camera, shared with its finalizer."""

    def __init__(self) -> None:
        self.open = True


_current: Optional[_Session] = None


def _refuse_if_open(action: str) -> None:
    if (_current is not None and _current.open) or _lib.lib().ls_currentdeviceindex() >= 0:
        raise RuntimeError(
            f"cannot {action}: a camera is open in this process and the library holds one camera "
            f"per process; close the open Camera first"
        )


def _release(session: _Session) -> int:
    global _current
    with _library_lock:
        if not session.open:
            return 0
        session.open = False
        if _current is session:
            _current = None
        return int(_lib.lib().ls_closedevice())


def list_cameras() -> List[CameraInfo]:
    """Every attached camera the user may open (``ls_enumdevices`` and the identity strings).

    Enumerating closes an open camera in the library, so this raises RuntimeError while a
    Camera is open.
    """
    lib = _lib.lib()
    with _library_lock:
        _refuse_if_open("list the cameras")
        count = lib.ls_enumdevices()
        return [
            CameraInfo(
                index=i,
                serial=_lib.text(lib.ls_getserialnumber(i)),
                vendor=_lib.text(lib.ls_getvendorname(i)),
                product=_lib.text(lib.ls_getproductname(i)),
                mcu1_version=int(lib.ls_getmcu1version(i)),
            )
            for i in range(count)
        ]


# The packet length each camera's register reported when it was last opened, by serial: the
# next open of that camera starts with it and so needs no second open.
_register_lengths: Dict[str, int] = {}


def open(
    serial: Optional[str] = None,
    index: Optional[int] = None,
    fifo_size: Optional[int] = None,
    packet_length: Optional[int] = None,
    pixels: Optional[int] = None,
    dtype: Any = None,
    timeout: float = DEFAULT_CONTROL_TIMEOUT,
    skip: int = 0,
    overrun: str = "warn",
) -> "Camera":
    """Opens a camera, starts its stream and returns it as a :class:`Camera`.

    Chooses the camera by ``serial`` (exact match) or by ``index`` into :func:`list_cameras`;
    with neither, the first camera. ``fifo_size`` is the library's stream buffer in bytes
    (1 MiB to 2 GiB, default 4 MiB).

    ``packet_length`` is the bulk packet length the stream is read with (2048 bytes to
    ``fifo_size``). Without it the camera's packet-length register (``ls_getpacketlength``)
    decides: the camera is opened, the register read, and when it differs from the length the
    stream was started with, the camera is closed and opened once more with the register's
    value (so a camera whose second processor does not answer opens only with
    ``packet_length``). A packet is one line of ``packet_length / 2`` 16-bit little-endian
    pixels; ``pixels`` and ``dtype`` make lines of ``pixels * dtype.itemsize`` bytes instead.
    ``dtype`` says what the stream's bytes are, "<u2" (the default) or "u1" for a camera that
    sends 8-bit pixels; it converts nothing, so any other type is a ValueError (convert after
    reading: ``cam.lines(n).astype(float)``).

    ``skip`` leaves out the first pixels of every line that reads return (the simulator's first
    four carry a packet counter; a real sensor's first pixels may be dummy pixels); see
    :attr:`Camera.skip`. ``overrun`` says what happens when the application falls behind the
    stream: "warn" (an :class:`OverrunWarning`), "raise" (raised instead) or "ignore".

    ``timeout`` is the time-out of every control request in seconds.

    Raises RuntimeError while another Camera is open (the library holds one camera per process),
    ValueError or TypeError for bad arguments before anything is sent, CameraError when the
    library fails (e.g. CX_ERR_SERIAL_NUM_NOT_FOUND).
    """
    if serial is not None and index is not None:
        raise ValueError("give serial or index, not both")
    if serial is not None:
        if not isinstance(serial, str):
            raise TypeError(f"serial must be a str, not {type(serial).__name__}")
        try:
            encoded = serial.encode("latin-1")
        except UnicodeEncodeError:
            raise ValueError(f"serial {serial!r} is not Latin-1 text") from None
        if b"\0" in encoded:
            raise ValueError("serial must not contain NUL")
    serial_bytes = encoded if serial is not None else None
    if index is not None:
        index = _integer("index", index, 0, 0x7FFFFFFF)
    fifo = (
        DEFAULT_FIFO_SIZE
        if fifo_size is None
        else _integer("fifo_size", fifo_size, MIN_FIFO_SIZE, MAX_FIFO_SIZE)
    )
    if packet_length is not None:
        packet_length = _integer("packet_length", packet_length, MIN_PACKET_LENGTH, fifo)
    line_dtype = DEFAULT_DTYPE if dtype is None else np.dtype(dtype)
    if line_dtype not in PIXEL_DTYPES:
        raise ValueError(
            f"dtype {line_dtype.str!r} is not what the stream holds: it takes '<u2' (16-bit "
            f"little-endian, the default) or 'u1' (8-bit) and converts nothing; convert after "
            f"reading instead, e.g. cam.lines(n).astype({line_dtype.str!r})"
        )
    if pixels is not None:
        pixels = _integer("pixels", pixels, 1, MAX_FIFO_SIZE // line_dtype.itemsize)
    skip = _integer("skip", skip, 0, MAX_FIFO_SIZE)
    if overrun not in OVERRUN_CHOICES:
        raise ValueError(f"overrun must be one of {', '.join(OVERRUN_CHOICES)}, got {overrun!r}")
    timeout = _seconds("timeout", timeout)

    global _current
    lib = _lib.lib()
    with _library_lock:
        _refuse_if_open("open a camera")
        count = lib.ls_enumdevices()
        if serial is not None:
            what = f"open serial {serial}"
            key = serial
        else:
            index = index or 0
            what = f"open index {index}"
            key = _lib.text(lib.ls_getserialnumber(index)) if index < count else ""
        # The stream takes its packet length from the ls_initialize before the open.
        length = (
            packet_length if packet_length is not None else _register_lengths.get(key, DEFAULT_PACKET_LENGTH)
        )
        lib.ls_initialize(fifo, length)
        if serial_bytes is not None:
            check(lib.ls_opendevicebyserial(serial_bytes), what)
        else:
            check(lib.ls_opendevicebyindex(index), what)
        opened = lib.ls_currentdeviceindex()
        session = _Session()
        _current = session
        try:
            if packet_length is None:
                register = ctypes.c_int()
                check(
                    lib.ls_getpacketlength(ctypes.byref(register), _milliseconds(timeout)),
                    "packet length register",
                )
                if not MIN_PACKET_LENGTH <= register.value <= fifo:
                    raise CameraError(
                        _CX_ERR_GET_INVALID_FORMAT,
                        "packet length register",
                        f"the camera reports {register.value} bytes; the stream takes {MIN_PACKET_LENGTH} to "
                        f"{fifo}: pass packet_length=",
                    )
                _register_lengths[key] = register.value
                if register.value != length:
                    length = register.value
                    lib.ls_closedevice()
                    lib.ls_initialize(fifo, length)
                    check(lib.ls_opendevicebyindex(opened), what)
            if pixels is None and length % line_dtype.itemsize:
                raise ValueError(
                    f"a packet of {length} bytes is no whole number of {line_dtype} pixels: pass pixels="
                )
            line_pixels = length // line_dtype.itemsize if pixels is None else pixels
            if skip >= line_pixels:
                raise ValueError(f"skip must be below the {line_pixels} pixels of a line, got {skip}")
            cam = Camera(session, opened, fifo, length, line_pixels, line_dtype, timeout, overrun)
            cam.skip = skip
            return cam
        except BaseException:
            _release(session)
            raise


# ---- the camera ----


class Camera:
    """An open camera: control requests, and its stream as lines.

    Made by :func:`open`; a context manager whose exit closes it. After :meth:`close` every
    use raises CameraError CX_ERR_USB_INVALID_HANDLE. Control requests are serialised by the
    Camera, so one thread may read the stream while another changes settings.

    Stream reads (:meth:`lines`, :meth:`stream`, :meth:`readinto`, :meth:`read`) hand out whole
    lines in stream order, none lost or repeated, each byte copied once: from the library's
    FIFO into the memory returned. They wait in slices of at most 0.1 s, so Ctrl-C
    (KeyboardInterrupt) ends a read within about that time at any point. Whenever a read
    ends without its result (Ctrl-C, a time-out, an unplug), every byte it received stays
    buffered for the next read.

    ``timeout`` of a read means "no data for this long": a read that keeps receiving never
    times out, however long it is; ``deadline`` bounds the whole call. Either raises
    :class:`CameraTimeout` (a CameraError with LIBUSB_ERROR_TIMEOUT and a TimeoutError).
    When a wait slice brings no data the Camera asks the camera for its endpoint-6 status
    (one short control request): once that reports the camera gone, reads deliver what the
    library still holds and then raise :class:`CameraDisconnected` (LIBUSB_ERROR_NO_DEVICE,
    also a ConnectionError), within about 0.2 s of the unplug.

    When the library's FIFO is full the application reads slower than the camera sends: the
    library then holds the camera back, and a real board loses lines. The first read that finds
    it full issues an :class:`OverrunWarning` (``open(overrun=...)`` chooses warn, raise or
    ignore), once per stream and again after :meth:`flush`. A FIFO that filled before the first
    read, while the application set the camera up, does not count.
    """

    def __init__(
        self,
        session: _Session,
        index: int,
        fifo_size: int,
        packet_length: int,
        pixels: int,
        dtype: np.dtype[Any],
        timeout: float,
        overrun: str = "warn",
    ) -> None:
        lib = _lib.lib()
        self._lib = lib
        self._session = session
        self._finalizer = weakref.finalize(self, _release, session)
        self._control_lock = threading.Lock()
        self._read_lock = threading.Lock()
        self._timeout_ms = _milliseconds(timeout)
        self.index = index
        self.serial = _lib.text(lib.ls_getserialnumber(index))
        self.vendor = _lib.text(lib.ls_getvendorname(index))
        self.product = _lib.text(lib.ls_getproductname(index))
        #: First-processor version (USB bcdDevice).
        self.mcu1_version = int(lib.ls_getmcu1version(index))
        #: The library's stream buffer in bytes.
        self.fifo_size = fifo_size
        #: Bulk packet length the stream is read with, in bytes.
        self.packet_length = packet_length
        #: Pixels per line of the stream and their type; a line is ``line_bytes`` bytes of it.
        self.pixels = pixels
        self.dtype = dtype
        self.line_bytes = pixels * dtype.itemsize
        self._skip = 0
        self._stream = Stream(lib, fifo_size, packet_length, self.line_bytes, self._probe, overrun)
        #: The fitted sensor, read at the open; None when the board could not report one.
        self.sensor = self._read_sensor()

    # ---- life cycle ----

    @property
    def closed(self) -> bool:
        """True once the camera was closed."""
        return not self._session.open

    def close(self) -> None:
        """Stops the stream and closes the camera; does nothing when it is closed already.

        Waits for a read in progress in another thread to end (at most its time-out). Raises
        CameraError when the library reports a failure while closing, except for a camera that
        is gone already (LIBUSB_ERROR_NO_DEVICE); the camera is closed either way.
        """
        with self._read_lock, self._control_lock:
            if not self._session.open:
                return
            result = int(self._finalizer() or 0)
        if result not in (0, -4):
            raise CameraError(result, "close")

    def __enter__(self) -> "Camera":
        self._check_open()
        return self

    def __exit__(self, exc_type: Any, exc: Any, traceback: Any) -> None:
        try:
            self.close()
        except CameraError:
            if exc_type is None:
                raise

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<vantorpi.Camera {self.serial!r} index {self.index} {state}>"

    def _check_open(self) -> None:
        if not self._session.open:
            raise CameraError(_CX_ERR_USB_INVALID_HANDLE, "camera", "it is closed")

    # ---- control requests ----

    def _call(self, what: str, function: Any, *args: Any) -> None:
        """Calls a control function with the Camera's time-out appended; raises on failure."""
        with self._control_lock:
            self._check_open()
            check(function(*args, self._timeout_ms), what)

    def _get(self, what: str, function: Any, ctype: Any) -> int:
        value = ctype()
        self._call(what, function, ctypes.byref(value))
        return int(value.value)

    @property
    def timeout(self) -> float:
        """Time-out of each control request in seconds."""
        return self._timeout_ms / 1000

    @timeout.setter
    def timeout(self, seconds: float) -> None:
        self._timeout_ms = _milliseconds(_seconds("timeout", seconds))

    def _read_sensor(self) -> Optional[SensorInfo]:
        kind, second = ctypes.c_ushort(), ctypes.c_ushort()
        try:
            self._call("sensor type", self._lib.ls_getsensortype, ctypes.byref(kind), ctypes.byref(second))
        except CameraError:
            return None
        try:
            catalogue: Optional[SensorType] = sensor_type(kind.value)
        except CameraError:
            catalogue = None
        return SensorInfo(type=kind.value, second=second.value, catalogue=catalogue)

    @property
    def integration_time_limits(self) -> Tuple[int, int]:
        """(smallest, largest) integration time that a set accepts: the fitted sensor's catalogue
        limits (e.g. 0x1000, the ILX554B: see ``sensor.catalogue``), 0 to 2**32 - 1 when the
        sensor is not catalogued."""
        if self.sensor is not None and self.sensor.catalogue is not None:
            return (self.sensor.catalogue.min_integration_time, self.sensor.catalogue.max_integration_time)
        return (0, 0xFFFFFFFF)

    @property
    def integration_time(self) -> int:
        """Integration time: a number in the second processor's unit, which its firmware defines;
        the library carries it unchanged and converts nothing.

        A set is checked against :attr:`integration_time_limits` (the sensor catalogue's limits,
        which the library itself does not apply) before anything is sent. The simulator stores
        the number (and reports it back) but its stream does not change with it.
        """
        return self._get("integration time", self._lib.ls_getinttime, ctypes.c_uint)

    @integration_time.setter
    def integration_time(self, value: int) -> None:
        low, high = self.integration_time_limits
        value = _integer("integration time", value, low, high)
        self._call("set integration time", self._lib.ls_setinttime, value)

    @property
    def mode(self) -> int:
        """Operating mode of the second processor, 0 to 3: its firmware's numbers, which the
        library carries unchanged and gives no meaning; the camera's documentation names them.
        The simulator accepts 0 to 3, stores the number and streams alike in every mode."""
        return self._get("mode", self._lib.ls_getmode, ctypes.c_ubyte)

    @mode.setter
    def mode(self, value: int) -> None:
        self._call("set mode", self._lib.ls_setmode, _integer("mode", value, 0, 3))

    @property
    def state(self) -> int:
        """State of the second processor, 0 or 1: like :attr:`mode`, the firmware's number, carried
        unchanged. The simulator accepts 0 and 1, stores the number and streams in both."""
        return self._get("state", self._lib.ls_getstate, ctypes.c_ubyte)

    @state.setter
    def state(self, value: int) -> None:
        self._call("set state", self._lib.ls_setstate, _integer("state", value, 0, 1))

    @property
    def adc_config(self) -> int:
        """ADC configuration register, 9 bits (0 to 0x1FF); a write passes the fitted sensor's
        catalogue mask (``sensor.catalogue.config_mask``), so bits it fixes read back fixed."""
        return self._get("ADC config", self._lib.ls_getadcconfig, ctypes.c_ushort)

    @adc_config.setter
    def adc_config(self, value: int) -> None:
        value = _integer("adc_config", value, 0, ADC_REGISTER_MAX)
        self._call("set ADC config", self._lib.ls_setadcconfig, value)

    @property
    def adc_mux(self) -> int:
        """ADC multiplexer register, 9 bits (0 to 0x1FF); a write passes the fitted sensor's
        catalogue mask (``sensor.catalogue.mux_mask``)."""
        return self._get("ADC mux", self._lib.ls_getadcmux, ctypes.c_ushort)

    @adc_mux.setter
    def adc_mux(self, value: int) -> None:
        self._call("set ADC mux", self._lib.ls_setadcmux, _integer("adc_mux", value, 0, ADC_REGISTER_MAX))

    def _per_channel(self, kind: str, channel: int) -> Tuple[Any, Any]:
        names = {"gain": ("ls_getadcpga", "ls_setadcpga"), "offset": ("ls_getadcoffset", "ls_setadcoffset")}
        get, put = names[kind]
        return getattr(self._lib, f"{get}{channel}"), getattr(self._lib, f"{put}{channel}")

    def gain(self, channel: int) -> int:
        """ADC gain of channel 1, 2 or 3 (red, green, blue)."""
        channel = _channel(channel)
        return self._get(f"gain {channel}", self._per_channel("gain", channel)[0], ctypes.c_ushort)

    def set_gain(self, channel: int, value: int) -> None:
        """Sets the ADC gain of one channel, 0 to 511."""
        channel = _channel(channel)
        value = _integer(f"gain {channel}", value, 0, 511)
        self._call(f"set gain {channel}", self._per_channel("gain", channel)[1], value)

    def offset(self, channel: int) -> int:
        """ADC offset of channel 1, 2 or 3."""
        channel = _channel(channel)
        return self._get(f"offset {channel}", self._per_channel("offset", channel)[0], ctypes.c_ushort)

    def set_offset(self, channel: int, value: int) -> None:
        """Sets the ADC offset of one channel, 0 to 511."""
        channel = _channel(channel)
        value = _integer(f"offset {channel}", value, 0, 511)
        self._call(f"set offset {channel}", self._per_channel("offset", channel)[1], value)

    def _three(self, kind: str, value: Union[int, Sequence[int]]) -> Tuple[int, ...]:
        if np.ndim(value) == 0:
            return (_integer(kind, value, 0, 511),)
        if np.ndim(value) != 1 or len(value) != 3:
            raise ValueError(f"{kind} must be one value for all three channels or three values")
        return tuple(_integer(f"{kind} {i + 1}", v, 0, 511) for i, v in enumerate(value))

    @property
    def gains(self) -> Tuple[int, int, int]:
        """The three ADC gains; set one value for all three channels or three values (0 to 511)."""
        return (self.gain(1), self.gain(2), self.gain(3))

    @gains.setter
    def gains(self, value: Union[int, Sequence[int]]) -> None:
        values = self._three("gains", value)
        if len(values) == 1:
            self._call("set gains", self._lib.ls_setadc3xpga, values[0])
        else:
            self._call("set gains", self._lib.ls_setadcpga, *values)

    @property
    def offsets(self) -> Tuple[int, int, int]:
        """The three ADC offsets; set one value for all three channels or three values (0 to 511)."""
        return (self.offset(1), self.offset(2), self.offset(3))

    @offsets.setter
    def offsets(self, value: Union[int, Sequence[int]]) -> None:
        values = self._three("offsets", value)
        if len(values) == 1:
            self._call("set offsets", self._lib.ls_setadc3xoffset, values[0])
        else:
            self._call("set offsets", self._lib.ls_setadcoffset, *values)

    def save_settings(self) -> None:
        """Saves the ADC settings on the camera board."""
        self._call("save settings", self._lib.ls_savesettings)

    def reset_settings(self) -> None:
        """Resets the ADC settings on the camera board."""
        self._call("reset settings", self._lib.ls_resetsettings)

    @property
    def mcu2_version(self) -> int:
        """Firmware version of the second processor."""
        return self._get("mcu2 version", self._lib.ls_getmcu2version, ctypes.c_ushort)

    @property
    def mcu2_sensor_type(self) -> int:
        """Sensor type code that the second processor reports."""
        return self._get("mcu2 sensor type", self._lib.ls_getmcu2sensortype, ctypes.c_ushort)

    @property
    def packet_length_register(self) -> int:
        """The camera's packet-length register (the stream's length is ``packet_length``)."""
        return self._get("packet length register", self._lib.ls_getpacketlength, ctypes.c_int)

    @property
    def custom_firmware(self) -> int:
        """The second processor's custom-firmware value."""
        return self._get("custom firmware", self._lib.ls_customfirmware, ctypes.c_uint)

    @property
    def power_pins(self) -> int:
        """The board's power-pin state byte."""
        return self._get("power pins", self._lib.ls_getpowerpins, ctypes.c_ubyte)

    def _switch(self, what: str, function: Any, on: bool) -> None:
        if not isinstance(on, (bool, int)) or on not in (0, 1):
            raise ValueError(f"{what} takes True or False, got {on!r}")
        self._call(what, function, int(on), _lib.POWER_SECURITY_CODE)

    def set_sensor_power(self, on: bool) -> None:
        """Switches the sensor's power supply."""
        self._switch("sensor power", self._lib.ls_psy, on)

    def set_code_write_protection(self, on: bool) -> None:
        """Switches the board's code write protection."""
        self._switch("code write protection", self._lib.ls_cwp, on)

    def set_data_write_protection(self, on: bool) -> None:
        """Switches the board's data write protection."""
        self._switch("data write protection", self._lib.ls_dwp, on)

    @property
    def ep6_status(self) -> int:
        """The board's endpoint-6 FIFO status byte."""
        return self._get("EP6 status", self._lib.ls_ep6stat, ctypes.c_ubyte)

    def reset_fifo(self) -> None:
        """Resets the board's endpoint-6 FIFO."""
        self._call("reset FIFO", self._lib.ls_resetfifo)

    # ---- I2C ----

    @property
    def i2c_frequency(self) -> int:
        """I2C bus frequency selector, 0 or 1."""
        return self._get("I2C frequency", self._lib.ls_geti2cfreq, ctypes.c_ubyte)

    @i2c_frequency.setter
    def i2c_frequency(self, value: int) -> None:
        self._call("set I2C frequency", self._lib.ls_seti2cfreq, _integer("i2c_frequency", value, 0, 1))

    @property
    def i2c_status(self) -> str:
        """Name of the I2C status of the last transfer, e.g. "I2C_OK"."""
        status = self._get("I2C status", self._lib.ls_geti2cstat, ctypes.c_ubyte)
        return _lib.text(self._lib.ls_geti2cstring(status))

    def _i2c_read(self, what: str, function: Any, address: int, length: int) -> bytes:
        address = _integer("I2C address", address, 0, 0xFF)
        length = _integer("I2C length", length, 1, I2C_MAX_TRANSFER)
        data = (ctypes.c_ubyte * length)()
        count, status = ctypes.c_ushort(length), ctypes.c_ubyte()
        self._i2c_call(what, function, address, data, ctypes.byref(count), status)
        return bytes(data[: count.value])

    def _i2c_write(self, what: str, function: Any, address: int, data: bytes) -> None:
        address = _integer("I2C address", address, 0, 0xFF)
        payload = bytes(data)
        _integer("I2C data length", len(payload), 1, I2C_MAX_TRANSFER)
        buffer = (ctypes.c_ubyte * len(payload)).from_buffer_copy(payload)
        self._i2c_call(what, function, address, buffer, len(payload), ctypes.c_ubyte())

    def _i2c_call(self, what: str, function: Any, address: int, data: Any, length: Any, status: Any) -> None:
        with self._control_lock:
            self._check_open()
            result = function(address, data, length, ctypes.byref(status), self._timeout_ms)
        if result == _CX_ERR_I2C_TRANSFER:
            raise CameraError(
                result, f"{what} 0x{address:02X}", _lib.text(self._lib.ls_geti2cstring(status.value))
            )
        check(result, f"{what} 0x{address:02X}")

    def i2c_read(self, address: int, length: int) -> bytes:
        """Reads 1 to 64 bytes from the I2C device at an 8-bit address."""
        return self._i2c_read("I2C read", self._lib.ls_readi2c, address, length)

    def i2c_write(self, address: int, data: bytes) -> None:
        """Writes 1 to 64 bytes to the I2C device at an 8-bit address."""
        self._i2c_write("I2C write", self._lib.ls_writei2c, address, data)

    def i2c_flash_read(self, address: int, length: int) -> bytes:
        """Reads 1 to 64 bytes from the I2C flash at an 8-bit address."""
        return self._i2c_read("I2C flash read", self._lib.ls_readi2cflash, address, length)

    def i2c_flash_write(self, address: int, data: bytes) -> None:
        """Writes 1 to 64 bytes to the I2C flash at an 8-bit address."""
        self._i2c_write("I2C flash write", self._lib.ls_writei2cflash, address, data)

    # ---- second-processor flash ----

    def flash(
        self,
        path: Union[str, "os.PathLike[str]"],
        block: int = 512,
        lastbyte: bool = False,
        progress: Optional[ProgressCallback] = None,
    ) -> int:
        """Writes an image file into the second processor's flash; returns the device's 16-bit value.

        The run is f0, f1 with the block size, the image in blocks of ``block`` bytes (1 to
        65535), then f2; with ``lastbyte`` the image's last byte goes with the ending f2
        instead. ``progress(done, total)`` is called with the bytes written after every block
        and at the end. An image holds 1 byte (2 with ``lastbyte``) to 1 MiB: a file that cannot
        be read raises CameraError CX_ERR_OPEN_FLASH_FILE, one of another size
        CX_ERR_LENGTH_FLASH_FILE, both before anything is sent.
        """
        block = _integer("block", block, 1, 0xFFFF)
        if progress is not None and not callable(progress):
            raise TypeError("progress must be callable")
        try:
            with builtins.open(path, "rb") as file:
                image = file.read(MAX_FLASH_IMAGE + 1)
        except OSError as e:
            raise CameraError(_CX_ERR_OPEN_FLASH_FILE, f"open {path}", str(e)) from e
        minimum = 2 if lastbyte else 1
        if not minimum <= len(image) <= MAX_FLASH_IMAGE:
            size = f"{len(image)}" if len(image) <= MAX_FLASH_IMAGE else f"more than {MAX_FLASH_IMAGE}"
            raise CameraError(
                _CX_ERR_LENGTH_FLASH_FILE,
                f"image {path}",
                f"{size} bytes; an image holds {minimum} to {MAX_FLASH_IMAGE}",
            )
        lib = self._lib
        total = len(image)
        blocked = total - 1 if lastbyte else total
        with self._control_lock:
            self._check_open()
            t = self._timeout_ms
            check(lib.ls_cpu2flash_f0(t), "flash f0")
            check(lib.ls_cpu2flash_f1(block, t), f"flash f1 {block}")
            for offset in range(0, blocked, block):
                piece = image[offset : min(offset + block, blocked)]
                buffer = (ctypes.c_ubyte * len(piece)).from_buffer_copy(piece)
                check(lib.ls_cpu2flashdata(len(piece), buffer, t), f"flash block at byte {offset}")
                if progress is not None:
                    progress(offset + len(piece), total)
            value = ctypes.c_ushort()
            if lastbyte:
                check(
                    lib.ls_cpu2flash_f2_lastbyte(image[-1], ctypes.byref(value), t), "flash f2 with last byte"
                )
            else:
                check(lib.ls_cpu2flash_f2(ctypes.byref(value), t), "flash f2")
        if progress is not None:
            progress(total, total)
        return int(value.value)

    # ---- stream ----

    def _probe(self) -> Optional[int]:
        """One endpoint-6 status request; its result code, None while another thread's control
        request holds the line (that request then tells)."""
        if not self._control_lock.acquire(timeout=PROBE_TIMEOUT_MS / 1000):
            return None
        try:
            if not self._session.open:
                return None
            status = ctypes.c_ubyte()
            return int(self._lib.ls_ep6stat(ctypes.byref(status), PROBE_TIMEOUT_MS))
        finally:
            self._control_lock.release()

    @property
    def rate(self) -> int:
        """The stream's rate in bytes per second: the library's measurement (``ls_getfps``, over
        windows of a second), and before its first window closed the package's own (bytes
        received since the open over the time since). Makes one status request while the
        library has no figure, and raises CameraDisconnected for a camera that is gone."""
        self._check_open()
        stream = self._stream
        if stream.ended is None and self._lib.ls_getfps() <= 0 and self._probe() == LIBUSB_NO_DEVICE:
            stream.ended = LIBUSB_NO_DEVICE
        if stream.ended is not None:
            raise CameraError(stream.ended, "rate")
        return stream.rate()

    @property
    def backlog(self) -> int:
        """Stream bytes received and not yet read: the library's FIFO and the Camera's own
        buffer. ``backlog // line_bytes`` lines can be read without waiting."""
        self._check_open()
        return self._stream.backlog()

    @property
    def skip(self) -> int:
        """Pixels left out at the start of every line that :meth:`lines` and :meth:`stream`
        return (they return views, no copy): 0 by default, ``open(skip=...)`` or set here. The
        simulator's first four pixels carry its packet counter; ``lscam serve --skip`` does the
        same for the live view."""
        return self._skip

    @skip.setter
    def skip(self, value: int) -> None:
        self._skip = _integer("skip", value, 0, self.pixels - 1)

    @property
    def overrun(self) -> str:
        """What a full library FIFO causes: "warn", "raise" or "ignore" (see the class)."""
        return self._stream.overrun

    @overrun.setter
    def overrun(self, value: str) -> None:
        if value not in OVERRUN_CHOICES:
            raise ValueError(f"overrun must be one of {', '.join(OVERRUN_CHOICES)}, got {value!r}")
        self._stream.overrun = value

    def flush(self) -> int:
        """Drops every stream byte received so far, the library's FIFO and the Camera's own
        buffer, so that the next line read arrives after the call (the library's reader may
        still deliver the one packet it is receiving). Returns the bytes dropped."""
        with self._read_lock:
            self._check_open()
            return self._stream.flush()

    def _deadline(self, deadline: Optional[float]) -> Optional[float]:
        if deadline is None:
            return None
        return time.monotonic() + _seconds("deadline", deadline, allow_zero=True)

    def _give_back(self, mark: int, data: np.ndarray, copy: bool) -> None:
        """After an exception in a read: the bytes it took from mark on go back to the stream if
        its caller never got them (see Stream.unread)."""
        with self._read_lock:
            self._stream.unread(mark, data, copy)

    def readinto(
        self, buffer: Any, timeout: float = DEFAULT_READ_TIMEOUT, deadline: Optional[float] = None
    ) -> int:
        """Raw stream bytes into a writable buffer (bytearray, numpy array, memoryview...), as
        :meth:`io.RawIOBase.readinto` does: fills it and returns its length in bytes, or at a
        time-out, deadline or unplug the number of bytes that arrived (raises when none did).
        Allocates nothing. A line read after a raw read that ended inside a line starts with the
        next line."""
        view = memoryview(buffer)
        if view.readonly or not view.c_contiguous:
            raise ValueError("readinto needs a writable, contiguous buffer")
        timeout = _seconds("timeout", timeout, allow_zero=True)
        dest = np.frombuffer(view.cast("B") if view.format != "B" or view.ndim != 1 else view, np.uint8)
        if len(dest) == 0:
            return 0
        return self._read_raw(dest, timeout, deadline, copy=True)

    def _read_raw(
        self, dest: NDArray[np.uint8], timeout: float, deadline: Optional[float], copy: bool
    ) -> int:
        when = self._deadline(deadline)
        stream = self._stream
        mark = -1
        try:
            with self._read_lock:
                self._check_open()
                mark = stream.position
                return stream.fill_some(dest, f"read {len(dest)} bytes", timeout, when)
        except BaseException:
            if mark >= 0:
                self._give_back(mark, dest[: max(0, stream.position - mark)], copy)
            raise

    def read(
        self, nbytes: int, timeout: float = DEFAULT_READ_TIMEOUT, deadline: Optional[float] = None
    ) -> bytes:
        """Raw stream bytes: nbytes, or at a time-out, deadline or unplug the bytes that arrived
        (raises when none did); :meth:`readinto` with one more copy, into the bytes returned."""
        nbytes = _integer("nbytes", nbytes, 1, 0x7FFFFFFF)
        timeout = _seconds("timeout", timeout, allow_zero=True)
        dest = np.empty(nbytes, dtype=np.uint8)
        mark = self._stream.position
        got = 0
        try:
            got = self._read_raw(dest, timeout, deadline, copy=False)
            return dest[:got].tobytes()
        except BaseException:
            self._give_back(mark, dest[: max(0, self._stream.position - mark)], copy=False)
            raise

    def lines(
        self,
        count: int,
        timeout: float = DEFAULT_READ_TIMEOUT,
        *,
        out: Optional[NDArray[Any]] = None,
        deadline: Optional[float] = None,
        fresh: bool = False,
    ) -> NDArray[Any]:
        """The next count lines as an array of shape (count, pixels - skip) and the Camera's dtype.

        ``timeout``: seconds without stream data before the read gives up; ``deadline``: seconds
        for the whole call (default none). Both raise CameraTimeout; an unplug raises
        CameraDisconnected; whatever arrived stays buffered for the next read.

        ``out``: a C-contiguous, writable array of shape (count, pixels) and the Camera's dtype
        that the lines are written into, nothing allocated; returned (as ``out[:, skip:]`` with
        a skip). ``fresh``: :meth:`flush` first, so that every line arrives after the call.
        """
        count = _integer("count", count, 1, 0x7FFFFFFF // self.line_bytes)
        timeout = _seconds("timeout", timeout, allow_zero=True)
        if out is None:
            result = np.empty((count, self.pixels), dtype=self.dtype)
        else:
            if not isinstance(out, np.ndarray):
                raise TypeError(f"out must be a numpy array, not {type(out).__name__}")
            if out.shape != (count, self.pixels) or out.dtype != self.dtype:
                raise ValueError(
                    f"out must have shape {(count, self.pixels)} and dtype {self.dtype.str}, "
                    f"not {out.shape} {out.dtype.str}"
                )
            if not (out.flags.c_contiguous and out.flags.writeable):
                raise ValueError("out must be C-contiguous and writable")
            result = out
        flat = result.reshape(-1).view(np.uint8)
        when = self._deadline(deadline)
        stream = self._stream
        skip = self._skip
        what = f"{count} lines"
        mark = -1
        try:
            with self._read_lock:
                self._check_open()
                if fresh:
                    stream.flush()
                stream.skip_to_line(what, timeout, when)
                mark = stream.position
                stream.fill(flat, what, timeout, when, owned=out is None)
            return result[:, skip:] if skip else result
        except BaseException:
            if mark >= 0:
                self._give_back(mark, flat, copy=out is not None)
            raise

    def stream(self, timeout: float = DEFAULT_READ_TIMEOUT) -> Iterator[NDArray[Any]]:
        """An endless iterator of lines, each an array of ``pixels - skip`` values.

        Each line waits at most timeout seconds without data; errors as :meth:`lines`, so a
        stream that ends yields every line that arrived and then raises CameraDisconnected.
        An error or Ctrl-C does not end the iterator: it goes on with the next line.
        The lines are taken from the library in blocks (what is waiting, up to 1 MiB) and
        handed out as rows of their block; lines of a block not yet handed out stay buffered
        for any later read, so leaving the loop loses nothing.
        """
        timeout = _seconds("timeout", timeout, allow_zero=True)
        self._check_open()
        return _Lines(self, timeout)

    # ---- all of it ----

    def info(self) -> Dict[str, Any]:
        """Everything the camera reports, as a JSON-ready dict (for bug reports)."""
        sensor: Optional[Dict[str, Any]] = None
        if self.sensor is not None:
            catalogue = self.sensor.catalogue
            sensor = {
                "type": f"0x{self.sensor.type:04x}",
                "second": f"0x{self.sensor.second:04x}",
                "name": self.sensor.name,
                "integration_time_min": catalogue.min_integration_time if catalogue else None,
                "integration_time_max": catalogue.max_integration_time if catalogue else None,
            }
        return {
            "library_version": version_text(library_version()),
            "index": self.index,
            "serial": self.serial,
            "vendor": self.vendor,
            "product": self.product,
            "mcu1_version": version_text(self.mcu1_version),
            "mcu2_version": version_text(self.mcu2_version),
            "sensor": sensor,
            "mcu2_sensor_type": f"0x{self.mcu2_sensor_type:04x}",
            "mode": self.mode,
            "state": self.state,
            "integration_time": self.integration_time,
            "packet_length_register": self.packet_length_register,
            "packet_length": self.packet_length,
            "pixels": self.pixels,
            "dtype": self.dtype.str,
            "custom_firmware": self.custom_firmware,
            "adc_config": f"0x{self.adc_config:04x}",
            "adc_mux": f"0x{self.adc_mux:04x}",
            "gains": list(self.gains),
            "offsets": list(self.offsets),
            "power_pins": f"0x{self.power_pins:02x}",
            "ep6_status": f"0x{self.ep6_status:02x}",
            "i2c_frequency": self.i2c_frequency,
            "rate": self.rate,
        }


class _Lines:
    """The iterator of :meth:`Camera.stream`: a class, not a generator, so that an exception
    (Ctrl-C, a time-out) leaves it usable."""

    def __init__(self, camera: Camera, timeout: float) -> None:
        self._camera = camera
        self._stream = camera._stream
        self._lock = camera._read_lock
        self._shape = (camera.pixels,)
        self._timeout = timeout

    def __iter__(self) -> "_Lines":
        return self

    def __next__(self) -> NDArray[Any]:
        camera, stream = self._camera, self._stream
        mark = -1
        try:
            with self._lock:
                camera._check_open()
                mark = stream.position
                line = stream.next_line(self._shape, camera.dtype, self._timeout, None)
            skip = camera._skip
            return line[skip:] if skip else line
        except BaseException:
            if mark >= 0 and stream.position != mark and stream.last_line is not None:
                camera._give_back(mark, stream.last_line.view(np.uint8), copy=False)
            raise
