# SPDX-License-Identifier: MIT
"""The line-processing helpers against values computed by hand."""

import math

import numpy as np
import pytest

from vantorpi import processing

nan = math.nan


@pytest.mark.parametrize(
    "result, expected",
    [
        (lambda: processing.average(np.array([[1, 2], [3, 6]], dtype=np.uint16)), [2.0, 4.0]),
        (lambda: processing.subtract_dark([10, 20], [1, 25]), [9.0, -5.0]),
        (lambda: processing.transmission([5, 3, 4], [9, 3, 1], dark=[1, 1, 1]), [0.5, 1.0, nan]),
        (lambda: processing.transmission([2, 4], [4, 4]), [0.5, 1.0]),
        (lambda: processing.absorbance([11, 2, 0], [101, 2, 5], dark=[1, 0, 0]), [1.0, 0.0, nan]),
        (lambda: processing.boxcar([0, 3, 6, 9, 0], 3), [1.5, 3.0, 6.0, 5.0, 4.5]),
        (lambda: processing.boxcar([1, 2, 4], 1), [1.0, 2.0, 4.0]),
        (lambda: processing.saturated(np.array([[0, 4095], [1, 2]])), [True, False]),
        (lambda: processing.saturated([100, 200], level=200), True),
        (lambda: processing.wavelengths([400, 0.5, 0.001], 3), [400.0, 400.501, 401.004]),
    ],
)
def test_processing_values(result, expected):
    np.testing.assert_allclose(result(), expected, rtol=1e-12, equal_nan=True)


def test_files(tmp_path):
    processing.save_csv(tmp_path / "p.csv", np.array([1, 2.5]))
    assert (tmp_path / "p.csv").read_text() == "pixel,counts\n0,1.0\n1,2.5\n"
    processing.save_csv(tmp_path / "w.csv", [7, 8], wavelengths=processing.wavelengths([500, 2], 2))
    assert (tmp_path / "w.csv").read_text() == "wavelength,counts\n500.0,7\n502.0,8\n"
    stack = np.arange(6, dtype=np.uint16).reshape(2, 3)
    processing.save_npy(tmp_path / "s.npy", stack)
    loaded = np.load(tmp_path / "s.npy")
    assert loaded.dtype == np.uint16 and loaded.tolist() == stack.tolist()
    with pytest.raises(ValueError):
        processing.boxcar([1, 2, 3], 2)
