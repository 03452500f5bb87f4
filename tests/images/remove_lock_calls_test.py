#!/usr/bin/env python3
"""Every remove-lock call of the drivers passes sizeof(IO_REMOVE_LOCK).

The kernel's remove-lock routines take the size of the caller's lock and
check it against their own; sharefiles/common.h asserts that size per
architecture. This reads the sources: each direct call of an ...Ex routine
in the drivers' code, and each macro the drivers call instead (the DDK's
IoReleaseRemoveLock, the drivers' AcquireRemoveLock, ...), as the headers
define them.

Usage: remove_lock_calls_test.py --source <repository> [--header <ddk wdm.h>]...
"""
import argparse
import glob
import os
import re
import sys
import unittest

ROUTINES = ("IoInitializeRemoveLockEx", "IoAcquireRemoveLockEx", "IoReleaseRemoveLockEx",
            "IoReleaseRemoveLockAndWaitEx")
CALL = re.compile(r"\b(" + "|".join(ROUTINES) + r")\s*\(")
SIZE = "sizeof(IO_REMOVE_LOCK)"
DRIVER_DIRS = ("sharefiles", "directio_pw", "bufferedio_pw", "ioctl_pw")

OPTIONS = None


def arguments(text, start):
    """The top-level arguments of the call whose '(' is at text[start]."""
    depth, current, found = 0, "", []
    for i in range(start, len(text)):
        c = text[i]
        if c == "(":
            depth += 1
            if depth == 1:
                continue
        elif c == ")":
            depth -= 1
            if depth == 0:
                found.append(current)
                return found
        elif c == "," and depth == 1:
            found.append(current)
            current = ""
            continue
        current += c
    return None


def wrong_sizes(text, where):
    """Each call in text whose last argument is not sizeof(IO_REMOVE_LOCK), as 'where: routine passes ...'."""
    text = text.replace("\\\n", " ")
    problems = []
    for call in CALL.finditer(text):
        args = arguments(text, call.end() - 1)
        if args is None:
            problems.append(f"{where}: {call.group(1)} has no closing parenthesis")
            continue
        size = re.sub(r"\s+", "", args[-1])
        if size != SIZE:
            line = text.count("\n", 0, call.start()) + 1
            problems.append(f"{where}:{line}: {call.group(1)} passes {args[-1].strip()}, not {SIZE}")
    return problems


def calls(text):
    return {call.group(1) for call in CALL.finditer(text)}


class RemoveLockCalls(unittest.TestCase):
    def test_the_check_finds_a_wrong_size(self):
        cases = [
            ("IoAcquireRemoveLockEx(&L, Irp, File, __LINE__, sizeof (IO_REMOVE_LOCK));", 0),
            ("IoReleaseRemoveLockEx(&Ext->Lock, (PVOID)Tag(1, 2), 0x14);", 1),
            ("#define Init(L) \\\n  IoInitializeRemoveLockEx(L, T, 0, 0, \\\n  sizeof(IO_REMOVE_LOCK) + 4)", 1),
            ("IoReleaseRemoveLockAndWaitEx(&L, Irp, sizeof(L));", 1),
        ]
        for text, count in cases:
            with self.subTest(text=text):
                self.assertEqual(len(wrong_sizes(text, "case")), count)

    def test_every_call_in_the_drivers_passes_the_lock_size(self):
        sources = [path for d in DRIVER_DIRS for pattern in ("*.cpp", "*.h")
                   for path in glob.glob(os.path.join(OPTIONS.source, d, "**", pattern), recursive=True)]
        self.assertTrue(sources)
        seen = set()
        for path in sources:
            with open(path, encoding="utf-8") as source:
                text = source.read()
            seen |= calls(text)
            self.assertEqual(wrong_sizes(text, os.path.relpath(path, OPTIONS.source)), [])
        # Initialise and acquire are called directly; release goes through the DDK's macro.
        self.assertTrue({"IoInitializeRemoveLockEx", "IoAcquireRemoveLockEx"} <= seen, seen)

    def test_the_headers_macros_pass_the_lock_size(self):
        headers = [os.path.join(OPTIONS.source, "ntsim/include/wdm.h"), *OPTIONS.header]
        for path in headers:
            with self.subTest(header=path):
                with open(path, encoding="utf-8", errors="replace") as header:
                    lines = header.read().replace("\\\n", " ").splitlines()
                # Only the definitions: the routines' prototypes name the parameter instead.
                macros = [line for line in lines if re.match(r"\s*#\s*define\s+(IoAcquireRemoveLock|"
                                                             r"IoReleaseRemoveLock(AndWait)?|IoInitializeRemoveLock)\b", line)]
                self.assertTrue(macros, f"{path} defines none of the remove-lock macros")
                self.assertEqual(wrong_sizes("\n".join(macros), path), [])


def main():
    global OPTIONS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", required=True, help="the repository's root")
    parser.add_argument("--header", action="append", default=[], help="a DDK wdm.h the images are built with")
    OPTIONS, rest = parser.parse_known_args()
    result = unittest.main(argv=[sys.argv[0], *rest], exit=False, verbosity=2).result
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
