"""Object temperatures and region readings through the package."""

from __future__ import annotations

import ctypes

import numpy as np
import pytest

import lep3
from lep3 import _clib

pytestmark = pytest.mark.usefixtures("library")

R, O = 878900, 1000


def test_defaults_are_the_librarys_and_change_nothing() -> None:
    c_defaults = _clib.ObjectParams()
    _clib.lib().LEP3_DefaultObjectParams(ctypes.byref(c_defaults))
    assert lep3.ObjectParams() == lep3.ObjectParams(*(getattr(c_defaults, f) for f, _ in c_defaults._fields_))
    raw = np.arange(19200, dtype=np.uint16).reshape(120, 160) % 16384
    plain = lep3.celsius(raw, R, O)
    has_signal = raw > O
    np.testing.assert_allclose(lep3.object_celsius(raw, R, O)[has_signal], plain[has_signal], atol=0.001)
    # A lower emissivity: an object brighter than its surroundings is hotter than it looks.
    hot = lep3.object_celsius(raw, R, O, lep3.ObjectParams(emissivity=0.9))
    warm = plain > 30
    assert (hot[warm] > plain[warm]).all()


@pytest.mark.parametrize(
    "params",
    [lep3.ObjectParams(emissivity=0), lep3.ObjectParams(humidity=1.5), lep3.ObjectParams(air_c=float("nan"))],
)
def test_parameters_out_of_range_are_value_errors(params: lep3.ObjectParams) -> None:
    with pytest.raises(ValueError):
        lep3.object_celsius(np.zeros((120, 160), np.uint16), R, O, params)


def test_measure_spots_boxes_and_lines() -> None:
    frame = np.arange(19200, dtype=np.float32).reshape(120, 160)
    frame[10, 10] = np.nan
    box = lep3.measure(frame, box=(12, 11, 9, 10))
    assert box == lep3.Measurement(1609.0, 1772.0, box.mean, (9, 10), (12, 11), 7, 1)
    corner = lep3.Measurement(19199.0, 19199.0, 19199.0, (159, 119), (159, 119), 1, 0)
    assert lep3.measure(frame, spot=(159, 119)) == corner
    line = lep3.measure(frame, line=(0, 0, 159, 0))
    assert (line.pixels, line.mean, line.max_at) == (160, 79.5, (159, 0))
    nothing = lep3.measure(frame, spot=(10, 10))
    assert (nothing.min_at, nothing.pixels, nothing.nan_pixels) == (None, 0, 1)
    for wrong in ({"box": (0, 0, 160, 5)}, {"spot": (1, 2, 3)}, {}, {"spot": (1, 1), "line": (0, 0, 1, 1)}):
        with pytest.raises(ValueError):
            lep3.measure(frame, **wrong)
