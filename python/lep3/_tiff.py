"""The part of libtiff (the library the lep3 tool writes and reads its recordings with)
that reading a recording needs: every foreign function declared once, and a file handle
that keeps libtiff's messages for the exception instead of letting them reach standard
error.

Nothing here knows what a recording is; ``recording`` does.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import logging
import os
import threading
from ctypes import CFUNCTYPE, c_char_p, c_int, c_size_t, c_ssize_t, c_uint16, c_uint32, c_uint64, c_void_p
from typing import Any, List, Optional, Union

__all__ = ["TiffFile"]

# Tags and values of tiff.h.
TAG_IMAGE_WIDTH = 256
TAG_IMAGE_LENGTH = 257
TAG_BITS_PER_SAMPLE = 258
TAG_COMPRESSION = 259
TAG_IMAGE_DESCRIPTION = 270
TAG_SAMPLES_PER_PIXEL = 277
TAG_ROWS_PER_STRIP = 278
TAG_PREDICTOR = 317
TAG_SAMPLE_FORMAT = 339
COMPRESSION_NONE = 1
COMPRESSION_DEFLATE = 8
PREDICTOR_NONE = 1
PREDICTOR_HORIZONTAL = 2
SAMPLE_FORMAT_UINT = 1
SAMPLE_FORMAT_IEEEFP = 3

_MESSAGE_BYTES = 512

# TIFFErrorHandlerExtR: (TIFF *, void *user_data, const char *module, const char *fmt,
# va_list); a va_list arrives, and is handed on to vsnprintf, as one pointer-sized word
# on the ABIs Debian builds for. Returning 1 keeps libtiff's own handler quiet.
_Handler = CFUNCTYPE(c_int, c_void_p, c_void_p, c_char_p, c_char_p, c_void_p)

_log = logging.getLogger("lep3")
_lock = threading.Lock()
_libs: Optional[Any] = None


def _declare(library: Any, name: str, restype: Any, argtypes: List[Any]) -> None:
    function = getattr(library, name)
    function.restype = restype
    function.argtypes = argtypes


def _libraries() -> Any:
    """(libtiff, libc), loaded and declared on first use."""
    global _libs
    with _lock:
        if _libs is None:
            name = ctypes.util.find_library("tiff") or "libtiff.so.6"
            try:
                tiff = ctypes.CDLL(name)
            except OSError:
                raise OSError("reading a recording needs libtiff (Debian: libtiff6)") from None
            _declare(tiff, "TIFFOpenOptionsAlloc", c_void_p, [])
            _declare(tiff, "TIFFOpenOptionsFree", None, [c_void_p])
            _declare(tiff, "TIFFOpenOptionsSetErrorHandlerExtR", None, [c_void_p, _Handler, c_void_p])
            _declare(tiff, "TIFFOpenOptionsSetWarningHandlerExtR", None, [c_void_p, _Handler, c_void_p])
            _declare(tiff, "TIFFOpenExt", c_void_p, [c_char_p, c_char_p, c_void_p])
            _declare(tiff, "TIFFClose", None, [c_void_p])
            _declare(tiff, "TIFFNumberOfDirectories", c_uint32, [c_void_p])
            _declare(tiff, "TIFFSetDirectory", c_int, [c_void_p, c_uint32])
            _declare(tiff, "TIFFIsTiled", c_int, [c_void_p])
            # Variadic in C; every tag read here fills one pointer.
            _declare(tiff, "TIFFGetField", c_int, [c_void_p, c_uint32, c_void_p])
            _declare(tiff, "TIFFGetFieldDefaulted", c_int, [c_void_p, c_uint32, c_void_p])
            _declare(tiff, "TIFFReadScanline", c_int, [c_void_p, c_void_p, c_uint32, c_uint16])
            _declare(tiff, "TIFFNumberOfStrips", c_uint32, [c_void_p])
            _declare(tiff, "TIFFGetStrileByteCount", c_uint64, [c_void_p, c_uint32])
            _declare(tiff, "TIFFReadRawStrip", c_ssize_t, [c_void_p, c_uint32, c_void_p, c_ssize_t])
            _declare(tiff, "TIFFIsByteSwapped", c_int, [c_void_p])
            libc = ctypes.CDLL(None)
            _declare(libc, "vsnprintf", c_int, [c_char_p, c_size_t, c_char_p, c_void_p])
            _libs = (tiff, libc)
        return _libs


class TiffFile:
    """An open TIFF file, read only. Methods return None or False where libtiff fails;
    ``take_messages()`` then says why."""

    def __init__(self, path: Union[str, "os.PathLike[str]"]) -> None:
        self._tiff, self._libc = _libraries()
        self._messages: List[str] = []
        self._errors = _Handler(self._on_error)
        self._warnings = _Handler(self._on_warning)
        options = self._tiff.TIFFOpenOptionsAlloc()
        if not options:
            raise MemoryError("libtiff could not allocate its options")
        try:
            self._tiff.TIFFOpenOptionsSetErrorHandlerExtR(options, self._errors, None)
            self._tiff.TIFFOpenOptionsSetWarningHandlerExtR(options, self._warnings, None)
            # "m": read with read(2), not a mapping, so a file cut short under the reader
            # is an error instead of a bus error.
            self._handle: Optional[int] = self._tiff.TIFFOpenExt(os.fsencode(path), b"rm", options)
        finally:
            self._tiff.TIFFOpenOptionsFree(options)

    def _format(self, module: Optional[bytes], fmt: bytes, args: int) -> str:
        buf = ctypes.create_string_buffer(_MESSAGE_BYTES)
        self._libc.vsnprintf(buf, _MESSAGE_BYTES, fmt, args)
        text = buf.value.decode(errors="replace")
        return "%s: %s" % (module.decode(errors="replace"), text) if module else text

    def _on_error(self, tif: int, user: int, module: Optional[bytes], fmt: bytes, args: int) -> int:
        self._messages.append(self._format(module, fmt, args))
        return 1

    def _on_warning(self, tif: int, user: int, module: Optional[bytes], fmt: bytes, args: int) -> int:
        _log.debug("libtiff: %s", self._format(module, fmt, args))
        return 1

    @property
    def is_open(self) -> bool:
        return bool(self._handle)

    def take_messages(self) -> str:
        text = "; ".join(self._messages)
        self._messages.clear()
        return text

    def close(self) -> None:
        if getattr(self, "_handle", None):
            self._tiff.TIFFClose(self._handle)
            self._handle = None

    def __del__(self) -> None:
        self.close()

    def directories(self) -> int:
        return int(self._tiff.TIFFNumberOfDirectories(self._handle))

    def set_directory(self, index: int) -> bool:
        return bool(self._tiff.TIFFSetDirectory(self._handle, index))

    def is_tiled(self) -> bool:
        return bool(self._tiff.TIFFIsTiled(self._handle))

    def uint32_field(self, tag: int, defaulted: bool = False) -> Optional[int]:
        value = c_uint32()
        get = self._tiff.TIFFGetFieldDefaulted if defaulted else self._tiff.TIFFGetField
        return value.value if get(self._handle, tag, ctypes.byref(value)) else None

    def uint16_field(self, tag: int) -> Optional[int]:
        value = c_uint16()
        return value.value if self._tiff.TIFFGetFieldDefaulted(self._handle, tag, ctypes.byref(value)) else None

    def text_field(self, tag: int) -> Optional[str]:
        value = c_char_p()
        if not self._tiff.TIFFGetField(self._handle, tag, ctypes.byref(value)) or value.value is None:
            return None
        return value.value.decode(errors="replace")

    def read_scanline(self, address: int, row: int) -> bool:
        return self._tiff.TIFFReadScanline(self._handle, address, row, 0) >= 0

    def is_byte_swapped(self) -> bool:
        return bool(self._tiff.TIFFIsByteSwapped(self._handle))

    def strips(self) -> int:
        return int(self._tiff.TIFFNumberOfStrips(self._handle))

    def strip_bytes(self, strip: int) -> int:
        """The strip's length in the file, as the directory states it."""
        return int(self._tiff.TIFFGetStrileByteCount(self._handle, strip))

    def read_raw_strip(self, strip: int, size: int) -> Optional[bytes]:
        """The strip's bytes as they lie in the file (size of them), or None."""
        buf = ctypes.create_string_buffer(size)
        got = self._tiff.TIFFReadRawStrip(self._handle, strip, buf, size)
        return buf.raw if got == size else None

