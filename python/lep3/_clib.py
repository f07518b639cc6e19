"""The C interface of liblep3: where the library is found and every foreign function the
package calls, declared once with its argument and result types.

Nothing here speaks Python to the user; the public modules do. Buffers are passed as
plain addresses (``ndarray.ctypes.data``), so a NumPy array is filled in place by the C
call and never copied again.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import pathlib
import threading
from ctypes import (
    CFUNCTYPE,
    POINTER,
    Structure,
    c_char_p,
    c_float,
    c_int,
    c_int32,
    c_size_t,
    c_uint8,
    c_uint16,
    c_uint32,
    c_uint64,
    c_void_p,
)
from typing import Any, List, Optional, Tuple

# The library's first version with the managed session.
REQUIRED_VERSION = "1.2.0"

WIDTH = 160
HEIGHT = 120
PIXELS = WIDTH * HEIGHT
RAW_BYTES = PIXELS * 2
RGB_BYTES = PIXELS * 3
PALETTE_BYTES = 256 * 3

# Paths the library opens (LEP3_SetPath).
PATH_UART = 0
PATH_UART_ALT = 1
PATH_FIRMWARE_DIR = 2



class FrameInfo(Structure):
    _fields_ = [
        ("frame_number", c_uint32),
        ("format", c_uint32),
        ("size", c_uint32),
        ("width", c_uint32),
        ("height", c_uint32),
        ("check_ok", c_uint32),
        ("completed_ns", c_uint64),
    ]


class LinkStats(Structure):
    _fields_ = [
        (name, c_uint64)
        for name in (
            "bytes_read",
            "bytes_dropped",
            "frames_raw",
            "frames_rgb",
            "frames_overwritten",
            "replies_posted",
            "replies_abandoned",
            "reset_notices",
            "read_failures",
            "empty_reads",
            "queue_full_episodes",
            "frame_check_errors",
            "reply_check_errors",
            "reconnects",
        )
    ]


class ObjectParams(Structure):
    _fields_ = [
        (name, c_float)
        for name in ("emissivity", "reflected_c", "air_c", "humidity", "distance_m", "window_c", "window_transmission")
    ]


# Region kinds (LEP3_REGION_*).
REGION_SPOT = 0
REGION_BOX = 1
REGION_LINE = 2


class Region(Structure):
    _fields_ = [("kind", c_int), ("x0", c_int), ("y0", c_int), ("x1", c_int), ("y1", c_int)]


class RegionStats(Structure):
    _fields_ = [
        ("min", c_float),
        ("max", c_float),
        ("mean", c_float),
        ("min_x", c_int),
        ("min_y", c_int),
        ("max_x", c_int),
        ("max_y", c_int),
        ("pixels", c_uint32),
        ("nan_pixels", c_uint32),
    ]


class Rbfo(Structure):
    _fields_ = [("r", c_uint32), ("b", c_uint32), ("f", c_uint32), ("o", c_uint32)]


class Roi(Structure):
    _fields_ = [("start_col", c_uint16), ("start_row", c_uint16), ("end_col", c_uint16), ("end_row", c_uint16)]


class SysStatus(Structure):
    _fields_ = [("camera_status", c_uint32), ("command_count", c_uint16), ("reserved", c_uint16)]


MessageHandler = CFUNCTYPE(None, c_int, c_char_p, c_void_p)

_u32p = POINTER(c_uint32)
_i32p = POINTER(c_int32)
_u16p = POINTER(c_uint16)
_ptr = c_void_p  # a caller's buffer, passed as its address

# name: (result type, argument types)
_FUNCTIONS = {
    # Session.
    "LEP3_Open": (c_int, [c_char_p]),
    "LEP3_Close": (None, []),
    "LEP3_WaitFrame": (c_int, [_ptr, c_size_t, POINTER(FrameInfo), c_int]),
    "LEP3_GetLinkState": (c_int, []),
    "LEP3_UpdateFirmware": (c_int, [c_char_p]),
    "LEP3_GetUpdateBlocks": (c_int, [_u32p, _u32p]),
    "LEP3_GetUpdateRate": (c_int, [_i32p]),
    "LEP3_SetMessageHandler": (c_int, [MessageHandler, c_void_p]),
    "LEP3_GetLibraryVersion": (c_char_p, []),
    "LEP3_GetRawVideo": (c_int, []),
    "LEP3_GetRGBVideo": (c_int, []),
    # Paths and counters.
    "LEP3_SetPath": (c_int, [c_int, c_char_p]),
    "LEP3_GetPath": (c_char_p, [c_int]),
    "LEP3_GetLinkStats": (c_int, [POINTER(LinkStats)]),
    # Bridge identity and firmware image.
    "LEP3_GetFirmwareVersion": (c_int, [_u32p]),
    "LEP3_GetSAMG55FileVersion": (c_int, [_u32p]),
    "search_firmware": (c_char_p, []),
    # Camera commands.
    "LEP3_RunSysFFCNormalization": (c_int, []),
    "LEP3_RunRadFFC": (c_int, []),
    "LEP3_GetSysStatus": (c_int, [POINTER(SysStatus)]),
    "LEP3_GetSysFlirSerialNumber": (c_int, [POINTER(c_uint64)]),
    "LEP3_GetSysCameraUpTime": (c_int, [_u32p]),
    "LEP3_GetSysAuxTemperatureCelcius": (c_int, [POINTER(c_float)]),
    "LEP3_GetSysFpaTemperatureCelcius": (c_int, [POINTER(c_float)]),
    "LEP3_GetSysTelemetryEnableState": (c_int, [_u32p]),
    "LEP3_SetSysTelemetryEnableState": (c_int, [c_uint32]),
    "LEP3_GetSysFramesToAverage": (c_int, [_u32p]),
    "LEP_SetSysFramesToAverage": (c_int, [c_uint32]),
    "LEP3_GetSysSceneRoi": (c_int, [POINTER(Roi)]),
    "LEP3_GetSysThermalShutdownCount": (c_int, [_u16p]),
    "LEP3_GetSysShutterPosition": (c_int, [_i32p]),
    "LEP3_SetSysShutterPosition": (c_int, [c_int32]),
    "LEP3_GetSysFFCStatus": (c_int, [_i32p]),
    "LEP3_GetSysGainMode": (c_int, [_u32p]),
    "LEP3_SetSysGainMode": (c_int, [c_uint32]),
    "LEP3_GetAgcEnableState": (c_int, [_u32p]),
    "LEP3_SetAgcEnableState": (c_int, [c_uint32]),
    "LEP3_GetAgcROI": (c_int, [POINTER(Roi)]),
    "LEP_GetAgcCalcEnableState": (c_int, [_u32p]),
    "LEP_SetAgcCalcEnableState": (c_int, [c_uint32]),
    "LEP3_GetAgcHeqLinearPercent": (c_int, [_u16p]),
    "LEP3_SetAgcHeqLinearPercent": (c_int, [c_uint32]),
    "LEP3_GetVidPcolorLut": (c_int, [_u32p]),
    "LEP3_SetVidPcolorLut": (c_int, [c_uint32]),
    "LEP3_GetVidFreezeEnableState": (c_int, [_u32p]),
    "LEP3_SetVidFreezeEnableState": (c_int, [c_uint32]),
    "LEP3_GetVidVideoOutputFormat": (c_int, [_u32p]),
    "LEP3_SetVidVideoOutputFormat": (c_int, [c_uint32]),
    "LEP3_GetOemVideoOutputFormat": (c_int, [_u32p]),
    "LEP3_SetOemVideoOutputFormat": (c_int, [c_uint32]),
    "LEP3_GetOemUserDefaultsState": (c_int, [_u32p]),
    "LEP3_GetRadRBFOInternal0": (c_int, [POINTER(Rbfo)]),
    "LEP3_GetRadRBFOExternal0": (c_int, [POINTER(Rbfo)]),
    "LEP3_GetRadEnableState": (c_int, [_u32p]),
    "LEP3_SetRadEnableState": (c_int, [c_uint32]),
    "LEP3_GetRadRunStatus": (c_int, [_i32p]),
    "LEP3_GetUserRBFO": (c_int, [POINTER(Rbfo)]),
    # Conversions.
    "LEP3_LuxToKelvin": (c_int, [_ptr, _ptr, c_int32, c_int32]),
    "LEP3_KelvinToCelsius": (c_int, [_ptr]),
    "Gray14ToGray8": (c_int, [_ptr, _ptr, _u16p, _u16p, c_uint8]),
    "Gray14ToGray8WithUserSetPalette": (c_int, [_ptr, _ptr, c_uint32, c_uint32]),
    "Gray8ToRGB24": (c_int, [_ptr, _ptr, c_uint32]),
    # Thermography.
    "LEP3_DefaultObjectParams": (None, [POINTER(ObjectParams)]),
    "LEP3_RawToObjectCelsiusCounted": (c_int, [_ptr, _ptr, c_int32, c_int32, POINTER(ObjectParams), _u32p]),
    "LEP3_MeasureRegion": (c_int, [_ptr, POINTER(Region), POINTER(RegionStats)]),
    "LEP3_GetCalibration": (c_int, [_i32p, _i32p]),
}

# The names tables of the library, read one entry at a time (NULL past the end).
_FUNCTIONS["LEP3_PaletteName"] = (ctypes.c_char_p, [c_int])
_FUNCTIONS["LEP3_LinkStateName"] = (ctypes.c_char_p, [c_int])
# Each palette has an exported table RGB24_pallette_<name>_256 and a generator
# generate_pallette_<name>_256 that fills it.
_GENERATOR_PREFIX = "generate_pallette_"


class LibraryNotFound(OSError):
    """liblep3 could not be loaded from any of the places the package looks."""


def _candidates() -> List[str]:
    """Where the library is looked for, in order."""
    found = []
    explicit = os.environ.get("LEP3_LIBRARY")
    if explicit:
        found.append(explicit)
    # Run from the source tree: the build directory beside python/.
    in_tree = pathlib.Path(__file__).resolve().parent.parent.parent / "build" / "liblep3.so"
    if in_tree.exists():
        found.append(str(in_tree))
    found.append("liblep3.so.1")
    system = ctypes.util.find_library("lep3")
    if system:
        found.append(system)
    return found


class _Library:
    """The loaded library with its declared functions as attributes."""

    def __init__(self) -> None:
        tried = []
        cdll = None
        for candidate in _candidates():
            try:
                cdll = ctypes.CDLL(candidate)
                break
            except OSError as e:
                tried.append("%s (%s)" % (candidate, e))
        if cdll is None:
            raise LibraryNotFound(
                "liblep3 was not found; set LEP3_LIBRARY to the path of liblep3.so, or install the library. "
                "Tried: " + "; ".join(tried)
            )
        self.cdll = cdll
        self.path = getattr(cdll, "_name", "")
        self._palette_names: Optional[Tuple[str, ...]] = None

    def __getattr__(self, name: str) -> Any:
        # Each function is declared on first use and kept as an attribute, so a library
        # older than the package fails only where a missing function is needed.
        if name.startswith(_GENERATOR_PREFIX):
            declaration = (None, [_ptr])
        elif name in _FUNCTIONS:
            declaration = _FUNCTIONS[name]
        else:
            raise AttributeError(name)
        try:
            function = getattr(self.cdll, name)
        except AttributeError:
            raise LibraryNotFound(
                "the liblep3 at %s has no %s: it is older than this package (version %s or newer needed)"
                % (self.path, name, REQUIRED_VERSION)
            ) from None
        restype, argtypes = declaration
        function.restype = restype
        function.argtypes = argtypes
        setattr(self, name, function)
        return function

    def palette_names(self) -> Tuple[str, ...]:
        """The palettes' names in the order of their numbers, as the library names them."""
        if self._palette_names is None:
            names: List[str] = []
            while True:
                name = self.LEP3_PaletteName(len(names))
                if name is None:
                    break
                names.append(name.decode())
            self._palette_names = tuple(names)
        return self._palette_names

    def link_state_name(self, state: int) -> str:
        """The name of a link state (LEP3_GetLinkState), or "unknown"."""
        name = self.LEP3_LinkStateName(state)
        return "unknown" if name is None else name.decode()

    def table(self, name: str) -> ctypes.Array:
        """The exported 768-byte palette table of a palette name."""
        return (c_uint8 * PALETTE_BYTES).in_dll(self.cdll, "RGB24_pallette_%s_256" % name)


_loaded: Optional[_Library] = None
_load_lock = threading.Lock()


def lib() -> _Library:
    """The library, loaded and declared on first use; its messages go to logging from then on."""
    global _loaded
    if _loaded is not None:
        return _loaded
    with _load_lock:
        if _loaded is None:
            loaded = _Library()
            from . import _messages

            _messages.install(loaded)
            _loaded = loaded
    return _loaded


def library_file() -> str:
    """The file the library was loaded from, as the dynamic loader found it."""
    loaded = lib().path
    if os.path.isabs(loaded):
        return loaded
    # Loaded by its name: the loader's map of this process says from where.
    try:
        with open("/proc/self/maps") as maps:
            for line in maps:
                fields = line.split()
                if len(fields) >= 6 and os.path.basename(fields[5]).startswith("liblep3.so"):
                    return fields[5]
    except OSError:
        pass
    return ""
