# SPDX-License-Identifier: MIT
"""The stream of an open camera: bytes from the library's FIFO straight into the reader's memory.

Every byte is copied once, by ``ls_getpipe``, into the memory the read returns (the result
array, the caller's ``out=`` array or buffer). Bytes received by a read that then fails (a
time-out, an unplug, Ctrl-C) are kept, in order, for the next read: the "held" bytes.
"""

from __future__ import annotations

import math
import sys
import time
import warnings
from typing import Any, Callable, Optional

import numpy as np

from .errors import LIBUSB_NO_DEVICE, LIBUSB_TIMEOUT, CameraError, OverrunWarning

#: Longest single wait in the library: Python handles signals (Ctrl-C) between waits.
SLICE = 0.1
#: Time-out of the status request that tells an unplugged camera from a quiet one, in ms.
PROBE_TIMEOUT_MS = 100
#: Most bytes :meth:`Stream.next_line` takes from the library at once.
CHUNK = 1 << 20
# A read that still needs GATHER_BYTES or more of a flowing stream lets it run for GATHER_SECONDS
# before it takes the next part, and stream() lets a block gather as long: Python's cost per
# library call then falls on many packets, not on each one. The FIFO fills meanwhile by
# GATHER_SECONDS of the stream (40 kB at 40 MB/s).
GATHER_BYTES = 1 << 16
GATHER_SECONDS = 0.001

_EMPTY = np.empty(0, dtype=np.uint8)
OVERRUN_CHOICES = ("warn", "raise", "ignore")


def _address(array: np.ndarray) -> int:
    return int(array.__array_interface__["data"][0])


def _user_stacklevel() -> int:
    """The stacklevel for a warnings.warn made by this function's caller that points at the first
    frame outside this package."""
    frame = sys._getframe(1)
    level = 1
    while frame is not None and frame.f_globals.get("__name__", "").partition(".")[0] == "vantorpi":
        frame = frame.f_back
        level += 1
    return level


class Stream:
    """The read side of one open camera. The Camera serialises every call but :meth:`backlog`
    and :meth:`rate`, which only look."""

    def __init__(
        self,
        lib: Any,
        fifo_size: int,
        packet_length: int,
        line_bytes: int,
        probe: Callable[[], Optional[int]],
        overrun: str,
    ) -> None:
        self._getpipe = lib.ls_getpipe
        self._waitforpipe = lib.ls_waitforpipe
        self._getfps = lib.ls_getfps
        self.fifo_size = fifo_size
        self.packet_length = packet_length
        self.line_bytes = line_bytes
        # One status request; its result code, or None when it could not be made now.
        self._probe = probe
        self.overrun = overrun
        # Judged from the first read on: a FIFO that filled before it, while the application set
        # the camera up, says nothing about keeping up. True also once the warning was given.
        self.overrun_reported = True
        self._first_read = True
        # The code of a camera known to be gone; reads then end once the held bytes are out.
        self.ended: Optional[int] = None
        # Stream offset of the next byte to hand out; lines start at multiples of line_bytes.
        self.position = 0
        # Bytes taken from the library since the open, for the rate before the library has one.
        self.taken = 0
        self.opened = time.monotonic()
        # Held bytes: _held[_hpos:]. While _rows is set, its row _row is the line at _hpos, so
        # that stream() hands out held lines as rows without another copy.
        self._held = _EMPTY
        self._hpos = 0
        self._rows: Optional[np.ndarray] = None
        self._row = 0
        # Room for the part of a line that a raw read left and a line read drops.
        self._carry = np.empty(line_bytes, dtype=np.uint8)
        # The bytes a failed _receive had written when it raised.
        self._progress = 0
        # The line next_line handed out last.
        self.last_line: Optional[np.ndarray] = None

    # ---- what is there ----

    def held_bytes(self) -> int:
        return len(self._held) - self._hpos

    def backlog(self) -> int:
        # Called without the read lock: a read in another thread may be between two fields.
        return max(0, self.held_bytes()) + max(0, int(self._getpipe(None, 0)))

    def rate(self) -> int:
        """The library's measured rate; before its first one-second window, the package's own
        figure: bytes received since the open over the time since the open."""
        fps = int(self._getfps())
        if fps > 0:
            return fps
        elapsed = time.monotonic() - self.opened
        received = self.taken + max(0, int(self._getpipe(None, 0)))
        return int(received / elapsed) if elapsed > 0 else 0

    # ---- held bytes ----
    #
    # Python raises a pending KeyboardInterrupt only where a call returns, a loop turns or a
    # function starts. Every change of the read state is therefore made in one assignment with
    # no call after it, so that an interrupt finds either the old state or the new one, and
    # the code around it can tell which.

    def _take_held(self, dest: np.ndarray, count: int, advance: int = 0) -> None:
        """Copies count held bytes to dest and drops them; advances position by advance."""
        start = self._hpos
        end = start + count
        dest[:count] = self._held[start:end]
        if end == len(self._held):
            held, end, rows, row = _EMPTY, 0, None, 0
        elif self._rows is not None and count % self.line_bytes == 0:
            held, rows, row = self._held, self._rows, self._row + count // self.line_bytes
        else:
            held, rows, row = self._held, None, 0
        position = self.position + advance
        self._held, self._hpos, self._rows, self._row, self.position = held, end, rows, row, position

    def _release_held(self) -> None:
        self._held, self._hpos, self._rows, self._row = _EMPTY, 0, None, 0

    def _hold(self, received: np.ndarray, copy: bool) -> None:
        """Puts bytes received by a read that failed back in front of the held ones."""
        if len(received) == 0:
            return
        rest = self._held[self._hpos :]
        if len(rest):
            received = np.concatenate((received, rest))
        elif copy:
            received = received.copy()
        self._held, self._hpos, self._rows, self._row = received, 0, None, 0

    def unread(self, mark: int, data: np.ndarray, copy: bool) -> None:
        """Gives back the bytes a read handed out from position mark on, when its caller never
        got them (Ctrl-C as the read returned); nothing when another read came between."""
        if len(data) and self.position == mark + len(data):
            self._hold(data, copy)
            self.position = mark

    # ---- reading ----

    def fill(
        self, dest: np.ndarray, what: str, timeout: float, deadline: Optional[float], owned: bool
    ) -> None:
        """Fills dest (uint8, contiguous) with the next len(dest) stream bytes, or raises with
        every byte received kept for the next read (copied when dest is not the package's)."""
        need = len(dest)
        count = min(self.held_bytes(), need)
        held, hpos = self._held, self._hpos
        self._progress = 0
        try:
            if count:
                self._take_held(dest, count)
            if count < need:
                self._receive(_address(dest) + count, need - count, what, timeout, deadline)
        except BaseException:
            taken = count if self._held is not held or self._hpos != hpos else 0
            self._hold(dest[: taken + self._progress], copy=not owned)
            raise
        self.position += need

    def fill_some(self, dest: np.ndarray, what: str, timeout: float, deadline: Optional[float]) -> int:
        """As fill, but a time-out, a deadline or the end of the stream after some bytes returns
        their number instead of raising; dest is the caller's."""
        try:
            self.fill(dest, what, timeout, deadline, owned=False)
            return len(dest)
        except CameraError:
            got = min(self.held_bytes(), len(dest))
            if got == 0:
                raise
            self._take_held(dest, got, advance=got)
            return got

    def skip_to_line(self, what: str, timeout: float, deadline: Optional[float]) -> None:
        """Drops the rest of a line that a raw read began, so that the next read starts a line."""
        rest = -self.position % self.line_bytes
        if rest:
            self.fill(self._carry[:rest], what, timeout, deadline, owned=False)

    def next_line(self, shape: Any, dtype: Any, timeout: float, deadline: Optional[float]) -> np.ndarray:
        """The next line, as a row of a block of lines received at once (what was waiting, up
        to CHUNK bytes): one library call per block, not per line. The line is also last_line."""
        rows = self._rows
        if rows is None or self._row >= len(rows):
            rows = self._block(shape, dtype, timeout, deadline)
        row = self._row
        line = rows[row]
        lb = self.line_bytes
        hpos = self._hpos + lb
        if hpos == len(self._held):
            self._held, self._hpos, self._rows, self._row, self.position, self.last_line = (
                _EMPTY, 0, None, 0, self.position + lb, line
            )
        else:
            self._hpos, self._row, self.position, self.last_line = hpos, row + 1, self.position + lb, line
        return line

    def _block(self, shape: Any, dtype: Any, timeout: float, deadline: Optional[float]) -> np.ndarray:
        """Makes _rows the held whole lines, or when there are none a new block from the library."""
        self.skip_to_line("line", timeout, deadline)
        lb = self.line_bytes
        count = self.held_bytes() // lb
        shape = (count,) + tuple(shape)
        if count:
            start = self._hpos
            rows = self._held[start : start + count * lb].view(dtype).reshape(shape)
            self._rows, self._row = rows, 0
            return rows
        waiting = self.held_bytes() + max(0, int(self._getpipe(None, 0)))
        if waiting < GATHER_BYTES and self.ended is None:
            time.sleep(GATHER_SECONDS)
            waiting = self.held_bytes() + max(0, int(self._getpipe(None, 0)))
        count = max(1, min(waiting, CHUNK) // lb)
        rows = np.empty((count,) + shape[1:], dtype=dtype)
        flat = rows.reshape(-1).view(np.uint8)
        mark = self.position
        try:
            self.fill(flat, "line", timeout, deadline, owned=True)
            self._held, self._hpos, self._rows, self._row, self.position = flat, 0, rows, 0, mark
        except BaseException:
            self.unread(mark, flat, copy=False)
            raise
        return rows

    def flush(self) -> int:
        """Drops every held byte and everything waiting in the library; returns how many."""
        dropped = self.held_bytes()
        self._release_held()
        scratch = np.empty(min(self.fifo_size, 1 << 16), dtype=np.uint8)
        address = _address(scratch)
        full = self._getpipe(None, 0) + self.packet_length > self.fifo_size
        for _ in range(2):
            while True:
                got = int(self._getpipe(address, len(scratch)))
                if got <= 0:
                    break
                dropped += got
                self.taken += got
            if not full:
                break
            # The library's reader held a packet back for want of room: it comes in now.
            self._waitforpipe(PROBE_TIMEOUT_MS)
        self.position += dropped
        self.overrun_reported = False
        return dropped

    def _receive(self, address: int, need: int, what: str, timeout: float, deadline: Optional[float]) -> None:
        """Takes need bytes from the library to address, waiting in slices of at most SLICE.

        Raises CameraDisconnected once the camera is gone and nothing is waiting,
        CameraTimeout after timeout seconds without data or at the deadline (an absolute
        time.monotonic() value). Whatever it raises, self._progress holds the bytes written.
        """
        getpipe = self._getpipe
        got = pending = 0
        waited = flowing = False
        last = time.monotonic()
        try:
            while True:
                waiting = getpipe(None, 0)
                if waiting > 0:
                    if waiting + self.packet_length > self.fifo_size and not self.overrun_reported:
                        self._report_overrun(waiting)
                    # Asking for no more than is waiting makes the count taken known before the
                    # call: Python raises a pending KeyboardInterrupt only once a call has
                    # returned, so `pending` still counts the bytes of a call whose result was lost.
                    pending = min(waiting, need - got)
                    getpipe(address + got, pending)
                    got += pending
                    pending = 0
                    if self._first_read:
                        self._first_read = self.overrun_reported = False
                    if got == need:
                        return
                    last = time.monotonic()
                    waited = False
                    flowing = need - got >= GATHER_BYTES
                elif self.ended is not None:
                    raise CameraError(self.ended, what, "the camera is gone; what it sent before comes first")
                elif waited:
                    code = self._probe()
                    if code == LIBUSB_NO_DEVICE:
                        self.ended = code
                        continue
                now = time.monotonic()
                if now - last >= timeout:
                    raise CameraError(LIBUSB_TIMEOUT, what, f"no stream data for {timeout:g} s")
                wait = last + timeout - now
                if deadline is not None:
                    if now >= deadline:
                        raise CameraError(LIBUSB_TIMEOUT, what, "the deadline passed before it was complete")
                    wait = min(wait, deadline - now)
                if flowing:
                    time.sleep(min(wait, GATHER_SECONDS))
                    flowing = False
                else:
                    self._waitforpipe(max(1, math.ceil(min(wait, SLICE) * 1000)))
                    waited = True
        except BaseException:
            self._progress = got + pending
            raise
        finally:
            self.taken += got + pending

    def _report_overrun(self, waiting: int) -> None:
        self.overrun_reported = True
        if self.overrun == "ignore":
            return
        warning = OverrunWarning(
            f"the library's FIFO is full ({waiting} bytes waiting, the stream brings "
            f"{self.rate() / 1e6:.1f} MB/s): the application reads "
            f"slower than the camera sends, so the camera is held back and a real camera board "
            f"loses lines; read larger blocks, do less per line, or flush() to start afresh"
        )
        if self.overrun == "raise":
            raise warning
        warnings.warn(warning, stacklevel=_user_stacklevel())
