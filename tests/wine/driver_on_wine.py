#!/usr/bin/env python3
"""One driver image, end to end on Wine, compared with the same run on ntsim.

In a fresh Wine prefix: install the x86_64 image with pdinstall.exe (the
session's first process, whose standard error collects the drivers' DbgPrint
output), run the driver's pdctl script with pdctl.exe, remove the device with
pdinstall.exe and stop the driver's service. The same script runs on ntsim,
booted and torn down the way Wine does it. Phase by phase the two runs must
agree on every status, Win32 error, byte count, data byte and debugger line,
except where known_differences.py says Wine differs from Windows.

Exit status: 0 the runs agree, 1 they do not (or a step failed), 77 skipped
(no Wine, or the images are not built).
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import signal
import sys
import tempfile
import time
from collections import Counter
from pathlib import Path

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, str(Path(__file__).resolve().parent))

import known_differences as known  # noqa: E402
from comparison import compare_kd, compare_results  # noqa: E402
from kd_stream import WineKdLog  # noqa: E402
from ntsim_run import json_lines, run_ntsim  # noqa: E402
from wine_session import WineSession, find_wine  # noqa: E402

SKIPPED = 77
SCRIPTS = {"tavrin": "transfer.pdctl", "kelvane": "transfer.pdctl", "ostrel": "control_only.pdctl"}


class Failed(Exception):
    pass


def inf_device(inf: Path) -> tuple[str, str]:
    """The hardware ID the INF installs for, and the service it adds for it."""
    lines = [line.split(";", 1)[0] for line in inf.read_text(encoding="latin-1").splitlines()]
    found_ids = [found.group(1) for line in lines for found in re.finditer(r"\b(Root\\\w+)", line, re.I)]
    ids = {hardware_id.upper(): hardware_id for hardware_id in found_ids}  # IDs are case-insensitive
    services = {found.group(1) for line in lines
                if (found := re.match(r"\s*AddService\s*=\s*([^,\s]+)\s*,\s*0x0*2\s*,", line, re.I))}
    if len(ids) != 1 or len(services) != 1:
        raise Failed(f"{inf}: expected one Root\\ hardware ID and one AddService with "
                     f"SPSVCINST_ASSOCSERVICE (0x2), found IDs {sorted(ids)} and services {sorted(services)}")
    return ids.popitem()[1], services.pop()


class Report:
    def __init__(self, driver: str):
        self.driver = driver
        self.problems: list[str] = []
        self.applied: Counter = Counter()
        self.clock = time.monotonic()

    def step(self, text: str) -> None:
        now = time.monotonic()
        print(f"wine.{self.driver}: {text} ({now - self.clock:.1f} s)", flush=True)
        self.clock = now

    def check(self, problems: list[str]) -> None:
        for problem in problems:
            print(problem, flush=True)
        self.problems += problems

    def kd(self, phase: str, expected: list[str], got: list[str]) -> None:
        problems, applied = compare_kd(phase, expected, got)
        self.applied += applied
        self.check(problems)


def run(args: argparse.Namespace) -> int:
    driver = args.driver
    tools, why = find_wine()
    if tools is None:
        print(f"wine.{driver}: skipped: {why}")
        return SKIPPED
    images = args.images
    # The package as a Windows machine gets it: the INF, its driver and its catalog.
    needed = [images / f"{driver}.sys", images / f"{driver}.inf", images / f"{driver}_amd64.cat",
              images / "pdctl.exe", images / "pdinstall.exe"]
    missing = [path.name for path in needed if not path.is_file()]
    if missing:
        print(f"wine.{driver}: skipped: {', '.join(missing)} not in {images}: `make images` builds them "
              "(Debian: g++-mingw-w64-x86-64, osslsigncode)")
        return SKIPPED
    if not args.pdctl.is_file():
        raise Failed(f"the host pdctl {args.pdctl} is missing: build the host tree first (make host)")
    hardware_id, service = inf_device(images / f"{driver}.inf")
    script = (args.scripts / SCRIPTS[driver]).read_text()
    report = Report(driver)

    folder = Path(tempfile.mkdtemp(prefix=f"pdkit-wine-{driver}-"))
    try:
        # A copy of what the run uses: a concurrent `make images` may replace the originals.
        for path in needed:
            shutil.copy2(path, folder / path.name)
        (folder / "script.pdctl").write_text(script)

        ntsim = run_ntsim(args.pdctl, driver, script, folder)
        if ntsim.errors:
            raise Failed("the ntsim run, the reference, did not run cleanly:\n  " + "\n  ".join(ntsim.errors))
        report.step(f"ntsim: {len(ntsim.script.results)} commands, "
                    f"{sum(len(p.kd) for p in (ntsim.boot, ntsim.script, ntsim.removal, ntsim.unload))} debugger lines")

        with WineSession(tools, folder) as wine:
            kd = WineKdLog(wine.kd_log)
            try:
                wine_phases(wine, kd, report, ntsim, driver, hardware_id, service)
            except (Failed, TimeoutError) as error:
                log = kd.raw().decode("latin-1").splitlines()
                raise Failed(f"{error}\n  last lines of the driver host's log ({wine.kd_log}):\n    "
                             + "\n    ".join(log[-25:])) from None
    finally:
        if args.keep:
            print(f"wine.{driver}: kept {folder}")
        else:
            shutil.rmtree(folder, ignore_errors=True)

    applied = ", ".join(f"{name} ({count} lines)" for name, count in sorted(report.applied.items()))
    if report.problems:
        print(f"wine.{driver}: FAILED: {len(report.problems)} difference(s) from the ntsim run beyond the known ones "
              "(tests/wine/known_differences.py)")
        return 1
    print(f"wine.{driver}: Wine and ntsim agree" + (f"; known differences applied: {applied}" if applied else ""))
    return 0


def wine_phases(wine: WineSession, kd: WineKdLog, report: Report, ntsim, driver: str, hardware_id: str,
                service: str) -> None:
    # Boot: the installer creates the device node; Wine loads the driver,
    # calls AddDevice and starts the device.
    installed = wine.start(["pdinstall.exe", "install", f"{driver}.inf", hardware_id], timeout=300)
    if installed.returncode != 0:
        raise Failed("installing failed: " + installed.describe())
    boot = kd.take(len(ntsim.boot.kd))
    report.kd("boot", ntsim.boot.kd, boot)
    report.step(f"boot: pdinstall install {hardware_id}, {len(boot)} debugger lines")

    # The script, from a program's side.
    client = wine.run(["pdctl.exe", "--driver", driver, "--json", "-f", "script.pdctl"], timeout=120)
    events = json_lines(client.stdout, "pdctl.exe")
    results = [event for event in events if "cmd" in event]
    errors = [event["error"] for event in events if "error" in event]
    if errors or client.returncode != 0:
        report.check([f"pdctl.exe could not run the script: {'; '.join(errors)}\n" + client.describe()])
    script_kd = kd.take(len(ntsim.script.kd))
    report.check(compare_results(ntsim.script.results, results))
    report.kd("script", ntsim.script.kd, script_kd)
    report.step(f"script: {len(results)} commands, {len(script_kd)} debugger lines")

    # Removal of the device node.
    removed = wine.run(["pdinstall.exe", "remove", hardware_id], timeout=120)
    if removed.returncode != 0:
        raise Failed("removing the device failed: " + removed.describe())
    removal = kd.take(len(ntsim.removal.kd))
    report.kd("removal", ntsim.removal.kd, removal)
    report.step(f"removal: pdinstall remove {hardware_id}, {len(removal)} debugger lines")

    # Stopping the driver: its device is gone, so Wine unloads it and DriverUnload runs, as on ntsim.
    missing = [line for line in known.UNLOAD_LINES if line not in ntsim.unload.kd]
    if missing:
        report.check([f"unload: the ntsim run printed no {missing[0]!r}: the reference did not unload"])
    stopped = wine.run(["sc", "stop", service], timeout=60)
    unload = kd.take(len(ntsim.unload.kd), quiet=2.0)
    report.kd("unload", ntsim.unload.kd, unload)
    refused = [found for found in kd.lines_matching(known.UNLOAD_REFUSAL)
               if found.group("service").lower() == service.lower()]
    if refused:
        report.check([f"unload: Wine refused to unload {service}: its device outlived the removal\n  "
                      + stopped.describe()])
    else:
        report.step(f"unload: sc stop {service}, {len(unload)} debugger lines")

    stray = kd.take(0, settle=0.5, quiet=1.0)
    if stray:
        report.check([f"after the run the driver printed {len(stray)} more lines: "
                      + " | ".join(text.encode("unicode_escape").decode("ascii") for text in stray[:10])])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--driver", required=True, choices=sorted(SCRIPTS))
    parser.add_argument("--images", type=Path, required=True,
                        help="the x86_64 image set: <driver>.sys and .inf, pdctl.exe, pdinstall.exe")
    parser.add_argument("--pdctl", type=Path, required=True, help="the host build's pdctl (ntsim)")
    parser.add_argument("--scripts", type=Path, default=Path(__file__).resolve().parent / "scripts")
    parser.add_argument("--keep", action="store_true", default=os.environ.get("PDKIT_WINE_KEEP") == "1",
                        help="keep the run's folder (prefix, driver host log); also PDKIT_WINE_KEEP=1")
    args = parser.parse_args()
    # A run stopped from outside (ctest's timeout, Ctrl-C) still ends its Wine
    # session and removes its folder on the way out.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(f"wine.{args.driver}: stopped"))
    try:
        return run(args)
    except (Failed, TimeoutError, ValueError) as error:
        print(f"wine.{args.driver}: FAILED: {error}", flush=True)
        return 1


if __name__ == "__main__":
    sys.exit(main())
