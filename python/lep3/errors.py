"""Exceptions: every failure the library reports becomes one of these, carrying the
library's result code and, where it printed one, its own message."""

from __future__ import annotations

from typing import Dict, Sequence, Tuple, Type

__all__ = [
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


class Lep3Error(Exception):
    """A failure reported by liblep3.

    Attributes:
        code: the library's result code (negative), or 0 when the package found the fault.
        message: what went wrong, with the library's own words where it printed any.
    """

    def __init__(self, message: str, code: int = 0) -> None:
        super().__init__(message)
        self.message = message
        self.code = code

    def __str__(self) -> str:
        return "%s (result %d)" % (self.message, self.code) if self.code else self.message


class Timeout(Lep3Error, TimeoutError):
    """Nothing arrived in time (result -2): no frame within the time-out, or no reply."""


class BridgeGone(Lep3Error, ConnectionError):
    """The bridge disappeared (result -6): unplugged, or its device reports hang-up."""


class BridgeInUse(Lep3Error):
    """The bridge is in use (result -7): by another process, or already open in this one."""


class BridgeNotFound(Lep3Error, FileNotFoundError):
    """No device at the bridge's path (result -1 on opening): unplugged, or another name."""


class PermissionDenied(Lep3Error, PermissionError):
    """This user may not open the bridge's device (result -1 on opening)."""


class OutOfRange(Lep3Error, ValueError):
    """The library refused a value as out of range (result -3)."""


class RecordingError(Lep3Error, ValueError):
    """A file that is not a complete recording of ``lep3 record``; the message names the
    page where it goes wrong."""


class CommandFailed(Lep3Error):
    """The bridge or camera refused a command (-10), or answered another one (-9)."""


class UpdateError(Lep3Error):
    """The firmware update stopped; ``code`` is the update's own result (-1 to -5)."""


_DESCRIPTIONS: Dict[int, str] = {
    -1: "the request could not be written to the bridge",
    -2: "no answer in time",
    -3: "the value is out of range",
    -5: "no place was given for the answer",
    -6: "the bridge is gone",
    -7: "the bridge is in use",
    -9: "the bridge answered a different command",
    -10: "the camera reported that the command failed",
}

_CLASSES: Dict[int, Type[Lep3Error]] = {
    -2: Timeout,
    -3: OutOfRange,
    -6: BridgeGone,
    -7: BridgeInUse,
    -9: CommandFailed,
    -10: CommandFailed,
}

UPDATE_DESCRIPTIONS: Dict[int, str] = {
    -1: "the bridge's user RBFO parameters could not be read before the update; nothing was changed",
    -2: "the bridge refused to restart into its bootloader; nothing was changed",
    -3: "the bootloader did not take the firmware image (no valid image file, or the transfer failed); "
    "the bridge waits in its bootloader: run the update again",
    -4: "the new firmware was written, but its serial device did not come back",
    -5: "the new firmware runs, but the user RBFO parameters could not be written back",
    -7: "no camera is open",
}


def _with_said(text: str, said: Sequence[Tuple[int, str]]) -> str:
    # The library's complaints go to standard error; where it made none, its last line
    # on standard output says what happened last.
    chosen = [t for stream, t in said if stream == 2] or [t for _, t in said[-1:]]
    lines = [line.strip() for piece in chosen for line in piece.splitlines() if line.strip()]
    lines = [line[len("LEP3: "):] if line.startswith("LEP3: ") else line for line in lines]
    return "%s: %s" % (text, "; ".join(lines)) if lines else text


def error_for(code: int, what: str, said: Sequence[Tuple[int, str]] = ()) -> Lep3Error:
    """The exception for a result code of the library, for the action ``what``.

    ``said`` holds what the library printed during the call; it stands in for the generic
    description of the code when there is any.
    """
    cls = _CLASSES.get(code, Lep3Error)
    text = _with_said(what, said) if said else "%s: %s" % (what, _DESCRIPTIONS.get(code, "failed"))
    return cls(text, code)


def update_error(code: int, said: Sequence[Tuple[int, str]] = ()) -> Lep3Error:
    if code == -7:
        return BridgeInUse("firmware update: no camera is open", code)
    # What the library said is more precise than the code: an image refused before the
    # bridge was restarted is -3 too.
    if said:
        text = _with_said("firmware update", said)
    else:
        text = "firmware update: " + UPDATE_DESCRIPTIONS.get(code, "failed")
    return UpdateError(text, code)


def check(code: int, what: str, said: Sequence[Tuple[int, str]] = ()) -> None:
    """Raises the exception for a non-zero result."""
    if code != 0:
        raise error_for(code, what, said)
