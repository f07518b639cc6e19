"""What a data scientist expects of the package: PNG files, and a word when a range shows
nothing."""

from __future__ import annotations

import shutil
import subprocess
import warnings
from pathlib import Path

import numpy as np
import pytest

import lep3


def _decoded_png(path: Path) -> tuple:
    """(pixel format, samples as (H, W[, 3])) as ffmpeg decodes the file: a decoder
    independent of the package's encoder."""
    if shutil.which("ffprobe") is None:
        pytest.skip("ffmpeg is not installed")
    probe = ["ffprobe", "-v", "error", "-show_entries", "stream=pix_fmt", "-of", "csv=p=0", str(path)]
    fmt = subprocess.run(probe, check=True, stdout=subprocess.PIPE, text=True).stdout.strip()
    decode = ["ffmpeg", "-v", "error", "-i", str(path), "-f", "rawvideo", "-pix_fmt", fmt, "-"]
    data = subprocess.run(decode, check=True, stdout=subprocess.PIPE).stdout
    samples = np.frombuffer(data, dtype=">u2" if fmt == "gray16be" else np.uint8)
    return fmt, samples.reshape((120, 160, 3) if fmt == "rgb24" else (120, 160))


def test_save_png_keeps_grey_colour_and_16_bit_arrays(tmp_path: Path) -> None:
    rng = np.random.default_rng(7)
    raw = rng.integers(0, 16384, size=(120, 160), dtype=np.uint16)
    gray = lep3.to_gray8(raw)
    for name, array, fmt in [
        ("raw.png", raw, "gray16be"),
        ("gray.png", gray, "gray"),
        ("colour.png", lep3.colourise(gray, "iron"), "rgb24"),
    ]:
        lep3.save_png(tmp_path / name, array)
        got = _decoded_png(tmp_path / name)
        assert got[0] == fmt, name
        assert np.array_equal(got[1], array), name
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
