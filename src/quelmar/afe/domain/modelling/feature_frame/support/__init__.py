"""What every layer may use: optional packages imported on demand, the
machine's cores and memory, progress bars and the installed version."""

from . import stopping
from .deps import pandas, preload, require
from .machine import available_memory, default_n_jobs, resident_bytes, size_text
from .progress import stage
from .version import installed_version

__all__ = ["available_memory", "default_n_jobs", "installed_version", "pandas", "preload", "require", "resident_bytes",
           "size_text", "stage"]
