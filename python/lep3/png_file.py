"""PNG files of arrays, written by libpng (the library the lep3 tool writes its pictures
with) through its simplified interface, so no Python imaging package is needed."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import threading
from typing import Any, Optional, Union

import numpy as np

__all__ = ["save_png"]

_PNG_IMAGE_VERSION = 1
_FORMAT_GRAY = 0
_FORMAT_RGB = 0x02  # PNG_FORMAT_FLAG_COLOR
_FORMAT_LINEAR_Y = 0x04  # PNG_FORMAT_FLAG_LINEAR: 16-bit samples


class _PngImage(ctypes.Structure):
    # png_image of png.h.
    _fields_ = [
        ("opaque", ctypes.c_void_p),
        ("version", ctypes.c_uint32),
        ("width", ctypes.c_uint32),
        ("height", ctypes.c_uint32),
        ("format", ctypes.c_uint32),
        ("flags", ctypes.c_uint32),
        ("colormap_entries", ctypes.c_uint32),
        ("warning_or_error", ctypes.c_uint32),
        ("message", ctypes.c_char * 64),
    ]


_lock = threading.Lock()
_libpng: Optional[Any] = None


def _library() -> Any:
    global _libpng
    with _lock:
        if _libpng is None:
            name = ctypes.util.find_library("png16") or "libpng16.so.16"
            try:
                library = ctypes.CDLL(name)
            except OSError:
                raise OSError("save_png needs libpng (Debian: libpng16-16)") from None
            library.png_image_write_to_file.argtypes = [
                ctypes.POINTER(_PngImage),
                ctypes.c_char_p,
                ctypes.c_int,
                ctypes.c_void_p,
                ctypes.c_int32,
                ctypes.c_void_p,
            ]
            library.png_image_write_to_file.restype = ctypes.c_int
            library.png_image_free.argtypes = [ctypes.POINTER(_PngImage)]
            library.png_image_free.restype = None
            _libpng = library
        return _libpng


def save_png(path: Union[str, "os.PathLike[str]"], array: np.ndarray) -> None:
    """Writes an array as a PNG file.

    Args:
        path: the file to write (replaced if it exists).
        array: (H, W) uint8 grey (``to_gray8``), (H, W, 3) uint8 colour (``colourise``,
            ``cam.rgb()``), or (H, W) uint16 kept losslessly as 16-bit grey (``cam.raw()``).

    Raises:
        ValueError: another shape or type of array.
        OSError: the file could not be written.
    """
    a = np.asarray(array)
    if a.dtype == np.uint8 and a.ndim == 2:
        kind = _FORMAT_GRAY
    elif a.dtype == np.uint8 and a.ndim == 3 and a.shape[2] == 3:
        kind = _FORMAT_RGB
    elif a.dtype == np.uint16 and a.ndim == 2:
        kind = _FORMAT_LINEAR_Y
    else:
        raise ValueError(
            "save_png takes (H, W) uint8, (H, W, 3) uint8 or (H, W) uint16, not %s %s" % (a.shape, a.dtype)
        )
    if a.shape[0] == 0 or a.shape[1] == 0:
        raise ValueError("save_png needs at least one pixel, not shape %s" % (a.shape,))
    a = np.ascontiguousarray(a)
    image = _PngImage(version=_PNG_IMAGE_VERSION, width=a.shape[1], height=a.shape[0], format=kind)
    library = _library()
    written = library.png_image_write_to_file(ctypes.byref(image), os.fsencode(path), 0, a.ctypes.data, 0, None)
    message = image.message.decode(errors="replace")
    library.png_image_free(ctypes.byref(image))
    if not written:
        raise OSError("cannot write %s: %s" % (os.fspath(path), message or "libpng failed"))
