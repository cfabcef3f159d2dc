"""A busy line on a terminal while a long call into the library runs.

The library reports no progress while it works, so this shows the operation and
the time it has taken, from a thread, once the call has run for a second.
"""
from __future__ import annotations

import sys
import threading
import time
from typing import IO, Optional

_BAR = 12


class Busy:
    """Context manager: a busy line on `stream` (a terminal only) while the block runs."""

    def __init__(self, what: str, stream: Optional[IO[str]] = None, after: float = 1.0) -> None:
        self.what = what
        self.stream = stream if stream is not None else sys.stderr
        self.after = after
        self._done = threading.Event()
        self._thread: Optional[threading.Thread] = None
        self._shown = False

    def __enter__(self) -> "Busy":
        try:
            tty = self.stream.isatty()
        except (AttributeError, ValueError):
            tty = False
        if tty:
            self._thread = threading.Thread(target=self._run, name="pelmo-busy", daemon=True)
            self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._done.set()
        if self._thread is not None:
            self._thread.join()
            if self._shown:
                self.stream.write("\r\x1b[K")
                self.stream.flush()

    def _run(self) -> None:
        began = time.monotonic()
        if self._done.wait(self.after):
            return
        step = 0
        while not self._done.is_set():
            at = step % (2 * _BAR - 2)
            pos = at if at < _BAR else 2 * _BAR - 2 - at
            bar = " " * pos + "<=>" + " " * (_BAR - pos)
            self.stream.write(f"\r[{bar}] {self.what} {time.monotonic() - began:5.1f} s\x1b[K")
            self.stream.flush()
            self._shown = True
            step += 1
            self._done.wait(0.1)
