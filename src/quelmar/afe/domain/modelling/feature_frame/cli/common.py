"""What the command line's jobs share: one option per parameter of
``FeatureParams``, warnings as lines, and the way a run ends (signals,
errors) turned into an exit status and one line on standard error."""

from __future__ import annotations

import os
import signal
import sys
import threading
import warnings

from ..errors import Terminated
from ..params import FeatureParams, command_line_fields, default_text
from ..support import stopping

PROG = "quelmar-feature-frame"
#: The modules a run over files uses, imported before any work starts.
RUN_MODULES = ("numpy", "pandas", "pyarrow", "pyarrow.compute", "pyarrow.csv", "pyarrow.parquet")


def add_parameter_options(sections) -> None:
    """One option per parameter of ``FeatureParams`` that the command line
    takes: ``--horizons`` for ``horizons``, in the section its field names."""
    for field in command_line_fields():
        meta = field.metadata
        default = default_text(field)
        shown = "" if default is None else f" (default: {default})"
        flags = ["--" + field.name.replace("_", "-"), *meta["flags"]]
        sections[meta["section"]].add_argument(*flags, dest=field.name, default=None, choices=meta["choices"],
                                               help=(meta["help"] + shown).replace("%", "%%"))


def parameter_options(args) -> dict:
    """The parameters given on a command line, as ``FeatureParams`` keywords."""
    return {field.name: field.metadata["text"](getattr(args, field.name)) for field in command_line_fields()
            if getattr(args, field.name, None) is not None}


def params_from_args(args) -> FeatureParams:
    """The checked parameters of a command line; every fault is raised here,
    before any file is read. A parameter that no longer has an effect is
    reported as a warning line on standard error."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", FutureWarning)
        params = FeatureParams(**parameter_options(args))
    for warning in caught:
        print(f"{PROG}: warning: {warning.message}", file=sys.stderr)
    return params



def _terminate(signum, frame):
    if stopping.ask(Terminated):
        raise Terminated()


def _interrupt(signum, frame):
    if stopping.ask(KeyboardInterrupt):
        raise KeyboardInterrupt()


def run_stoppable(run, args) -> int:
    """``run(args)`` with SIGTERM and Ctrl-C turned into exceptions that
    unwind it, and every ending turned into an exit status."""
    stopping.reset()
    # only the main thread may set a handler (main() may be called from others)
    handlers = {}
    if threading.current_thread() is threading.main_thread():
        handlers = {signal.SIGTERM: signal.signal(signal.SIGTERM, _terminate),
                    signal.SIGINT: signal.signal(signal.SIGINT, _interrupt)}
    try:
        return _stopped_or(run, args)
    finally:
        for signum, previous in handlers.items():
            signal.signal(signum, previous)


def _stopped_or(run, args) -> int:
    """``run(args)``, with every way a run ends turned into an exit status
    and one line on standard error. A stop asked for by a signal is reported
    as such whatever else it made fail on its way out."""
    try:
        status = run(args)
        stopping.check()
        return status
    except BaseException as exc:  # noqa: BLE001 - every ending gets its status
        kind = stopping.asked() or type(exc)
        if issubclass(kind, Terminated):
            print(f"{PROG}: terminated; no output written", file=sys.stderr)
            return 128 + signal.SIGTERM
        if issubclass(kind, KeyboardInterrupt):
            print(f"{PROG}: interrupted; no output written", file=sys.stderr)
            return 130
        if isinstance(exc, BrokenPipeError):
            # the reader went away (``-o - | head``): stop quietly, and keep the
            # interpreter's final flush of stdout from failing again
            try:
                devnull = os.open(os.devnull, os.O_WRONLY)
                os.dup2(devnull, sys.stdout.fileno())
            except (OSError, ValueError, AttributeError):
                pass
            return 0
        if isinstance(exc, (ValueError, TypeError, OSError, ImportError)):
            print(f"{PROG}: error: {exc}", file=sys.stderr)
            return 2
        raise
