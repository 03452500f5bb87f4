"""Compares what the client saw and what the debugger printed under Wine with
the ntsim run, bending only where known_differences says."""

from __future__ import annotations

import json
from collections import Counter

import known_differences as known


def _show(value) -> str:
    return json.dumps(value, ensure_ascii=True)


def compare_results(ntsim: list[dict], wine: list[dict]) -> list[str]:
    """Every result field of every command: status, Win32 error, bytes, data, the rest."""
    problems = []
    for number, (expected, got) in enumerate(zip(ntsim, wine), 1):
        if expected == got:
            continue
        fields = [key for key in dict.fromkeys([*expected, *got]) if expected.get(key) != got.get(key)]
        lines = [f"command {number} ({expected.get('cmd')}) differs in {', '.join(fields)}:"]
        for key in fields:
            lines.append(f"    ntsim: {key}={_show(expected.get(key, '<missing>'))[:300]}")
            lines.append(f"    Wine:  {key}={_show(got.get(key, '<missing>'))[:300]}")
        problems.append("\n".join(lines))
    if len(ntsim) != len(wine):
        problems.append(f"ntsim gave {len(ntsim)} results, Wine {len(wine)}")
    return problems


def compare_kd(phase: str, ntsim: list[str], wine: list[str]) -> tuple[list[str], Counter]:
    """The debugger lines of one phase, in order. Returns the problems and how
    often each known difference was applied."""
    expected = [known.expected_on_wine(text) for text in ntsim]
    applied = Counter(line.difference for line in expected if line.difference)
    first_bad = next((i for i, (want, got) in enumerate(zip(expected, wine)) if not want.matches(got)), None)
    if first_bad is None and len(expected) == len(wine):
        return [], applied
    if first_bad is None:
        first_bad = min(len(expected), len(wine))
    start = max(0, first_bad - 3)
    lines = [f"{phase}: the debugger lines differ from line {first_bad + 1} on "
             f"(ntsim printed {len(expected)}, Wine {len(wine)}):"]
    for i in range(start, min(max(len(expected), len(wine)), first_bad + 8)):
        want = expected[i].describe() if i < len(expected) else "<nothing>"
        got = wine[i].encode("unicode_escape").decode("ascii") if i < len(wine) else "<nothing>"
        same = i < len(expected) and i < len(wine) and expected[i].matches(wine[i])
        mark = "  " if same else "> "
        lines.append(f"  {mark}{i + 1:4}  ntsim: {want}")
        lines.append(f"  {mark}      Wine:  {got}")
    return ["\n".join(lines)], applied
