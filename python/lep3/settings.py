"""The camera's values by readable names, the same names as ``lep3 get`` and ``lep3 set``.

The table follows the command-line tool's, entry for entry (names, aliases, what each
holds, what a setter takes); the package's tests compare the two, so they cannot drift.
"""

from __future__ import annotations

import ctypes
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Tuple

from . import _clib

__all__ = ["Setting", "RBFO", "ROI", "settings", "find_setting"]

_U32_MAX = 2**32 - 1
_U16_MAX = 2**16 - 1
_I32_MIN = -(2**31)
_I32_MAX = 2**31 - 1


class RBFO(NamedTuple):
    """A radiometric parameter set: T = B / ln(R / (S - O) + F)."""

    r: int
    b: int
    f: int
    o: int


class ROI(NamedTuple):
    """A region of the frame, columns and rows inclusive."""

    start_col: int
    start_row: int
    end_col: int
    end_row: int


class Setting(NamedTuple):
    """One named value of the camera.

    ``getter`` and ``setter`` are the library's functions; ``kind`` says how the value is
    read (see ``read``); ``lo``..``hi`` is what the setter's parameter can carry, and
    ``accepts`` the sentence that says what the camera takes.
    """

    name: str
    alias: str
    summary: str
    getter: str
    kind: str
    setter: Optional[str] = None
    lo: int = 0
    hi: int = 0
    accepts: str = ""

    @property
    def writable(self) -> bool:
        return self.setter is not None


def _u32(name: str, alias: str, summary: str, getter: str, setter: str, accepts: str) -> Setting:
    return Setting(name, alias, summary, getter, "u32", setter, 0, _U32_MAX, accepts)


def _ro(name: str, summary: str, getter: str, kind: str) -> Setting:
    return Setting(name, "", summary, getter, kind)


_SETTINGS: Tuple[Setting, ...] = (
    # Writable values.
    _u32("agc", "", "automatic gain control (0 off, 1 on)", "LEP3_GetAgcEnableState", "LEP3_SetAgcEnableState",
         "0 or 1"),
    _u32("agc-calc", "", "AGC calculation (0 off, 1 on)", "LEP_GetAgcCalcEnableState", "LEP_SetAgcCalcEnableState",
         "0 or 1"),
    Setting("heq-linear-percent", "", "linear share of the AGC's histogram equalisation",
            "LEP3_GetAgcHeqLinearPercent", "u16", "LEP3_SetAgcHeqLinearPercent", 0, _U16_MAX, "0 to 65535"),
    _u32("telemetry", "", "telemetry (0 off, 1 on)", "LEP3_GetSysTelemetryEnableState",
         "LEP3_SetSysTelemetryEnableState", "0 or 1"),
    _u32("frames-to-average", "", "frame averaging setting of the camera core", "LEP3_GetSysFramesToAverage",
         "LEP_SetSysFramesToAverage", "0 to 7"),
    _u32("gain-mode", "", "gain mode of the camera core", "LEP3_GetSysGainMode", "LEP3_SetSysGainMode", "0 to 2"),
    Setting("shutter-position", "", "shutter position", "LEP3_GetSysShutterPosition", "i32",
            "LEP3_SetSysShutterPosition", _I32_MIN, _I32_MAX, "at most 3"),
    _u32("video-format", "vid", "video output format of the VID module", "LEP3_GetVidVideoOutputFormat",
         "LEP3_SetVidVideoOutputFormat", "0 to 14"),
    _u32("oem-video-format", "", "video output format of the OEM module", "LEP3_GetOemVideoOutputFormat",
         "LEP3_SetOemVideoOutputFormat", "0 to 14"),
    _u32("pcolor-lut", "", "colour look-up table of the camera core", "LEP3_GetVidPcolorLut", "LEP3_SetVidPcolorLut",
         "0 to 8"),
    _u32("freeze", "", "freeze the video (0 off, 1 on)", "LEP3_GetVidFreezeEnableState",
         "LEP3_SetVidFreezeEnableState", "0 or 1"),
    _u32("radiometry", "", "radiometry (0 off, 1 on)", "LEP3_GetRadEnableState", "LEP3_SetRadEnableState",
         "any 32-bit value"),
    # Read-only values.
    _ro("status", "camera state (0 ready)", "LEP3_GetSysStatus", "status"),
    _ro("serial-number", "serial number of the camera core", "LEP3_GetSysFlirSerialNumber", "u64"),
    _ro("uptime", "up-time of the camera core in seconds", "LEP3_GetSysCameraUpTime", "uptime"),
    _ro("fpa-temperature", "focal plane array temperature in degrees Celsius", "LEP3_GetSysFpaTemperatureCelcius",
        "float"),
    _ro("aux-temperature", "housing (AUX) temperature in degrees Celsius", "LEP3_GetSysAuxTemperatureCelcius",
        "float"),
    _ro("ffc-status", "flat-field correction state (1 busy)", "LEP3_GetSysFFCStatus", "i32"),
    _ro("rad-run-status", "radiometric FFC state (1 busy)", "LEP3_GetRadRunStatus", "i32"),
    _ro("thermal-shutdown-count", "thermal shutdown counter", "LEP3_GetSysThermalShutdownCount", "u16"),
    _ro("user-defaults-state", "state of the OEM user defaults", "LEP3_GetOemUserDefaultsState", "u32"),
    _ro("scene-roi", "scene statistics region: start column, start row, end column, end row", "LEP3_GetSysSceneRoi",
        "roi"),
    _ro("agc-roi", "AGC region: start column, start row, end column, end row", "LEP3_GetAgcROI", "roi"),
    _ro("rbfo-internal", "radiometric parameters R B F O, internal set 0", "LEP3_GetRadRBFOInternal0", "rbfo"),
    _ro("rbfo-external", "radiometric parameters R B F O, external set 0", "LEP3_GetRadRBFOExternal0", "rbfo"),
    _ro("user-rbfo", "the bridge's stored user parameters R B F O", "LEP3_GetUserRBFO", "rbfo"),
)

# How each kind of value is held while the getter fills it, and what Python gets of it.
_KINDS: Dict[str, Tuple[Callable[[], Any], Callable[[Any], Any]]] = {
    "u32": (ctypes.c_uint32, lambda v: v.value),
    "i32": (ctypes.c_int32, lambda v: v.value),
    "u16": (ctypes.c_uint16, lambda v: v.value),
    "u64": (ctypes.c_uint64, lambda v: v.value),
    # Hundredths of a degree are all the camera reports (the tool rounds alike).
    "float": (ctypes.c_float, lambda v: round(v.value, 2)),
    "status": (_clib.SysStatus, lambda v: v.camera_status),
    # The camera counts its up-time in milliseconds.
    "uptime": (ctypes.c_uint32, lambda v: v.value / 1000.0),
    # The camera sends a region's words row first (start row, start column, end row, end
    # column); lep3_roi_t's field names follow the other order, so the words are taken by
    # position.
    "roi": (_clib.Roi, lambda v: ROI(v.start_row, v.start_col, v.end_row, v.end_col)),
    "rbfo": (_clib.Rbfo, lambda v: RBFO(v.r, v.b, v.f, v.o)),
}


def settings() -> List[Setting]:
    """Every named value, writable ones first, in the order ``lep3 get`` lists them."""
    return list(_SETTINGS)


def find_setting(name: str) -> Setting:
    """The setting of a name or alias; ValueError for an unknown one."""
    for s in _SETTINGS:
        if name == s.name or (s.alias and name == s.alias):
            return s
    raise ValueError("unknown setting %r; the names are %s" % (name, ", ".join(s.name for s in _SETTINGS)))


def read(setting: Setting, library: Any) -> Tuple[int, Any]:
    """Calls the getter: the library's result and, on success, the value."""
    make, convert = _KINDS[setting.kind]
    holder = make()
    result = getattr(library, setting.getter)(ctypes.byref(holder))
    return result, (convert(holder) if result == 0 else None)
