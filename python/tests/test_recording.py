"""Recordings written by the tool, read back through the package: the same pages, page
data and readings as the tool's own inspect, and read again with other parameters."""

from __future__ import annotations

import re
import struct
import subprocess
from pathlib import Path
from typing import List, Tuple

import numpy as np
import pytest

import lep3

from conftest import sent_frame, stamp_of_raw, tool_path

pytestmark = pytest.mark.usefixtures("sim_available")

RECORDED = lep3.ObjectParams(emissivity=0.95)
BOX = lep3.Region("box", (10, 10, 50, 40))


def run_tool(*args: str) -> str:
    return subprocess.run([tool_path(), *args], check=True, stdout=subprocess.PIPE, text=True).stdout


@pytest.fixture(scope="module")
def raw_file(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """Three frames, raw, and in °C beside them (raw-celsius.tif)."""
    path = tmp_path_factory.mktemp("recordings") / "raw.tif"
    run_tool("record", "--sim", "-n", "3", "--box", "hot=10,10,50,40", "--emissivity", "0.95", "--celsius",
             "-o", str(path))
    return path


def strip_of(data: bytes, page: int) -> Tuple[int, int]:
    """Where page's one strip lies in a little-endian classic TIFF, and its length."""
    at = struct.unpack_from("<I", data, 4)[0]
    for _ in range(page):
        at = struct.unpack_from("<I", data, at + 2 + 12 * struct.unpack_from("<H", data, at)[0])[0]
    entries = (struct.unpack_from("<HHII", data, at + 2 + 12 * e) for e in range(struct.unpack_from("<H", data, at)[0]))
    values = {tag: value for tag, _, _, value in entries}
    return values[273], values[279]


def inspected_readings(path: Path, *options: str) -> List[Tuple[float, float, float, int]]:
    """min, max, mean and pixels of the region on each page, as inspect --measure prints them."""
    out = run_tool("inspect", str(path), "--measure", *options)
    found = re.findall(r"hot: min (\S+) °C at \S+, max (\S+) °C at \S+, mean (\S+) °C, (\d+) px", out)
    return [(float(lo), float(hi), float(mean), int(px)) for lo, hi, mean, px in found]


def test_pages_and_their_data_are_the_recorded_ones(raw_file: Path) -> None:
    pages = re.findall(
        r"^\s+\d+\s+(\d+)\s+(\S+)\s+\S+\s+R (\d+), B \d+, F \d+, O (\d+)",
        run_tool("inspect", str(raw_file), "--pages"),
        re.M,
    )
    with lep3.Recording(raw_file) as rec:
        assert (len(rec), rec.values, rec.object, rec.regions) == (3, "raw", RECORDED, {"hot": BOX})
        read = list(rec)
        infos = [rec.info(i) for i in range(len(rec))]
        assert rec.info(-1) == infos[2] and np.array_equal(rec[-1], read[2])
        with pytest.raises(IndexError):
            rec[3]
    for page in read:
        assert page.dtype == np.uint16 and page.shape == (120, 160)
        assert np.array_equal(page, sent_frame("raw", stamp_of_raw(page)))
    expected = [(int(n), t, int(r), int(o)) for n, t, r, o in pages]
    got = [(i.frame_number, i.time.strftime("%Y-%m-%dT%H:%M:%S.%fZ"), i.r, i.o) for i in infos]
    assert got == expected and all(i.check_ok for i in infos)
    with pytest.raises(ValueError):
        rec[0]  # closed


def test_readings_again_with_other_parameters_match_inspect(raw_file: Path) -> None:
    other = RECORDED._replace(emissivity=0.7)
    with lep3.Recording(raw_file) as rec:
        for params, options in ((None, ()), (other, ("--emissivity", "0.7"))):
            readings = [rec.measure(i, params)["hot"] for i in range(len(rec))]
            got = [(m.min, m.max, m.mean, m.pixels) for m in readings]
            tools_readings = inspected_readings(raw_file, *options)
            assert len(tools_readings) == len(got)
            for mine, tools in zip(got, tools_readings):
                assert mine[:3] == pytest.approx(tools[:3], abs=0.006) and mine[3] == tools[3]
        recorded, lower = rec.celsius(0), rec.celsius(0, other)
        np.testing.assert_array_equal(recorded, lep3.object_celsius(rec[0], rec.info(0).r, rec.info(0).o, RECORDED))
    # Above the reflected 20 °C a lower emissivity means a hotter object.
    above = recorded > 20.5
    assert above.any() and (lower[above] > recorded[above]).all()


def test_a_celsius_recording_holds_the_raw_ones_temperatures_and_refuses_other_parameters(raw_file: Path) -> None:
    with lep3.Recording(raw_file) as raw, lep3.Recording(raw_file.with_name("raw-celsius.tif")) as rec:
        assert (len(rec), rec.values, rec.object, rec.regions) == (3, "celsius", RECORDED, {"hot": BOX})
        for i, page in enumerate(rec):
            assert page.dtype == np.float32
            np.testing.assert_array_equal(page, raw.celsius(i))
            np.testing.assert_array_equal(rec.celsius(i), page)
            assert rec.measure(i) == raw.measure(i)
        with pytest.raises(ValueError, match="can't be computed again"):
            rec.celsius(0, lep3.ObjectParams())


def test_stored_pages_read_as_compressed_ones(tmp_path: Path) -> None:
    path = tmp_path / "stored.tif"
    run_tool("record", "--sim", "-n", "2", "--no-compress", "-o", str(path))
    with lep3.Recording(path) as rec:
        for page in rec:
            assert np.array_equal(page, sent_frame("raw", stamp_of_raw(page)))


def test_files_that_are_no_recording_are_named_and_libtiff_stays_quiet(
    raw_file: Path, tmp_path: Path, capfd: pytest.CaptureFixture[str]
) -> None:
    data = raw_file.read_bytes()
    at, length = strip_of(data, 1)
    middle = at + length // 2
    damaged = bytearray(data)
    damaged[middle : middle + 4] = bytes(b ^ 0x5A for b in data[middle : middle + 4])
    text, cut, broken = tmp_path / "text.tif", tmp_path / "cut.tif", tmp_path / "damaged.tif"
    text.write_text("not a picture\n")
    cut.write_bytes(data[:middle])
    broken.write_bytes(bytes(damaged))
    for path, message in ((text, "is not a TIFF file"), (cut, "page 2 can't be read")):
        with pytest.raises(lep3.RecordingError, match=message):
            lep3.Recording(path)
    with lep3.Recording(broken) as rec:
        rec[0]
        with pytest.raises(lep3.RecordingError, match="page 2 is damaged from row 1"):
            rec[1]
    with pytest.raises(FileNotFoundError):
        lep3.Recording(tmp_path / "missing.tif")
    assert capfd.readouterr().err == ""
