"""Serving over HTTP: the answers (JSON and Arrow) have the bits of
``build_feature_frame`` on every row appended so far, on every backend;
tokens are checked; every bad request is a 4xx with a message; appends
show without a restart; SIGTERM stops the server cleanly, and a load with
an append running fails no request."""

from __future__ import annotations

import contextlib
import http.client
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from _feature_helpers import assert_bits_equal
from _store_support import BACKENDS, DAY, T, history, location, pd
from quelmar.afe.domain.modelling.feature_frame import build_feature_frame
from quelmar.afe.domain.modelling.feature_frame.errors import OutsideHistoryWarning
from quelmar.afe.domain.modelling.feature_frame.store import FeatureStore

for _name in ("lmdb", "starlette", "uvicorn", "orjson", "pyarrow"):
    pytest.importorskip(_name)

import pyarrow as pa  # noqa: E402
import uvicorn  # noqa: E402

from quelmar.afe.domain.modelling.feature_frame.server import ServeSettings  # noqa: E402
from quelmar.afe.domain.modelling.feature_frame.server.app import create_app  # noqa: E402

ARROW = "application/vnd.apache.arrow.stream"
CLI = [sys.executable, "-m", "quelmar.afe.domain.modelling.feature_frame"]


@contextlib.contextmanager
def serving(settings: ServeSettings):
    """The application on uvicorn in a thread of this process, on a free
    loopback port; yields a function that makes a request. Its loop is
    asyncio's: uvloop's would replace the process's event loop policy, and
    with it drop loops that other libraries left open (the command's
    server, in tests of its own, runs on uvloop)."""
    server = uvicorn.Server(uvicorn.Config(create_app(settings), host="127.0.0.1", port=0, log_level="warning",
                                           lifespan="on", loop="asyncio"))
    thread = threading.Thread(target=server.run, daemon=True)
    thread.start()
    deadline = time.monotonic() + 20
    while not server.started:
        assert thread.is_alive() and time.monotonic() < deadline, "the server did not start"
        time.sleep(0.01)
    client = Client(server.servers[0].sockets[0].getsockname()[1])
    try:
        yield client
    finally:
        client.close()
        server.should_exit = True
        thread.join(20)


class Client:
    """Requests on one kept-alive connection: (status, headers, body)."""

    def __init__(self, port: int):
        self.port = port
        self.connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)

    def __call__(self, method, path, body=None, headers=()):
        body = json.dumps(body).encode() if isinstance(body, (dict, list)) else body
        self.connection.request(method, path, body=body, headers=dict(headers))
        response = self.connection.getresponse()
        data = response.read()
        if response.will_close:
            self.connection.close()
            self.connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        return response.status, {k.lower(): v for k, v in response.getheaders()}, data

    def close(self):
        self.connection.close()


def json_rows(features):
    """Float32 rows of a JSON answer (null read as NaN, as a client does)."""
    return np.array([[np.nan if v is None else v for v in row] for row in features], dtype=np.float64) \
        .astype(np.float32)


def assert_json_bits(got, want):
    """JSON holds no NaN: null exactly where the table has NaN, the bits elsewhere."""
    want = np.asarray(want, dtype=np.float32)
    assert np.array_equal(np.isnan(got), np.isnan(want))
    assert_bits_equal(np.where(np.isnan(want), 0, got), np.where(np.isnan(want), 0, want))


def arrow_table(data: bytes):
    return pa.ipc.open_stream(data).read_all()


def make_store(backend, tmp_path, seed, unit="ms", ids=int):
    """A store made from part of a history and appended the rest (so that
    both its base and its recent rows answer); returns (store, every row)."""
    trx = history(seed)
    trx["entity"] = trx["entity"].map(ids)
    if unit == "s":
        trx["timestamp"] //= 1000
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", OutsideHistoryWarning)
        store = FeatureStore.create(location(backend, tmp_path), trx.iloc[:1000], horizons=[7, 30, 90],
                                    history=100 * DAY, timestamp_unit=unit)
        store.append(trx.iloc[1000:])
    return store, trx


@pytest.mark.parametrize("backend,unit", [(b, "ms") for b in BACKENDS] + [("lmdb", "s")])
def test_answers_have_the_bits_of_build_feature_frame(backend, unit, tmp_path):
    store, trx = make_store(backend, tmp_path, seed=11, unit=unit)
    rng = np.random.default_rng(11)
    low = store.info().answers_from_ms
    ids = np.concatenate([trx["entity"].unique(), [-5, 10**9]])  # two entities without transactions
    per_unit = 1000 if unit == "s" else 1
    with store, serving(ServeSettings(store.location)) as call:
        # one entity at a time, at random instants written three ways
        single = pd.DataFrame({"entity": rng.choice(ids, 60), "target_date": rng.integers(low, T + 5 * DAY, 60)})
        single["target_date"] -= single["target_date"] % per_unit  # what an integer in the unit can say
        want = build_feature_frame(trx, single.assign(target_date=single["target_date"] // per_unit),
                                   store.params).iloc[:, 2:].to_numpy()
        for i, (entity, at_ms) in enumerate(zip(single["entity"], single["target_date"])):
            date = np.datetime64(int(at_ms), "ms")
            at = [str(at_ms // per_unit), f"{date}Z",
                  f"{np.datetime64(int(at_ms) + 5_400_000, 'ms')}+01:30"][i % 3]
            status, _, body = call("GET", f"/v1/features/{entity}?at={at.replace('+', '%2B')}")
            assert status == 200, body
            answer = json.loads(body)
            assert (answer["entity"], answer["at"]) == (entity, f"{date}Z")
            assert_json_bits(json_rows([answer["features"]]), want[i:i + 1])
            status, headers, body = call("GET", f"/v1/features/{entity}?at={at_ms // per_unit}",
                                         headers={"Accept": ARROW})
            assert (status, headers["content-type"]) == (200, ARROW)
            table = arrow_table(body)
            assert table.column(0).to_pylist() == [entity]
            assert table.column(1).cast(pa.int64()).to_pylist() == [at_ms]
            assert_bits_equal(np.column_stack([c.to_numpy() for c in table.columns[2:]]), want[i:i + 1])
        # batches: every entity at one instant
        for at_ms in rng.integers(low, T + 5 * DAY, 3) // per_unit * per_unit:
            batch = pd.DataFrame({"entity": ids, "target_date": at_ms // per_unit})
            want = build_feature_frame(trx, batch, store.params)
            request = {"entities": ids.tolist(), "at": int(at_ms // per_unit)}
            status, _, body = call("POST", "/v1/features", request)
            assert status == 200, body
            answer = json.loads(body)
            assert answer["entities"] == ids.tolist()
            assert_json_bits(json_rows(answer["features"]), want.iloc[:, 2:].to_numpy())
            status, _, body = call("POST", "/v1/features", request, headers={"Accept": f"application/json, {ARROW}"})
            table = arrow_table(body)
            assert table.column_names == list(want.columns)
            assert table.column(0).to_pylist() == ids.tolist()
            assert_bits_equal(np.column_stack([c.to_numpy() for c in table.columns[2:]]), want.iloc[:, 2:].to_numpy())


@pytest.mark.parametrize("kind", ["string", "binary"])
def test_text_and_byte_ids_and_the_column_names(tmp_path, kind):
    encode = str if kind == "string" else str.encode
    store, trx = make_store("lmdb", tmp_path, seed=12, ids=lambda e: encode(f"client/{e} ü"))
    with store, serving(ServeSettings(store.location)) as call:
        status, _, body = call("GET", "/v1/columns")
        assert status == 200 and json.loads(body)["columns"] == store.feature_columns
        assert json.loads(body)["id_kind"] == kind
        entities = trx["entity"].unique()[:3].tolist() + [encode("nobody")]
        targets = pd.DataFrame({"entity": entities, "target_date": T})
        want = build_feature_frame(trx, targets, store.params).iloc[:, 2:].to_numpy()
        texts = [e if kind == "string" else e.decode() for e in entities]
        from urllib.parse import quote

        status, _, body = call("GET", f"/v1/features/{quote(texts[0], safe='')}?at={T}")
        assert status == 200 and json.loads(body)["entity"] == texts[0]
        assert_json_bits(json_rows([json.loads(body)["features"]]), want[:1])
        status, _, body = call("POST", "/v1/features", {"entities": texts, "at": T}, headers={"Accept": ARROW})
        table = arrow_table(body)
        assert table.column(0).to_pylist() == entities
        assert_bits_equal(np.column_stack([c.to_numpy() for c in table.columns[2:]]), want)


def test_float_ids(tmp_path):
    store, trx = make_store("lmdb", tmp_path, seed=20, ids=lambda e: e + 0.25)
    entity = float(trx["entity"].iloc[0])
    want = build_feature_frame(trx, pd.DataFrame({"entity": [entity], "target_date": [T]}), store.params)
    with store, serving(ServeSettings(store.location)) as call:
        status, _, body = call("GET", f"/v1/features/{entity}?at={T}")
        assert status == 200 and json.loads(body)["entity"] == entity
        assert_json_bits(json_rows([json.loads(body)["features"]]), want.iloc[:, 2:].to_numpy())
        for text in ("1e400", "nan", "-inf", "0x10", "abc"):
            status, _, body = call("GET", f"/v1/features/{text}?at={T}")
            assert (status, json.loads(body)["error"]) == (400, f"entity id {text!r}: the store's entity ids "
                                                                  "are numbers (float64)")


def test_at_defaults_to_now_in_utc_and_an_empty_batch_is_answered(tmp_path):
    store, _ = make_store("lmdb", tmp_path, seed=13)
    with store, serving(ServeSettings(store.location)) as call:
        before = np.datetime64(time.time_ns() // 1_000_000, "ms")
        status, _, body = call("POST", "/v1/features", {"entities": [3]})
        after = np.datetime64(time.time_ns() // 1_000_000, "ms")
        assert status == 200
        assert before <= np.datetime64(json.loads(body)["at"].rstrip("Z"), "ms") <= after
        status, _, body = call("POST", "/v1/features", {"entities": [], "at": T})
        assert (status, json.loads(body)["features"]) == (200, [])
        status, _, body = call("POST", "/v1/features", {"entities": [], "at": T}, headers={"Accept": ARROW})
        table = arrow_table(body)
        assert (status, table.num_rows, table.num_columns) == (200, 0, 2 + len(store.feature_columns))


@pytest.mark.parametrize("header,status", [
    (None, 401), ("Bearer wrong-token", 401), ("Bearer s3cret-t0ken-but-longer", 401), ("Basic s3cret-t0ken", 401),
    ("Bearer s3cret-t0ken", 200), ("bearer  s3cret-t0ken ", 200)])
def test_a_token_is_required_when_one_is_set(tmp_path, header, status):
    store, _ = make_store("lmdb", tmp_path, seed=14)
    (tmp_path / "token").write_text("s3cret-t0ken\n")
    headers = {} if header is None else {"Authorization": header}
    with store, serving(ServeSettings(store.location, token_file=str(tmp_path / "token"))) as call:
        for method, path, body in [("GET", f"/v1/features/3?at={T}", None), ("POST", "/v1/features", {"entities": [3]}),
                                   ("GET", "/v1/columns", None), ("GET", "/v1/info", None)]:
            got, got_headers, data = call(method, path, body, headers=headers)
            assert got == status, (path, data)
            assert (got_headers.get("www-authenticate") == "Bearer") == (status == 401)
        assert call("GET", "/v1/health")[0] == 200  # for the load balancer, without a token


@pytest.fixture(scope="module")
def small_server(tmp_path_factory):
    """One server on an LMDB store of integer ids, with small limits."""
    tmp_path = tmp_path_factory.mktemp("served")
    store, _ = make_store("lmdb", tmp_path, seed=15)
    with store, serving(ServeSettings(store.location, max_entities=5, max_body_bytes=200)) as call:
        yield call, store.info().answers_from_ms


REFUSALS = [
    ("GET", "/v1/features/3?when=2024-01-01", None, 400, "unknown query parameter 'when'"),
    ("GET", "/v1/features/3?at=1975-01-01&at=1975-01-02", None, 400, "given twice"),
    ("GET", "/v1/features/3?at=1975-02-30", None, 400, "not a valid date"),
    ("GET", "/v1/features/3?at=yesterday", None, 400, "neither an ISO 8601 date"),
    ("GET", "/v1/features/3?at=1975-01-01T10:00:00%2B25:00", None, 400, "offset beyond 23:59"),
    ("GET", "/v1/features/3?at=" + "9" * 30, None, 400, "outside the years 1 to 9999"),
    ("GET", "/v1/features/3?at=EARLY", None, 422, "answers exactly as of"),
    ("GET", "/v1/features/abc", None, 400, "entity ids are integers (int64)"),
    ("GET", "/v1/features/3.5", None, 400, "entity ids are integers"),
    ("GET", "/v1/features/99999999999999999999", None, 400, "outside the range of the store's int64 ids"),
    ("POST", "/v1/features", {"entities": [1, 2, 3, 4, 5, 6]}, 413, "at most 5 are answered"),
    ("POST", "/v1/features", {"entities": [1], "at": "1975-01-01", "pad": "x" * 200}, 413, "larger than the 200 bytes"),
    ("POST", "/v1/features", b'{"entities": [1,', 400, "not JSON"),
    ("POST", "/v1/features", [1, 2], 400, "must be a JSON object"),
    ("POST", "/v1/features", {"entities": "3"}, 400, "a list of entity ids"),
    ("POST", "/v1/features", {"entities": [3], "when": 1}, 400, "unknown field 'when'"),
    ("POST", "/v1/features", {"entities": [True]}, 400, "entity id True"),
    ("POST", "/v1/features", {"entities": [2.5]}, 400, "entity id 2.5"),
    ("POST", "/v1/features", {"entities": ["x"]}, 400, "entity id 'x'"),
    ("POST", "/v1/features", {"entities": [3], "at": 1.5}, 400, "expected an ISO 8601 date or an integer"),
    ("POST", "/v1/features?at=1975-01-01", {"entities": [3]}, 400, "unknown query parameter 'at' (known: none)"),
    ("GET", "/v1/nothing", None, 404, "Not Found"),
    ("DELETE", "/v1/features/3", None, 405, "Method Not Allowed"),
    ("GET", "/v1/features", None, 405, "Method Not Allowed"),
]


@pytest.mark.parametrize("method,path,body,status,message", REFUSALS)
def test_bad_requests_get_a_4xx_and_a_message(small_server, method, path, body, status, message):
    call, answers_from = small_server
    path = path.replace("EARLY", str(answers_from - 1))
    got, headers, data = call(method, path, body)
    assert (got, headers["content-type"]) == (status, "application/json")
    assert message in json.loads(data)["error"]


def json_containers(inner):
    return st.lists(inner, max_size=4) | st.dictionaries(st.text(), inner, max_size=3)


JSON_VALUES = st.recursive(st.none() | st.booleans() | st.integers() | st.floats() | st.text(), json_containers,
                           max_leaves=8)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(entity=st.text(min_size=1), at=st.text(), body=st.fixed_dictionaries({}, optional={
    "entities": st.lists(st.integers(-2**70, 2**70) | st.floats() | st.text(), max_size=6) | JSON_VALUES,
    "at": JSON_VALUES | st.integers(-2**70, 2**70)}))
def test_no_request_is_a_server_error(small_server, entity, at, body):
    call, _ = small_server
    from urllib.parse import quote

    got, _, data = call("GET", f"/v1/features/{quote(entity, safe='')}?at={quote(at, safe='')}")
    # older Starlette releases (those for Python 3.8 among them) match no line feed in a path parameter
    assert got in (200, 400, 422) or (got == 404 and "\n" in entity), data
    got, _, data = call("POST", "/v1/features", body)
    assert got in (200, 400, 413, 422), data


def test_an_append_shows_without_a_restart(tmp_path):
    trx = history(16)
    first, second = trx.iloc[:1200], trx.iloc[1200:]
    path = location("lmdb", tmp_path)
    FeatureStore.create(path, first, horizons=[7, 30], history=400 * DAY).close()
    request = {"entities": trx["entity"].unique().tolist(), "at": T + DAY}
    targets = pd.DataFrame({"entity": request["entities"], "target_date": T + DAY})
    with serving(ServeSettings(path)) as call:
        before = json_rows(json.loads(call("POST", "/v1/features", request)[2])["features"])
        with FeatureStore.open(path) as writer:
            writer.append(second)
            params = writer.params
        after = json_rows(json.loads(call("POST", "/v1/features", request)[2])["features"])
    assert_json_bits(before, build_feature_frame(first, targets, params).iloc[:, 2:].to_numpy())
    assert_json_bits(after, build_feature_frame(trx, targets, params).iloc[:, 2:].to_numpy())
    assert not np.array_equal(before, after, equal_nan=True)  # the append changed answers


def test_the_front_end_and_its_command_line_import_without_the_server_packages():
    code = ("import sys\n"
            "import quelmar.afe.domain.modelling.feature_frame\n"
            "import quelmar.afe.domain.modelling.feature_frame.cli\n"
            "import quelmar.afe.domain.modelling.feature_frame.server\n"
            "print(sorted(m for m in ('starlette', 'uvicorn', 'orjson', 'pyarrow') if m in sys.modules))\n")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stdout.strip()) == (0, "[]"), result.stderr


# --- the command: real processes ---------------------------------------------


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


@contextlib.contextmanager
def serve_command(store_path, *options):
    """``quelmar-feature-frame serve`` in a process of its own, once its
    health endpoint answers; yields (process, port)."""
    port = free_port()
    process = subprocess.Popen([*CLI, "serve", store_path, "--port", str(port), *options],
                               stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 60
        while True:
            assert process.poll() is None, process.communicate()[1]
            assert time.monotonic() < deadline, "the server did not start"
            try:
                with contextlib.closing(Client(port)) as call:
                    if call("GET", "/v1/health")[0] == 200:
                        break
            except OSError:
                time.sleep(0.1)
        yield process, port
    finally:
        if process.poll() is None:
            process.kill()
        process.communicate()


def children_of(pid: int):
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as stat:
                if entry.isdigit() and int(stat.read().rsplit(")", 1)[1].split()[1]) == pid:
                    found.append(int(entry))
        except (OSError, ValueError):
            continue
    return found


@pytest.mark.slow
@pytest.mark.parametrize("workers", [1, 2])
def test_sigterm_stops_the_server_cleanly(tmp_path, workers):
    store, trx = make_store("lmdb", tmp_path, seed=17)
    store.close()
    targets = pd.DataFrame({"entity": trx["entity"].unique(), "target_date": T})
    want = build_feature_frame(trx, targets, store.params).iloc[:, 2:].to_numpy()
    with serve_command(store.location, "--workers", str(workers)) as (process, port):
        # every worker answers alike: many connections spread over them
        for _ in range(4 * workers):
            with contextlib.closing(Client(port)) as call:
                status, _, body = call("POST", "/v1/features", {"entities": targets["entity"].tolist(), "at": T})
            assert status == 200
            assert_json_bits(json_rows(json.loads(body)["features"]), want)
        workers_before = children_of(process.pid)
        process.send_signal(signal.SIGTERM)
        _, err = process.communicate(timeout=30)
    assert process.returncode == 0, err
    assert err.count("Application shutdown complete") == workers and "server stopped" in err
    # the workers were joined; the helper processes end once they see the parent gone
    deadline = time.monotonic() + 10
    while any(os.path.exists(f"/proc/{pid}") for pid in workers_before) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert [pid for pid in workers_before if os.path.exists(f"/proc/{pid}")] == []


@pytest.mark.parametrize("args,message", [
    (["NOWHERE"], "not a feature store"),
    (["STORE", "--token-file", "EMPTY"], "is empty"),
    (["STORE", "--token-file", "MISSING"], "cannot be read"),
    (["STORE", "--max-entities", "0"], "max_entities: expected a positive integer"),
    (["STORE", "--workers", "0"], "--workers: out of range"),
])
def test_the_command_refuses_a_bad_start(tmp_path, capsys, args, message):
    from quelmar.afe.domain.modelling.feature_frame.cli import main

    store, _ = make_store("lmdb", tmp_path, seed=18)
    store.close()
    (tmp_path / "empty").write_text("\n")
    names = {"NOWHERE": str(tmp_path), "STORE": store.location, "EMPTY": str(tmp_path / "empty"),
             "MISSING": str(tmp_path / "missing")}
    assert main(["serve", *[names.get(a, a) for a in args]]) == 2
    assert message in capsys.readouterr().err


APPEND = """
import sys, pandas as pd
from quelmar.afe.domain.modelling.feature_frame.store import FeatureStore
more = pd.read_parquet(sys.argv[2])
with FeatureStore.open(sys.argv[1]) as store:
    for part in range(1, int(sys.argv[3]) + 1):
        store.append(more.assign(timestamp=more.timestamp + part))
"""


@pytest.mark.slow
def test_a_load_with_appends_running_fails_no_request(tmp_path):
    """Four connections ask for single entities and batches while another
    process appends three batches (and for 30 requests each at least; 60 s
    at most): every answer is a 200 with a row per entity asked for, and
    the last ones have the appended rows."""
    trx = history(19, n_entities=200, n_rows=6000)
    path = location("lmdb", tmp_path)
    FeatureStore.create(path, trx, horizons=[7, 30], history=30 * DAY).close()
    trx.to_parquet(tmp_path / "more.parquet")
    ids = trx["entity"].unique().tolist()
    with serve_command(path, "--log-level", "warning") as (_, port):
        appender = subprocess.Popen([sys.executable, "-c", APPEND, path, str(tmp_path / "more.parquet"), "3"],
                                    stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 60

        def client(seed):
            rng, call, answered = np.random.default_rng(seed), Client(port), []
            while (appender.poll() is None or len(answered) < 30) and time.monotonic() < deadline:
                chosen = rng.choice(ids, int(rng.integers(1, 20))).tolist()
                if len(chosen) == 1:
                    status, _, body = call("GET", f"/v1/features/{chosen[0]}?at={T + DAY}")
                    rows = [json.loads(body).get("features")] if status == 200 else []
                else:
                    status, _, body = call("POST", "/v1/features", {"entities": chosen, "at": T + DAY})
                    rows = json.loads(body).get("features", []) if status == 200 else []
                answered.append((status, len(rows) == len(chosen)))
            call.close()
            return answered

        with ThreadPoolExecutor(4) as pool:
            answers = [a for part in pool.map(client, range(4)) for a in part]
        _, err = appender.communicate(timeout=60)
        with contextlib.closing(Client(port)) as call:
            last = json.loads(call("POST", "/v1/features", {"entities": ids, "at": T + DAY})[2])["features"]
    assert appender.returncode == 0, err
    assert len(answers) >= 120
    assert [a for a in answers if a != (200, True)] == []
    everything = pd.concat([trx] + [trx.assign(timestamp=trx.timestamp + part) for part in (1, 2, 3)])
    with FeatureStore.open(path) as store:
        want = build_feature_frame(everything, pd.DataFrame({"entity": ids, "target_date": T + DAY}), store.params)
    assert_json_bits(json_rows(last), want.iloc[:, 2:].to_numpy())
