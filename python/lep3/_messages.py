"""The library's console messages, taken over: every text it would print goes to the
``lep3`` logger (standard output's texts at INFO, standard error's at WARNING), and the
texts printed while one of our calls runs are kept for the exception that may follow.
"""

from __future__ import annotations

import contextlib
import ctypes
import logging
import threading
from typing import Iterator, List, Optional, Tuple

from . import _clib

logger = logging.getLogger("lep3")
# A library's logger: silent until the application configures logging.
logger.addHandler(logging.NullHandler())

_local = threading.local()


def _handler(stream: int, raw: Optional[bytes], _context: Optional[int]) -> None:
    # Called on the library's threads too (it defers their cancellation meanwhile):
    # nothing may unwind from here into the library.
    try:
        if not raw:
            return
        text = raw.decode("utf-8", "replace")
        said = getattr(_local, "said", None)
        if said is not None:
            said.append((stream, text))
        line = text.rstrip()
        if line:
            logger.log(logging.WARNING if stream == 2 else logging.INFO, "%s", line)
    except Exception:
        pass


# Kept for the life of the process: the library holds its address.
_c_handler = _clib.MessageHandler(_handler)


def install(library: "_clib._Library") -> None:
    library.LEP3_SetMessageHandler(_c_handler, None)


def silence() -> None:
    """No more messages (at interpreter exit, before Python can no longer take them)."""
    if _clib._loaded is not None:
        _clib._loaded.LEP3_SetMessageHandler(ctypes.cast(None, _clib.MessageHandler), None)


@contextlib.contextmanager
def collect() -> Iterator[List[Tuple[int, str]]]:
    """The texts the library prints on this thread while the block runs, with their
    streams (1 standard output, 2 standard error)."""
    said: List[Tuple[int, str]] = []
    outer = getattr(_local, "said", None)
    _local.said = said
    try:
        yield said
    finally:
        _local.said = outer
        if outer is not None:
            outer.extend(said)
