"""The conversions as the package passes frames and parameters to the library (raw to grey,
colour and temperatures, object temperatures, region readings), and their argument checks."""

from __future__ import annotations

import ctypes

import numpy as np
import pytest

import lep3
from lep3 import _clib

pytestmark = pytest.mark.usefixtures("library")


def frames() -> dict:
    rng = np.random.default_rng(14)
    return {
        "noise": rng.integers(0, 16384, (120, 160), dtype=np.uint16),
        "scene": (8000 + 300 * np.sin(np.arange(19200) / 700.0)).astype(np.uint16).reshape(120, 160),
        "narrow": rng.integers(7990, 8010, (120, 160), dtype=np.uint16),
        "flat": np.full((120, 160), 8000, dtype=np.uint16),
    }


def test_gray8_stretches_the_frames_own_range_or_the_one_given_clamped() -> None:
    # The stretch and the median filter are the library's, checked against a naive
    # pipeline in its own tests; here each call reaches the conversion it stands for.
    for name, raw in frames().items():
        own = lep3.to_gray8(raw)
        assert own.dtype == np.uint8 and own.shape == (120, 160)
        np.testing.assert_array_equal(lep3.to_gray8(raw, range=(int(raw.min()), int(raw.max()))), own, err_msg=name)
    halves = np.full((120, 160), 100, dtype=np.uint16)
    halves[60:] = 60000  # below the range given, then above it
    gray = lep3.to_gray8(halves, range=(1000, 9000))
    assert (gray[:60] == 0).all() and (gray[60:] == 255).all()


def test_every_palette_colours_by_its_own_table_without_a_camera(library) -> None:
    # Each name must select the table its generator makes, also before any camera has
    # been opened (the library fills its tables only when it opens the link).
    ramp = (np.arange(19200) % 256).astype(np.uint8).reshape(120, 160)
    assert len(lep3.palettes()) == 11
    for number, name in enumerate(lep3.palettes()):
        table = (ctypes.c_uint8 * 768)()
        getattr(library.cdll, "generate_pallette_%s_256" % name)(table)
        expected = np.frombuffer(table, dtype=np.uint8).reshape(256, 3)[ramp]
        np.testing.assert_array_equal(lep3.colourise(ramp, name), expected, err_msg=name)
        np.testing.assert_array_equal(lep3.colourise(ramp, number), expected, err_msg=name)
    assert (lep3.colourise(np.zeros((120, 160), np.uint8), "blackhot") == 255).all()
    assert (lep3.colourise(np.zeros((120, 160), np.uint8), "whitehot") == 0).all()


@pytest.mark.parametrize("r,o", [(347000, 1000), (264000, 7500)])
def test_temperatures_follow_the_parameters_given(r: int, o: int) -> None:
    # The arithmetic is the library's, bit for bit in its own tests; here the parameters
    # reach it in their places and Celsius is kelvin less 273.15.
    values = np.arange(19200, dtype=np.int64) * 3 % 65536
    raw = values.astype(np.uint16).reshape(120, 160)
    kelvin, celsius = lep3.kelvin(raw, r, o), lep3.celsius(raw, r, o)
    assert kelvin.dtype == celsius.dtype == np.float32
    with np.errstate(divide="ignore", invalid="ignore"):
        want = (1428.0 / np.log(r / (values - o) + 1.0)).reshape(120, 160)
    fine = np.isfinite(want) & (np.abs(want) < 1e4)
    np.testing.assert_allclose(kelvin[fine], want[fine], rtol=1e-4)
    np.testing.assert_array_equal(celsius, (kelvin.astype(np.float64) - 273.15).astype(np.float32))
    # 4000 with R 347000 and O 1000 is about 26.89 °C.
    assert lep3.celsius(np.full((120, 160), 4000), 347000, 1000)[60, 80] == pytest.approx(26.89, abs=0.01)


def test_integer_frames_of_other_types_are_taken_when_they_fit() -> None:
    raw = frames()["scene"]
    np.testing.assert_array_equal(lep3.to_gray8(raw.astype(np.int64)), lep3.to_gray8(raw))
    np.testing.assert_array_equal(lep3.celsius(raw.astype(np.int32), 347000, 1000), lep3.celsius(raw, 347000, 1000))
    np.testing.assert_array_equal(lep3.to_gray8(np.asfortranarray(raw)), lep3.to_gray8(raw))


raw_ok = np.full((120, 160), 8000, dtype=np.uint16)
gray_ok = np.zeros((120, 160), dtype=np.uint8)


@pytest.mark.parametrize(
    "call",
    [
        lambda: lep3.to_gray8(np.zeros((160, 120), np.uint16)),
        lambda: lep3.to_gray8(np.zeros(19200, np.uint16)),
        lambda: lep3.to_gray8(raw_ok.astype(np.float32)),
        lambda: lep3.to_gray8(np.full((120, 160), 70000)),
        lambda: lep3.to_gray8(np.full((120, 160), -1)),
        lambda: lep3.to_gray8(raw_ok, range=(9000, 8000)),
        lambda: lep3.to_gray8(raw_ok, range=(0, 65536)),
        lambda: lep3.to_gray8(raw_ok, range=(0.5, 9000)),
        lambda: lep3.to_gray8(raw_ok, range=8000),
        lambda: lep3.colourise(gray_ok, "sepia"),
        lambda: lep3.colourise(gray_ok, 11),
        lambda: lep3.colourise(gray_ok, -1),
        lambda: lep3.colourise(np.zeros((120, 160), np.uint16) + 256),
        lambda: lep3.colourise(np.zeros((120, 160, 3), np.uint8)),
        lambda: lep3.celsius(raw_ok, 2**32, 1000),
        lambda: lep3.kelvin(raw_ok, 347000, "1000"),
    ],
)
def test_a_wrong_argument_is_a_value_error(call) -> None:
    with pytest.raises(ValueError):
        call()


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
