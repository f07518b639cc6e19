"""Recordings written by ``lep3 record``, read back as NumPy arrays, and their object
temperatures computed again with other object parameters.

    with lep3.Recording("walk.tif") as rec:
        print(len(rec), rec.object, rec.regions)
        raw = rec[0]                                   # (120, 160) uint16
        temps = rec.celsius(0, object=lep3.ObjectParams(emissivity=0.7))
        print(rec.measure(0)["hot"].max)

A recording is a multi-page TIFF file, one page a frame; each page's description holds
"Key: value" lines (its frame number, time, R, B, F, O), the first page's also the
whole file's (raw or Celsius values, the object parameters, the regions).
"""

from __future__ import annotations

import datetime
import math
import os
import zlib
from typing import Dict, Iterator, List, NamedTuple, Optional, Tuple, Union

import numpy as np

from . import _tiff
from .conversions import FRAME_SHAPE
from .errors import RecordingError
from .thermography import Measurement, ObjectParams, measure, object_celsius

__all__ = ["Recording", "PageInfo", "Region"]

_MARKER = "lep3 recording "
_UNAVAILABLE = "unavailable"
# The object parameters' lines: key, field of ObjectParams, unit after the number.
_OBJECT_LINES = (
    ("Emissivity", "emissivity", ""),
    ("Reflected temperature", "reflected_c", " C"),
    ("Air temperature", "air_c", " C"),
    ("Relative humidity", "humidity", ""),
    ("Distance", "distance_m", " m"),
    ("Window transmission", "window_transmission", ""),
    ("Window temperature", "window_c", " C"),
)
# Region kinds and the numbers of their coordinates.
_REGION_KINDS = {"spot": 2, "box": 4, "line": 4}
# Values: (dtype, bits a sample, TIFF sample format).
_VALUES = {
    "raw": (np.uint16, 16, _tiff.SAMPLE_FORMAT_UINT),
    "celsius": (np.float32, 32, _tiff.SAMPLE_FORMAT_IEEEFP),
}


def _longest_stream(size: int) -> int:
    """The longest stream of size bytes of values taken: far beyond what an encoder adds to
    values it cannot shrink, short enough that a hostile directory can't make it load more."""
    return 2 * size + 64


def _inflate_exactly(stream: bytes, size: int) -> Optional[bytes]:
    """A zlib stream's size bytes, or None when it is damaged, ends early or holds more.
    libtiff's own decoder takes a stream that runs on past the strip as a whole strip, so
    a damaged one could read as wrong values; here it must end, checksum matched, exactly."""
    inflater = zlib.decompressobj()
    try:
        out = inflater.decompress(stream, size + 1)
    except zlib.error:
        return None
    return out if len(out) == size and inflater.eof else None


class PageInfo(NamedTuple):
    """One page's metadata.

    Attributes:
        frame_number: the library's count (a jump is a frame the host never took).
        time: when the library completed the frame, a UTC ``datetime``.
        r, o: the conversion's R and O for this page, or None when the camera's were unreadable.
        check_ok: the frame packet's check byte was seen to match.
    """

    frame_number: int
    time: datetime.datetime
    r: Optional[int]
    o: Optional[int]
    check_ok: bool


class Region(NamedTuple):
    """A region recorded with the file: ``kind`` "spot", "box" or "line", and its
    ``corners`` (x, y) or (x0, y0, x1, y1), x the column 0..159, y the row 0..119."""

    kind: str
    corners: Tuple[int, ...]


def _lines(text: str) -> Dict[str, str]:
    lines: Dict[str, str] = {}
    for line in text.split("\n")[1:]:
        if not line:
            continue
        key, sep, value = line.partition(": ")
        if not sep:
            raise ValueError("a line is not 'Key: value': %r" % line)
        lines.setdefault(key, value)
    return lines


def _whole(key: str, text: str) -> int:
    if not text.isdigit():
        raise ValueError("%r is not a whole number: %r" % (key, text))
    return int(text)


def _number(key: str, text: str, unit: str) -> float:
    try:
        if not text.endswith(unit):
            raise ValueError
        value = float(text[: len(text) - len(unit)])
    except ValueError:
        raise ValueError("%r is not a number%s: %r" % (key, " in" + unit if unit else "", text)) from None
    if not math.isfinite(value):
        raise ValueError("%r is not a number: %r" % (key, text))
    return value


def _time(text: str) -> datetime.datetime:
    try:
        if not text.endswith("Z"):
            raise ValueError
        return datetime.datetime.strptime(text[:-1], "%Y-%m-%dT%H:%M:%S.%f").replace(tzinfo=datetime.timezone.utc)
    except ValueError:
        raise ValueError("'Time' is not a UTC time with microseconds: %r" % text) from None


def _page_info(lines: Dict[str, str]) -> PageInfo:
    for key in ("Frame", "Time"):
        if key not in lines:
            raise ValueError("no %r line" % key)
    r, o = lines.get("R", _UNAVAILABLE), lines.get("O", _UNAVAILABLE)
    available = r != _UNAVAILABLE and o != _UNAVAILABLE
    return PageInfo(
        _whole("Frame", lines["Frame"]),
        _time(lines["Time"]),
        _whole("R", r) if available else None,
        _whole("O", o) if available else None,
        lines.get("Frame check", "ok") == "ok",
    )


def _region(key: str, text: str) -> Tuple[str, Region]:
    kind, _, written = text.partition(" ")
    name, _, numbers = written.rpartition("=")
    try:
        corners = tuple(int(v) for v in numbers.split(","))
    except ValueError:
        corners = ()
    if kind not in _REGION_KINDS or not name or len(corners) != _REGION_KINDS[kind]:
        raise ValueError("%r is not 'spot|box|line NAME=X0,Y0[,X1,Y1]': %r" % (key, text))
    return name, Region(kind, corners)


class Recording:
    """A recording made by ``lep3 record``, open for reading; a context manager.

    ``len(rec)`` pages; ``rec[i]`` (negative counts from the end) and ``for page in rec``
    give each page as a fresh (120, 160) array: uint16 raw values, or float32 °C in a
    recording made with ``--celsius`` (``rec.values`` says which).

    Attributes:
        values: "raw" or "celsius".
        object: the ``ObjectParams`` recorded with the file (the defaults in a file
            written before they were recorded).
        regions: name → ``Region``, in the order given to ``lep3 record``.

    Raises:
        FileNotFoundError and the like: the file can't be opened.
        RecordingError: the file is not a complete recording (named with the page where
            it goes wrong).
    """

    def __init__(self, path: Union[str, "os.PathLike[str]"]) -> None:
        self.path = os.fspath(path)
        with open(self.path, "rb"):  # the OSError of a file that isn't there or can't be read
            pass
        self._file = _tiff.TiffFile(self.path)
        if not self._file.is_open:
            raise RecordingError("%s is not a TIFF file (%s)" % (self.path, self._file.take_messages()))
        try:
            self._survey()
        except BaseException:
            self.close()
            raise

    def _fail(self, index: int, what: str) -> RecordingError:
        return RecordingError("%s: page %d %s" % (self.path, index + 1, what))

    def _survey(self) -> None:
        count = self._file.directories()
        why = self._file.take_messages()
        if why:  # the chain of pages breaks off after page count
            raise self._fail(count, "can't be read (%s)" % why)
        self._infos: List[PageInfo] = []
        for index in range(count):
            lines = self._enter(index)
            if index == 0:
                self._first_page(lines)
            self._check_samples(index)
            try:
                self._infos.append(_page_info(lines))
            except ValueError as e:
                raise self._fail(index, "has a broken description: %s" % e) from None

    def _enter(self, index: int) -> Dict[str, str]:
        """Makes page index the current one and returns its description's lines."""
        if not self._file.set_directory(index):
            raise self._fail(index, "can't be read (%s)" % self._file.take_messages())
        text = self._file.text_field(_tiff.TAG_IMAGE_DESCRIPTION)
        if text is None or not text.startswith(_MARKER):
            raise self._fail(index, "is not a lep3 recording's: it has no recording description")
        try:
            return _lines(text)
        except ValueError as e:
            raise self._fail(index, "has a broken description: %s" % e) from None

    def _first_page(self, lines: Dict[str, str]) -> None:
        values = lines.get("Values")
        if values not in _VALUES:
            raise self._fail(0, "does not say whether its values are raw or celsius")
        self.values: str = values
        try:
            if _OBJECT_LINES[0][0] in lines:
                self.object = ObjectParams(
                    **{
                        field: _number(key, lines.get(key, ""), unit)
                        for key, field, unit in _OBJECT_LINES
                    }
                )
            else:
                self.object = ObjectParams()
            self.regions: Dict[str, Region] = {}
            n = 1
            while "Region %d" % n in lines:
                name, region = _region("Region %d" % n, lines["Region %d" % n])
                self.regions[name] = region
                n += 1
        except ValueError as e:
            raise self._fail(0, "has a broken description: %s" % e) from None

    def _check_samples(self, index: int) -> Optional[int]:
        """Checks page index's layout; its predictor when it is compressed, else None."""
        f = self._file
        width, height = f.uint32_field(_tiff.TAG_IMAGE_WIDTH), f.uint32_field(_tiff.TAG_IMAGE_LENGTH)
        if (height, width) != FRAME_SHAPE:
            raise self._fail(index, "is %sx%s, not 160x120" % (width, height))
        _, bits, sample_format = _VALUES[self.values]
        samples = (
            f.uint16_field(_tiff.TAG_SAMPLES_PER_PIXEL),
            f.uint16_field(_tiff.TAG_BITS_PER_SAMPLE),
            f.uint16_field(_tiff.TAG_SAMPLE_FORMAT),
        )
        if f.is_tiled() or samples != (1, bits, sample_format):
            what = "16-bit unsigned" if self.values == "raw" else "32-bit float"
            raise self._fail(index, "does not hold one %s sample a pixel in strips" % what)
        compression = f.uint16_field(_tiff.TAG_COMPRESSION)
        if compression not in (_tiff.COMPRESSION_NONE, _tiff.COMPRESSION_DEFLATE):
            raise self._fail(
                index,
                "is compressed with method %s; a recording's pages are stored as they are or with Deflate"
                % compression,
            )
        # Asked only of a compressed page: the tag is the codec's.
        predictor = f.uint16_field(_tiff.TAG_PREDICTOR) if compression == _tiff.COMPRESSION_DEFLATE else None
        if predictor not in (None, _tiff.PREDICTOR_NONE, _tiff.PREDICTOR_HORIZONTAL):
            raise self._fail(
                index,
                "is predicted with method %s; a recording's pages use horizontal differencing or none" % predictor,
            )
        return predictor

    def __enter__(self) -> "Recording":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        """Closes the file; the pages can't be read after (the metadata stays)."""
        self._file.close()

    def __len__(self) -> int:
        return len(self._infos)

    def _index(self, i: int) -> int:
        if not isinstance(i, (int, np.integer)) or isinstance(i, bool):
            raise TypeError("a page is chosen by a whole number, not %r" % (i,))
        n = len(self._infos)
        if not -n <= i < n:
            raise IndexError("page index %d is outside the recording's %d pages" % (i, n))
        return int(i) % n

    def __getitem__(self, i: int) -> np.ndarray:
        index = self._index(i)
        if not self._file.is_open:
            raise ValueError("the recording %s is closed" % self.path)
        self._enter(index)
        predictor = self._check_samples(index)
        dtype = _VALUES[self.values][0]
        page = np.empty(FRAME_SHAPE, dtype=dtype)
        if predictor is None:
            for row in range(FRAME_SHAPE[0]):
                if not self._file.read_scanline(page[row].ctypes.data, row):
                    why = self._file.take_messages()
                    raise self._fail(index, "is damaged at row %d%s" % (row + 1, " (%s)" % why if why else ""))
        else:
            self._inflate_page(index, page, predictor)
        return page

    def _inflate_page(self, index: int, page: np.ndarray, predictor: int) -> None:
        """Decodes a compressed page's strips into page."""
        f = self._file
        height = FRAME_SHAPE[0]
        rows_per_strip = min(max(f.uint32_field(_tiff.TAG_ROWS_PER_STRIP, defaulted=True) or height, 1), height)
        strips = -(-height // rows_per_strip)
        if f.strips() != strips:
            raise self._fail(index, "has %d strips, not %d" % (f.strips(), strips))
        words = np.dtype("u%d" % page.itemsize)  # floats are differenced as words of their width
        for strip, top in enumerate(range(0, height, rows_per_strip)):
            rows = page[top : top + rows_per_strip]
            stream_bytes = f.strip_bytes(strip)
            stream = f.read_raw_strip(strip, stream_bytes) if 0 < stream_bytes <= _longest_stream(rows.nbytes) else None
            values = _inflate_exactly(stream, rows.nbytes) if stream is not None else None
            if values is None:
                why = f.take_messages()
                raise self._fail(index, "is damaged from row %d%s" % (top + 1, " (%s)" % why if why else ""))
            got = np.frombuffer(values, dtype=words).reshape(rows.shape)
            if f.is_byte_swapped():
                got = got.byteswap()
            if predictor == _tiff.PREDICTOR_HORIZONTAL:
                got = np.cumsum(got, axis=1, dtype=words)  # modulo the word, as the differences were taken
            rows[...] = got.view(page.dtype)

    def __iter__(self) -> Iterator[np.ndarray]:
        for i in range(len(self)):
            yield self[i]

    def info(self, i: int) -> PageInfo:
        """Page i's metadata: frame number, time, R and O, frame check."""
        return self._infos[self._index(i)]

    def celsius(self, i: int, object: Optional[ObjectParams] = None) -> np.ndarray:
        """Page i's object temperatures, (120, 160) float32 °C, computed again from its raw
        values with the page's own R and O and ``object`` (None: the recorded parameters),
        through ``lep3.object_celsius``. NaN throughout a page whose R and O were unreadable.

        A Celsius recording keeps no raw values: its pages are returned as they are, and
        other parameters than the recorded ones are a ``ValueError``.
        """
        params = self.object if object is None else object
        if self.values == "celsius":
            if params != self.object:
                raise ValueError(
                    "%s holds temperatures, not raw values: they can't be computed again with other "
                    "object parameters" % self.path
                )
            return self[i]
        info = self.info(i)
        raw = self[i]
        if info.r is None or info.o is None:
            return np.full(FRAME_SHAPE, np.nan, dtype=np.float32)
        return object_celsius(raw, info.r, info.o, params)

    def measure(self, i: int, object: Optional[ObjectParams] = None) -> Dict[str, Measurement]:
        """Each recorded region's ``Measurement`` on page i's ``celsius(i, object)``, by name."""
        temps = self.celsius(i, object)
        return {name: measure(temps, **{r.kind: r.corners}) for name, r in self.regions.items()}

    def __repr__(self) -> str:
        return "<lep3.Recording %r: %d %s pages>" % (self.path, len(self._infos), self.values)
