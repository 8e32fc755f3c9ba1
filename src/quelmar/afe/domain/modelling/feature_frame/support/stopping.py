"""A stop asked for by a signal, remembered beyond the exception it raises.

The command line turns SIGTERM and Ctrl-C into exceptions that unwind the
run. Such an exception can land inside code that does not pass it on (an
import that a library makes lazily and whose failure it swallows); the run
would then go on, or fail in a stranger way. So the request is also
recorded here: the command line reports it whatever ends the run, and
``check`` refuses to publish an output once a stop was asked for.
"""

from __future__ import annotations

import contextlib
import shutil
import tempfile
import threading
from typing import Iterator, Optional, Type

_asked: Optional[Type[BaseException]] = None
_held = 0  # blocks during which a stop waits for the block's end
_done = False  # the output is in place: a stop asked for now changes nothing
# reentrant: the signal handler runs on the main thread, possibly while that
# thread is inside one of the blocks below (a plain lock would wait for good)
_lock = threading.RLock()


def ask(kind: Type[BaseException]) -> bool:
    """Records that a stop of ``kind`` (the exception that reports it) was
    asked for; whether the asking signal should raise it now (not inside a
    ``held`` block, nor once the output is in place)."""
    global _asked
    with _lock:
        if _asked is None and not _done:
            _asked = kind
        return _held == 0 and not _done


def asked() -> Optional[Type[BaseException]]:
    """The kind of stop asked for since ``reset``, or None."""
    return None if _done else _asked


def reset() -> None:
    global _asked, _held, _done
    with _lock:
        _asked, _held, _done = None, 0, False


def check() -> None:
    """Raises the stop asked for, if any: before anything is made final."""
    kind = asked()
    if kind is not None:
        raise kind()


@contextlib.contextmanager
def held() -> Iterator[None]:
    """A block that a stop does not cut short (a cleanup, or making an output
    final): the stop asked for meanwhile is raised when it ends."""
    global _held
    with _lock:
        _held += 1
    try:
        yield
    finally:
        with _lock:
            _held -= 1
    if _held == 0:
        check()


def finished() -> None:
    """The output is in place: a stop asked for from now on is not an error."""
    global _done
    with _lock:
        _done = True


@contextlib.contextmanager
def temporary_directory(where: str, prefix: str) -> Iterator[str]:
    """A new directory in ``where``, removed with all it holds however the
    block is left. A stop asked for while it is made is raised once its name
    is known, so that it is removed too."""
    made: Optional[str] = None
    try:
        with held():
            made = tempfile.mkdtemp(dir=where, prefix=prefix)
        yield made
    finally:
        if made is not None:
            with held():
                shutil.rmtree(made, ignore_errors=True)
