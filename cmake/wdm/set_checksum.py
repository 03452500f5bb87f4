#!/usr/bin/env python3
"""Writes the PE checksum of a driver image into its optional header.

The kernel's loader refuses a driver whose stored checksum is wrong, and
lld leaves it 0. Signing recomputes it; this makes unsigned images right too.
Usage: set_checksum.py <image.sys>
"""
import sys

import pefile


def main(path):
    image = pefile.PE(path)
    image.OPTIONAL_HEADER.CheckSum = image.generate_checksum()
    data = image.write()
    image.close()
    with open(path, "wb") as out:
        out.write(data)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: set_checksum.py <image.sys>")
    main(sys.argv[1])
