"""Object temperatures and region readings, through the library's thermography functions.

    params = lep3.ObjectParams(emissivity=0.95, distance_m=2.0)
    temps = lep3.object_celsius(raw, r, o, params)      # (120, 160) float32, °C
    box = lep3.measure(temps, box=(60, 40, 100, 80))
    print(box.max, box.max_at)

A pixel whose corrected signal has no temperature is NaN; region readings leave NaNs out
and count them.
"""

from __future__ import annotations

import ctypes
from typing import NamedTuple, Optional, Sequence, Tuple

import numpy as np

from . import _clib
from .conversions import FRAME_SHAPE, frame_array, whole_number
from .errors import check

__all__ = ["ObjectParams", "Measurement", "object_celsius", "measure"]

_I32_MIN = -(2**31)
_U32_MAX = 2**32 - 1


class ObjectParams(NamedTuple):
    """What lies between the object and the camera; the defaults change nothing.

    Attributes:
        emissivity: of the object, 0.01 to 1.
        reflected_c: apparent temperature of what the object reflects, °C.
        air_c: temperature of the air on the way, °C.
        humidity: relative humidity of that air, 0 to 1.
        distance_m: object to camera, metres (0 to 10 000).
        window_c: temperature of an external window or optics, °C.
        window_transmission: of that window, 0.01 to 1 (1: none).

    Temperatures lie in -100 to 2000 °C. The library checks the ranges when converting
    (``OutOfRange``, a ``ValueError``).
    """

    emissivity: float = 1.0
    reflected_c: float = 20.0
    air_c: float = 20.0
    humidity: float = 0.5
    distance_m: float = 0.0
    window_c: float = 20.0
    window_transmission: float = 1.0

    def _struct(self) -> _clib.ObjectParams:
        try:
            return _clib.ObjectParams(*(float(v) for v in self))
        except (TypeError, ValueError):
            raise ValueError("object parameters must be numbers: %r" % (self,)) from None


class Measurement(NamedTuple):
    """The reading of one region of a temperature frame.

    Attributes:
        min, max, mean: over the pixels holding a number (°C for ``object_celsius``
            frames); NaN when there is none.
        min_at, max_at: (x, y) of the first pixel holding the minimum and the maximum,
            or None.
        pixels: pixels counted; nan_pixels: pixels left out as NaN.
    """

    min: float
    max: float
    mean: float
    min_at: Optional[Tuple[int, int]]
    max_at: Optional[Tuple[int, int]]
    pixels: int
    nan_pixels: int


def _word(value: object, name: str) -> int:
    return ctypes.c_int32(whole_number(value, name, _I32_MIN, _U32_MAX)).value


def object_celsius(raw: np.ndarray, r: int, o: int, object: Optional[ObjectParams] = None) -> np.ndarray:
    """Object temperatures of a raw frame in °C, corrected for ``object`` (None: the
    defaults, which give ``celsius(raw, r, o)`` to within 0.001 °C).

    Args:
        raw: (120, 160) raw values.
        r, o: the calibration's R and O (``Camera.calibration``).

    Returns:
        (120, 160) float32, °C; NaN where the corrected signal has no temperature.

    Raises:
        OutOfRange: a parameter outside its range, or a path of air that lets nothing through.
    """
    src = frame_array(raw, np.uint16, "raw")
    params = (object if object is not None else ObjectParams())._struct()
    out = np.empty(FRAME_SHAPE, dtype=np.float32)
    nan = ctypes.c_uint32()
    code = _clib.lib().LEP3_RawToObjectCelsiusCounted(
        src.ctypes.data, out.ctypes.data, _word(r, "R"), _word(o, "O"), params, nan
    )
    check(code, "object temperatures with %r (R %s)" % (object, r))
    return out


def _corners(value: Sequence[int], name: str, count: int) -> Tuple[int, ...]:
    try:
        items = tuple(value)
    except TypeError:
        raise ValueError("%s must be %d numbers, not %r" % (name, count, value)) from None
    if len(items) != count:
        raise ValueError("%s must be %d numbers, not %r" % (name, count, value))
    return tuple(whole_number(v, name, _I32_MIN, 2**31 - 1) for v in items)


def measure(
    celsius: np.ndarray,
    spot: Optional[Sequence[int]] = None,
    box: Optional[Sequence[int]] = None,
    line: Optional[Sequence[int]] = None,
) -> Measurement:
    """Reads one region of a temperature frame: give exactly one of ``spot=(x, y)``,
    ``box=(x0, y0, x1, y1)`` (inclusive, corners in any order) or ``line=(x0, y0, x1, y1)``
    (the pixels of Bresenham's line). x is the column 0..159, y the row 0..119.

    Raises:
        ValueError: not exactly one region, or one reaching outside the frame.
    """
    given = [(kind, v) for kind, v in (("spot", spot), ("box", box), ("line", line)) if v is not None]
    if len(given) != 1:
        raise ValueError("give exactly one of spot=, box= or line=")
    kind, value = given[0]
    if kind == "spot":
        x, y = _corners(value, "spot", 2)
        region = _clib.Region(_clib.REGION_SPOT, x, y, x, y)
    else:
        region = _clib.Region(_clib.REGION_BOX if kind == "box" else _clib.REGION_LINE, *_corners(value, kind, 4))
    frame = np.asarray(celsius)
    if frame.shape != FRAME_SHAPE:
        raise ValueError("celsius must have shape %s, not %s" % (FRAME_SHAPE, frame.shape))
    frame = np.ascontiguousarray(frame, dtype=np.float32)
    stats = _clib.RegionStats()
    code = _clib.lib().LEP3_MeasureRegion(frame.ctypes.data, region, stats)
    if code == -3:
        raise ValueError("the %s %r reaches outside the 160 x 120 frame" % (kind, tuple(value)))
    check(code, "measuring the %s" % kind)
    found = stats.pixels > 0
    return Measurement(
        stats.min,
        stats.max,
        stats.mean,
        (stats.min_x, stats.min_y) if found else None,
        (stats.max_x, stats.max_y) if found else None,
        stats.pixels,
        stats.nan_pixels,
    )
