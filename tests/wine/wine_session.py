"""A Wine session of one run: a fresh 64-bit prefix in the run's folder and one
wineserver kept for the whole run, so that the driver host (winedevice.exe)
lives from the install to the removal.

The first Wine process of a session starts services.exe, and every driver host
inherits that process's standard error: the drivers' DbgPrint output arrives
there as warn:debugstr lines. So the installer must be the first process (no
separate `wineboot --init`, which would start a second services.exe), and its
standard error is the debugger log of the whole session.
"""

from __future__ import annotations

import os
import shutil
import subprocess
from dataclasses import dataclass
from pathlib import Path

DEFAULT_LOADER = "/usr/lib/wine/wine64"
DEFAULT_SERVER = "/usr/lib/wine/wineserver64"
# How long the session survives its last program (wineserver -p<seconds>).
PERSISTENCE_SECONDS = 120


@dataclass(frozen=True)
class WineTools:
    loader: str
    server: str


def find_wine() -> tuple[WineTools | None, str]:
    """Debian's 64-bit Wine, or the programs WINELOADER and WINESERVER name.

    Returns the tools, or None and why they are not usable."""
    loader = os.environ.get("WINELOADER", DEFAULT_LOADER)
    server = os.environ.get("WINESERVER", DEFAULT_SERVER)
    for what, path in (("the Wine loader", loader), ("wineserver", server)):
        if not (os.path.isfile(path) and os.access(path, os.X_OK)):
            return None, (f"{what} {path} is not installed (Debian: apt-get install wine wine64; "
                          "or set WINELOADER and WINESERVER)")
    return WineTools(loader, server), ""


@dataclass
class Finished:
    argv: list[str]
    returncode: int
    stdout: str
    stderr: str

    def describe(self) -> str:
        out = f"`{' '.join(self.argv)}` exited with {self.returncode}"
        for name, text in (("stdout", self.stdout), ("stderr", self.stderr)):
            if text.strip():
                out += f"\n  {name}:\n" + "\n".join("    " + line for line in text.rstrip().splitlines())
        return out


class WineSession:
    def __init__(self, tools: WineTools, folder: Path):
        self.tools = tools
        self.folder = folder
        self.prefix = folder / "prefix"
        self.kd_log = folder / "driver-host.log"
        self.env = dict(os.environ)
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "WINEDEBUG", "WINEDLLOVERRIDES"):
            self.env.pop(name, None)
        self.env.update(
            WINEPREFIX=str(self.prefix),
            WINELOADER=tools.loader,
            WINESERVER=tools.server,
            WINEARCH="win64",
            # No Mono or Gecko installers at prefix creation, no display.
            WINEDLLOVERRIDES="mscoree,mshtml=",
            DISPLAY="",
            # DbgPrint is vDbgPrintExWithPrefix's warn:debugstr line.
            WINEDEBUG="fixme-all,warn+debugstr",
        )
        self.started = False

    def _server(self, *args: str, timeout: float) -> None:
        subprocess.run([self.tools.server, *args], env=self.env, cwd=self.folder, timeout=timeout,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def start(self, program: list[str], timeout: float) -> Finished:
        """Creates the prefix and runs `program` as the session's first process."""
        self.prefix.mkdir(parents=True)
        # A persistent server: the session outlives each program, so the
        # driver host stays up between the install, the client and the
        # removal. Bounded, so that a run killed before stop() leaves nothing
        # running for long.
        self._server(f"-p{PERSISTENCE_SECONDS}", timeout=30)
        self.started = True
        with open(self.kd_log, "wb") as log:
            return self._run(program, timeout, stderr=log)

    def run(self, program: list[str], timeout: float) -> Finished:
        assert self.started, "start() runs the session's first process"
        return self._run(program, timeout, stderr=subprocess.PIPE)

    def _run(self, program: list[str], timeout: float, stderr) -> Finished:
        argv = [self.tools.loader, *program]
        try:
            done = subprocess.run(argv, env=self.env, cwd=self.folder, timeout=timeout,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=stderr)
        except subprocess.TimeoutExpired as expired:
            raise TimeoutError(f"`{' '.join(program)}` under Wine did not finish within {timeout:.0f} s") from expired
        decode = lambda data: data.decode("utf-8", "replace") if data else ""
        return Finished(program, done.returncode, decode(done.stdout), decode(done.stderr))

    def stop(self) -> None:
        """Ends every process of the session: `wineserver -k`, then waits for it."""
        if not self.started:
            return
        self._server("-k", timeout=30)
        self._server("-w", timeout=60)
        self.started = False

    def remove_prefix(self) -> None:
        shutil.rmtree(self.prefix, ignore_errors=True)

    def __enter__(self) -> "WineSession":
        return self

    def __exit__(self, *exc) -> None:
        self.stop()
