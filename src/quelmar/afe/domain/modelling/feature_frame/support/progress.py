"""Progress bars of the feature frame work: reading, preparing, computing, writing.

One bar per stage, drawn by tqdm on standard error; the engine's stages
move theirs through ``follow``, whose callbacks the engine calls about ten
times a second from the calling thread. A stage whose work comes
in long single steps (a sort, a native call) would freeze the bar, so a small
ticker thread redraws it at least twice a second; it only redraws, it never
does any of the work. Disabled progress costs one no-op object per stage.
"""

from __future__ import annotations

import contextlib
import sys
import threading
from typing import IO, Callable, Iterator, Optional

from .deps import require

#: Seconds between two redraws of a bar that received no update.
REDRAW_INTERVAL = 0.4


#: What the engine calls with (done, total) as it works.
EngineCallback = Callable[[int, int], None]


class _Silent:
    """The stage object when progress is off."""

    total_units = 0

    def update(self, n: int = 1) -> None:
        pass

    def follow(self, start: int, end: int) -> Optional[EngineCallback]:
        return None  # the engine then makes no calls at all


_SILENT = _Silent()


class Bar:
    def __init__(self, bar, total: Optional[int]) -> None:
        self._bar = bar
        self._position = 0
        self.total_units = total or 0

    def update(self, n: int = 1) -> None:
        self._position += n
        self._bar.update(n)

    def follow(self, start: int, end: int) -> Optional[EngineCallback]:
        """A callback for the engine's ``(done, total)`` reports that moves
        the bar across [start, end) of its total in proportion; the bar
        never moves back."""

        def moved(done: int, total: int) -> None:
            position = start + ((end - start) * done // total if total else end - start)
            if position > self._position:
                self.update(position - self._position)

        return moved


@contextlib.contextmanager
def stage(
    enabled: bool,
    desc: str,
    total: Optional[int] = None,
    unit: str = "it",
    file: Optional[IO[str]] = None,
) -> Iterator[object]:
    """A context giving an object with ``update(n)``: a bar named ``desc``
    when ``enabled``, else a no-op. The bar is closed on leaving, also on an
    error or Ctrl-C."""
    if not enabled:
        yield _SILENT
        return
    tqdm = require("tqdm").tqdm
    bar = tqdm(
        total=total,
        desc=desc,
        unit=unit,
        unit_scale=unit == "B",
        file=file if file is not None else sys.stderr,
        mininterval=REDRAW_INTERVAL / 2,
        dynamic_ncols=True,
        leave=True,
    )
    stop = threading.Event()

    def redraw() -> None:
        while not stop.wait(REDRAW_INTERVAL):
            bar.refresh()

    ticker = threading.Thread(target=redraw, name="feature-frame-progress", daemon=True)
    ticker.start()
    try:
        yield Bar(bar, total)
    finally:
        stop.set()
        ticker.join()
        bar.close()
