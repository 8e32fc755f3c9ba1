"""What a feature server is started with: the store, the token file and the
request limits. Worker processes are started by uvicorn from an import
string, so the settings travel to them in one environment variable; the
token itself does not (each worker reads the file)."""

from __future__ import annotations

import dataclasses
import json
import os
from typing import Optional

from ..errors import InvalidParameterError

#: The environment variable that hands the settings to uvicorn's worker processes.
SETTINGS_ENV = "QUELMAR_FEATURE_SERVER"
#: ``module:function`` that uvicorn calls in each worker to make the application.
APP_FACTORY = "quelmar.afe.domain.modelling.feature_frame.server.app:app_from_environment"

DEFAULT_MAX_ENTITIES = 1_000
#: Room for the largest batch of the longest ids a store keys (about 510 bytes each).
DEFAULT_MAX_BODY_BYTES = 1 << 20


@dataclasses.dataclass(frozen=True)
class ServeSettings:
    location: str
    token_file: Optional[str] = None
    max_entities: int = DEFAULT_MAX_ENTITIES
    max_body_bytes: int = DEFAULT_MAX_BODY_BYTES

    def __post_init__(self):
        for name in ("max_entities", "max_body_bytes"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, int) or value < 1:
                raise InvalidParameterError(f"{name}: expected a positive integer, got {value!r}")

    def read_token(self) -> Optional[str]:
        """The bearer token clients must send (None: no token asked for).
        Surrounding white space, such as the file's last newline, is not part
        of it."""
        if self.token_file is None:
            return None
        try:
            with open(self.token_file, encoding="utf-8") as file:
                token = file.read().strip()
        except (OSError, UnicodeDecodeError) as exc:
            raise InvalidParameterError(f"token file {self.token_file}: cannot be read: {exc}") from None
        if not token:
            raise InvalidParameterError(f"token file {self.token_file}: is empty")
        if any(c.isspace() or not c.isprintable() for c in token):
            raise InvalidParameterError(f"token file {self.token_file}: the token holds white space or "
                                        "control characters, which an Authorization header cannot carry")
        return token

    def to_environment(self) -> str:
        return json.dumps(dataclasses.asdict(self))

    @classmethod
    def from_environment(cls) -> "ServeSettings":
        text = os.environ.get(SETTINGS_ENV)
        if not text:
            raise InvalidParameterError(f"{SETTINGS_ENV} is not set: start the server with "
                                        "`quelmar-feature-frame serve STORE`")
        return cls(**json.loads(text))
