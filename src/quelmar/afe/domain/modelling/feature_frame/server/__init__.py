"""The serving layer: one feature store over HTTP (Starlette on uvicorn).

``server.app.create_app(ServeSettings(location))`` makes the application;
``quelmar-feature-frame serve STORE`` runs it. This package's own import
needs none of the optional packages: Starlette, uvicorn, orjson and pyarrow
are imported by ``server.app`` and when answering.
"""

from .settings import APP_FACTORY, SETTINGS_ENV, ServeSettings

__all__ = ["APP_FACTORY", "SETTINGS_ENV", "ServeSettings"]
