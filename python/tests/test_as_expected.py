"""What a data scientist expects of the package: PNG files, and a word when a range shows
nothing."""

from __future__ import annotations

import struct
import warnings
import zlib
from pathlib import Path

import numpy as np
import pytest

import lep3


def _decoded_png(path: Path) -> tuple:
    """(bit depth, colour type, samples as (H, W[, 3])) by the PNG format's own rules: a
    reference independent of the encoder."""
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat, header = 8, b"", b""
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos : pos + 8])
        body = data[pos + 8 : pos + 8 + length]
        idat += body if kind == b"IDAT" else b""
        header = body if kind == b"IHDR" else header
        pos += 12 + length
    width, height, depth, colour = struct.unpack(">IIBB", header[:10])
    channels = 3 if colour == 2 else 1
    step = channels * depth // 8
    stride = width * step
    raw = zlib.decompress(idat)
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1 : (y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - step] if i >= step else 0
            b, c = previous[i], previous[i - step] if i >= step else 0
            p = a + b - c
            paeth = a if abs(p - a) <= abs(p - b) and abs(p - a) <= abs(p - c) else b if abs(p - b) <= abs(p - c) else c
            line[i] = (line[i] + [0, a, b, (a + b) // 2, paeth][kind]) & 0xFF
        rows.append(bytes(line))
        previous = line
    samples = np.frombuffer(b"".join(rows), dtype=">u2" if depth == 16 else np.uint8)
    return depth, colour, samples.reshape((height, width, 3) if channels == 3 else (height, width))


def test_save_png_keeps_grey_colour_and_16_bit_arrays(tmp_path: Path) -> None:
    rng = np.random.default_rng(7)
    raw = rng.integers(0, 16384, size=(120, 160), dtype=np.uint16)
    gray = lep3.to_gray8(raw)
    for name, array, depth, colour in [
        ("raw.png", raw, 16, 0),
        ("gray.png", gray, 8, 0),
        ("colour.png", lep3.colourise(gray, "iron"), 8, 2),
    ]:
        lep3.save_png(tmp_path / name, array)
        got = _decoded_png(tmp_path / name)
        assert got[:2] == (depth, colour), name
        assert np.array_equal(got[2], array), name
    for wrong in (raw.astype(np.float32), np.zeros((4, 4, 4), np.uint8)):
        with pytest.raises(ValueError):
            lep3.save_png(tmp_path / "wrong.png", wrong)
    with pytest.raises(OSError):
        lep3.save_png(tmp_path / "no-such-dir" / "x.png", gray)


def test_a_range_outside_the_frame_warns_with_the_frames_values() -> None:
    raw = np.full((120, 160), 8000, dtype=np.uint16)
    raw[0, 0] = 7900
    with pytest.warns(lep3.RangeWarning, match=r"20\.\.30 lies outside the frame's raw values, 7900 to 8000"):
        lep3.to_gray8(raw, range=(20, 30))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        lep3.to_gray8(raw, range=(7950, 9000))
