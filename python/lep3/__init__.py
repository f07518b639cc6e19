"""lep3: the 160 x 120 thermal camera as NumPy arrays, over liblep3.

    import lep3

    with lep3.Camera(sim=True) as cam:        # or Camera("/dev/ttyACM0")
        raw = cam.raw()                       # (120, 160) uint16
        temps = cam.celsius(raw)              # (120, 160) float32, °C
        hot = cam.celsius(raw, object=lep3.ObjectParams(emissivity=0.95))
        print(lep3.measure(hot, box=(60, 40, 100, 80)).max)
        print(temps[60, 80])

    with lep3.Recording("walk.tif") as rec:   # written by lep3 record
        again = rec.celsius(0, object=lep3.ObjectParams(emissivity=0.7))
        picture = lep3.colourise(lep3.to_gray8(raw), "ironblack")   # (120, 160, 3) uint8

The library is found through ``LEP3_LIBRARY`` (a path to liblep3.so), the build tree
beside this package's sources, or the system's library path. Its messages go to the
``logging`` logger ``lep3``.
"""

from .camera import Camera, FrameInfo, library_version
from .conversions import RangeWarning, celsius, colourise, kelvin, palettes, to_gray8
from .errors import (
    BridgeGone,
    BridgeInUse,
    BridgeNotFound,
    CommandFailed,
    Lep3Error,
    OutOfRange,
    PermissionDenied,
    RecordingError,
    Timeout,
    UpdateError,
)
from .png_file import save_png
from .recording import PageInfo, Recording, Region
from .settings import RBFO, ROI, Setting, settings
from .thermography import Measurement, ObjectParams, measure, object_celsius

__version__ = "1.2.0"

__all__ = [
    "Camera",
    "FrameInfo",
    "library_version",
    "to_gray8",
    "colourise",
    "palettes",
    "kelvin",
    "celsius",
    "ObjectParams",
    "Measurement",
    "object_celsius",
    "measure",
    "save_png",
    "Recording",
    "PageInfo",
    "Region",
    "RangeWarning",
    "settings",
    "Setting",
    "RBFO",
    "ROI",
    "Lep3Error",
    "Timeout",
    "BridgeGone",
    "BridgeInUse",
    "BridgeNotFound",
    "PermissionDenied",
    "OutOfRange",
    "CommandFailed",
    "UpdateError",
    "RecordingError",
]
