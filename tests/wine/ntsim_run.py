"""The reference run: the same script by pdctl on ntsim, booted and torn down
the way Wine boots and removes a root-enumerated device (known_differences)."""

from __future__ import annotations

import json
import subprocess
from dataclasses import dataclass, field
from pathlib import Path

import known_differences as known


@dataclass
class Phase:
    results: list[dict] = field(default_factory=list)
    kd: list[str] = field(default_factory=list)


@dataclass
class NtsimRun:
    boot: Phase
    script: Phase
    removal: Phase
    unload: Phase
    exit_status: int
    errors: list[str]


def json_lines(text: str, origin: str) -> list[dict]:
    objects = []
    for number, line in enumerate(text.splitlines(), 1):
        if not line.strip():
            continue
        try:
            objects.append(json.loads(line))
        except json.JSONDecodeError as error:
            raise ValueError(f"{origin}, line {number}: not JSON ({error}): {line[:200]}") from None
    return objects


def run_ntsim(pdctl: Path, driver: str, script: str, folder: Path, timeout: float = 120) -> NtsimRun:
    """Runs `script` between the boot and the teardown on ntsim."""
    commands = [*known.NTSIM_BOOT, script.rstrip("\n"), *known.NTSIM_REMOVAL, *known.NTSIM_UNLOAD]
    path = folder / f"{driver}-ntsim.pdctl"
    path.write_text("\n".join(commands) + "\n")
    argv = [str(pdctl), "--driver", driver, *known.NTSIM_OPTIONS, "--json", "-f", str(path)]
    try:
        done = subprocess.run(argv, capture_output=True, text=True, timeout=timeout, stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        raise TimeoutError(f"`{' '.join(argv)}` did not finish within {timeout:.0f} s") from None
    events = json_lines(done.stdout, "pdctl on ntsim")

    # Each command gives one result; the debugger lines come before the
    # result of the request that printed them.
    results = [event for event in events if "cmd" in event]
    errors = [event["error"] for event in events if "error" in event]
    errors += [f"verifier: {event['verifier']}: {event.get('detail', '')}" for event in events if "verifier" in event]
    booted = sum(1 for result in results if result["cmd"] == "boot") + len(known.NTSIM_BOOT)
    teardown = len(known.NTSIM_REMOVAL) + len(known.NTSIM_UNLOAD)
    if not errors and len(results) < booted + teardown:
        errors.append(f"pdctl on ntsim gave {len(results)} results, fewer than the boot and teardown alone "
                      f"({booted + teardown})")

    def phase_of(index: int) -> str:
        if index < booted:
            return "boot"
        if index < len(results) - teardown:
            return "script"
        if index < len(results) - len(known.NTSIM_UNLOAD):
            return "removal"
        return "unload"

    phases = {name: Phase() for name in ("boot", "script", "removal", "unload")}
    pending: list[str] = []
    index = 0
    for event in events:
        if "kd" in event:
            pending.append(event["kd"])
        elif "cmd" in event:
            phase = phases[phase_of(index)]
            phase.kd += pending
            phase.results.append(event)
            pending = []
            index += 1
    phases["unload"].kd += pending  # printed after the last result
    if done.returncode != 0 and not errors:
        errors.append(f"pdctl on ntsim exited with {done.returncode}: {done.stderr.strip()}")
    return NtsimRun(phases["boot"], phases["script"], phases["removal"], phases["unload"], done.returncode, errors)
