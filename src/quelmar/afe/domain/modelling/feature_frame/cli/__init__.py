"""The command line: ``quelmar-feature-frame``."""

from .app import PROG, main, program

__all__ = ["PROG", "main", "program"]
