"""The camera against the bridge emulator: frames, temperatures, settings, faults of the
link, a second user, the firmware update, and the life cycle."""

from __future__ import annotations

import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import lep3
from lep3 import _sim

from conftest import sent_frame, stamp_of_raw, tool_json

pytestmark = pytest.mark.usefixtures("sim_available")

# Slack for the library's and the emulator's threads on a loaded machine.
MARGIN_S = 1.5
# How long a test waits for a frame that is coming.
WAIT_S = 10.0


def test_frames_are_what_the_emulator_sent(camera: lep3.Camera) -> None:
    seen, numbers = [], []
    for _ in range(4):
        raw = camera.raw(timeout=WAIT_S)
        assert raw.dtype == np.uint16 and raw.shape == (120, 160)
        assert raw.flags.owndata and raw.flags.writeable and raw.flags.c_contiguous
        np.testing.assert_array_equal(raw, sent_frame("raw", stamp_of_raw(raw)))
        info = camera.last_info
        assert info.format == "raw" and (info.width, info.height) == (160, 120)
        assert 0 < info.completed_ns <= time.monotonic_ns()
        seen.append(raw)
        numbers.append(info.frame_number)
    for raw in camera:  # iteration, and n frames at once
        assert raw.shape == (120, 160) and raw.dtype == np.uint16
        numbers.append(camera.last_info.frame_number)
        if len(numbers) == 6:
            break
    assert numbers == sorted(set(numbers)), "each call delivers a newer frame"
    assert not np.shares_memory(seen[0], seen[1])
    assert camera.frames(2, timeout=WAIT_S).shape == (2, 120, 160) and camera.frames(0).shape == (0, 120, 160)

    camera.video("rgb")
    with pytest.raises(ValueError, match="video"):
        camera.raw(timeout=WAIT_S)
    for _ in range(2):
        rgb = camera.rgb(timeout=WAIT_S)
        assert rgb.dtype == np.uint8 and rgb.shape == (120, 160, 3)
        seq = int.from_bytes(rgb.reshape(-1)[:4].tobytes(), "little")
        np.testing.assert_array_equal(rgb, sent_frame("rgb", seq))
        assert camera.last_info.format == "rgb"
    camera.video("raw")
    raw = camera.raw(timeout=WAIT_S)
    np.testing.assert_array_equal(raw, sent_frame("raw", stamp_of_raw(raw)))


@pytest.mark.sim_args("--corrupt-every", "2")
def test_check_ok_tells_damaged_frames_from_whole_ones(camera: lep3.Camera) -> None:
    verdicts = []
    for _ in range(8):
        raw = camera.raw(timeout=WAIT_S)
        whole = np.array_equal(raw, sent_frame("raw", stamp_of_raw(raw)))
        verdicts.append((whole, camera.last_info.check_ok))
    assert all(whole == check_ok for whole, check_ok in verdicts), verdicts
    assert {True, False} == {whole for whole, _ in verdicts}


# A value for each writable setting that differs from the emulator's power-on value.
NEW_VALUES = {
    "agc": 1,
    "agc-calc": 1,
    "heq-linear-percent": 123,
    "telemetry": 1,
    "frames-to-average": 5,
    "gain-mode": 2,
    "shutter-position": 2,
    "video-format": 3,
    "oem-video-format": 4,
    "pcolor-lut": 6,
    "freeze": 1,
    "radiometry": 0,
}


def as_tool_json(value: object, name: str) -> object:
    if name == "serial-number":
        return "0x%016x" % value
    if isinstance(value, tuple):
        return list(value)
    return value


def test_settings_take_values_as_the_tool_takes_them_and_read_as_it_reads_them(emulator: _sim.Emulator) -> None:
    writable = [s.name for s in lep3.settings() if s.writable]
    assert sorted(writable) == sorted(NEW_VALUES)
    with lep3.Camera(emulator.path) as cam:
        for value, want in [("on", 1), ("off", 0), ("true", 1), ("1", 1), (True, 1), (0, 0)]:
            cam.set("agc", value)
            assert cam.get("agc") == want, value
        for name, value, error in [
            ("no-such-setting", 1, ValueError),
            ("status", 0, ValueError),  # read-only
            ("agc", 2**32, ValueError),
            ("agc", -1, ValueError),
            ("agc", 0.5, ValueError),
            ("agc", "maybe", ValueError),
            ("agc", 2, lep3.OutOfRange),  # the library's own range
            ("gain-mode", 3, lep3.OutOfRange),
        ]:
            with pytest.raises(error) as caught:
                cam.set(name, value)
            assert isinstance(caught.value, ValueError)
        with pytest.raises(ValueError):
            cam.get("no-such-setting")
        assert cam.get("agc") == 0
        with pytest.raises(lep3.OutOfRange, match="agc: it takes 0 or 1") as caught:
            cam.set("agc", 7)
        assert caught.value.code == -3
        for name, value in NEW_VALUES.items():
            assert cam.get(name) != value, name
            cam.set(name, value)
            assert cam.get(name) == value, name
        assert cam.get("vid") == NEW_VALUES["video-format"]
        cam.set("freeze", False)
        values = {s.name: cam.get(s.name) for s in lep3.settings()}

    # The tool, on the same bridge, reads every value under the same name.
    tool = tool_json("get", "--device", emulator.path)
    assert list(tool) == list(values)
    assert 0 < values["uptime"] <= tool["uptime"] < values["uptime"] + 60
    changing = {"uptime", "fpa-temperature", "aux-temperature"}
    for name, value in values.items():
        if name not in changing:
            assert tool[name] == as_tool_json(value, name), name


def test_temperatures_info_stats_and_state_as_the_tool_gives_them(camera: lep3.Camera) -> None:
    raw = camera.raw(timeout=WAIT_S)
    internal = camera.get("rbfo-internal")
    assert camera.rbfo == internal
    np.testing.assert_array_equal(camera.celsius(raw), lep3.celsius(raw, internal.r, internal.o))
    np.testing.assert_array_equal(camera.kelvin(raw), lep3.kelvin(raw, internal.r, internal.o))
    assert 10.0 < camera.celsius(raw)[60, 80] < 45.0  # a room with a warm hand in it
    assert camera.calibration == (internal.r, internal.o)
    params = lep3.ObjectParams(0.95, distance_m=1.0)
    np.testing.assert_array_equal(camera.celsius(raw, object=params),
                                  lep3.object_celsius(raw, internal.r, internal.o, params))
    external = camera.refresh_rbfo("external")
    assert external == camera.get("rbfo-external") != internal
    np.testing.assert_array_equal(camera.celsius(raw), lep3.celsius(raw, external.r, external.o))

    info = camera.info()
    assert info["library_version"] == lep3.library_version()
    assert info["camera_ready"] is True and info["camera_status"] == 0
    assert 0 < info["uptime_s"] < 600
    for key in ("fpa_temperature_c", "aux_temperature_c"):
        assert -40 < info[key] < 90 and info[key] == round(info[key], 2), key
    before = camera.stats()
    camera.raw(timeout=WAIT_S)
    after = camera.stats()
    assert after["frames_raw"] > before["frames_raw"] and after["bytes_read"] > before["bytes_read"]
    assert camera.state == "up"
    camera.ffc()
    camera.ffc(radiometric=True)
    threading.Timer(0.3, camera.close).start()  # closing from another thread ends a loop
    assert sum(1 for _ in camera) >= 0 and camera.closed
    camera.close()
    assert camera.state == "closed" and camera.closed
    with pytest.raises(ValueError, match="closed"):
        camera.raw(timeout=WAIT_S)
    # The tool, on the same bridge once it is free, gives the same keys in the same order.
    tool = tool_json("info", "--device", info["device"])
    assert list(info) == list(tool)
    for key in ("device", "library_version", "firmware_version", "image_file_version", "serial_number"):
        assert info[key] == tool[key], key


@pytest.mark.sim_args("--silent")
def test_a_silent_bridge_times_out_in_time(camera: lep3.Camera) -> None:
    # The library's own time-out is the session tests'; here the seconds reach it.
    start = time.monotonic()
    with pytest.raises(lep3.Timeout) as caught:
        camera.raw(timeout=0.4)
    assert 0.395 <= time.monotonic() - start < 0.4 + MARGIN_S
    assert caught.value.code == -2 and isinstance(caught.value, TimeoutError)
    with pytest.raises(ValueError):
        camera.raw(timeout=-1)


def test_unplug_is_bridge_gone_replug_streams_again_and_a_lasting_loss_stays_gone(emulator: _sim.Emulator) -> None:
    with lep3.Camera(emulator.path) as cam:
        cam.raw(timeout=WAIT_S)
        emulator.signal(signal.SIGUSR1)  # pull the cable
        with pytest.raises(lep3.BridgeGone):
            for _ in range(100):  # frames already on their way may still arrive
                cam.raw(timeout=1.0)
        assert cam.state in ("gone", "reconnecting")
        emulator.signal(signal.SIGUSR1)  # plug it back
        raw = cam.raw(timeout=10.0)
        np.testing.assert_array_equal(raw, sent_frame("raw", stamp_of_raw(raw)))
        assert cam.state == "up" and cam.stats()["reconnects"] >= 1

        emulator.close()  # the device disappears for good
        with pytest.raises(lep3.BridgeGone) as caught:
            for _ in range(100):
                cam.raw(timeout=1.0)
        assert caught.value.code == -6 and isinstance(caught.value, ConnectionError)
        assert cam.state == "gone"


def test_opening_fails_with_the_builtin_kinds_and_a_second_camera_is_refused(
    tmp_path: Path, emulator: _sim.Emulator
) -> None:
    with lep3.Camera(emulator.path) as cam:
        with pytest.raises(lep3.BridgeInUse, match="already open in this process"):
            lep3.Camera(emulator.path)
        assert cam.raw(timeout=WAIT_S).shape == (120, 160)  # the first one goes on
    with lep3.Camera(emulator.path) as again:
        again.raw(timeout=WAIT_S)
    with pytest.raises(FileNotFoundError) as caught:
        lep3.Camera(tmp_path / "ttyACM7")
    assert isinstance(caught.value, lep3.Lep3Error)
    if os.geteuid() == 0:
        return  # root may open any device
    device = tmp_path / "ttyACM8"
    device.write_bytes(b"")
    device.chmod(0)
    with pytest.raises(PermissionError) as denied:
        lep3.Camera(device)
    assert isinstance(denied.value, lep3.Lep3Error)


def test_firmware_update_reports_rising_progress_and_frames_flow_after(
    camera: lep3.Camera, tmp_path: Path
) -> None:
    image = tmp_path / "firmware.bin"
    image.write_bytes(b"SAMG55;V1.07\r\n" + bytes((i * 37) & 0xFF for i in range(64 * 40)))
    with pytest.raises(FileNotFoundError):
        camera.update_firmware(tmp_path / "missing.bin")
    (tmp_path / "not-an-image.bin").write_bytes(b"MZ\x90\x00")
    with pytest.raises(lep3.UpdateError, match="SAMG55;V") as caught:  # refused before the restart
        camera.update_firmware(tmp_path / "not-an-image.bin")
    assert caught.value.code == -3
    camera.raw(timeout=WAIT_S)
    seen = []
    camera.update_firmware(image, progress=seen.append)  # frames after it: the session tests'
    assert seen == sorted(set(seen)) and seen[-1] == 100 and any(15 < p < 65 for p in seen), seen
    camera.raw(timeout=5.0)


def test_sim_camera_cleans_up_on_exception_and_at_exit() -> None:
    with pytest.raises(KeyError):
        with lep3.Camera(sim=True) as cam:
            directory = cam._sim.directory
            cam.raw(timeout=WAIT_S)
            raise KeyError("boom")
    assert cam.closed and not os.path.exists(directory)

    # Left open: closed at interpreter exit, quietly. Killed outright: the emulator ends by itself.
    script = (
        "import os, signal, sys, lep3\ncam = lep3.Camera(sim=True)\ncam.raw(timeout=10)\n"
        "sys.stderr.write('%d %s' % (cam._sim.process.pid, cam._sim.directory))\nsys.stderr.flush()\n"
        "if sys.argv[1] == 'kill':\n    os.kill(os.getpid(), signal.SIGKILL)\n"
    )
    for how in ("exit", "kill"):
        run = subprocess.run([sys.executable, "-c", script, how], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, timeout=60)
        pid_text, directory = run.stderr.strip().splitlines()[-1].split(" ", 1)
        if how == "exit":
            assert run.returncode == 0 and run.stdout == "" and not os.path.exists(directory), run.stderr
        else:
            shutil.rmtree(directory)  # the killed host could not
        deadline = time.monotonic() + 10
        while os.path.exists("/proc/%s" % pid_text) and time.monotonic() < deadline:
            time.sleep(0.1)
        assert not os.path.exists("/proc/%s" % pid_text), "the emulator outlived its host (%s)" % how


def test_examples_run_on_the_emulator(tmp_path: Path, sim_available: None) -> None:
    examples = Path(__file__).resolve().parent.parent / "examples"
    centre = subprocess.run([sys.executable, str(examples / "centre_temperature.py"), "--sim", "-n", "2"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=60)
    assert centre.returncode == 0, centre.stderr
    assert len(re.findall(r"centre -?\d+\.\d\d °C", centre.stdout)) == 2, centre.stdout
    saved = subprocess.run([sys.executable, str(examples / "save_radiometric.py"), "--sim", str(tmp_path / "frame")],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=60)
    assert saved.returncode == 0, saved.stderr
    temps = np.load(tmp_path / "frame.npy")
    assert temps.dtype == np.float32 and temps.shape == (120, 160) and 10 < temps[60, 80] < 45


def test_open_and_close_while_another_thread_holds_the_interpreter(emulator: _sim.Emulator) -> None:
    # The library's loops print through the package's handler as they start, and are
    # cancelled on close; a cancellation while one waits for the interpreter's lock would
    # leave that lock held and the process hung. Run apart, so a hang is a failure.
    script = (
        "import sys, threading, lep3\n"
        "busy = True\n"
        "def spin():\n"
        "    while busy:\n"
        "        pass\n"
        "threading.Thread(target=spin, daemon=True).start()\n"
        "for _ in range(60):\n"
        "    lep3.Camera(sys.argv[1]).close()\n"
        "busy = False\n"
    )
    try:
        run = subprocess.run([sys.executable, "-c", script, emulator.path], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, timeout=120)
    except subprocess.TimeoutExpired:
        pytest.fail("opening and closing hung")
    assert run.returncode == 0 and run.stdout == "", run.stderr
