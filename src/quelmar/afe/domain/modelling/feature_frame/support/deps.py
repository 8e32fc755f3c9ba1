"""Optional third-party packages, imported only when a feature needs them.

The native kernel depends on NumPy alone; pandas, pyarrow, tqdm, Dask,
pyspark, LMDB, Redis and the server's packages are extras, so a missing one
is reported with the install command that brings it.
"""

from __future__ import annotations

import importlib

_EXTRA_OF = {
    "pandas": "frame",
    "pyarrow": "frame",
    "tqdm": "frame",
    "dask": "dask",
    "dask.dataframe": "dask",
    "distributed": "dask",
    "pyspark.sql.functions": "spark",
    "pyspark.sql.types": "spark",
    "lmdb": "store",
    "redis": "store",
    "starlette": "serve",
    "uvicorn": "serve",
    "orjson": "serve",
}


def require(module_name: str):
    """Import ``module_name`` or raise an ImportError naming the extra to install."""
    try:
        return importlib.import_module(module_name)
    except ImportError as exc:
        extra = _EXTRA_OF.get(module_name, "frame")
        raise ImportError(
            f"quelmar feature frames need the optional package {module_name!r}; install it with "
            f'pip install ".[{extra}]"'
        ) from exc


def pandas():
    return require("pandas")


def preload(*module_names: str) -> None:
    """Imports now the optional modules a job will need, so that no import
    happens halfway through its work (where a signal could cut it short)."""
    for name in module_names:
        require(name)
