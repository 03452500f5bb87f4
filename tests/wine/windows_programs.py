#!/usr/bin/env python3
"""The image set's catalogs and pdctl.exe's Windows messages, under Wine.

Catalogs: catcheck.exe (tests/wine/programs) reads each driver package's
catalog with Windows' catalog API (CryptCATOpen, CryptCATEnumerateMember) and
hashes the package's files with CryptCATAdminCalcHashFromFileHandle; every
file must be a member under its hash and every member must be a file. Wine
up to 8.x hashes a PE image whole where Windows takes its Authenticode hash
(known difference "whole-file PE hash"): for those the member must be the
Authenticode hash osslsigncode computes instead.

pdctl.exe, with no driver installed: its Windows usage, the demo and the
kernel-side commands refused in one line saying why, and the hint for a
device that does not exist (win32 2).

Exit status: 0 all as expected, 1 not, 77 skipped (no Wine, or the images are
not built).
"""

from __future__ import annotations

import argparse
import hashlib
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, str(Path(__file__).resolve().parent))

from wine_session import WineSession, find_wine  # noqa: E402

SKIPPED = 77
DRIVERS = {"tavrin": "TAVRINDEV", "kelvane": "KELVANEDEV", "ostrel": "OSTRELDEV"}
ARCHES = {"x86_64": "amd64", "i686": "x86"}


def authenticode_sha1(osslsigncode: str, image: Path, catalog: Path) -> str | None:
    """The SHA-1 Authenticode hash osslsigncode computes for `image`."""
    # -ignore-cdp keeps osslsigncode 2.8 and later offline; Debian 12's own 2.5 neither fetches nor knows it.
    usage = subprocess.run([osslsigncode, "--help"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                           timeout=60).stdout
    offline = ["-ignore-cdp"] if "-ignore-cdp" in usage else []
    # 2.5 prints the digest only once it trusts the signer: the package's own test certificate, as PEM.
    with tempfile.TemporaryDirectory() as scratch:
        anchor = Path(scratch) / "anchor.pem"
        subprocess.run(["openssl", "x509", "-inform", "DER", "-in", str(image.parent / "pdkit-test-signing.cer"),
                        "-out", str(anchor)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        done = subprocess.run([osslsigncode, "verify", "-CAfile", str(anchor), *offline, "-catalog", str(catalog),
                               "-in", str(image)], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              timeout=60)
    found = re.search(r"Calculated message digest\s*:\s*([0-9A-F]{40})", done.stdout)
    return found.group(1) if found else None


def check_catalog(run, folder: Path, arch: str, driver: str, osslsigncode: str | None,
                  notes: list[str]) -> list[str]:
    cat = f"{arch}/{driver}_{ARCHES[arch]}.cat"
    files = [f"{arch}/{driver}.sys", f"{arch}/{driver}.inf"]
    done = run(["catcheck.exe", cat.replace("/", "\\"), *[f.replace("/", "\\") for f in files]])
    if done.returncode != 0:
        return [f"catcheck {cat}: " + done.describe()]
    out = done.stdout.replace("\r\n", "\n")
    members = dict(re.findall(r"^member (\S+) (\S+)$", out, re.M))
    hashes = dict(re.findall(r"^file (\S+) (\S+)$", out, re.M))
    if len(members) != len(files):
        return [f"{cat}: {len(members)} members, expected {len(files)} (the INF and its driver):\n{out}"]
    problems = [f"{cat}: member tag {tag} is not its hash {digest}" for tag, digest in members.items() if tag != digest]
    accounted = set()
    for name in files:
        path = folder / name
        got = hashes.get(name.replace("/", "\\"))
        data = path.read_bytes()
        if got in members.values():
            accounted.add(got)
            continue
        if name.endswith(".sys") and got == hashlib.sha1(data).hexdigest().upper() and osslsigncode:
            authenticode = authenticode_sha1(osslsigncode, path, folder / cat)
            if authenticode in members.values():
                accounted.add(authenticode)
                notes.append(f"{name}: whole-file PE hash (Wine); the member is its Authenticode hash")
                continue
        problems.append(f"{cat}: no member for {name}, whose hash the catalog API computes as {got}")
    problems += [f"{cat}: member {digest} is none of the package's files"
                 for digest in members.values() if digest not in accounted]
    return problems


def check_pdctl(run) -> list[str]:
    problems = []

    def expect(argv: list[str], status: int, stdout: list[str], stderr_line: str | None):
        done = run(argv)
        errors = [line for line in done.stderr.splitlines() if line.startswith("pdctl")]
        what = f"`{' '.join(argv)}`"
        if done.returncode != status:
            problems.append(f"{what}: exit {done.returncode}, expected {status}\n{done.describe()}")
        problems.extend(f"{what}: no {text!r} in its output:\n{done.stdout}" for text in stdout
                        if text not in done.stdout)
        if stderr_line is not None and (len(errors) != 1 or stderr_line not in errors[0]):
            problems.append(f"{what}: expected one error line with {stderr_line!r}, got {errors}")

    expect(["pdctl.exe", "--help"], 0, ["whose device to open", "run pdctl elevated", "Exit status: 0 every command"],
           None)
    expect(["pdctl.exe", "demo"], 1, [], "demo: the tour boots each driver on ntsim")
    expect(["pdctl.exe", "sleep S3"], 1, [], "sleep: only ntsim can do this")
    expect(["pdctl.exe", "--driver", "kelvane", "open"], 0,
           ["win32 2 (ERROR_FILE_NOT_FOUND)", "hint: \\\\.\\KELVANEDEV does not exist",
            "pdinstall install kelvane.inf Root\\KELVANEDEV"], None)
    return problems


def run_checks(args: argparse.Namespace) -> int:
    tools, why = find_wine()
    if tools is None:
        print(f"wine.programs: skipped: {why}")
        return SKIPPED
    x64 = args.images
    needed = [x64 / "test-fixtures" / "catcheck.exe", x64 / "pdctl.exe"]
    missing = [str(path) for path in needed if not path.is_file()]
    if missing:
        print(f"wine.programs: skipped: {', '.join(missing)} missing: `make images` builds them")
        return SKIPPED
    osslsigncode = shutil.which("osslsigncode")
    arches = {"x86_64": x64, "i686": args.i686}
    folder = Path(tempfile.mkdtemp(prefix="pdkit-wine-programs-"))
    problems: list[str] = []
    notes: list[str] = []
    try:
        # A copy: a concurrent `make images` may replace the originals.
        for path in needed:
            shutil.copy2(path, folder / path.name)
        present = []
        for arch, source in arches.items():
            if source is None or not source.is_dir():
                continue
            (folder / arch).mkdir()
            for path in source.iterdir():
                if path.suffix in (".sys", ".inf", ".cat", ".cer"):
                    shutil.copy2(path, folder / arch / path.name)
            present.append(arch)
        with WineSession(tools, folder) as wine:
            first = True

            def run(argv: list[str]):
                nonlocal first
                if first:
                    first = False
                    return wine.start(argv, timeout=300)
                return wine.run(argv, timeout=120)

            for arch in present:
                for driver in DRIVERS:
                    problems += check_catalog(run, folder, arch, driver, osslsigncode, notes)
            print(f"wine.programs: catalogs of {', '.join(present)} read through the catalog API", flush=True)
            problems += check_pdctl(run)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    for note in sorted(set(notes)):
        print(f"wine.programs: known difference: {note}")
    for problem in problems:
        print(f"wine.programs: {problem}")
    if problems:
        print(f"wine.programs: FAILED: {len(problems)} problem(s)")
        return 1
    print("wine.programs: catalogs match their files; pdctl.exe speaks Windows")
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--images", type=Path, required=True, help="the x86_64 image set (build/images/x86_64)")
    parser.add_argument("--i686", type=Path, help="the i686 image set, whose catalogs are read too")
    try:
        return run_checks(parser.parse_args())
    except TimeoutError as error:
        print(f"wine.programs: FAILED: {error}")
        return 1


if __name__ == "__main__":
    sys.exit(main())
