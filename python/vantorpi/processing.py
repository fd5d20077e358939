# SPDX-License-Identifier: MIT
"""Processing of lines for spectrometer use, on numpy arrays only.

A spectrum is a 1-D array with one value per pixel; a stack of lines (as
:meth:`vantorpi.Camera.lines` returns) is a 2-D array with one line per row. Results are
float64 unless a function says otherwise.
"""

from __future__ import annotations

import os
from typing import Any, Optional, Sequence, Union

import numpy as np
from numpy.polynomial import Polynomial
from numpy.typing import ArrayLike, NDArray

#: Largest value of the camera's 12-bit pixels.
FULL_SCALE = 4095

PathLike = Union[str, "os.PathLike[str]"]


def average(lines: ArrayLike) -> NDArray[np.float64]:
    """The mean of a stack of lines, pixel by pixel: one spectrum."""
    stack = np.asarray(lines, dtype=np.float64)
    if stack.ndim != 2 or stack.shape[0] == 0:
        raise ValueError(f"average needs a stack of at least one line, got shape {stack.shape}")
    mean: NDArray[np.float64] = stack.mean(axis=0)
    return mean


def subtract_dark(spectrum: ArrayLike, dark: ArrayLike) -> NDArray[np.float64]:
    """A spectrum (or stack) minus a dark spectrum taken with the light blocked."""
    return np.asarray(spectrum, dtype=np.float64) - np.asarray(dark, dtype=np.float64)


def transmission(
    sample: ArrayLike, reference: ArrayLike, dark: Optional[ArrayLike] = None
) -> NDArray[np.float64]:
    """(sample - dark) / (reference - dark): the fraction of light the sample lets through.

    Pixels where the reference equals the dark give NaN.
    """
    floor = np.asarray(0.0 if dark is None else dark, dtype=np.float64)
    signal = np.asarray(sample, dtype=np.float64) - floor
    light = np.asarray(reference, dtype=np.float64) - floor
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = signal / light
    return np.where(light == 0, np.nan, ratio)


def absorbance(
    sample: ArrayLike, reference: ArrayLike, dark: Optional[ArrayLike] = None
) -> NDArray[np.float64]:
    """-log10 of the :func:`transmission`; NaN where the transmission is not positive."""
    ratio = transmission(sample, reference, dark)
    with np.errstate(divide="ignore", invalid="ignore"):
        result = -np.log10(ratio)
    return np.where(ratio > 0, result, np.nan)


def boxcar(spectrum: ArrayLike, width: int) -> NDArray[np.float64]:
    """Moving average over ``width`` pixels (odd, at least 1) centred on each pixel.

    Near the ends the window is cut to the pixels that exist, so the ends are not pulled
    towards zero and the result has the input's length.
    """
    values = np.asarray(spectrum, dtype=np.float64)
    if values.ndim != 1:
        raise ValueError(f"boxcar smooths one spectrum, got shape {values.shape}")
    if isinstance(width, bool) or not isinstance(width, (int, np.integer)) or width < 1 or width % 2 == 0:
        raise ValueError(f"width must be an odd number of pixels, at least 1, got {width!r}")
    window = np.ones(int(width))
    sums = np.convolve(values, window, mode="same")
    counts = np.convolve(np.ones_like(values), window, mode="same")
    return sums / counts


def saturated(data: ArrayLike, level: float = FULL_SCALE) -> Union[NDArray[np.bool_], np.bool_]:
    """Whether a line reaches ``level``: a flag per line of a stack, one flag for a spectrum."""
    values = np.asarray(data)
    if values.ndim not in (1, 2):
        raise ValueError(f"saturated takes a spectrum or a stack of lines, got shape {values.shape}")
    flags: Union[NDArray[np.bool_], np.bool_] = np.any(values >= level, axis=-1)
    return flags


def wavelengths(coefficients: Sequence[float], pixels: int) -> NDArray[np.float64]:
    """The wavelength of each pixel from a calibration polynomial.

    ``coefficients`` are c0, c1, c2, ... of c0 + c1*p + c2*p**2 + ... for pixel p = 0, 1, ...
    (lowest order first, as ``numpy.polynomial.Polynomial`` takes them).
    """
    if isinstance(pixels, bool) or not isinstance(pixels, (int, np.integer)) or pixels < 1:
        raise ValueError(f"pixels must be a positive integer, got {pixels!r}")
    c = np.asarray(coefficients, dtype=np.float64)
    if c.ndim != 1 or c.size == 0:
        raise ValueError("coefficients must be a non-empty sequence")
    result: NDArray[np.float64] = Polynomial(c)(np.arange(int(pixels), dtype=np.float64))
    return result


def save_csv(path: PathLike, spectrum: ArrayLike, wavelengths: Optional[ArrayLike] = None) -> None:
    """Writes a spectrum as CSV: a header line, then one row per pixel.

    The first column is the pixel number ("pixel") or, when given, the wavelength
    ("wavelength"); the second the value ("counts").
    """
    counts = np.asarray(spectrum)
    if counts.ndim != 1:
        raise ValueError(f"save_csv writes one spectrum, got shape {counts.shape}")
    if wavelengths is None:
        first, column = "pixel", np.arange(counts.size)
    else:
        first, column = "wavelength", np.asarray(wavelengths, dtype=np.float64)
        if column.shape != counts.shape:
            raise ValueError(f"{column.size} wavelengths for {counts.size} pixels")
    with open(path, "w", encoding="ascii", newline="\n") as out:
        out.write(f"{first},counts\n")
        for x, y in zip(column.tolist(), counts.tolist()):
            out.write(f"{x!r},{y!r}\n")


def save_npy(path: PathLike, lines: ArrayLike) -> None:
    """Writes a stack of lines (or any array) as a numpy ``.npy`` file."""
    np.save(path, np.asarray(lines), allow_pickle=False)
