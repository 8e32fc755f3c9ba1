"""The command line: ``quelmar-feature-frame``."""

from .app import PROG, main

__all__ = ["PROG", "main"]
