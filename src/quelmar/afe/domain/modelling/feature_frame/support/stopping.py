"""A stop asked for by a signal, remembered beyond the exception it raises.

The command line turns SIGTERM and Ctrl-C into exceptions that unwind the
run. Such an exception can land inside code that does not pass it on (an
import that a library makes lazily and whose failure it swallows); the run
would then go on, or fail in a stranger way. So the request is also
recorded here: the command line reports it whatever ends the run, and
``check`` refuses to publish an output once a stop was asked for.
"""

from __future__ import annotations

import threading
from typing import Optional, Type

_asked: Optional[Type[BaseException]] = None
_lock = threading.Lock()


def ask(kind: Type[BaseException]) -> None:
    """Records that a stop of ``kind`` (the exception that reports it) was asked for."""
    global _asked
    with _lock:
        if _asked is None:
            _asked = kind


def asked() -> Optional[Type[BaseException]]:
    """The kind of stop asked for since ``reset``, or None."""
    return _asked


def reset() -> None:
    global _asked
    with _lock:
        _asked = None


def check() -> None:
    """Raises the stop asked for, if any: before anything is made final."""
    if _asked is not None:
        raise _asked()
