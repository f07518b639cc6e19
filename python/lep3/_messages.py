"""The library's console messages, taken over: every text it would print goes to the
``lep3`` logger (standard output's texts at INFO, standard error's at WARNING), and the
texts printed while one of our calls runs are kept for the exception that may follow.
"""

from __future__ import annotations

import contextlib
import ctypes
import logging
import threading
from typing import Iterator, List, Optional

from . import _clib

logger = logging.getLogger("lep3")

_local = threading.local()

# The library's own threads (reader, parser, session) call the handler too, and they are
# stopped with pthread_cancel. A cancellation acted on inside Python would unwind through
# the interpreter, so the handler defers it while it runs. PyDLL keeps the interpreter
# lock across the call: releasing and re-taking it would be a cancellation point itself.
_PTHREAD_CANCEL_DISABLE = 1
try:
    _setcancelstate = ctypes.PyDLL(None).pthread_setcancelstate
    _setcancelstate.argtypes = [ctypes.c_int, ctypes.POINTER(ctypes.c_int)]
    _setcancelstate.restype = ctypes.c_int
except (OSError, AttributeError):  # not a POSIX threads C library
    _setcancelstate = None


def _emit(stream: int, raw: Optional[bytes]) -> None:
    if not raw:
        return
    text = raw.decode("utf-8", "replace")
    said = getattr(_local, "said", None)
    if said is not None:
        said.append(text)
    line = text.rstrip()
    if line:
        logger.log(logging.WARNING if stream == 2 else logging.INFO, "%s", line)


def _handler(stream: int, raw: Optional[bytes], _context: Optional[int]) -> None:
    if _setcancelstate is None:
        _emit(stream, raw)
        return
    old = ctypes.c_int(0)
    _setcancelstate(_PTHREAD_CANCEL_DISABLE, ctypes.byref(old))
    try:
        _emit(stream, raw)
    except Exception:  # a failing log handler must not unwind into the library
        pass
    finally:
        _setcancelstate(old.value, ctypes.byref(old))


# Kept for the life of the process: the library holds its address.
_c_handler = _clib.MessageHandler(_handler)


def install(library: "_clib._Library") -> None:
    library.LEP3_SetMessageHandler(_c_handler, None)


def silence() -> None:
    """No more messages (at interpreter exit, before Python can no longer take them)."""
    if _clib._loaded is not None:
        _clib._loaded.LEP3_SetMessageHandler(ctypes.cast(None, _clib.MessageHandler), None)


@contextlib.contextmanager
def collect() -> Iterator[List[str]]:
    """The texts the library prints on this thread while the block runs."""
    said: List[str] = []
    outer = getattr(_local, "said", None)
    _local.said = said
    try:
        yield said
    finally:
        _local.said = outer
        if outer is not None:
            outer.extend(said)
