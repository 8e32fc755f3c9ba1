"""A store copied to a new location, on its own backend or the other: the
values of one consistent reading, in chunks, and the state last, so that
the copy is an unfinished store (refused by readers) until it is whole,
and answers with the source's bits once it is."""

from __future__ import annotations

from typing import Any, Dict, List, Tuple

from ..support import stage
from .backend import TABLES, Backend, retrying
from .locations import open_backend, remove_new
from .state import StoreState


def copied(source: Backend, target_location, chunk: int, progress: bool) -> Tuple[Backend, StoreState]:
    """A copy of ``source`` at ``target_location`` (a new store), and its state."""
    target = open_backend(target_location, create=True)
    try:
        with stage(progress, "copying", unit="entity") as bar:
            meta = retrying(lambda: _copy_values(source, target, chunk, bar))
        state = StoreState.from_meta(meta, source.location)
        # the state as it is (its appends and times too): the copy is the same store elsewhere
        retrying(lambda: _write_meta(target, meta, state.cutoff_ms))
    except BaseException:
        target.close()
        remove_new(target.location)
        raise
    return target, state


def _copy_values(source: Backend, target: Backend, chunk: int, bar) -> Dict[str, Any]:
    with source.reading() as snapshot:
        meta = snapshot.meta()
        StoreState.from_meta(meta, source.location)  # a foreign or unfinished source is refused before any copying
        with target.writing() as writer:  # what an attempt that met a writer of the source left
            for table in TABLES:
                writer.delete_many(table, list(writer.keys(table)))
        for table in TABLES:
            batch: List[Tuple[bytes, Any]] = []
            for key, value in snapshot.scan(table):
                batch.append((bytes(key), value))
                if len(batch) == chunk:
                    _write_values(target, table, batch, bar)
                    batch = []
            _write_values(target, table, batch, bar)
    return meta


def _write_values(target: Backend, table: str, batch, bar) -> None:
    if batch:
        with target.writing() as writer:
            writer.put_many(table, batch)
        bar.update(len(batch))


def _write_meta(target: Backend, meta: Dict[str, Any], cutoff_ms: int) -> None:
    with target.writing() as writer:
        writer.set_meta(meta, cutoff_ms)
