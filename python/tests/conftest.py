"""Shared fixtures: the library (or a clean skip), standard output kept empty, the
emulator, and the frames it sends."""

from __future__ import annotations

import ctypes
import json
import os
import shutil
import subprocess
from typing import Iterator, Sequence

import numpy as np
import pytest

import lep3
from lep3 import _clib, _sim


@pytest.fixture(scope="session")
def library() -> "_clib._Library":
    try:
        return _clib.lib()
    except OSError as e:
        pytest.skip("liblep3 not available: %s" % e)


@pytest.fixture(autouse=True)
def nothing_on_stdout(capfd: pytest.CaptureFixture[str]) -> Iterator[None]:
    """Every test: nothing reaches standard output, from Python or from C."""
    yield
    ctypes.CDLL(None).fflush(None)  # the C library's buffered stdout too
    out, _ = capfd.readouterr()
    assert out == "", "printed on standard output: %r" % out[:500]


def tool_path() -> str:
    path = os.environ.get("LEP3_TOOL") or shutil.which("lep3")
    if not path:
        pytest.skip("the lep3 tool is not built (set LEP3_TOOL)")
    return path


def tool_json(*args: str) -> dict:
    """What lep3 prints with --json for args, as the one JSON object it must be."""
    return json.loads(subprocess.run([tool_path(), *args, "--json"], check=True, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True).stdout)


@pytest.fixture(scope="session")
def sim_available(library: "_clib._Library") -> None:
    try:
        _sim.find_executable()
        library.LEP3_Open
    except (lep3.Lep3Error, OSError) as e:
        pytest.skip(str(e))


@pytest.fixture
def emulator(sim_available: None, request: pytest.FixtureRequest) -> Iterator[_sim.Emulator]:
    """A running emulator; a test marks ``@pytest.mark.sim_args(...)`` for options."""
    marker = request.node.get_closest_marker("sim_args")
    args: Sequence[str] = marker.args if marker else ()
    with _sim.Emulator(args) as sim:
        yield sim


@pytest.fixture
def camera(emulator: _sim.Emulator) -> Iterator[lep3.Camera]:
    _clib.lib().LEP3_SetPath(_clib.PATH_UART_ALT, emulator.boot_path.encode())
    with lep3.Camera(emulator.path) as cam:
        yield cam


def sent_frame(kind: str, seq: int) -> np.ndarray:
    """The frame the emulator streams with sequence number seq."""
    writer = os.environ.get("LEP3_SIM_FRAME")
    if not writer:
        pytest.skip("the emulator's frame writer is not built (set LEP3_SIM_FRAME)")
    data = subprocess.run([writer, kind, str(seq)], check=True, stdout=subprocess.PIPE).stdout
    if kind == "raw":
        return np.frombuffer(data, dtype=np.uint16).reshape(120, 160)
    return np.frombuffer(data, dtype=np.uint8).reshape(120, 160, 3)


def stamp_of_raw(raw: np.ndarray) -> int:
    """The sequence number the emulator stamps into the first four pixels of row 0."""
    return sum(((int(raw[0, k]) - 7800) & 0xFF) << (8 * k) for k in range(4))


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", "sim_args(*args): options for the emulator fixture")
