"""The HTTP application: a Starlette app over one feature store.

    GET  /v1/features/{entity}?at=...   one entity's features
    POST /v1/features                   {"entities": [...], "at": ...}: a batch
    GET  /v1/columns                    the feature columns and the id type
    GET  /v1/info                       what the store keeps (counts, newest transaction)
    GET  /v1/health                     liveness, without a token

The store is read in the event loop itself: a read is a memory-mapped
lookup and the engine's work on one entity, shorter than handing it to a
thread would be; several worker processes (``--workers``) serve side by
side. Each read sees the latest committed append. The handlers parse
what they need by hand (no schema validation per request) and answer with
one ``Response`` of bytes made by orjson or pyarrow. Every fault of a
request is a 4xx with ``{"error": message}``.
"""

from __future__ import annotations

import contextlib
import dataclasses
import hmac

import numpy as np
from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.exceptions import HTTPException
from starlette.responses import Response
from starlette.routing import Route

from ..errors import NotAnswerableError, StoreError
from ..store import FeatureStore
from ..support import require
from .answers import ARROW_STREAM, JSON, Answers, error_body, iso_text
from .requests import EntityIds, Instants, RequestError, bad, batch, query
from .settings import ServeSettings

class FeatureService:
    """The endpoints of one store. ``store``: an open store to serve (the
    caller closes it); by default the settings' store is opened when the
    application starts and closed when it stops."""

    def __init__(self, settings: ServeSettings, store=None):
        self.settings, self._given = settings, store
        token = settings.read_token()
        self._token = None if token is None else token.encode()
        orjson = require("orjson")
        self._loads, self._dumps, self._json_error = orjson.loads, orjson.dumps, orjson.JSONDecodeError
        self.store = self.ids = self.instants = self.answers = None

    @contextlib.asynccontextmanager
    async def lifespan(self, app):
        store = self._given if self._given is not None else FeatureStore.open(self.settings.location)
        try:
            self.store, self.ids = store, EntityIds(store.id_type)
            self.instants, self.answers = Instants(store.params.timestamp_unit), Answers(store, self.ids)
            yield
        finally:
            if self._given is None:
                store.close()

    # ---- endpoints

    async def one(self, request) -> Response:
        try:
            self._authorize(request)
            at = query(request.scope["query_string"], ("at",)).get("at")
            entity = self.ids.from_text(request.path_params["entity"])
            at_ms = self.instants.of(at)
            row = self._ask(self.store.feature_row, entity, at_ms)
            if _wants_arrow(request):
                return self._arrow([entity], at_ms, row[None, :])
            return Response(self.answers.one(entity, at_ms, row), media_type=JSON)
        except RequestError as error:
            return self._refusal(error)

    async def many(self, request) -> Response:
        try:
            self._authorize(request)
            query(request.scope["query_string"], ())
            entities, at = batch(await self._json_body(request), self.ids, self.settings.max_entities)
            at_ms = self.instants.of(at)
            rows = self._ask(self.store.feature_rows, entities, at_ms)
            if _wants_arrow(request):
                return self._arrow(entities, at_ms, rows)
            return Response(self.answers.many(entities, at_ms, rows), media_type=JSON)
        except RequestError as error:
            return self._refusal(error)

    async def columns(self, request) -> Response:
        refused = self._refused(request)
        return refused or Response(self.answers.description, media_type=JSON)

    async def info(self, request) -> Response:
        refused = self._refused(request)
        if refused:
            return refused
        # counting the entities reads every appended key: not in the event loop
        info = dataclasses.asdict(await run_in_threadpool(self.store.info))
        del info["location"]  # a Redis location may hold a password
        for name in ("newest", "answers_from"):
            ms = info[f"{name}_ms"]
            info[name] = None if ms is None else iso_text(ms)
        return Response(self.answers.json(info), media_type=JSON)

    async def health(self, request) -> Response:
        return Response(b'{"status":"ok"}', media_type=JSON)

    # ---- the parts

    def _authorize(self, request) -> None:
        if self._token is None:
            return
        scheme, _, given = request.headers.get("authorization", "").partition(" ")
        # compare_digest's time does not depend on where the first wrong byte is: timing
        # answers cannot guess the token byte by byte
        if scheme.lower() != "bearer" or not hmac.compare_digest(given.strip().encode("latin-1"), self._token):
            raise RequestError(401, "a valid bearer token is required (Authorization: Bearer TOKEN)")

    def _ask(self, read, entities, at_ms: int):
        """``read(entities, at)`` with the store's refusals turned into answers."""
        try:
            return read(entities, np.datetime64(at_ms, "ms"))
        except NotAnswerableError as exc:
            raise RequestError(422, str(exc)) from None
        except StoreError:
            raise  # the store itself is at fault: a 500, logged
        except (ValueError, TypeError) as exc:  # the front end's faults of the caller's data (an id too long)
            raise bad(str(exc)) from None

    def _refused(self, request):
        """The refusal of a request without parameters, or None."""
        try:
            self._authorize(request)
            query(request.scope["query_string"], ())
        except RequestError as error:
            return self._refusal(error)
        return None

    def _arrow(self, entities, at_ms: int, rows) -> Response:
        return Response(self.answers.arrow(entities, at_ms, rows), media_type=ARROW_STREAM)

    async def _json_body(self, request):
        try:
            return self._loads(await self._body(request))
        except self._json_error as exc:
            raise bad(f"the body is not JSON: {exc}") from None

    async def _body(self, request) -> bytes:
        limit = self.settings.max_body_bytes
        declared = request.headers.get("content-length", "")
        if declared.isdigit() and int(declared) > limit:
            raise _too_large(limit)
        chunks, size = [], 0
        async for chunk in request.stream():
            size += len(chunk)
            if size > limit:
                raise _too_large(limit)
            chunks.append(chunk)
        return b"".join(chunks)

    def _refusal(self, error: RequestError) -> Response:
        headers = {"WWW-Authenticate": "Bearer"} if error.status == 401 else None
        return Response(self._dumps(error_body(error.message)), status_code=error.status, headers=headers,
                        media_type=JSON)


def _too_large(limit: int) -> RequestError:
    return RequestError(413, f"the body is larger than the {limit} bytes a request may have")


def _wants_arrow(request) -> bool:
    accept = request.headers.get("accept")
    if not accept or ARROW_STREAM not in accept:
        return False
    for part in accept.split(","):
        media, *options = (p.strip() for p in part.split(";"))
        if media == ARROW_STREAM:
            return not any(o.replace(" ", "") in ("q=0", "q=0.0", "q=0.00", "q=0.000") for o in options)
    return False


def create_app(settings: ServeSettings, store=None) -> Starlette:
    """The application serving ``settings.location`` (or the open ``store``)."""
    service = FeatureService(settings, store)

    async def http_error(request, exc: HTTPException) -> Response:
        return Response(service._dumps(error_body(str(exc.detail))), status_code=exc.status_code,
                        headers=getattr(exc, "headers", None), media_type=JSON)

    async def server_error(request, exc: Exception) -> Response:
        return Response(service._dumps(error_body("internal error; see the server's log")), status_code=500,
                        media_type=JSON)

    routes = [
        Route("/v1/features/{entity:path}", service.one, methods=["GET"]),
        Route("/v1/features", service.many, methods=["POST"]),
        Route("/v1/columns", service.columns, methods=["GET"]),
        Route("/v1/info", service.info, methods=["GET"]),
        Route("/v1/health", service.health, methods=["GET"]),
    ]
    return Starlette(routes=routes, lifespan=service.lifespan,
                     exception_handlers={HTTPException: http_error, Exception: server_error})


def app_from_environment() -> Starlette:
    """The application of the settings in the environment (uvicorn's workers call this)."""
    return create_app(ServeSettings.from_environment())
