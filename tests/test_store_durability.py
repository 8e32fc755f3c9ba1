"""A store outlives the death of its writer, and its readers never see half
of a write: a writer process killed (SIGKILL) at any point of an append or a
compaction leaves the answers of the state before or after it, with that
state's own count of appends, and the store takes appends again; readers that
run throughout appends and compactions get the answers of one whole state
each time, never an older one than before.

The writers and readers are processes forked while the test has no store
open (an LMDB environment must not cross a fork), and threads."""

from __future__ import annotations

import contextlib
import os
import random
import select
import signal
import sys
import threading
import time
import traceback
import warnings

import numpy as np
import pytest

from _feature_helpers import assert_bits_equal, f32_bits
from _store_support import BACKENDS, DAY, REDIS_URL, T, batches, history, location, pd
from quelmar.afe.domain.modelling.feature_frame import build_feature_frame
from quelmar.afe.domain.modelling.feature_frame.errors import OutsideHistoryWarning
from quelmar.afe.domain.modelling.feature_frame.store import FeatureStore, feature_store
from quelmar.afe.domain.modelling.feature_frame.store.blobs import RECORD

pytest.importorskip("lmdb")
pytestmark = [pytest.mark.skipif(not hasattr(os, "fork"), reason="the writers and readers are forked processes"),
              pytest.mark.filterwarnings("ignore::quelmar.afe.domain.modelling.feature_frame.errors."
                                         "OutsideHistoryWarning")]

# every operator (the default), some written once per dimension value
OPTIONS = dict(horizons=[7, 30, 90], per_dimension_operators=["mode", "time_since_first"], offset=1)
#: Seconds a forked process may take before the test gives up on it.
PATIENCE = 30.0


# ---- states and their answers ------------------------------------------------------

class States:
    """The answers to ``targets`` after each prefix of ``parts`` (state k:
    the store made from part 0 and parts 1 .. k appended), rebuilt from the rows."""

    def __init__(self, path, parts, targets):
        with FeatureStore.open(path) as store:
            params = store.params
        self.targets = targets
        self.frames = [build_feature_frame(pd.concat(parts[:k + 1]), targets, params) for k in range(len(parts))]
        self._bits = [answer_bits(frame) for frame in self.frames]

    def of(self, frame):
        """The states whose answers ``frame`` has, bit for bit."""
        bits = answer_bits(frame)
        return [k for k, want in enumerate(self._bits) if want == bits]

    def check(self, frame, k):
        """Fails unless ``frame`` has the answers of state k (with the cells that differ)."""
        want = self.frames[k]
        assert list(frame.columns) == list(want.columns)
        assert frame.index.tolist() == want.index.tolist()
        for col in want.columns[:2]:
            assert frame[col].tolist() == want[col].tolist()
        assert_bits_equal(frame.iloc[:, 2:].to_numpy(), want.iloc[:, 2:].to_numpy())

    def changes(self):
        """How many appends change the answers."""
        return sum(a != b for a, b in zip(self._bits, self._bits[1:]))


def answer_bits(frame):
    return (tuple(frame.columns), frame.index.tolist(), frame.iloc[:, 0].tolist(), frame.iloc[:, 1].tolist(),
            f32_bits(frame.iloc[:, 2:].to_numpy()).tobytes())


def spread_targets(trx, seed, low, n=120):
    """Targets from ``low`` to a few days after the newest row: entities
    with rows and two without."""
    rng = np.random.default_rng(seed)
    ids = np.concatenate([trx["entity"].unique(), [-5, 10**9]])
    return pd.DataFrame({"entity": rng.choice(ids, n), "target_date": rng.integers(low, T + 5 * DAY, n)})


def made(backend, tmp_path, seed, n_parts, history_days):
    """A store made from the first of ``n_parts`` parts of a history and
    closed, the parts (batches mostly in time order, late rows and
    duplicates among them) and targets every state answers."""
    trx = history(seed, n_entities=150, n_rows=3600)
    parts, _ = batches(trx, seed, n_parts, late_share=0.3)
    path = location(backend, tmp_path)
    FeatureStore.create(path, parts[0], history=history_days * DAY, **OPTIONS).close()
    return path, parts, spread_targets(trx, seed, T - min(history_days, 250) * DAY)


def kept_records(store):
    """The records the store holds in each table, counted in its values."""
    with store._backend.reading() as snapshot:
        return {table: sum(len(value) for _, value in snapshot.scan(table)) // RECORD.itemsize
                for table in ("base", "recent")}


# ---- forked processes ---------------------------------------------------------------

class Child:
    """``work(say, told)`` in a forked process, which never returns into
    pytest: it ends with ``os._exit`` (1 after printing an exception). It
    reports lines with ``say(text)``; ``told()`` is true once the test
    called ``tell``."""

    def __init__(self, work):
        reports, say_end = os.pipe()
        listen_end, orders = os.pipe()
        pid = os.fork()
        if pid == 0:  # pragma: no cover - the forked process
            status = 1
            try:
                os.close(reports)
                os.close(orders)
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore", OutsideHistoryWarning)
                    work(lambda text: os.write(say_end, text.encode() + b"\n"),
                         lambda: bool(select.select([listen_end], [], [], 0)[0]))
                status = 0
            except BaseException:
                traceback.print_exc()
            finally:
                sys.stderr.flush()
                os._exit(status)
        os.close(say_end)
        os.close(listen_end)
        self.pid, self._reports, self._orders, self._buffer = pid, reports, orders, b""
        self.status = None

    def line(self, timeout=PATIENCE):
        """The next line the process said; None once it has ended."""
        deadline = time.monotonic() + timeout
        while b"\n" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self._reports], [], [], left)[0]:
                self.kill()
                raise AssertionError(f"process {self.pid} said nothing for {timeout} s")
            chunk = os.read(self._reports, 4096)
            if not chunk:
                return None
            self._buffer += chunk
        line, self._buffer = self._buffer.split(b"\n", 1)
        return line.decode()

    def tell(self):
        os.write(self._orders, b"x")

    def kill(self):
        with contextlib.suppress(ProcessLookupError):
            os.kill(self.pid, signal.SIGKILL)

    def wait(self, timeout=PATIENCE):
        """"killed" or "done"; fails for a process that failed or hung."""
        deadline = time.monotonic() + timeout
        while True:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                break
            if time.monotonic() > deadline:
                self.kill()
                os.waitpid(self.pid, 0)
                raise AssertionError(f"process {self.pid} still ran after {timeout} s")
            time.sleep(0.001)
        os.close(self._reports)
        os.close(self._orders)
        if os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL:
            self.status = "killed"
        elif os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0:
            self.status = "done"
        else:
            raise AssertionError(f"process {self.pid} failed (status {status}; its traceback is in the "
                                 "captured stderr)")
        return self.status


class Tripwire:
    """Counts the steps of a store's writes (a transaction begun, each call
    of its writer before and after, each row handed to it, the block's end
    before the commit, the commit) and kills this process at step ``at``,
    or right after its ``after_commit``-th commit."""

    def __init__(self, at=None, after_commit=None):
        self.at, self.after_commit, self.steps, self.commits = at, after_commit, 0, []

    def step(self):
        self.steps += 1
        if self.steps == self.at:
            os.kill(os.getpid(), signal.SIGKILL)

    def committed(self):
        self.commits.append(self.steps)
        if len(self.commits) == self.after_commit:
            os.kill(os.getpid(), signal.SIGKILL)

    def each(self, items):
        for item in items:
            self.step()
            yield item


class _TrippedWriter:
    def __init__(self, writer, tripwire):
        self._writer, self._tripwire = writer, tripwire

    def __getattr__(self, name):
        method, tripwire = getattr(self._writer, name), self._tripwire

        def call(*args):
            if name in ("put_many", "delete_many"):
                args = (args[0], tripwire.each(args[1]))
            tripwire.step()
            result = method(*args)
            tripwire.step()
            return result

        return call


def wire_writes(store, tripwire, say=None):
    """The store's writes go through ``tripwire``; ``say`` (if given) hears
    "begun" when a transaction has begun, "committing" when its work is
    done and "committed" when it is."""
    writing = store._backend.writing
    say = say or (lambda text: None)

    @contextlib.contextmanager
    def tripped():
        tripwire.step()
        with writing() as writer:
            say("begun")
            yield _TrippedWriter(writer, tripwire)
            tripwire.step()
            say("committing")
        say("committed")
        tripwire.committed()

    store._backend.writing = tripped


class Lockstep:
    """A writer and a reader thread taking turns: after a call of a snapshot
    (or a snapshot's end) the reader waits for the writer's next commit,
    after each commit the writer waits for the reader's next call (each at
    most 20 ms, for when the other has nothing to do)."""

    def __init__(self, writer_store, timeout=0.02):
        self.commits, self.calls, self._timeout, self._turn = 0, 0, timeout, threading.Condition()
        writing = writer_store._backend.writing

        @contextlib.contextmanager
        def counted():
            with writing() as writer:
                yield writer
            self._took("commits", "calls")

        writer_store._backend.writing = counted

    def _took(self, mine, theirs, wait=True):
        with self._turn:
            setattr(self, mine, getattr(self, mine) + 1)
            self._turn.notify_all()
            seen = getattr(self, theirs)
            if wait:
                self._turn.wait_for(lambda: getattr(self, theirs) > seen, self._timeout)

    def called(self, wait):
        self._took("calls", "commits", wait)


def wire_reads(store, rng, lockstep=None):
    """The store's reads take turns with a writer thread after half the
    calls of a snapshot and half the snapshots' ends, at random
    (``lockstep``), or else dawdle up to 2 ms after each call, so that
    commits land in the middle of snapshots and between them (a snapshot
    that checks for writers at its end, as Redis's, is read again if one
    came)."""
    reading = store._backend.reading

    class Dawdling:
        def __init__(self, snapshot):
            self._snapshot = snapshot

        def __getattr__(self, name):
            method = getattr(self._snapshot, name)

            def call(*args):
                result = method(*args)
                if lockstep is not None:
                    lockstep.called(wait=rng.random() < 0.5)
                else:
                    time.sleep(rng.random() * 0.002)
                return result

            return call

    @contextlib.contextmanager
    def dawdling():
        with reading() as snapshot:
            yield Dawdling(snapshot)
        if lockstep is not None:
            lockstep.called(wait=rng.random() < 0.5)

    store._backend.reading = dawdling


# ---- a writer killed ------------------------------------------------------------------

def writer_location(backend, path, i):
    """Where writer ``i`` opens the store: in Redis under a client name of
    its own, for ``settle``."""
    return f"{path}&client_name=durability-writer-{os.getpid()}-{i}" if backend == "redis" else path


def settle(backend, path, i):
    """Until the Redis server has closed the connections of writer ``i``,
    killed: the server may still apply what the writer sent before it died
    (its EXEC) after the writer is gone, so only then is the outcome decided."""
    if backend != "redis":
        return
    import redis

    name = writer_location(backend, path, i).rsplit("client_name=", 1)[1]
    with contextlib.closing(redis.Redis.from_url(REDIS_URL)) as client:
        deadline = time.monotonic() + PATIENCE
        while any(connection["name"] == name for connection in client.client_list()):
            assert time.monotonic() < deadline, f"the server still holds a connection of {name}"
            time.sleep(0.002)


def check_state(path, states, allowed, keeper=None, why=""):
    """The state the store is in by its own count of appends, one of
    ``allowed``, with that state's answers; the store opened afresh or
    through ``keeper``, a store open while the writer died."""
    with contextlib.ExitStack() as stack:
        store = keeper or stack.enter_context(FeatureStore.open(path))
        state = store.info().appends
        assert state in allowed, f"the store counts {state} appends, one of {allowed} expected{why}"
        states.check(store.features(states.targets), state)
        return state


@pytest.mark.slow
@pytest.mark.parametrize("how", ["at a step", "at a moment"])
@pytest.mark.parametrize("backend", BACKENDS)
def test_a_writer_killed_during_an_append_leaves_the_state_before_or_after_it(backend, how, tmp_path):
    # "at a step": the writer kills itself at a random step of its writes;
    # "at a moment": the test kills it a random time after its transaction, or its commit, began
    seed = 41 if how == "at a step" else 42
    n = 26 if how == "at a step" else 60
    path, parts, targets = made(backend, tmp_path, seed, n + 1, history_days=400)
    states = States(path, parts, targets)
    assert states.changes() >= n * 3 // 4  # a state is told from the one before by its answers
    rng = random.Random(seed)
    steps, windows = None, {}  # the steps of the first append's transaction, of all its writes, its commits
    seen = {"before": 0, "after": 0, "killed": 0}
    for i in range(1, n + 1):
        # a step of the append's transaction, or of all its writes (a compaction follows some), or
        # the moment after a commit
        at, after_commit = None, None
        if how == "at a step" and steps:
            if i % 4 == 0:  # after each commit in turn: the first ends the append's transaction
                after_commit = 1 + (i // 4 - 1) % steps[2]
            else:
                at = rng.randint(1, steps[rng.random() < 0.3])
        # a moment of the whole transaction, or of its commit
        aim = rng.choice(["begun", "committing", "committing"]) if how == "at a moment" and windows else None

        def append(say, told, part=parts[i], tripwire=Tripwire(at, after_commit),
                   where=writer_location(backend, path, i)):
            with FeatureStore.open(where) as store:
                wire_writes(store, tripwire, say)
                store.append(part)
                say(f"steps {tripwire.commits[0]} {tripwire.steps} {len(tripwire.commits)}")

        child = Child(append)
        # mostly the test holds the store open while the writer dies, so that
        # the next writer finds the dead one's lock, not a new one
        keeper = FeatureStore.open(path) if i % 4 else None
        try:
            if aim:
                for line in iter(child.line, None):
                    if line == aim:
                        break
                time.sleep(rng.random() * 1.2 * windows[aim])
                child.kill()
            heard = {}
            for line in iter(child.line, None):
                heard.setdefault(line, time.monotonic())
                if line.startswith("steps ") and not steps:
                    steps = [int(word) for word in line.split()[1:]]
            if "committed" in heard and not windows:  # how long the first append's transaction and commit take
                windows = {phase: heard["committed"] - heard[phase] for phase in ("begun", "committing")}
            seen["killed"] += child.wait() == "killed"
            settle(backend, path, i)
            state = check_state(path, states, (i - 1, i), keeper)
            seen["after" if state == i else "before"] += 1
            if state == i - 1:
                # the store takes the append the dead writer did not make
                with contextlib.ExitStack() as stack:
                    store = keeper or stack.enter_context(FeatureStore.open(path))
                    store.append(parts[i])
            check_state(path, states, (i,), keeper, why="" if state == i else (
                ": the dead writer's append appeared after the store had answered without it"))
        finally:
            if keeper is not None:
                keeper.close()
    assert seen["killed"] >= n // 4 and seen["before"] and seen["after"], seen
    with FeatureStore.open(path) as store:
        store.compact()
        assert store.info().recent_rows == 0
        states.check(store.features(targets), n)


@pytest.mark.slow
@pytest.mark.parametrize("backend", BACKENDS)
def test_a_compaction_killed_anywhere_changes_no_answer(backend, tmp_path, monkeypatch):
    # appends leave their rows in the recent table for the compactions to move
    monkeypatch.setattr(feature_store, "COMPACT_SHARE", float("inf"))
    seed, n = 43, 16
    path, parts, targets = made(backend, tmp_path, seed, n + 1, history_days=60)
    states = States(path, parts, targets)
    rng = random.Random(seed)
    steps, kills = {}, 0  # the steps of a compaction in chunks of each size, the last time
    for i in range(1, n + 1):
        with FeatureStore.open(path) as store:
            store.append(parts[i])
        chunk = rng.choice([2, 5, 16])
        at = rng.randint(1, steps[chunk]) if chunk in steps else None

        def compact(say, told, at=at, chunk=chunk, where=writer_location(backend, path, i)):
            with FeatureStore.open(where) as store:
                tripwire = Tripwire(at)
                wire_writes(store, tripwire)
                store.compact(chunk=chunk)
                say(f"steps {tripwire.steps}")

        child = Child(compact)
        for line in iter(child.line, None):
            steps[chunk] = int(line.split()[1])
        kills += child.wait() == "killed"
        settle(backend, path, i)
        with FeatureStore.open(path) as store:
            info = store.info()
            assert info.appends == i
            states.check(store.features(targets), i)
            # what the store says it keeps is what its values hold
            kept = kept_records(store)
            assert (info.rows, info.recent_rows) == (kept["base"] + kept["recent"], kept["recent"])
    assert kills >= n // 2
    with FeatureStore.open(path) as store:
        store.compact()
        assert store.info().recent_rows == kept_records(store)["recent"] == 0
        states.check(store.features(targets), n)


# ---- readers during writes ---------------------------------------------------------

def read_states(path, states, say, stop, seed, lockstep=None):
    """Answers the targets until ``stop()``, saying which state each answer
    is of ("state k"), or "mixed ..." for an answer of none."""
    rng = random.Random(seed)
    with FeatureStore.open(path) as store:
        wire_reads(store, rng, lockstep)
        while not stop():
            frame = store.features(states.targets)
            found = states.of(frame)
            if found:
                say(f"state {found[-1]}")
                continue
            near = [int(np.count_nonzero(f32_bits(frame.iloc[:, 2:].to_numpy())
                                         != f32_bits(want.iloc[:, 2:].to_numpy()))) for want in states.frames]
            say(f"mixed: cells differing from each state {near}")


@pytest.mark.slow
@pytest.mark.parametrize("reader", ["thread", "process"])
@pytest.mark.parametrize("backend", BACKENDS)
def test_readers_during_appends_and_compactions_see_whole_states(backend, reader, tmp_path, monkeypatch):
    # appends leave their rows in the recent table for the compactions to move
    monkeypatch.setattr(feature_store, "COMPACT_SHARE", float("inf"))
    seed, n = 44, 8
    path, parts, targets = made(backend, tmp_path, seed, n + 1, history_days=400)
    states = States(path, parts, targets)
    assert states.changes() == n
    heard, lock = [], threading.Condition()

    def hear(line):
        with lock:
            heard.append(line)
            lock.notify_all()

    def wait_for_reads(count):
        """Until ``count`` more answers came: the last began after the writes before."""
        with lock:
            goal = len(heard) + count
            assert lock.wait_for(lambda: len(heard) >= goal, timeout=PATIENCE), "the reader stalled"

    def run(lockstep):
        try:
            read_states(path, states, hear, stop.is_set, seed, lockstep)
        except BaseException as error:  # noqa: BLE001 - reported to the test's thread
            hear(f"failed: {error!r}")
            raise

    stop = threading.Event()
    if reader == "process":  # forked before the test opens the store
        child = Child(lambda say, told: read_states(path, states, say, told, seed))
        worker = threading.Thread(target=lambda: [hear(line) for line in iter(child.line, None)])
        worker.start()
    with FeatureStore.open(path) as store:
        if reader == "thread":  # its reads take turns with the writer's commits
            worker = threading.Thread(target=run, args=(Lockstep(store),))
            worker.start()
        try:
            for part in parts[1:]:
                wait_for_reads(2)
                store.append(part)
                # commits that move the rows appended, none of which changes an answer
                store.compact(chunk=8)
            wait_for_reads(2)
        finally:
            stop.set()
            if reader == "process":
                child.tell()
            worker.join()
    if reader == "process":
        assert child.wait() == "done"
    bad = [line for line in heard if not line.startswith("state ")]
    assert not bad, bad[:5]
    seen = [int(line.split()[1]) for line in heard]
    assert seen == sorted(seen), "a reader saw an older state after a newer one"
    assert set(seen) == set(range(n + 1))


def test_a_store_is_not_used_across_a_fork(tmp_path):
    # the child of a process that has a store open writes nothing through it
    from quelmar.afe.domain.modelling.feature_frame.store import FeatureStore

    store = FeatureStore.create(str(tmp_path / "store"), history(11), horizons=[7])
    try:
        pid = os.fork()
        if pid == 0:  # the child
            try:
                store.append(history(12).assign(timestamp=T))
                os._exit(1)
            except Exception as error:  # noqa: BLE001 - the child's verdict is its status
                os._exit(0 if "opened by another process" in str(error) else 2)
        _, status = os.waitpid(pid, 0)
        assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
        assert store.info().appends == 0
    finally:
        store.close()
