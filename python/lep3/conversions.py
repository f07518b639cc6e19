"""The library's frame conversions on NumPy arrays: raw to 8-bit grey, grey to colour
through the eleven palettes, and raw to temperatures.

Every function checks its arguments (``ValueError``) and returns a fresh array that the
C function filled in place.
"""

from __future__ import annotations

import ctypes
import threading
import warnings
from typing import List, Optional, Tuple, Union

import numpy as np

from . import _clib

__all__ = ["palettes", "to_gray8", "colourise", "kelvin", "celsius", "FRAME_SHAPE", "RangeWarning"]

FRAME_SHAPE = (_clib.HEIGHT, _clib.WIDTH)

_I32_MIN = -(2**31)
_U32_MAX = 2**32 - 1

_palettes_filled = False
_palette_lock = threading.Lock()
# Gray14ToGray8 keeps the range of its last automatic call for all its callers.
_gray8_lock = threading.Lock()


def palettes() -> List[str]:
    """The names of the eleven palettes, in the order of their numbers 0 to 10."""
    return list(_clib.lib().palette_names())


def frame_array(a: object, dtype: type, name: str, shape: Tuple[int, ...] = FRAME_SHAPE) -> np.ndarray:
    """``a`` as a C-contiguous array of ``dtype`` and ``shape``; integer input of another
    type is accepted when every value fits."""
    arr = np.asarray(a)
    if arr.shape != shape:
        raise ValueError("%s must have shape %s, not %s" % (name, shape, arr.shape))
    if arr.dtype != dtype:
        if not np.issubdtype(arr.dtype, np.integer):
            raise ValueError("%s must hold integers (%s), not %s" % (name, np.dtype(dtype).name, arr.dtype))
        limits = np.iinfo(dtype)
        if arr.size and (arr.min() < limits.min or arr.max() > limits.max):
            raise ValueError("%s has values outside %d..%d" % (name, limits.min, limits.max))
        arr = arr.astype(dtype)
    return np.ascontiguousarray(arr)


def whole_number(value: object, name: str, lo: int, hi: int) -> int:
    """``value`` as an int inside lo..hi, or ValueError (bool counts as 0 or 1)."""
    if isinstance(value, (bool, np.bool_)):
        value = int(value)
    try:
        number = int(value)  # type: ignore[call-overload]
    except (TypeError, ValueError):
        raise ValueError("%s must be a whole number, not %r" % (name, value)) from None
    if number != value:
        raise ValueError("%s must be a whole number, not %r" % (name, value))
    if not lo <= number <= hi:
        raise ValueError("%s must lie in %d..%d, not %d" % (name, lo, hi, number))
    return number


def palette_number(palette: Union[str, int]) -> int:
    """The number of a palette given by name or number."""
    names = _clib.lib().palette_names()
    if isinstance(palette, str):
        try:
            return names.index(palette.lower())
        except ValueError:
            raise ValueError("unknown palette %r; the palettes are %s" % (palette, ", ".join(names))) from None
    return whole_number(palette, "palette", 0, len(names) - 1)


def _fill_palettes() -> None:
    # The library fills its palette tables when it opens the link; conversions made before
    # that (or without a camera at all) fill them the same way, each by its generator.
    global _palettes_filled
    with _palette_lock:
        if _palettes_filled:
            return
        library = _clib.lib()
        for name in library.palette_names():
            table = library.table(name)
            if not np.frombuffer(table, dtype=np.uint8).any():
                getattr(library, "generate_pallette_%s_256" % name)(ctypes.addressof(table))
        _palettes_filled = True


class RangeWarning(UserWarning):
    """A range that misses every value of the frame: the picture is one colour."""


def to_gray8(raw: np.ndarray, range: Optional[Tuple[int, int]] = None) -> np.ndarray:
    """8-bit grey of a raw frame, with the library's 3 x 3 median filter.

    Args:
        raw: (120, 160) raw values (uint16, or integers that fit).
        range: ``(low, high)`` raw values (not °C) mapped to 0 and 255, values outside
            clamped; None stretches the frame's own minimum to maximum. A range that misses
            every value of the frame gives a ``RangeWarning``.

    Returns:
        (120, 160) uint8.
    """
    library = _clib.lib()
    src = frame_array(raw, np.uint16, "raw")
    out = np.empty(FRAME_SHAPE, dtype=np.uint8)
    if range is None:
        hi = ctypes.c_uint16()
        lo = ctypes.c_uint16()
        with _gray8_lock:
            library.Gray14ToGray8(src.ctypes.data, out.ctypes.data, hi, lo, 0)
        return out
    try:
        low, high = range
    except (TypeError, ValueError):
        raise ValueError("range must be a pair (low, high), not %r" % (range,)) from None
    low = whole_number(low, "the low end of range", 0, 0xFFFF)
    high = whole_number(high, "the high end of range", 0, 0xFFFF)
    if low > high:
        raise ValueError("range must run from low to high, not %d..%d" % (low, high))
    if src.size and (int(src.max()) < low or int(src.min()) > high):
        warnings.warn(
            "the range %d..%d lies outside the frame's raw values, %d to %d: the picture is one colour "
            "(range is in raw values, not degrees)" % (low, high, src.min(), src.max()),
            RangeWarning,
            stacklevel=2,
        )
    library.Gray14ToGray8WithUserSetPalette(src.ctypes.data, out.ctypes.data, high, low)
    return out


def colourise(gray8: np.ndarray, palette: Union[str, int] = "ironblack") -> np.ndarray:
    """Colours an 8-bit frame through one of the library's palettes (see ``palettes()``).

    Args:
        gray8: (120, 160) uint8, as ``to_gray8`` makes it.
        palette: a palette name, or its number 0 to 10.

    Returns:
        (120, 160, 3) uint8, red, green, blue.
    """
    number = palette_number(palette)
    src = frame_array(gray8, np.uint8, "gray8")
    _fill_palettes()
    out = np.empty(FRAME_SHAPE + (3,), dtype=np.uint8)
    _clib.lib().Gray8ToRGB24(src.ctypes.data, out.ctypes.data, number)
    return out


def _rbfo_word(value: object, name: str) -> int:
    return whole_number(value, name, _I32_MIN, _U32_MAX)


def kelvin(raw: np.ndarray, r: int, o: int) -> np.ndarray:
    """Temperatures of a raw frame in kelvin: T = 1428 / ln(R / (S - O) + 1).

    The library's own float conversion. ``r`` and ``o`` are the R and O words of one of
    the camera's RBFO parameter sets (``Camera.rbfo``).

    Returns:
        (120, 160) float32, kelvin; a raw value equal to O gives 0 and one the formula
        cannot take gives NaN.
    """
    src = frame_array(raw, np.uint16, "raw")
    r_word = ctypes.c_int32(_rbfo_word(r, "R")).value
    o_word = ctypes.c_int32(_rbfo_word(o, "O")).value
    out = np.empty(FRAME_SHAPE, dtype=np.float32)
    _clib.lib().LEP3_LuxToKelvin(src.ctypes.data, out.ctypes.data, r_word, o_word)
    return out


def celsius(raw: np.ndarray, r: int, o: int) -> np.ndarray:
    """Temperatures of a raw frame in degrees Celsius (°C), as ``kelvin`` then the
    library's kelvin-to-Celsius step.

    Returns:
        (120, 160) float32, °C.
    """
    out = kelvin(raw, r, o)
    _clib.lib().LEP3_KelvinToCelsius(out.ctypes.data)
    return out
