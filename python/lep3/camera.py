"""The camera: one managed session of liblep3, as a context manager."""

from __future__ import annotations

import atexit
import ctypes
import math
import os
import threading
import time
import weakref
from typing import Any, Callable, Dict, Iterator, NamedTuple, Optional, Tuple, Union

import numpy as np

from . import _clib, _messages, conversions, settings, thermography
from ._sim import Emulator
from .errors import (
    BridgeInUse,
    BridgeNotFound,
    Lep3Error,
    OutOfRange,
    PermissionDenied,
    check,
    error_for,
    update_error,
)
from .settings import RBFO
from .thermography import ObjectParams

__all__ = ["Camera", "FrameInfo"]

PathLike = Union[str, "os.PathLike[str]"]

_MAX_PATH = 255  # what LEP3_SetPath takes
_UPDATE_POLL_SECONDS = 0.05
_WAIT_SLICE_MS = 250
# While the image is transferred the library's progress value rests at 15 and moves to 65
# once the transfer has succeeded; the acknowledged blocks fill the span between.
_TRANSFER_FROM, _TRANSFER_TO = 15, 65

# The process has one session (the library's link state is global).
_open_camera: "Optional[weakref.ReferenceType[Camera]]" = None
_open_lock = threading.RLock()


class FrameInfo(NamedTuple):
    """What the library knows of the frame a ``raw()`` or ``rgb()`` call delivered.

    Attributes:
        frame_number: the library's count of completed frames.
        format: ``"raw"`` or ``"rgb"``.
        width, height: 160 and 120.
        check_ok: True when the frame packet's check byte matched.
        completed_ns: CLOCK_MONOTONIC time in ns at which the library completed the frame,
            comparable with ``time.monotonic_ns()``.
    """

    frame_number: int
    format: str
    width: int
    height: int
    check_ok: bool
    completed_ns: int

    @property
    def age(self) -> float:
        """Seconds since the library completed the frame."""
        return (time.monotonic_ns() - self.completed_ns) / 1e9


def _timeout_ms(timeout: Optional[float]) -> int:
    """A time-out in seconds as the library's milliseconds (None: no limit)."""
    if timeout is None:
        return -1
    try:
        seconds = float(timeout)
    except (TypeError, ValueError):
        raise ValueError("timeout must be a number of seconds or None, not %r" % (timeout,)) from None
    if not seconds >= 0 or seconds > 2**31 / 1000:
        raise ValueError("timeout must be between 0 and 2147483 seconds, or None, not %r" % (timeout,))
    return int(math.ceil(seconds * 1000))


def _device_path(device: Optional[PathLike]) -> Optional[str]:
    if device is None:
        return None
    try:
        path = os.fsdecode(os.fspath(device))
    except TypeError:
        raise ValueError("device must be a path, not %r" % (device,)) from None
    if not path or len(path.encode()) > _MAX_PATH or "\0" in path:
        raise ValueError("device must be a path of 1 to %d bytes, not %r" % (_MAX_PATH, path))
    return path


class Camera:
    """The camera behind its bridge, opened for as long as the object is (or until
    ``close()``); use it as a context manager::

        with lep3.Camera(sim=True) as cam:
            raw = cam.raw()              # (120, 160) uint16
            temps = cam.celsius(raw)     # (120, 160) float32, °C

    Args:
        device: the bridge's serial device; None takes the library's configured one
            (``/dev/ttyACM0`` unless changed).
        sim: run the bundled bridge emulator on a private temporary path and open that.

    One camera can be open in a process at a time: a second raises ``BridgeInUse``, as
    does a bridge that another process holds. Raw video is requested on opening.
    """

    def __init__(self, device: Optional[PathLike] = None, sim: bool = False) -> None:
        self._open = False
        self._sim: Optional[Emulator] = None
        self._alt_path: Optional[bytes] = None
        self._video = "raw"
        self._rbfo: Optional[RBFO] = None
        self._info = _clib.FrameInfo()
        self._scratch = np.empty(_clib.RGB_BYTES, dtype=np.uint8)
        self._last_info: Optional[FrameInfo] = None
        path = _device_path(device)
        if sim and path is not None:
            raise ValueError("give either device or sim=True, not both")
        library = _clib.lib()
        self._lib = library
        # The frame wait is looked up once: it is called for every frame.
        self._wait_frame = library.LEP3_WaitFrame
        global _open_camera
        with _open_lock:
            holder = _open_camera() if _open_camera is not None else None
            if holder is not None and holder._open:
                raise BridgeInUse(
                    "a Camera is already open in this process (on %s); close it first" % holder.device, -7
                )
            if sim:
                self._sim = Emulator()
                path = self._sim.path
                # The emulator's bootloader answers on a device of its own, where a real
                # bridge's second device appears; the configured one comes back on close.
                self._alt_path = library.LEP3_GetPath(_clib.PATH_UART_ALT)
                library.LEP3_SetPath(_clib.PATH_UART_ALT, self._sim.boot_path.encode())
            self._device = path if path is not None else library.LEP3_GetPath(_clib.PATH_UART).decode()
            try:
                with _messages.collect() as said:
                    result = library.LEP3_Open(self._device.encode())
                _check_open_result(result, self._device, said)
                self._open = True
                _open_camera = weakref.ref(self)
                self._call(library.LEP3_GetRawVideo, "asking for raw video")
            except BaseException:
                self.close()
                raise

    # -- life cycle ------------------------------------------------------------------

    def close(self) -> None:
        """Stops the video and the library's threads, releases the bridge and stops the
        emulator. Idempotent; also done on leaving the ``with`` block and at exit."""
        global _open_camera
        if self._open:
            self._open = False
            self._lib.LEP3_Close()
            with _open_lock:
                if _open_camera is not None and _open_camera() is self:
                    _open_camera = None
        if self._sim is not None:
            self._sim.close()
            self._sim = None
            if self._alt_path is not None:
                self._lib.LEP3_SetPath(_clib.PATH_UART_ALT, self._alt_path)
                self._alt_path = None

    def __enter__(self) -> "Camera":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    def __repr__(self) -> str:
        return "<lep3.Camera %s %s>" % (self._device if hasattr(self, "_device") else "?", self.state)

    @property
    def device(self) -> str:
        """The serial device the camera was opened on."""
        return self._device

    @property
    def closed(self) -> bool:
        return not self._open

    def _check_open(self) -> None:
        if not self._open:
            raise ValueError("the camera is closed")

    def _call(self, function: Callable[..., int], what: str, *args: Any) -> None:
        self._check_open()
        with _messages.collect() as said:
            result = function(*args)
        check(result, what, said)

    # -- frames ----------------------------------------------------------------------

    def video(self, mode: str) -> None:
        """Switches the bridge's video: ``"raw"`` (for ``raw()``) or ``"rgb"`` (for ``rgb()``)."""
        if mode not in ("raw", "rgb"):
            raise ValueError("video mode must be 'raw' or 'rgb', not %r" % (mode,))
        request = self._lib.LEP3_GetRawVideo if mode == "raw" else self._lib.LEP3_GetRGBVideo
        self._call(request, "asking for %s video" % mode)
        self._video = mode

    @property
    def video_mode(self) -> str:
        """``"raw"`` or ``"rgb"``: what the bridge was last asked to stream."""
        return self._video

    def _wait(self, out: np.ndarray, mode: str, timeout: Optional[float]) -> np.ndarray:
        if not self._open:
            raise ValueError("the camera is closed")
        if self._video != mode:
            raise ValueError("the camera streams %s video: call video(%r) first" % (self._video, mode))
        forever = timeout is None
        deadline = time.monotonic() + _timeout_ms(timeout) / 1000
        wanted = 1 if mode == "rgb" else 0
        address, capacity, info = out.ctypes.data, out.nbytes, self._info
        while True:
            # Waits of at most a slice, so that Ctrl-C is seen while no frame comes; only
            # the last slice's "nothing" or "gone" counts.
            left_ms = _WAIT_SLICE_MS if forever else max(0, math.ceil((deadline - time.monotonic()) * 1000))
            last = not forever and left_ms <= _WAIT_SLICE_MS
            result = self._wait_frame(address, capacity, info, min(left_ms, _WAIT_SLICE_MS))
            if result == 0 and info.format == wanted:
                self._last_info = FrameInfo(
                    info.frame_number, mode, info.width, info.height, bool(info.check_ok), info.completed_ns
                )
                return out
            if result == -3:
                # An RGB frame, still the newest right after a switch to raw video: it
                # doesn't fit, and stays until it is taken.
                self._wait_frame(self._scratch.ctypes.data, self._scratch.nbytes, info, 0)
            elif result not in (0, -2, -6) or (last and result != 0):
                raise error_for(result, "waiting for a %s frame" % mode)
            elif result == -6:
                # The library says at once that the bridge is gone: wait out the slice here.
                time.sleep(min(left_ms, _WAIT_SLICE_MS) / 1000)
            elif last and result == 0:
                # A frame of the other format, in flight when the video was switched, and
                # no time left for one of ours.
                raise error_for(-2, "waiting for a %s frame" % mode)

    def __iter__(self) -> Iterator[np.ndarray]:
        """Frames as they come (``raw()``, or ``rgb()`` after ``video("rgb")``), until the
        camera is closed or Ctrl-C; a bridge that sends nothing for 2 s raises ``Timeout``::

            for raw in cam:
                print(cam.last_info.frame_number, cam.celsius(raw)[60, 80])
        """
        while self._open:
            try:
                yield self.raw() if self._video == "raw" else self.rgb()
            except KeyboardInterrupt:
                return
            except (Lep3Error, ValueError):
                if not self._open:
                    return  # closed by another thread while it waited
                raise

    def frames(self, n: int, timeout: Optional[float] = 2.0) -> np.ndarray:
        """The next n frames in one array: (n, 120, 160) uint16, or (n, 120, 160, 3) uint8
        after ``video("rgb")``. ``timeout`` (seconds) is for each frame."""
        count = conversions.whole_number(n, "n", 0, 2**31 - 1)
        shape = conversions.FRAME_SHAPE if self._video == "raw" else conversions.FRAME_SHAPE + (3,)
        out = np.empty((count,) + shape, dtype=np.uint16 if self._video == "raw" else np.uint8)
        for i in range(count):
            self._wait(out[i], self._video, timeout)
        return out

    def raw(self, timeout: Optional[float] = 2.0) -> np.ndarray:
        """The next raw frame.

        Args:
            timeout: seconds to wait at most; None waits without limit.

        Returns:
            A fresh (120, 160) uint16 array of raw values (14 significant bits) that the
            caller owns. ``last_info`` describes it.

        Raises:
            Timeout: no frame within ``timeout`` while the link is up or silent.
            BridgeGone: the bridge went away and did not come back in time.
        """
        return self._wait(np.empty(conversions.FRAME_SHAPE, dtype=np.uint16), "raw", timeout)

    def rgb(self, timeout: Optional[float] = 2.0) -> np.ndarray:
        """The next RGB frame as the bridge colours it, after ``video("rgb")``.

        Returns:
            A fresh (120, 160, 3) uint8 array. ``last_info`` describes it.

        Raises:
            Timeout, BridgeGone: as ``raw()``.
        """
        return self._wait(np.empty(conversions.FRAME_SHAPE + (3,), dtype=np.uint8), "rgb", timeout)

    @property
    def last_info(self) -> Optional[FrameInfo]:
        """The ``FrameInfo`` of the frame the last ``raw()`` or ``rgb()`` returned."""
        return self._last_info

    # -- temperatures ----------------------------------------------------------------

    @property
    def rbfo(self) -> RBFO:
        """The radiometric parameters used by ``celsius`` and ``kelvin``: the camera's
        internal set, read on first use (``refresh_rbfo()`` reads it again)."""
        if self._rbfo is None:
            self.refresh_rbfo()
        assert self._rbfo is not None
        return self._rbfo

    def refresh_rbfo(self, which: str = "internal") -> RBFO:
        """Reads the camera's ``"internal"`` or ``"external"`` RBFO set for the conversions."""
        if which not in ("internal", "external"):
            raise ValueError("which must be 'internal' or 'external', not %r" % (which,))
        value = self.get("rbfo-" + which)
        if value.r == 0:
            raise Lep3Error("the camera's %s RBFO parameters have R = 0: no temperatures" % which)
        self._rbfo = value
        return value

    def kelvin(self, raw: np.ndarray) -> np.ndarray:
        """(120, 160) float32 temperatures in kelvin of a raw frame, by the library's
        conversion with the camera's R and O (``rbfo``)."""
        p = self.rbfo
        return conversions.kelvin(raw, p.r, p.o)

    def celsius(self, raw: np.ndarray, object: Optional[ObjectParams] = None) -> np.ndarray:
        """(120, 160) float32 temperatures in °C of a raw frame, by the library's
        conversion with the camera's R and O (``rbfo``).

        With ``object`` (an ``ObjectParams``), the object's temperatures corrected for its
        emissivity, what it reflects, the air and a window; NaN where the corrected signal
        has no temperature. R and O are then the session's ``calibration``, unless
        ``refresh_rbfo()`` chose a set.
        """
        if object is None:
            p = self.rbfo
            return conversions.celsius(raw, p.r, p.o)
        r, o = (self._rbfo.r, self._rbfo.o) if self._rbfo is not None else self.calibration
        return thermography.object_celsius(raw, r, o, object)

    @property
    def calibration(self) -> Tuple[int, int]:
        """(R, O) of the camera's internal RBFO set as the session keeps it: read again
        after a reconnect, a firmware update or a camera reset, and after a set."""
        r, o = ctypes.c_int32(), ctypes.c_int32()
        self._call(self._lib.LEP3_GetCalibration, "reading the calibration", r, o)
        return r.value, o.value

    # -- commands --------------------------------------------------------------------

    def ffc(self, radiometric: bool = False) -> None:
        """Runs a flat-field correction (the radiometric one with ``radiometric=True``) and
        waits until the camera has finished it."""
        if radiometric:
            self._call(self._lib.LEP3_RunRadFFC, "the radiometric flat-field correction")
        else:
            self._call(self._lib.LEP3_RunSysFFCNormalization, "the flat-field correction")

    def get(self, name: str) -> Any:
        """A camera value by its ``lep3 get`` name (see ``lep3.settings()``): an int, a
        float (°C, or seconds for ``uptime``), or an ``RBFO`` or ``ROI`` tuple."""
        setting = settings.find_setting(name)
        self._check_open()
        with _messages.collect() as said:
            result, value = settings.read(setting, self._lib)
        check(result, "reading " + name, said)
        return value

    def set(self, name: str, value: Union[int, bool, str]) -> None:
        """Writes a camera setting by its ``lep3 set`` name, with a value as ``lep3 set``
        takes it: a whole number, a bool, ``"on"``/``"off"`` or ``"true"``/``"false"``.

        Raises:
            ValueError: an unknown or read-only name, or a value the setting cannot take
                (``OutOfRange``, a ValueError too, when the library refuses it).
        """
        setting = settings.find_setting(name)
        if setting.setter is None:
            raise ValueError("%s can be read but not set" % name)
        if isinstance(value, str):
            words = {"on": 1, "true": 1, "off": 0, "false": 0}
            try:
                value = words[value] if value in words else int(value)
            except ValueError:
                raise ValueError("%s takes a whole number, on or off, not %r" % (name, value)) from None
        number = conversions.whole_number(value, name, setting.lo, setting.hi)
        self._check_open()
        with _messages.collect() as said:
            result = getattr(self._lib, setting.setter)(number)
        if result == -3:
            raise OutOfRange("%s is out of range for %s: it takes %s" % (number, name, setting.accepts), result)
        check(result, "setting " + name, said)

    def info(self) -> Dict[str, Any]:
        """What the bridge and the camera say about themselves.

        The keys and values of ``lep3 info --json``: ``device``, ``library_version``,
        ``firmware_version`` (the bridge's, as text: ``"2.62"``), ``image_file_version`` (of
        a firmware image waiting in the firmware directory, or None), ``camera_status`` and
        ``camera_ready``, ``serial_number`` (hex text), ``uptime_s`` (seconds),
        ``fpa_temperature_c`` and ``aux_temperature_c`` (°C, in hundredths).
        """
        firmware = ctypes.c_uint32()
        self._call(self._lib.LEP3_GetFirmwareVersion, "reading the bridge firmware version", ctypes.byref(firmware))
        status = self.get("status")
        return {
            "device": self._device,
            "library_version": library_version(),
            "firmware_version": _version_text(firmware.value),
            "image_file_version": _version_text(self._image_file_version()),
            "camera_status": status,
            "camera_ready": status == 0,
            "serial_number": "0x%016x" % self.get("serial-number"),
            "uptime_s": self.get("uptime"),
            "fpa_temperature_c": self.get("fpa-temperature"),
            "aux_temperature_c": self.get("aux-temperature"),
        }

    def _image_file_version(self) -> Optional[int]:
        # A camera system without a firmware directory is normal: look before the library
        # searches it (and says it found none).
        directory = self._lib.LEP3_GetPath(_clib.PATH_FIRMWARE_DIR)
        if not directory or not os.path.isdir(directory):
            return None
        version = ctypes.c_uint32()
        with _messages.collect():
            if self._lib.search_firmware() is None or self._lib.LEP3_GetSAMG55FileVersion(ctypes.byref(version)):
                return None
        return version.value

    # -- link ------------------------------------------------------------------------

    @property
    def state(self) -> str:
        """The link: ``"closed"``, ``"up"``, ``"silent"``, ``"gone"`` or ``"reconnecting"``."""
        if not self._open:
            return "closed"
        return self._lib.link_state_name(self._lib.LEP3_GetLinkState())

    def stats(self) -> Dict[str, int]:
        """The link's counters since the library was loaded (bytes read, frames completed,
        check-byte errors, reconnects, ...), by name."""
        counters = _clib.LinkStats()
        self._lib.LEP3_GetLinkStats(ctypes.byref(counters))
        return {name: getattr(counters, name) for name, _ in _clib.LinkStats._fields_}

    # -- firmware --------------------------------------------------------------------

    def update_firmware(
        self, path: Optional[PathLike] = None, progress: Optional[Callable[[int], object]] = None
    ) -> None:
        """Reflashes the bridge with a firmware image and reopens it on the new firmware.

        Args:
            path: the image file; None takes the one in the library's firmware directory.
            progress: called with the percentage done (0 to 100) each time it rises, in
                the calling thread.

        Raises:
            FileNotFoundError: no image at ``path``.
            UpdateError: the update stopped; its ``code`` says where.
        """
        image = None
        if path is not None:
            image = os.fsdecode(os.fspath(path))
            if not os.path.isfile(image):
                raise FileNotFoundError("no firmware image at %s" % image)
        if progress is not None and not callable(progress):
            raise ValueError("progress must be callable, not %r" % (progress,))
        self._check_open()

        outcome: Dict[str, Any] = {}

        def run() -> None:
            with _messages.collect() as said:
                outcome["result"] = self._lib.LEP3_UpdateFirmware(image.encode() if image is not None else None)
            outcome["said"] = said

        worker = threading.Thread(target=run, name="lep3-update", daemon=True)
        worker.start()
        shown = -1
        # The update cannot be stopped half-way: a failing callback or Ctrl-C is raised
        # once it has finished.
        failure: Optional[BaseException] = None
        while True:
            try:
                done = not worker.is_alive()
                percent = self._update_percent()
                if progress is not None and percent > shown and failure is None and (percent < 100 or done):
                    shown = percent
                    progress(percent)
                if done:
                    break
                worker.join(_UPDATE_POLL_SECONDS)
            except BaseException as e:
                if failure is None:
                    failure = e
                    _messages.logger.warning("the firmware update goes on to its end: it cannot be stopped half-way")
        result = outcome.get("result", -1)
        if result != 0:
            raise update_error(result, outcome.get("said", ())) from failure
        if progress is not None and shown < 100 and failure is None:
            progress(100)
        if failure is not None:
            raise failure
        self._rbfo = None
        self.video(self._video)

    def _update_percent(self) -> int:
        rate = ctypes.c_int32()
        self._lib.LEP3_GetUpdateRate(ctypes.byref(rate))
        acknowledged, total = ctypes.c_uint32(), ctypes.c_uint32()
        self._lib.LEP3_GetUpdateBlocks(ctypes.byref(acknowledged), ctypes.byref(total))
        percent = max(0, min(100, rate.value))
        if percent == _TRANSFER_FROM and total.value > 0:
            percent += (_TRANSFER_TO - _TRANSFER_FROM) * acknowledged.value // total.value
        return percent


def _version_text(hundredths: Optional[int]) -> Optional[str]:
    # The bridge counts versions in hundredths: 262 is 2.62.
    return None if hundredths is None else "%d.%02d" % (hundredths // 100, hundredths % 100)


def _check_open_result(result: int, device: str, said: Any) -> None:
    # The built-in kinds a Python user catches: a missing device, one this user may not open.
    if result == -1 and not os.path.exists(device):
        raise BridgeNotFound("no bridge at %s: no such device (unplugged, or another name?)" % device, result)
    if result == -1 and not os.access(device, os.R_OK | os.W_OK):
        raise PermissionDenied(error_for(result, "opening the bridge at %s" % device, said).message, result)
    check(result, "opening the bridge at %s" % device, said)


def library_version() -> str:
    """The version of the loaded liblep3, "major.minor.patch"."""
    return _clib.lib().LEP3_GetLibraryVersion().decode()


def _close_at_exit() -> None:
    camera = _open_camera() if _open_camera is not None else None
    if camera is not None:
        camera.close()
    # The library's threads are gone; nothing may call into Python while it shuts down.
    _messages.silence()


atexit.register(_close_at_exit)
