# SPDX-License-Identifier: MIT
"""Result codes of the camera library and the exceptions that carry them.

The names are not copied from the C header: at import this module asks the loaded library for
the name of every code it defines (``ls_geterrorstring`` over its own range, -10251 to -10001,
plus 0 and the operating-system error numbers it documents) and libusb for its error names, so
they always match the library in use. Each name is a module attribute holding its code::

    from vantorpi import errors
    errors.CX_ERR_SERIAL_NUM_NOT_FOUND   # -10003
    errors.LIBUSB_ERROR_NO_DEVICE        # -4
    errors.names[-10003]                 # 'CX_ERR_SERIAL_NUM_NOT_FOUND'
    errors.names[-4]                     # 'LIBUSB_ERROR_NO_DEVICE'
    errors.text(-4)                      # libusb's text: 'No such device (it may have been ...'
"""

from __future__ import annotations

import ctypes
import errno as _errno
from typing import Dict, List, Optional

from . import _lib

# The library's own codes lie in this range; ls_geterrorstring names an unused one as below.
FIRST_LIBRARY_CODE = -10251
LAST_LIBRARY_CODE = -10001
_UNNAMED = "CX_ERR_UNKNOWN"
# Operating-system error numbers the library returns: an allocation failure, a NULL out-parameter.
_OS_CODES = (_errno.ENOMEM, _errno.EINVAL)
_LIBUSB_CODES = range(-1, -100, -1)
# libusb's error numbers that this package tells apart (its ABI: the same in every version).
LIBUSB_ACCESS = -3
LIBUSB_NO_DEVICE = -4
LIBUSB_BUSY = -6
LIBUSB_TIMEOUT = -7

#: Code -> symbolic name, for every code this module knows: the library's names ("CX_ERR_..."),
#: "SUCCESS", the errno names of the operating-system codes ("ENOMEM", "EINVAL") and libusb's
#: names ("LIBUSB_ERROR_..."). :func:`text` gives the library's text for a code.
names: Dict[int, str] = {}
#: Symbolic name -> code: the inverse of :data:`names`.
codes: Dict[str, int] = {}

_UDEV_HINT = (
    "a camera this user may not open is neither listed nor opened: install the udev rules "
    "(60-vantorpi.rules with 70-vantorpi-uaccess.rules for a desktop session, or "
    "61-vantorpi-group.rules and membership of its group over SSH or on a board without one), "
    "then plug the camera in again; 'lscam doctor' tells what is missing"
)
_BUSY_HINT = "another program holds the camera; end it (or its stream) and try again"


def text(code: int) -> str:
    """``ls_geterrorstring(code)``: the library's text for any result code (libusb's for -1 to -99)."""
    return _lib.text(_lib.lib().ls_geterrorstring(code))


def name(code: int) -> str:
    """The symbolic name of a result code, e.g. "LIBUSB_ERROR_BUSY"; "CX_ERR_UNKNOWN" if it has none."""
    return names.get(code, _UNNAMED)


def hint(code: int) -> Optional[str]:
    """What usually fixes a failure with this code, or None."""
    if code in (LIBUSB_ACCESS, codes.get("CX_ERR_NO_DEVICES_ATTACHED")):
        return _UDEV_HINT
    if code == LIBUSB_BUSY:
        return _BUSY_HINT
    return None


def _libusb_names() -> Dict[int, str]:
    # The libusb the camera library is linked with is already loaded; this finds that one.
    try:
        libusb = ctypes.CDLL("libusb-1.0.so.0")
        error_name = libusb.libusb_error_name
    except (OSError, AttributeError):
        return {}
    error_name.restype = ctypes.c_char_p
    error_name.argtypes = [ctypes.c_int]
    found = {}
    for code in _LIBUSB_CODES:
        identifier = _lib.text(error_name(code))
        if identifier.startswith("LIBUSB_ERROR_"):
            found[code] = identifier
    return found


def _build() -> None:
    _lib.lib()
    # 0 first: -10150 (a second-processor reply with error number 0) shares its name "SUCCESS".
    names[0] = text(0)
    codes[names[0]] = 0
    for code in range(FIRST_LIBRARY_CODE, LAST_LIBRARY_CODE + 1):
        identifier = text(code)
        if identifier != _UNNAMED:
            names[code] = identifier
            codes.setdefault(identifier, code)
    for code in _OS_CODES:
        names[code] = _errno.errorcode[code]
        codes[names[code]] = code
    for code, identifier in _libusb_names().items():
        names[code] = identifier
        codes[identifier] = code


def __getattr__(attribute: str) -> int:
    try:
        return codes[attribute]
    except KeyError:
        raise AttributeError(f"module {__name__!r} has no attribute {attribute!r}") from None


def __dir__() -> List[str]:
    return sorted(list(globals()) + list(codes))


class CameraError(Exception):
    """A call of the camera library failed.

    ``code`` is the library's result code, ``name`` its symbolic name (for example -10003
    "CX_ERR_SERIAL_NUM_NOT_FOUND", -6 "LIBUSB_ERROR_BUSY"), ``what`` the operation that failed,
    ``hint`` what usually fixes it (or None). The message holds all of them and the library's
    text for the code. The class raised says more where Python has a built-in kind:

    * :class:`CameraOSError` (also an :class:`OSError` with ``errno``) for codes of 1 and above,
      the operating-system error numbers;
    * :class:`CameraDisconnected` (also a :class:`ConnectionError`) when the camera is gone;
    * :class:`CameraTimeout` (also a :class:`TimeoutError`) when a request or the stream timed out.
    """

    code: int
    name: str
    what: str
    hint: Optional[str]

    def __new__(cls, code: int, what: str = "", detail: str = "") -> "CameraError":
        if cls is CameraError:
            if code > 0:
                cls = CameraOSError
            elif code == LIBUSB_NO_DEVICE:
                cls = CameraDisconnected
            elif code == LIBUSB_TIMEOUT:
                cls = CameraTimeout
        return super().__new__(cls)

    def __init__(self, code: int, what: str = "", detail: str = "") -> None:
        self.code = code
        self.name = name(code)
        self.what = what
        self.hint = hint(code)
        message = f"{code} {self.name}"
        library_text = text(code)
        if library_text != self.name:
            message = f"{message} ({library_text})"
        if what:
            message = f"{what}: {message}"
        if detail:
            message = f"{message}: {detail}"
        if self.hint:
            message = f"{message}; hint: {self.hint}"
        Exception.__init__(self, message)

    def __str__(self) -> str:
        return str(self.args[0])


class CameraOSError(CameraError, OSError):
    """A :class:`CameraError` whose code is an operating-system error number (``errno``)."""

    def __init__(self, code: int, what: str = "", detail: str = "") -> None:
        CameraError.__init__(self, code, what, detail)
        self.errno = code
        self.strerror = text(code)


class CameraDisconnected(CameraError, ConnectionError):
    """The camera is gone (unplugged): LIBUSB_ERROR_NO_DEVICE. Reads raise it once every line
    received before was delivered."""


class CameraTimeout(CameraError, TimeoutError):
    """LIBUSB_ERROR_TIMEOUT: a control request got no answer in time, or the stream brought no
    data for the read's time-out (or not all of it before its deadline)."""


class OverrunWarning(RuntimeWarning):
    """The library's FIFO was full: the application reads the stream slower than it arrives.

    The library then holds the camera back, and a real camera board's own buffer overflows and
    loses lines. Issued once per stream (and again after :meth:`Camera.flush`) as a
    :mod:`warnings` category, a RuntimeWarning: ``warnings.simplefilter("error",
    vantorpi.OverrunWarning)`` or ``python3 -W error::RuntimeWarning`` turn it into an exception;
    ``open(overrun="raise")`` raises it instead of warning.
    """


def check(code: int, what: str) -> None:
    """Raises :class:`CameraError` (or the subclass for its code) for a failed result code."""
    if code != 0:
        raise CameraError(code, what)


_build()
