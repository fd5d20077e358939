# SPDX-License-Identifier: MIT
"""The C library through ctypes: loading and the prototype of every function used.

The library is ``libvantorpi.so.1`` as the dynamic loader finds it, or the file named by the
environment variable ``VANTORPI_LIBRARY``. It is loaded once, on first use.
"""

from __future__ import annotations

import ctypes
import os
import threading
from typing import Any, Optional

LIBRARY_SONAME = "libvantorpi.so.1"
LIBRARY_ENV = "VANTORPI_LIBRARY"

_int = ctypes.c_int
_uint = ctypes.c_uint
_ushort = ctypes.c_ushort
_ubyte = ctypes.c_ubyte
_str = ctypes.c_char_p
_ptr = ctypes.c_void_p
_pint = ctypes.POINTER(ctypes.c_int)
_puint = ctypes.POINTER(ctypes.c_uint)
_pushort = ctypes.POINTER(ctypes.c_ushort)
_pubyte = ctypes.POINTER(ctypes.c_ubyte)

# name: (restype, argtypes), as declared in vantorpi.h.
_PROTOTYPES: dict[str, tuple[Any, list[Any]]] = {
    # Library and devices.
    "ls_libversion": (_int, []),
    "ls_initialize": (None, [_int, _int]),
    "ls_enumdevices": (_int, []),
    "ls_devicecount": (_int, []),
    "ls_currentdeviceindex": (_int, []),
    "ls_getmcu1version": (_int, [_int]),
    "ls_getvendorname": (_str, [_int]),
    "ls_getproductname": (_str, [_int]),
    "ls_getserialnumber": (_str, [_int]),
    "ls_opendevicebyindex": (_int, [_int]),
    "ls_opendevicebyserial": (_int, [_str]),
    "ls_closedevice": (_int, []),
    "ls_geterrorstring": (_str, [_int]),
    # Stream.
    "ls_getpipe": (_int, [_ptr, _int]),
    "ls_waitforpipe": (None, [_uint]),
    "ls_getfps": (_int, []),
    # Board control.
    "ls_ep6stat": (_int, [_pubyte, _uint]),
    "ls_resetfifo": (_int, [_uint]),
    "ls_dwp": (_int, [_ubyte, _uint, _uint]),
    "ls_cwp": (_int, [_ubyte, _uint, _uint]),
    "ls_psy": (_int, [_ubyte, _uint, _uint]),
    "ls_getpowerpins": (_int, [_pubyte, _uint]),
    "ls_getsensortype": (_int, [_pushort, _pushort, _uint]),
    # Sensor catalogue.
    "ls_getsensorconfigmask": (_int, [_ushort, _pushort, _pushort]),
    "ls_getsensormuxmask": (_int, [_ushort, _pushort, _pushort]),
    "ls_getsensordefaultparameter": (_int, [_ushort] + [_pushort] * 8),
    "ls_getsensorname": (_str, [_ushort]),
    "ls_getminmaxtime": (_int, [_ushort, _puint, _puint]),
    # I2C.
    "ls_readi2c": (_int, [_ubyte, _ptr, _pushort, _pubyte, _uint]),
    "ls_writei2c": (_int, [_ubyte, _ptr, _ushort, _pubyte, _uint]),
    "ls_readi2cflash": (_int, [_ubyte, _ptr, _pushort, _pubyte, _uint]),
    "ls_writei2cflash": (_int, [_ubyte, _ptr, _ushort, _pubyte, _uint]),
    "ls_seti2cfreq": (_int, [_ubyte, _uint]),
    "ls_geti2cfreq": (_int, [_pubyte, _uint]),
    "ls_geti2cstat": (_int, [_pubyte, _uint]),
    "ls_geti2cstring": (_str, [_ubyte]),
    # ADC.
    "ls_savesettings": (_int, [_uint]),
    "ls_resetsettings": (_int, [_uint]),
    "ls_getadcconfig": (_int, [_pushort, _uint]),
    "ls_getadcmux": (_int, [_pushort, _uint]),
    "ls_getadcpga1": (_int, [_pushort, _uint]),
    "ls_getadcpga2": (_int, [_pushort, _uint]),
    "ls_getadcpga3": (_int, [_pushort, _uint]),
    "ls_getadcoffset1": (_int, [_pushort, _uint]),
    "ls_getadcoffset2": (_int, [_pushort, _uint]),
    "ls_getadcoffset3": (_int, [_pushort, _uint]),
    "ls_setadcconfig": (_int, [_ushort, _uint]),
    "ls_setadcmux": (_int, [_ushort, _uint]),
    "ls_setadcpga": (_int, [_ushort, _ushort, _ushort, _uint]),
    "ls_setadc3xpga": (_int, [_ushort, _uint]),
    "ls_setadcpga1": (_int, [_ushort, _uint]),
    "ls_setadcpga2": (_int, [_ushort, _uint]),
    "ls_setadcpga3": (_int, [_ushort, _uint]),
    "ls_setadcoffset": (_int, [_ushort, _ushort, _ushort, _uint]),
    "ls_setadc3xoffset": (_int, [_ushort, _uint]),
    "ls_setadcoffset1": (_int, [_ushort, _uint]),
    "ls_setadcoffset2": (_int, [_ushort, _uint]),
    "ls_setadcoffset3": (_int, [_ushort, _uint]),
    # Second processor.
    "ls_setmode": (_int, [_ubyte, _uint]),
    "ls_setstate": (_int, [_ubyte, _uint]),
    "ls_setinttime": (_int, [_uint, _uint]),
    "ls_getmcu2version": (_int, [_pushort, _uint]),
    "ls_getmcu2sensortype": (_int, [_pushort, _uint]),
    "ls_getmode": (_int, [_pubyte, _uint]),
    "ls_getstate": (_int, [_pubyte, _uint]),
    "ls_getinttime": (_int, [_puint, _uint]),
    "ls_getpacketlength": (_int, [_pint, _uint]),
    "ls_customfirmware": (_int, [_puint, _uint]),
    # Flash programming.
    "ls_cpu2flashdata": (_int, [_ushort, _ptr, _uint]),
    "ls_cpu2flash_f0": (_int, [_uint]),
    "ls_cpu2flash_f1": (_int, [_ushort, _uint]),
    "ls_cpu2flash_f2": (_int, [_pushort, _uint]),
    "ls_cpu2flash_f2_lastbyte": (_int, [_ubyte, _pushort, _uint]),
}

# The proof of intent that ls_psy, ls_cwp and ls_dwp require (LS_POWER_SECURITY_CODE).
POWER_SECURITY_CODE = 0x5A3CC3A5

_loaded: Optional[ctypes.CDLL] = None
_load_lock = threading.Lock()


def library_path() -> str:
    """The file the package loads: ``$VANTORPI_LIBRARY`` if set, else the SONAME for the loader."""
    return os.environ.get(LIBRARY_ENV) or LIBRARY_SONAME


def lib() -> ctypes.CDLL:
    """The loaded library with every prototype declared; loads it on the first call.

    Raises OSError naming the file and ``VANTORPI_LIBRARY`` when it cannot be loaded.
    """
    global _loaded
    with _load_lock:
        if _loaded is None:
            path = library_path()
            try:
                handle = ctypes.CDLL(path)
            except OSError as e:
                raise OSError(
                    f"cannot load the camera library {path!r} ({e}); install libvantorpi or set "
                    f"{LIBRARY_ENV} to the path of libvantorpi.so.1"
                ) from e
            for name, (restype, argtypes) in _PROTOTYPES.items():
                function = getattr(handle, name)
                function.restype = restype
                function.argtypes = argtypes
            _loaded = handle
        return _loaded


def text(raw: Optional[bytes]) -> str:
    """A string returned by the library as Python text (the library's strings are Latin-1)."""
    return raw.decode("latin-1") if raw else ""
