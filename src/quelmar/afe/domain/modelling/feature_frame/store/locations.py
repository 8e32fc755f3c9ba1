"""Where a store lives: a directory (LMDB, on one machine) or a key prefix
on a Redis server (``redis://``, ``rediss://`` or ``unix://``, shared by
machines)."""

from __future__ import annotations

import shutil

from ..support import require
from .backend import Backend, LmdbBackend
from .redis_backend import RedisBackend, is_redis_location, remove_store


def open_backend(location, create: bool = False) -> Backend:
    """The backend of ``location``: a Redis URL, else a directory (LMDB)."""
    if is_redis_location(location):
        return RedisBackend(location, create=create)
    return LmdbBackend(location, create=create)


def remove_new(location) -> None:
    """Removes what a creation that failed left at ``location``; a server
    that cannot be reached keeps it (an unfinished store, which no one
    reads and which refuses a new creation until its keys are deleted)."""
    if not is_redis_location(location):
        shutil.rmtree(location, ignore_errors=True)
        return
    try:
        remove_store(location)
    except require("redis").RedisError:
        pass
