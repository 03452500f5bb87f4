"""The kernel debugger's output on both sides.

Wine: the driver host's standard error, where each DbgPrint call is one line
    0138:warn:debugstr:vDbgPrintExWithPrefix 00000000:00000001: <text>
ntsim: pdctl --json, where each DbgPrint call is one {"kd": "<text>"} object.
"""

from __future__ import annotations

import re
import time
from pathlib import Path

_DEBUGSTR = re.compile(rb"[0-9a-f]+:warn:debugstr:vDbgPrintExWithPrefix [0-9a-f]{8}:[0-9a-f]{8}: (.*)")


def wine_texts(log: bytes) -> list[str]:
    """The DbgPrint texts in a driver host's log, in order.

    Wine writes each text followed by a line feed (adding one when the text has
    none); only whole lines are taken, so a line still being written is left
    for later."""
    texts = []
    for line in log.split(b"\n")[:-1]:
        found = _DEBUGSTR.fullmatch(line)
        if found:
            texts.append(found.group(1).decode("latin-1") + "\n")
    return texts


class WineKdLog:
    """Reads a driver host's log as it grows and hands out its texts phase by phase."""

    def __init__(self, path: Path):
        self.path = path
        self.taken = 0

    def raw(self) -> bytes:
        try:
            return self.path.read_bytes()
        except FileNotFoundError:
            return b""

    def texts(self) -> list[str]:
        return wine_texts(self.raw())

    def take(self, expected: int, settle: float = 0.5, quiet: float = 3.0, timeout: float = 30.0) -> list[str]:
        """The texts printed since the last take.

        Waits until `expected` texts have arrived and nothing more came for
        `settle` seconds, or, short of that, until the log has been still for
        `quiet` seconds or `timeout` has passed: the driver host prints in its
        own time (a close, for one, is not waited for by the program)."""
        deadline = time.monotonic() + timeout
        count = len(self.texts()) - self.taken
        still_since = time.monotonic()
        while time.monotonic() < deadline:
            time.sleep(0.05)
            now_count = len(self.texts()) - self.taken
            if now_count != count:
                count, still_since = now_count, time.monotonic()
                continue
            still = time.monotonic() - still_since
            if (count >= expected and still >= settle) or still >= quiet:
                break
        texts = self.texts()[self.taken:]
        self.taken += len(texts)
        return texts

    def lines_matching(self, pattern: re.Pattern[str]) -> list[re.Match[str]]:
        """Matches of `pattern` in the log's other output (Wine's own err: lines and such)."""
        text = self.raw().decode("latin-1")
        return [found for line in text.splitlines() if (found := pattern.search(line))]
