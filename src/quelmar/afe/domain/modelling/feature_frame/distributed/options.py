"""The parameters of a distributed build, read as every engine reads them."""

from __future__ import annotations

import dataclasses
from typing import Optional

from ..params import FeatureParams


def task_params(params: Optional[FeatureParams], options: dict, caller: str, progress_instead: str) -> FeatureParams:
    """The checked parameters of ``caller``: ``progress`` is refused (the
    engine shows its own: ``progress_instead``), and each task's engine uses
    one thread unless ``n_jobs`` is given, since the engine already runs a
    task per core."""
    if "progress" in options:
        if options.pop("progress"):
            raise ValueError(f"progress: not available on {progress_instead}")
    params = FeatureParams.from_options(params, options, caller)
    if params.n_jobs is None:
        params = dataclasses.replace(params, n_jobs=1)
    return params
