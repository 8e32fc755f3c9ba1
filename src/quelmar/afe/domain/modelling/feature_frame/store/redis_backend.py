"""A store in Redis, which several machines share.

Location: ``redis://[user:password@]host:port/db?prefix=NAME`` (also
``rediss://`` for TLS and ``unix:///path/to/socket?db=0&prefix=NAME``; the
other query arguments are redis-py's). Every key of a store starts with
``NAME:qfs1:`` (``NAME`` defaults to ``feature-store``; letters, digits,
``_``, ``.`` and ``-`` only, so that no prefix begins with another's keys
and SCAN patterns need no escaping); ``qfs1`` is the key layout, so a later
layout never reads this one's values, and ``NAME:layout`` names the layout
a prefix holds (claimed first by a creation, so a prefix holds one store)::

    NAME:qfs1:m:meta      the state (JSON)      NAME:qfs1:b:<entity key>  base records
    NAME:qfs1:m:cutoff    8-byte cutoff         NAME:qfs1:r:<entity key>  recent records
    NAME:qfs1:m:version   a new token at each write

Redis has no snapshots, so consistency is optimistic. A reader notes the
version first and checks it when its block ends: a writer that came between
makes it raise ``Retry``. A writer WATCHes the version, reads, keeps its
puts and deletes to itself and sends them in one MULTI/EXEC with the new
version at the end of its block: readers see all of it or none, and a
writer that came between aborts the EXEC (``Retry``). One entity's values
and the cutoff come from one MGET, which no EXEC can split.

Creation writes before the state exists, and a store without one is refused
by every reader: there a writer streams its values in pipelined chunks (a
transaction of the whole store would make the server hold it all twice and
stall everyone else while it applies), and only the state goes in a
transaction, last. A failed creation leaves an unfinished store, which
``remove_store`` deletes.

Durability is the server's: an append returns once EXEC has answered, and
with ``appendonly yes`` and ``appendfsync always`` (as ``.ci/run`` starts
it) Redis syncs its append-only file before it answers, so an append that
returned survives a crash of the server. With weaker settings a crash loses
the last writes. The store does not send WAITAOF: the servers we run (Debian
12's 7.0) lack it, and with ``always`` it would only add a round trip; a
deployment that wants replicas to confirm writes configures it on the
server. A server that may evict keys (an ``allkeys-*`` eviction policy)
would silently drop entities, so it is refused. A Redis Cluster is not
supported: a store's transactions span keys of every hash slot.
"""

from __future__ import annotations

import contextlib
import json
import os
import random
import re
import urllib.parse
from typing import Dict, Iterator, List, Optional, Tuple

from ..errors import StoreError
from ..support import require
from .backend import CUTOFF, META, TABLES, VERSION, Backend, Retry, Snapshot, Writer, decode_int, encode_int

SCHEMES = ("redis://", "rediss://", "unix://")
DEFAULT_PREFIX = "feature-store"
LAYOUT = "qfs1"
_PREFIX = re.compile(r"[A-Za-z0-9_.-]{1,200}\Z")
#: Keys per MGET, MSET or DEL, and per SCAN step.
BATCH = 2048
#: Bytes a writer of an unfinished store holds before sending them.
STREAM_BYTES = 32 << 20
#: Keys whose MEMORY USAGE estimates a store's size.
SIZE_SAMPLE = 2000


def is_redis_location(location) -> bool:
    return isinstance(location, str) and location.startswith(SCHEMES)


def split_location(location: str) -> Tuple[str, str]:
    """The URL for redis-py (without ``prefix``) and the prefix."""
    parts = urllib.parse.urlsplit(location)
    query = urllib.parse.parse_qsl(parts.query, keep_blank_values=True)
    prefixes = [value for name, value in query if name == "prefix"]
    if len(prefixes) > 1:
        raise StoreError(f"{location}: names prefix more than once")
    prefix = prefixes[0] if prefixes else DEFAULT_PREFIX
    if not _PREFIX.match(prefix):
        raise StoreError(f"{location}: prefix {prefix!r} may hold letters, digits, '_', '.' and '-' only")
    rest = urllib.parse.urlencode([(name, value) for name, value in query if name != "prefix"])
    return urllib.parse.urlunsplit(parts._replace(query=rest)), prefix


class _Names:
    """The Redis keys of one store."""

    def __init__(self, prefix: str):
        # which layout the prefix holds: the one key outside the layout's own
        self.layout = f"{prefix}:layout".encode()
        self.root = f"{prefix}:{LAYOUT}:".encode()
        self.meta, self.cutoff, self.version = (self.root + b"m:" + name for name in (META, CUTOFF, VERSION))
        self.tables = {"base": self.root + b"b:", "recent": self.root + b"r:"}

    def of(self, table: str, keys) -> List[bytes]:
        prefix = self.tables[table]
        return [prefix + bytes(key) for key in keys]


def _chunks(items: List, size: int = BATCH):
    for start in range(0, len(items), size):
        yield items[start:start + size]


class _Reading(Snapshot):
    def __init__(self, backend: "RedisBackend", meta_raw: Optional[bytes]):
        self._backend, self._names = backend, backend.names
        self._meta = None if meta_raw is None else json.loads(meta_raw)
        self._listed: Optional[Dict[str, List[bytes]]] = None

    def meta(self):
        return self._meta

    def get_many(self, table, keys):
        return self._backend.mget(self._names.of(table, keys))

    def keys(self, table):
        return iter(self._listing()[table])

    def scan(self, table):
        keys = list(self.keys(table))
        for part in _chunks(keys, BATCH * 8):
            for key, value in zip(part, self.get_many(table, part)):
                if value is not None:  # deleted since the SCAN: the version check ends the snapshot
                    yield key, value

    def count(self, table):
        return len(self._listing()[table])

    def _listing(self) -> Dict[str, List[bytes]]:
        """The keys of both tables, from one SCAN of the keyspace (each
        SCAN walks all of it, other stores' keys too)."""
        if self._listed is None:
            found = self._backend.scan_keys(self._names.root, b"[br]:*")
            self._listed = {table: [name[2:] for name in found if name[:2] == self._names.tables[table][-2:]]
                            for table in TABLES}
        return self._listed


class _Writing(_Reading, Writer):
    """A writer's changes, kept until its block ends (on an unfinished
    store: sent on in chunks as they come)."""

    def __init__(self, backend: "RedisBackend", meta_raw: Optional[bytes]):
        super().__init__(backend, meta_raw)
        self.unfinished = meta_raw is None
        self.changes: Dict[str, Dict[bytes, Optional[object]]] = {table: {} for table in TABLES}
        self.new_meta: Optional[Tuple[bytes, int]] = None
        self._held = 0
        # the new version: unique, so that a commit whose answer was lost
        # can tell whether it was applied
        self.token = os.urandom(16).hex().encode()

    def meta(self):
        return self._meta if self.new_meta is None else json.loads(self.new_meta[0])

    def get_many(self, table, keys):
        changed = self.changes[table]
        if not changed:
            return super().get_many(table, keys)
        keys = [bytes(key) for key in keys]
        asked = [key for key in keys if key not in changed]
        found = dict(zip(asked, super().get_many(table, asked)))
        return [changed[key] if key in changed else found[key] for key in keys]

    def keys(self, table):
        changed = self.changes[table]
        present = [key for key in super().keys(table) if key not in changed]
        return iter(present + [key for key, value in changed.items() if value is not None])

    def count(self, table):
        return sum(1 for _ in self.keys(table))

    def put_many(self, table, items):
        changed = self.changes[table]
        for key, value in items:
            changed[bytes(key)] = value
            self._held += len(value)
        self._stream_if_due()

    def delete_many(self, table, keys):
        changed = self.changes[table]
        for key in keys:
            changed[bytes(key)] = None
        self._stream_if_due()

    def set_meta(self, meta, cutoff_ms):
        self.new_meta = (json.dumps(meta, sort_keys=True).encode(), cutoff_ms)

    def _stream_if_due(self) -> None:
        if self.unfinished and self._held >= STREAM_BYTES:
            self.stream()

    def stream(self) -> None:
        """Sends the changes so far outside a transaction (an unfinished
        store only: nothing reads it)."""
        with self._backend.client.pipeline(transaction=False) as pipe:
            self.queue_changes(pipe)
            pipe.execute()
        self.changes = {table: {} for table in TABLES}
        self._held = 0

    def queue_changes(self, pipe) -> None:
        for table, changed in self.changes.items():
            prefix, puts, gone = self._names.tables[table], [], []
            for key, value in changed.items():
                if value is None:
                    gone.append(prefix + key)
                else:  # bytes, not a view: redis-py sends a view as a write of its own
                    puts += (prefix + key, bytes(value))
            for part in _chunks(puts, 2 * BATCH):
                pipe.execute_command("MSET", *part)
            for part in _chunks(gone):
                pipe.delete(*part)

    def changed(self) -> bool:
        return self.new_meta is not None or any(self.changes.values())

    def commit(self, pipe) -> None:
        """Applies the changes in one transaction that fails if a writer
        came between (an unfinished store: all but the state sent first)."""
        if self.unfinished:
            self.stream()
            if self.new_meta is None:
                return
        pipe.multi()
        if self.changed():  # else an empty transaction, which still fails if a writer came between
            self.queue_changes(pipe)
            if self.new_meta is not None:
                pipe.mset({self._names.meta: self.new_meta[0], self._names.cutoff: encode_int(self.new_meta[1])})
            pipe.set(self._names.version, self.token)
        pipe.execute()


class RedisBackend(Backend):
    """A store under the prefix of ``location`` on a Redis server (``create``:
    a new one, refused where the prefix holds keys already)."""

    def __init__(self, location: str, create: bool = False):
        self._redis = require("redis")
        self.location = location
        url, self.prefix = split_location(location)
        self.names = _Names(self.prefix)
        self.client = self._redis.Redis.from_url(url)
        try:
            self._check_server()
            if create:
                self._claim()
            else:
                self._check_layout()
        except self._redis.RedisError as exc:
            self.client.close()
            raise StoreError(f"{location}: cannot be used as a feature store: {exc}") from None
        except BaseException:
            self.client.close()
            raise

    def _check_server(self) -> None:
        try:
            policy = self.client.info("memory").get("maxmemory_policy", "noeviction")
        except self._redis.ResponseError:  # INFO may be withheld from this user
            return
        if str(policy).startswith("allkeys"):
            raise StoreError(f"{self.location}: the server evicts any key when memory runs short "
                             f"(maxmemory-policy {policy}), which would drop entities; a store needs noeviction")

    def _claim(self) -> None:
        # of two creations on one prefix, one wins; a store of any layout, or
        # one whose creation died, holds the prefix
        if not self.client.set(self.names.layout, LAYOUT, nx=True):
            raise StoreError(f"{self.location}: prefix {self.prefix!r} holds a store already (or an unfinished "
                             "one); choose another prefix, or delete that store's keys first")
        self.client.set(self.names.version, 0)

    def _check_layout(self) -> None:
        layout = self.client.get(self.names.layout)
        if layout is None:
            raise StoreError(f"{self.location}: not a feature store (no store's keys under prefix {self.prefix!r})")
        if layout != LAYOUT.encode():
            raise StoreError(f"{self.location}: a store of key layout {layout.decode(errors='replace')!r}; this "
                             f"version reads {LAYOUT!r} only")

    # ---- reads shared by snapshots and writers

    def mget(self, names: List[bytes]) -> List[Optional[bytes]]:
        if len(names) <= BATCH:
            return self.client.mget(names) if names else []
        values: List[Optional[bytes]] = []
        for part in _chunks(names, BATCH * 32):  # a round trip per some MB
            with self.client.pipeline(transaction=False) as pipe:
                for chunk in _chunks(part):
                    pipe.mget(chunk)
                for found in pipe.execute():
                    values.extend(found)
        return values

    def scan_keys(self, prefix: bytes, pattern: bytes = b"*") -> List[bytes]:
        """The distinct keys after ``prefix`` that match ``pattern`` (SCAN
        may return a key twice)."""
        cut = len(prefix)
        return list({name[cut:] for name in self.client.scan_iter(match=prefix + pattern, count=BATCH)})

    # ---- the interface

    @contextlib.contextmanager
    def reading(self) -> Iterator[Snapshot]:
        version, meta = self.client.mget(self.names.version, self.names.meta)
        try:
            yield _Reading(self, meta)
        except Exception:
            # an error may come of values from two states: retried then
            if self.client.get(self.names.version) != version:
                raise Retry() from None
            raise
        if self.client.get(self.names.version) != version:
            raise Retry()

    @contextlib.contextmanager
    def writing(self) -> Iterator[Writer]:
        with self.client.pipeline(transaction=True) as pipe:
            pipe.watch(self.names.version)
            writer = _Writing(self, pipe.get(self.names.meta))
            yield writer
            try:
                writer.commit(pipe)
            except (self._redis.WatchError, self._redis.ConnectionError, self._redis.TimeoutError):
                # redis-py reports a connection lost during EXEC as a
                # WatchError too: done again, an append would be kept twice
                if self.client.get(self.names.version) != writer.token:
                    raise Retry() from None

    def with_entity(self, key, use):
        names = self.names
        cutoff, base, recent = self.client.mget(names.cutoff, names.tables["base"] + key,
                                                names.tables["recent"] + key)
        return use(decode_int(cutoff), base, recent)

    def with_entities(self, keys, use):
        # one MGET: Redis answers it from one state
        names = self.names
        base, recent = names.tables["base"], names.tables["recent"]
        values = self.client.mget([names.cutoff] + [base + key for key in keys] + [recent + key for key in keys])
        return use(decode_int(values[0]), values[1:len(keys) + 1], values[len(keys) + 1:])

    def size_bytes(self) -> int:
        """What the server holds for the store, estimated: its number of
        keys times the mean MEMORY USAGE (value, key and Redis's own per-key
        overhead) of a random sample of them. Not the disk the server's
        persistence takes; asking every key costs a minute per few million."""
        names = self.scan_keys(self.names.root)
        if not names:
            return 0
        sample = random.Random(len(names)).sample(names, min(len(names), SIZE_SAMPLE))
        with self.client.pipeline(transaction=False) as pipe:
            for name in sample:
                pipe.memory_usage(self.names.root + name, samples=0)
            sizes = [size for size in pipe.execute() if size is not None]  # deleted since the SCAN: left out
        return round(sum(sizes) / max(len(sizes), 1) * len(names))

    def close(self) -> None:
        self.client.close()


def remove_store(location: str) -> None:
    """Deletes every key of the store at ``location`` (a failed creation's:
    a store in use would lose its values under its readers)."""
    redis = require("redis")
    url, prefix = split_location(location)
    names = _Names(prefix)
    client = redis.Redis.from_url(url)
    try:
        for part in _chunks(list(client.scan_iter(match=names.root + b"*", count=BATCH))):
            client.unlink(*part)
        client.delete(names.layout)  # last: the prefix is held until the store's keys are gone
    finally:
        client.close()
