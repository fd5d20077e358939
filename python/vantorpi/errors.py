"""Result codes of the camera library and the exception that carries them.

The names are not copied from the C header: at import this module asks the loaded library for
the name of every code it defines (``ls_geterrorstring`` over its own range, -10251 to -10001,
plus 0 and the operating-system error numbers it documents) and libusb for its error names, so
they always match the library in use. Each name is a module attribute holding its code::

    from vantorpi import errors
    errors.CX_ERR_SERIAL_NUM_NOT_FOUND   # -10003
    errors.LIBUSB_ERROR_NO_DEVICE        # -4
    errors.names[-10003]                 # 'CX_ERR_SERIAL_NUM_NOT_FOUND'
"""

from __future__ import annotations

import ctypes
import errno as _errno
from typing import Dict, List

from . import _lib

# The library's own codes lie in this range; ls_geterrorstring names an unused one as below.
FIRST_LIBRARY_CODE = -10251
LAST_LIBRARY_CODE = -10001
_UNNAMED = "CX_ERR_UNKNOWN"
# Operating-system error numbers the library returns: an allocation failure, a NULL out-parameter.
_OS_CODES = (_errno.ENOMEM, _errno.EINVAL)
_LIBUSB_CODES = range(-1, -100, -1)

#: Code -> ``ls_geterrorstring`` text, for every code this module names.
names: Dict[int, str] = {}
#: Identifier -> code: the library's names ("CX_ERR_..."), "SUCCESS", the errno names of the
#: operating-system codes ("ENOMEM", "EINVAL") and libusb's names ("LIBUSB_ERROR_...").
codes: Dict[str, int] = {}


def name(code: int) -> str:
    """``ls_geterrorstring(code)``: the library's name or text for any result code."""
    return _lib.text(_lib.lib().ls_geterrorstring(code))


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
        text = _lib.text(error_name(code))
        if text.startswith("LIBUSB_ERROR_"):
            found[code] = text
    return found


def _build() -> None:
    _lib.lib()
    # 0 first: -10150 (a second-processor reply with error number 0) shares its name "SUCCESS".
    names[0] = name(0)
    codes[names[0]] = 0
    for code in range(FIRST_LIBRARY_CODE, LAST_LIBRARY_CODE + 1):
        text = name(code)
        if text != _UNNAMED:
            names[code] = text
            codes.setdefault(text, code)
    for code in _OS_CODES:
        names[code] = name(code)
        codes[_errno.errorcode[code]] = code
    for code, identifier in _libusb_names().items():
        names[code] = name(code)
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

    ``code`` is the library's result code, ``name`` its ``ls_geterrorstring`` name (for example
    -10003 and "CX_ERR_SERIAL_NUM_NOT_FOUND"), ``what`` the operation that failed. Codes of 1
    and above are operating-system error numbers: those errors are raised as
    :class:`CameraOSError`, which is also an :class:`OSError` with ``errno`` set.
    """

    code: int
    name: str
    what: str

    def __new__(cls, code: int, what: str = "", detail: str = "") -> "CameraError":
        if cls is CameraError and code > 0:
            cls = CameraOSError
        return super().__new__(cls)

    def __init__(self, code: int, what: str = "", detail: str = "") -> None:
        self.code = code
        self.name = name(code)
        self.what = what
        message = f"{code} {self.name}"
        if what:
            message = f"{what}: {message}"
        if detail:
            message = f"{message} ({detail})"
        Exception.__init__(self, message)

    def __str__(self) -> str:
        return str(self.args[0])


class CameraOSError(CameraError, OSError):
    """A :class:`CameraError` whose code is an operating-system error number (``errno``)."""

    def __init__(self, code: int, what: str = "", detail: str = "") -> None:
        CameraError.__init__(self, code, what, detail)
        self.errno = code
        self.strerror = self.name


def check(code: int, what: str) -> None:
    """Raises :class:`CameraError` for a failed result code."""
    if code != 0:
        raise CameraError(code, what)


_build()
