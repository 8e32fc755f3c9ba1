"""``quelmar-feature-frame serve STORE``: a store's features over HTTP, on
uvicorn, in one or several worker processes.

Everything that can be checked is checked before the server starts (the
store opens, the token file reads, the limits are positive), so that a
mistake ends with one line and status 2 rather than a worker's traceback.
SIGTERM and Ctrl-C are uvicorn's: it stops taking connections, finishes
the requests under way, closes the store and the command ends with 0.
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
from typing import List, Optional

from ..server import APP_FACTORY, SETTINGS_ENV, ServeSettings
from ..server.settings import DEFAULT_MAX_BODY_BYTES, DEFAULT_MAX_ENTITIES
from ..store import FeatureStore
from ..support import require
from .common import PROG


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog=f"{PROG} serve", description="Serve a feature store's features over HTTP "
                                "(see the README's section 'Serving features' for the endpoints).")
    p.add_argument("store", help="the store: a directory, or a redis:// location")
    p.add_argument("--host", default="127.0.0.1",
                   help="address to listen on (default: 127.0.0.1, this machine only; 0.0.0.0 for every interface)")
    p.add_argument("--port", type=int, default=8000, help="port to listen on (default: 8000)")
    p.add_argument("--workers", type=int, default=1, help="worker processes sharing the port (default: 1)")
    p.add_argument("--token-file", default=None,
                   help="file holding a token that every request but /v1/health must send as "
                   "'Authorization: Bearer TOKEN'; default: no token")
    p.add_argument("--max-entities", type=int, default=DEFAULT_MAX_ENTITIES,
                   help=f"most entities of one batch request (default: {DEFAULT_MAX_ENTITIES})")
    p.add_argument("--max-body-bytes", type=int, default=DEFAULT_MAX_BODY_BYTES,
                   help=f"largest request body in bytes (default: {DEFAULT_MAX_BODY_BYTES})")
    p.add_argument("--access-log", action="store_true",
                   help="log every request (it costs about as much as answering a small one)")
    p.add_argument("--log-level", default="info", choices=["critical", "error", "warning", "info", "debug"],
                   help="uvicorn's log level (default: info)")
    return p


def main(argv: Optional[List[str]] = None) -> int:
    args = _parser().parse_args(argv)
    try:
        settings = _checked(args)
    except KeyboardInterrupt:
        return 130
    except (ValueError, TypeError, OSError, ImportError) as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 2
    uvicorn = require("uvicorn")
    os.environ[SETTINGS_ENV] = settings.to_environment()
    # uvicorn hands a stopping signal back to the handler it found once it has
    # shut down; that handler lets the command end with 0 instead of dying of it
    previous = {sig: signal.signal(sig, _stopped) for sig in (signal.SIGTERM, signal.SIGINT)}
    try:
        uvicorn.run(APP_FACTORY, factory=True, host=args.host, port=args.port, workers=args.workers,
                    access_log=args.access_log, log_level=args.log_level, lifespan="on")
    except SystemExit as exc:  # uvicorn's way of saying it could not start (a port in use)
        print(f"{PROG}: error: the server did not start (see the lines above)", file=sys.stderr)
        return exc.code if isinstance(exc.code, int) and exc.code else 2
    finally:
        for sig, handler in previous.items():
            signal.signal(sig, handler)
    print(f"{PROG}: server stopped", file=sys.stderr)
    return 0


def _stopped(signum, frame) -> None:
    """A stopping signal once uvicorn is done with it: nothing left to do."""


def _checked(args) -> ServeSettings:
    for name in ("port", "workers"):
        value = getattr(args, name)
        if value < (0 if name == "port" else 1) or (name == "port" and value > 65535):
            raise ValueError(f"--{name}: out of range: {value}")
    settings = ServeSettings(args.store, token_file=args.token_file, max_entities=args.max_entities,
                             max_body_bytes=args.max_body_bytes)
    settings.read_token()
    for name in ("starlette", "uvicorn", "orjson"):
        require(name)
    with FeatureStore.open(settings.location) as store:
        columns = len(store.feature_columns)
    where = f"http://{args.host}:{args.port}" if ":" not in args.host else f"http://[{args.host}]:{args.port}"
    print(f"{PROG}: serving {columns} feature columns of {settings.location} on {where} with "
          f"{args.workers} worker process{'es' if args.workers > 1 else ''}", file=sys.stderr)
    return settings
