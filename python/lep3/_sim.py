"""The bundled bridge emulator, ``lep3-bridge-sim``, run on a private temporary path."""

from __future__ import annotations

import os
import pathlib
import shutil
import signal
import subprocess
import select
import tempfile
import threading
import time
from typing import IO, List, Optional, Sequence

from . import _clib
from .errors import Lep3Error

EXECUTABLE = "lep3-bridge-sim"
_START_SECONDS = 10.0
_RUNNING = b"bridge emulator running"
_STOP_SECONDS = 5.0


def find_executable() -> str:
    """``LEP3_SIM``, else the emulator next to the loaded library, else the one on PATH."""
    explicit = os.environ.get("LEP3_SIM")
    if explicit:
        return explicit
    tried: List[str] = []
    library = _clib.library_file()
    if library:
        here = pathlib.Path(library).resolve().parent
        for candidate in (here / EXECUTABLE, here / "sim" / EXECUTABLE, here.parent / "bin" / EXECUTABLE):
            tried.append(str(candidate))
            if os.access(str(candidate), os.X_OK):
                return str(candidate)
    on_path = shutil.which(EXECUTABLE)
    if on_path:
        return on_path
    raise Lep3Error(
        "the bridge emulator %s was not found (looked next to the library: %s, and on PATH); "
        "set LEP3_SIM to its path" % (EXECUTABLE, ", ".join(tried) or "library location unknown")
    )


def _drain(out: IO[bytes]) -> None:
    with out:
        while os.read(out.fileno(), 4096):
            pass


class Emulator:
    """A running ``lep3-bridge-sim`` on a temporary directory of its own.

    ``path`` is the application device, ``boot_path`` the bootloader's. ``args`` are
    further options of the program (``--fps 0``, ``--silent``, ...).
    """

    def __init__(self, args: Sequence[str] = ()) -> None:
        self.directory = tempfile.mkdtemp(prefix="lep3-sim-")
        self.path = os.path.join(self.directory, "ttyACM0")
        self.boot_path = os.path.join(self.directory, "ttyACM1")
        self._errors = open(os.path.join(self.directory, "stderr"), "w+b")
        self.process: Optional[subprocess.Popen] = None
        try:
            # --exit-with-parent: no emulator is left behind by a host that is killed outright.
            command = [find_executable(), "--path", self.path, "--boot-path", self.boot_path, "--exit-with-parent",
                       *args]
            self.process = subprocess.Popen(
                command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=self._errors
            )
            self._wait_until_running()
        except BaseException:
            self.close()
            raise

    def _wait_until_running(self) -> None:
        # The device appears before the emulator has taken its options: wait for the line
        # it prints once it runs as asked.
        assert self.process is not None and self.process.stdout is not None
        out = self.process.stdout
        deadline = time.monotonic() + _START_SECONDS
        said = b""
        while _RUNNING not in said:
            if not select.select([out], [], [], max(0.0, deadline - time.monotonic()))[0]:
                raise Lep3Error("the bridge emulator did not start in time")
            piece = os.read(out.fileno(), 4096)
            if not piece:
                self.process.wait()
                raise Lep3Error("the bridge emulator stopped at once: " + self._stderr_text())
            said += piece
        # Its further progress lines are for a person at a terminal: read and dropped, never
        # on our standard output.
        threading.Thread(target=_drain, args=(out,), name="lep3-sim-output", daemon=True).start()

    def _stderr_text(self) -> str:
        self._errors.seek(0)
        return self._errors.read().decode("utf-8", "replace").strip() or "no message"

    def signal(self, number: int) -> None:
        """Sends a signal to the emulator (its run-time controls)."""
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(number)

    def close(self) -> None:
        """Stops the emulator and removes its directory. Idempotent."""
        if self.process is not None:
            if self.process.poll() is None:
                self.process.send_signal(signal.SIGTERM)
                try:
                    self.process.wait(_STOP_SECONDS)
                except subprocess.TimeoutExpired:
                    self.process.kill()
                    self.process.wait()
            self.process = None
        if not self._errors.closed:
            self._errors.close()
        shutil.rmtree(self.directory, ignore_errors=True)

    def __enter__(self) -> "Emulator":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
