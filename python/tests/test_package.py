"""The package as a user meets it: installed by pip, its messages in logging, its names
the same as the command-line tool's, PNG files any decoder reads, and a word when a range
shows nothing."""

from __future__ import annotations

import importlib.util
import logging
import os
import re
import shutil
import subprocess
import sys
import threading
import warnings
from pathlib import Path

import numpy as np
import pytest

import lep3
from lep3 import _clib, _messages

from conftest import tool_path

PACKAGE_DIR = Path(__file__).resolve().parent.parent


def test_library_messages_go_to_the_lep3_logger(library, caplog: pytest.LogCaptureFixture) -> None:
    caplog.set_level(logging.DEBUG, logger="lep3")
    with _messages.collect() as said:
        assert library.LEP3_LuxToKelvin(None, None, 1, 1) == -1
    assert said == [(1, "Image point is NULL\n")]
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        ("lep3", logging.INFO, "Image point is NULL")
    ]
    # Printed on another thread: logged, and not collected for this one's call.
    caplog.clear()
    with _messages.collect() as said:
        worker = threading.Thread(target=lambda: library.LEP3_KelvinToCelsius(None))
        worker.start()
        worker.join()
    assert said == []
    assert [r.getMessage() for r in caplog.records] == ["Image point is NULL"]


def test_names_are_those_of_the_tool() -> None:
    # "lep3 get --help" lists every value: name, alias, "*" when it can be set, what it
    # holds and what a setter takes. The package's table must say the same, in order.
    out = subprocess.run([tool_path(), "get", "--help"], check=True, stdout=subprocess.PIPE, text=True).stdout
    listed = out.split("Values (* can be set):\n", 1)[1].replace("\n" + " " * 27, " ")  # lines wrapped at 80
    tool = []
    for line in listed.splitlines():
        m = re.match(r"  (\S+?)(?:, (\S+))?( \*)?\s{2,}(.*?)(?:; takes (.*))?$", line)
        assert m, line
        tool.append((m[1], m[2] or "", bool(m[3]), m[4], m[5] or ""))
    package = [(s.name, s.alias, s.writable, s.summary, s.accepts) for s in lep3.settings()]
    assert package == tool


def test_installs_with_pip_offline_and_imports(tmp_path: Path, library) -> None:
    for needed in ("pip", "setuptools", "wheel"):
        if importlib.util.find_spec(needed) is None:
            pytest.skip("%s is not installed" % needed)
    # From a copy: pip builds in the source directory it is given.
    source = tmp_path / "source"
    shutil.copytree(PACKAGE_DIR, source, ignore=shutil.ignore_patterns("build", "*.egg-info", "__pycache__"))
    target = tmp_path / "site"
    subprocess.run(
        [sys.executable, "-m", "pip", "install", "--quiet", "--no-build-isolation", "--no-deps", "--no-index",
         "--target", str(target), str(source)],
        check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp_path,
    )
    env = dict(os.environ, PYTHONPATH=str(target), LEP3_LIBRARY=_clib.library_file())
    probe = "import lep3, numpy; print(lep3.__file__); print(lep3.colourise(numpy.zeros((120, 160), 'u1'), 'blackhot').min())"
    out = subprocess.run([sys.executable, "-c", probe], check=True, stdout=subprocess.PIPE, text=True, env=env,
                         cwd=tmp_path).stdout.split()
    assert out[0].startswith(str(target))
    assert out[1] == "255"
    assert (target / "lep3" / "py.typed").exists()


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
