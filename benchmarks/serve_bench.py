"""Serving over HTTP: latency percentiles and throughput of
``quelmar-feature-frame serve`` on loopback, and what the server adds to
the store's own ``feature_row``.

    python benchmarks/serve_bench.py                        # a new store of 10,000 entities, 96 columns
    python benchmarks/serve_bench.py --entities 100000      # a larger new store
    python benchmarks/serve_bench.py STORE                  # an existing store (LMDB directory or redis://)
    python benchmarks/serve_bench.py STORE --servers fake   # only the server's own cost
    python benchmarks/serve_bench.py --json out.json

Made store: ``--entities`` entities, about 50 transactions each within the
largest window (Poisson), 8 dimension codes, sum, frequency and max over
7, 30, 90 and 365 days: 96 float32 columns, as the issue's target store.
Requests ask for random entities of the store as of its newest
transaction (``--at`` to change it).

Servers (``--servers``, default both): ``real`` is the command as a user
runs it; ``fake`` is the same application on uvicorn whose store reads are
replaced by a copy of one precomputed row, so that what it costs is the
server alone (HTTP, routing, parsing, JSON).

Each server is warmed (``--warm`` seconds of saturation) and measured:

* in process: ``feature_row`` and ``feature_rows`` of 100 entities, p50/p99
  (the real store only);
* fixed rate: one entity per request at ``--rate`` requests/s for
  ``--duration`` seconds, and batches of ``--batch`` entities at
  ``--batch-rate``. Debian's wrk has no fixed-rate mode, so this load comes
  from a client of our own: ``--clients`` threads, each on one kept-alive
  connection, send on a fixed schedule; a request's latency counts from the
  time it was due, so that a slow answer also counts against the requests
  it delays (no coordinated omission). The client's threads share the
  interpreter lock and the machine with the server, so more of them add
  their own waits to the figures: two (the default) keep a request under
  way while the other waits for its answer;
* saturation: ``wrk`` (Debian's package) with ``--connections``
  connections on one thread, a Lua script picking a random entity per
  request (and the batch body for batches); requests/s and wrk's p50/p99.

For each load, the server's CPU time per request comes from
``/proc/PID/stat``: on a shared machine the steadier figure.
"""

from __future__ import annotations

import argparse
import contextlib
import http.client
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np

DAY = 86_400_000
CLI = [sys.executable, "-m", "quelmar.afe.domain.modelling.feature_frame"]
ARROW = "application/vnd.apache.arrow.stream"


def make_store(path: str, n_entities: int, seed: int = 0) -> None:
    import pandas as pd

    from quelmar.afe.domain.modelling.feature_frame.store import FeatureStore

    rng = np.random.default_rng(seed)
    per_entity = rng.poisson(50, n_entities)
    entity = np.repeat(rng.choice(10**10, n_entities, replace=False), per_entity)
    newest = np.datetime64("2024-06-30", "ms").astype(np.int64)
    trx = pd.DataFrame({
        "entity": entity,
        "timestamp": newest - rng.integers(0, 365 * DAY, len(entity)),
        "quantity": np.round(rng.gamma(2.0, 30.0, len(entity)), 2),
        "dimension": rng.integers(0, 8, len(entity)).astype(np.int8),
    })
    FeatureStore.create(path, trx, horizons=[7, 30, 90, 365], operators=["sum", "frequency", "max"],
                        history=7 * DAY).close()


class ConstantStore:
    """A store whose reads answer a copy of one precomputed row: serving it
    costs what the server adds and nothing of the store."""

    def __init__(self, store, entity, at):
        self._store, self.params, self.id_type = store, store.params, store.id_type
        self.feature_columns = store.feature_columns
        self._row = store.feature_row(entity, at)

    def feature_row(self, entity, at=None):
        return self._row.copy()

    def feature_rows(self, entities, at=None):
        return np.tile(self._row, (len(entities), 1))

    def info(self):
        return self._store.info()


def serve_fake(location: str, port: int, entity, at: str) -> None:
    """The application over a ``ConstantStore``, as the command runs it."""
    import uvicorn

    from quelmar.afe.domain.modelling.feature_frame.server import ServeSettings
    from quelmar.afe.domain.modelling.feature_frame.server.app import create_app
    from quelmar.afe.domain.modelling.feature_frame.store import FeatureStore

    with FeatureStore.open(location) as store:
        app = create_app(ServeSettings(location), store=ConstantStore(store, entity, at))
        uvicorn.run(app, host="127.0.0.1", port=port, access_log=False, log_level="warning")


# ---------------------------------------------------------------------------
# loads


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


@contextlib.contextmanager
def server(kind: str, location: str, entity, at: str, workers: int):
    port = free_port()
    if kind == "real":
        command = [*CLI, "serve", location, "--port", str(port), "--workers", str(workers), "--log-level", "warning"]
    else:
        command = [sys.executable, __file__, location, "--serve-fake", str(port), "--fake-entity", json.dumps(entity),
                   "--at", at]
    process = subprocess.Popen(command)
    try:
        deadline = time.monotonic() + 120
        while True:
            if process.poll() is not None or time.monotonic() > deadline:
                raise SystemExit(f"the {kind} server did not start")
            try:
                with contextlib.closing(http.client.HTTPConnection("127.0.0.1", port, timeout=5)) as conn:
                    conn.request("GET", "/v1/health")
                    if conn.getresponse().status == 200:
                        break
            except OSError:
                time.sleep(0.1)
        yield process, port
    finally:
        process.terminate()
        process.wait(60)


def cpu_seconds(pid: int) -> float:
    """User and system CPU time of a process and its children (the workers)."""
    total = 0.0
    for entry in [str(pid)] + [p for p in os.listdir("/proc") if p.isdigit()]:
        try:
            with open(f"/proc/{entry}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if entry == str(pid) or int(fields[1]) == pid:
            total += (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    return total


def fixed_rate(port: int, requests, rate: float, duration: float, clients: int):
    """Sends ``requests`` ((method, path, body) in turn) on a fixed
    schedule; returns (latencies in seconds from each request's due time,
    NaN for those never sent, failures, achieved rate). A server slower
    than the rate falls behind: the requests still unsent at twice the
    duration are given up, so that the run ends."""
    n = max(int(rate * duration), 1)
    latency = np.full(n, np.nan)
    failures = [0] * clients
    start = time.perf_counter() + 0.2
    give_up = start + 2 * duration

    def client(k):
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        for i in range(k, n, clients):
            due = start + i / rate
            now = time.perf_counter()
            if now > give_up:
                break
            wait = due - now
            if wait > 0:
                time.sleep(wait)
            method, path, body = requests[i % len(requests)]
            conn.request(method, path, body=body, headers={"Content-Type": "application/json"} if body else {})
            response = conn.getresponse()
            response.read()
            latency[i] = time.perf_counter() - due
            failures[k] += response.status != 200
        conn.close()

    threads = [threading.Thread(target=client, args=(k,)) for k in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    elapsed = time.perf_counter() - start
    return latency, sum(failures), np.count_nonzero(~np.isnan(latency)) / elapsed


WRK_SCRIPT = """
local ids = {%(ids)s}
local batch = %(batch)d
local at = "%(at)s"
request = function()
    if batch == 0 then
        return wrk.format("GET", "/v1/features/" .. ids[math.random(#ids)] .. "?at=" .. at, %(headers)s)
    end
    local chosen = {}
    for i = 1, batch do chosen[i] = ids[math.random(#ids)] end
    local body = '{"at": "' .. at .. '", "entities": [' .. table.concat(chosen, ",") .. ']}'
    return wrk.format("POST", "/v1/features", %(headers)s, body)
end
"""


def wrk(port: int, ids, at: str, batch: int, seconds: float, connections: int, accept: str):
    headers = '{["Accept"] = "%s", ["Content-Type"] = "application/json"}' % accept
    script = WRK_SCRIPT % {"ids": ",".join(str(i) for i in ids), "batch": batch, "at": at, "headers": headers}
    with tempfile.NamedTemporaryFile("w", suffix=".lua", delete=False) as file:
        file.write(script)
    try:
        out = subprocess.run(["wrk", "-t1", f"-c{connections}", "--timeout", "30s", f"-d{max(int(seconds), 1)}s", "--latency",
                              "-s", file.name, f"http://127.0.0.1:{port}"], capture_output=True, text=True,
                             check=True).stdout
    finally:
        os.unlink(file.name)
    failed = sum(int(n) for n in re.findall(r"(?:Non-2xx or 3xx responses|connect|read|write|timeout):? (\d+)", out))
    return {"rate": float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1)), "unsent": 0,
            "p50_ms": _wrk_ms(out, "50%"), "p99_ms": _wrk_ms(out, "99%"),
            "requests": int(re.search(r"(\d+) requests in", out).group(1)), "failed": failed}


def _wrk_ms(out: str, which: str) -> float:
    value, unit = re.search(rf"{which}\s+([\d.]+)(us|ms|s)", out).groups()
    return float(value) * {"us": 1e-3, "ms": 1.0, "s": 1e3}[unit]


# ---------------------------------------------------------------------------
# the run


def in_process(location: str, ids, at: str, batch: int, repeat: int = 2000):
    from quelmar.afe.domain.modelling.feature_frame.store import FeatureStore

    rng = np.random.default_rng(1)
    out = {}
    with FeatureStore.open(location) as store:
        for name, size, count in (("feature_row", 1, repeat), (f"feature_rows({batch})", batch, max(repeat // 20, 50))):
            times = np.empty(count)
            for i in range(-count // 10, count):  # a tenth more first, to warm the pages and caches
                chosen = rng.choice(ids, size).tolist()
                begin = time.perf_counter()
                store.feature_rows(chosen, at) if size > 1 else store.feature_row(chosen[0], at)
                if i >= 0:
                    times[i] = time.perf_counter() - begin
            out[name] = {"p50_ms": 1e3 * np.percentile(times, 50), "p99_ms": 1e3 * np.percentile(times, 99)}
    return out


def measure(kind: str, location: str, ids, at: str, args) -> dict:
    rng = np.random.default_rng(2)
    accept = ARROW if args.arrow else "application/json"
    one = [("GET", f"/v1/features/{e}?at={at}", None) for e in rng.choice(ids, 5000).tolist()]
    many = [("POST", "/v1/features", json.dumps({"entities": rng.choice(ids, args.batch).tolist(), "at": at}))
            for _ in range(500)]
    results = {}
    with server(kind, location, ids[0], at, args.workers) as (process, port):
        wrk(port, ids, at, 0, args.warm, args.connections, accept)
        for name, requests, rate, batch in (("one entity", one, args.rate, 0),
                                            (f"{args.batch} entities", many, args.batch_rate, args.batch)):
            cpu = cpu_seconds(process.pid)
            latency, failed, achieved = fixed_rate(port, requests, rate, args.duration, args.clients)
            cpu = cpu_seconds(process.pid) - cpu
            sent = np.count_nonzero(~np.isnan(latency))
            results[f"{name} at {rate:g}/s"] = {
                "rate": achieved, "p50_ms": 1e3 * np.nanpercentile(latency, 50),
                "p99_ms": 1e3 * np.nanpercentile(latency, 99), "failed": failed, "unsent": int(len(latency) - sent),
                "server_cpu_us": 1e6 * cpu / max(sent, 1)}
            cpu = cpu_seconds(process.pid)
            saturated = wrk(port, ids, at, batch, args.duration, args.connections, accept)
            saturated["server_cpu_us"] = 1e6 * (cpu_seconds(process.pid) - cpu) / max(saturated["requests"], 1)
            results[f"{name} saturated ({args.connections} connections)"] = saturated
    return results


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("store", nargs="?", help="an existing store; default: make one in a temporary directory")
    p.add_argument("--entities", type=int, default=10_000, help="entities of the made store")
    p.add_argument("--servers", default="real,fake", help="real, fake or both")
    p.add_argument("--workers", type=int, default=1, help="worker processes of the real server")
    p.add_argument("--at", default=None, help="the requests' at (default: the store's newest transaction)")
    p.add_argument("--rate", type=float, default=1000, help="fixed rate of single-entity requests per second")
    p.add_argument("--batch", type=int, default=100, help="entities of a batch request")
    p.add_argument("--batch-rate", type=float, default=100, help="fixed rate of batch requests per second")
    p.add_argument("--duration", type=float, default=5, help="seconds of each load")
    p.add_argument("--warm", type=float, default=2, help="seconds of saturation before measuring")
    p.add_argument("--clients", type=int, default=2, help="connections of the fixed-rate client")
    p.add_argument("--connections", type=int, default=8, help="wrk's connections at saturation")
    p.add_argument("--arrow", action="store_true", help="ask for Arrow IPC answers instead of JSON")
    p.add_argument("--json", help="also write the results to this file")
    p.add_argument("--serve-fake", type=int, help=argparse.SUPPRESS)
    p.add_argument("--fake-entity", help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.serve_fake:
        serve_fake(args.store, args.serve_fake, json.loads(args.fake_entity), args.at)
        return 0
    if shutil.which("wrk") is None:
        raise SystemExit("wrk is needed for the saturation runs: apt-get install -y wrk")
    with contextlib.ExitStack() as stack:
        location = args.store
        if location is None:
            location = os.path.join(stack.enter_context(tempfile.TemporaryDirectory()), "store")
            begin = time.perf_counter()
            make_store(location, args.entities)
            print(f"made a store of {args.entities:,} entities in {time.perf_counter() - begin:.1f} s", file=sys.stderr)
        from quelmar.afe.domain.modelling.feature_frame.store import FeatureStore

        with FeatureStore.open(location) as store:
            info = store.info()
            sample = store.entities()
            sample = np.random.default_rng(0).choice(np.asarray(sample), min(len(sample), 1000), replace=False)
            ids = [e.item() if hasattr(e, "item") else e for e in sample]
        at = args.at or str(np.datetime64(info.newest_ms, "ms"))
        results = {"store": {"entities": info.entities, "rows": info.rows, "feature_columns": info.feature_columns,
                             "at": at}, "in process": in_process(location, ids, at, args.batch)}
        load_before = os.getloadavg()[0]
        for kind in args.servers.split(","):
            results[kind] = measure(kind, location, ids, at, args)
        # other work on the machine shows in every figure
        results["machine"] = {"cores": os.cpu_count(), "load_before": load_before, "load_after": os.getloadavg()[0]}
    report(results)
    if args.json:
        with open(args.json, "w") as file:
            json.dump(dict(results, command=sys.argv), file, indent=2, default=lambda value: value.item())
    return 0


def report(results: dict) -> None:
    store = results["store"]
    machine = results["machine"]
    print(f"store: {store['entities']:,} entities, {store['rows']:,} rows, {store['feature_columns']} columns; "
          f"at {store['at']}; {machine['cores']} cores, load average {machine['load_before']:.1f} before, "
          f"{machine['load_after']:.1f} after")
    print(f"{'':>10} {'load':<40} {'req/s':>8} {'p50 ms':>8} {'p99 ms':>8} {'failed':>6} {'unsent':>6} "
          f"{'server CPU us/req':>18}")
    for name, figures in results["in process"].items():
        print(f"{'in process':>10} {name:<40} {'':>8} {figures['p50_ms']:8.3f} {figures['p99_ms']:8.3f}")
    for kind in ("real", "fake"):
        for name, f in results.get(kind, {}).items():
            print(f"{kind:>10} {name:<40} {f['rate']:8.0f} {f['p50_ms']:8.3f} {f['p99_ms']:8.3f} {f['failed']:6d} "
                  f"{f['unsent']:6d} {f['server_cpu_us']:18.0f}")


if __name__ == "__main__":
    sys.exit(main())
