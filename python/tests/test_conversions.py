"""The conversions against naive references of the documented arithmetic, and their
argument checks."""

from __future__ import annotations

import ctypes
import math

import numpy as np
import pytest

import lep3

pytestmark = pytest.mark.usefixtures("library")


def median3x3_reference(stretched: np.ndarray) -> np.ndarray:
    out = stretched.copy()
    windows = np.lib.stride_tricks.sliding_window_view(stretched, (3, 3)).reshape(118, 158, 9)
    out[1:119, 1:159] = np.sort(windows, axis=-1)[..., 4]
    out[0, 1:159] = out[1, 1:159]
    out[119, 1:159] = out[118, 1:159]
    out[:, 0] = out[:, 1]
    out[:, 159] = out[:, 158]
    return out


def gray8_reference(raw: np.ndarray, low: int, high: int, clamp: bool) -> np.ndarray:
    p = raw.astype(np.int64)
    if high <= low:
        return median3x3_reference(np.full(raw.shape, (high * 255 // 16383) & 0xFF, dtype=np.uint8))
    if clamp:
        p = np.minimum(p, high)
    stretched = np.where(p < low, 0, (p - low) * 255 // (high - low)).astype(np.uint8)
    return median3x3_reference(stretched)


def frames() -> dict:
    rng = np.random.default_rng(14)
    return {
        "noise": rng.integers(0, 16384, (120, 160), dtype=np.uint16),
        "scene": (8000 + 300 * np.sin(np.arange(19200) / 700.0)).astype(np.uint16).reshape(120, 160),
        "narrow": rng.integers(7990, 8010, (120, 160), dtype=np.uint16),
        "flat": np.full((120, 160), 8000, dtype=np.uint16),
    }


@pytest.mark.parametrize("name", frames().keys())
def test_gray8_matches_the_stretch_and_median_filter(name: str) -> None:
    raw = frames()[name]
    assert lep3.to_gray8(raw).dtype == np.uint8
    np.testing.assert_array_equal(lep3.to_gray8(raw), gray8_reference(raw, int(raw.min()), int(raw.max()), False))
    for low, high in ((7000, 9000), (8000, 8005), (16383, 16383), (0, 65535), (9000, 9000)):
        np.testing.assert_array_equal(
            lep3.to_gray8(raw, range=(low, high)), gray8_reference(raw, low, high, True), err_msg=str((low, high))
        )


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


def kelvin_reference(values: np.ndarray, r: int, o: int) -> np.ndarray:
    """u = R / (S - O) + 1 in single precision, then 1428 / ln(u) in double, as a float."""
    with np.errstate(divide="ignore", invalid="ignore"):
        u = np.float32(r) / (values.astype(np.float32) - np.float32(o)) + np.float32(1.0)

    def one(x: float) -> float:
        if math.isnan(x) or x < 0:
            return math.nan
        if x == 0:
            return -0.0  # ln(0) = -inf
        if math.isinf(x):
            return 0.0
        ln = math.log(x)
        return math.copysign(math.inf, ln) if ln == 0 else 1428.0 / ln

    return np.array([one(float(x)) for x in u], dtype=np.float32)


@pytest.mark.parametrize("r,o", [(347000, 1000), (264000, 7500), (500000, 12000)])
def test_temperatures_equal_the_float_conversion_for_every_raw_value(r: int, o: int) -> None:
    values = np.arange(65536 + 11264, dtype=np.int64) % 65536  # four whole frames
    kelvin = kelvin_reference(values, r, o)
    celsius = (kelvin.astype(np.float64) - 273.15).astype(np.float32)
    for f in range(4):
        raw = values[f * 19200 : (f + 1) * 19200].astype(np.uint16).reshape(120, 160)
        want_k = kelvin[f * 19200 : (f + 1) * 19200].reshape(120, 160)
        want_c = celsius[f * 19200 : (f + 1) * 19200].reshape(120, 160)
        got_k, got_c = lep3.kelvin(raw, r, o), lep3.celsius(raw, r, o)
        assert got_k.dtype == got_c.dtype == np.float32
        np.testing.assert_array_equal(got_k, want_k)
        np.testing.assert_array_equal(got_c, want_c)
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
