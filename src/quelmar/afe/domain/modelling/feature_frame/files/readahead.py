"""Reading ahead: the items of an iterator made by a thread of their own
while the caller works on the ones before."""

from __future__ import annotations

import queue
import threading
from typing import Iterator

#: How long leaving early waits for the reading thread to stop.
JOIN_TIMEOUT_S = 30.0


def read_ahead(items: Iterator, depth: int = 2) -> Iterator:
    """The items of ``items``, each made by a thread of its own while the
    caller works on the ones before (up to ``depth`` ahead): decoding the
    next batch overlaps with what the caller does with this one. A fault of
    ``items`` is raised here; leaving early stops the thread."""
    end = object()
    ready: queue.Queue = queue.Queue(depth)
    stop = threading.Event()

    def hand_over(entry) -> bool:
        while not stop.is_set():
            try:
                ready.put(entry, timeout=0.05)
                return True
            except queue.Full:
                pass
        return False

    def produce() -> None:
        try:
            for item in items:
                if not hand_over((item, None)):
                    return
            hand_over((end, None))
        except BaseException as exc:  # noqa: BLE001 - raised again in the caller's thread
            hand_over((end, exc))
        finally:
            close = getattr(items, "close", None)
            if close is not None:
                close()

    thread = threading.Thread(target=produce, name="feature-frame-reader", daemon=True)
    thread.start()
    try:
        while True:
            item, exc = ready.get()
            if item is end:
                if exc is not None:
                    raise exc
                return
            yield item
    finally:
        stop.set()
        # the thread stops within a batch; bounded, as a join from a
        # generator closed while a signal unwinds it has been seen to wait
        # for good on CPython 3.13 (the thread is a daemon)
        thread.join(JOIN_TIMEOUT_S)
