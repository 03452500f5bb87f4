#!/usr/bin/env python3
"""Reads the staged Windows programs and every staged signature back.

Programs (pdinstall.exe, pdctl.exe) are console programs for their machine
that run on a plain Windows installation; every image, program and catalog
carries a test signature that verifies against the staged certificate
(osslsigncode and openssl), a modified file no longer verifies, and the
certificate's private key stays behind. The driver images' own properties
are checked by driver_images_test.py.

Usage: programs_and_signatures_test.py --source <repository> --images build/images --arch x86_64
           [--osslsigncode PATH] [--openssl PATH] [Class.test_name ...]
Exits 77 (skipped) when no images of the architecture were built or every
test it ran skipped.
"""
import argparse
import functools
import glob
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

import pefile

MACHINES = {"i686": 0x14C, "x86_64": 0x8664}

# DLLs that ship with every Windows the tools support. The compiler's own
# runtime DLLs (libstdc++-6.dll, libgcc_s_*.dll, libwinpthread-1.dll) are not
# among them: the programs link those statically.
SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll", "setupapi.dll", "newdev.dll", "cfgmgr32.dll",
    "ntdll.dll", "shell32.dll", "ole32.dll", "oleaut32.dll", "version.dll", "gdi32.dll", "shlwapi.dll",
}

SCN_EXECUTE = 0x20000000
SCN_WRITE = 0x80000000
DLL_DYNAMIC_BASE = 0x40
DLL_NX_COMPAT = 0x100
WIN_CERT_REVISION_2_0 = 0x0200
WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002

OPTIONS = None


def arch_dir():
    return os.path.join(OPTIONS.images, OPTIONS.arch)


def programs():
    """The programs staged for a test machine (not those under test-fixtures/)."""
    return sorted(glob.glob(os.path.join(arch_dir(), "*.exe")))


def signed_files():
    return sorted(glob.glob(os.path.join(arch_dir(), "**", "*.sys"), recursive=True) +
                  glob.glob(os.path.join(arch_dir(), "**", "*.exe"), recursive=True))


def certificates(path):
    """The WIN_CERTIFICATE entries of the image's certificate table as (revision, type, data).

    The security directory holds a file offset, not an RVA (the table is not
    loaded), and pefile does not split it, so it is read here.
    """
    image = pefile.PE(path, fast_load=True)
    directory = image.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    data = image.__data__
    table = data[directory.VirtualAddress:directory.VirtualAddress + directory.Size]
    if directory.Size == 0 or len(table) != directory.Size:
        return []
    entries, offset = [], 0
    while offset < len(table):
        length, revision, kind = struct.unpack_from("<IHH", table, offset)
        if length < 8 or length > len(table) - offset:
            raise AssertionError(f"{path}: WIN_CERTIFICATE at file offset {directory.VirtualAddress + offset:#x} "
                                 f"claims {length} bytes, {len(table) - offset} remain")
        entries.append((revision, kind, table[offset + 8:offset + length]))
        offset += (length + 7) & ~7
    return entries


@functools.cache
def offline_option():
    """osslsigncode 2.6 and later may fetch the CRL distribution points of the
    certificates; -ignore-cdp (2.8 on) keeps the check offline. Debian 12's own
    2.5 has neither the fetching nor the option. The test certificate names no
    distribution point, so the option is only a safeguard."""
    return ["-ignore-cdp"] if "-ignore-cdp" in run(OPTIONS.osslsigncode, "--help")[1] else []


def run(*argv):
    """Runs a program, returning its exit status and its output (stdout and stderr together)."""
    done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace")
    return done.returncode, done.stdout


class Programs(unittest.TestCase):
    def test_pdinstall_is_staged(self):
        if not os.path.exists(os.path.join(OPTIONS.source, "tools/pdinstall/CMakeLists.txt")):
            self.skipTest("pdinstall has no sources")
        self.assertTrue(os.path.exists(os.path.join(arch_dir(), "pdinstall.exe")),
                        f"pdinstall.exe is missing from {arch_dir()}: run `cmake --preset mingw-{OPTIONS.arch}`, "
                        f"then `make images`")

    def test_are_console_programs_for_their_machine(self):
        if not programs():
            self.skipTest("no programs staged")
        for path in programs():
            with self.subTest(program=os.path.basename(path)):
                image = pefile.PE(path)
                self.assertEqual(image.FILE_HEADER.Machine, MACHINES[OPTIONS.arch])
                self.assertEqual(image.OPTIONAL_HEADER.Subsystem, pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"])
                self.assertTrue(image.OPTIONAL_HEADER.DllCharacteristics & DLL_DYNAMIC_BASE)
                self.assertTrue(image.OPTIONAL_HEADER.DllCharacteristics & DLL_NX_COMPAT)
                self.assertEqual(image.OPTIONAL_HEADER.CheckSum, image.generate_checksum())
                for s in image.sections:
                    both = s.Characteristics & SCN_WRITE and s.Characteristics & SCN_EXECUTE
                    self.assertFalse(both, f"{s.Name} is writable and executable")

    def test_import_only_dlls_that_ship_with_windows(self):
        if not programs():
            self.skipTest("no programs staged")
        for path in programs():
            for dll in pefile.PE(path).DIRECTORY_ENTRY_IMPORT:
                self.assertIn(dll.dll.decode().lower(), SYSTEM_DLLS,
                              f"{os.path.basename(path)} imports {dll.dll.decode()}, which a Windows machine "
                              "does not have: link it statically")

    def test_pdinstall_uses_setup_api_and_asks_for_no_elevation(self):
        path = os.path.join(arch_dir(), "pdinstall.exe")
        if not os.path.exists(path):
            self.skipTest("pdinstall.exe not staged")
        image = pefile.PE(path)
        routines = {r.name.decode() for dll in image.DIRECTORY_ENTRY_IMPORT for r in dll.imports if r.name}
        for routine in ("SetupDiCreateDeviceInfoW", "SetupDiSetDeviceRegistryPropertyW", "SetupDiCallClassInstaller",
                        "UpdateDriverForPlugAndPlayDevicesW", "SetupDiGetClassDevsW"):
            self.assertIn(routine, routines, f"pdinstall.exe does not call {routine}")
        # Without a manifest, Windows guesses from the name "pdinstall" that it
        # is an installer and demands elevation even for `pdinstall status`.
        manifest = b"".join(image.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
                            for kind in image.DIRECTORY_ENTRY_RESOURCE.entries
                            if kind.id == pefile.RESOURCE_TYPE["RT_MANIFEST"]
                            for entry in kind.directory.entries for lang in entry.directory.entries)
        self.assertTrue(manifest, "pdinstall.exe has no application manifest")
        self.assertIn(b"requestedExecutionLevel", manifest)
        self.assertIn(b"asInvoker", manifest)


class Signature(unittest.TestCase):
    def setUp(self):
        self.cer = os.path.join(arch_dir(), "pdkit-test-signing.cer")
        if not os.path.exists(self.cer):
            self.skipTest(f"no {self.cer}: the images were built without test signing (PDKIT_TEST_SIGN=OFF)")
        self.tmp = tempfile.mkdtemp(prefix="pdkit-images-")
        self.addCleanup(shutil.rmtree, self.tmp)

    def need(self, *tools):
        missing = [t for t in tools if not getattr(OPTIONS, t)]
        if missing:
            self.skipTest(" and ".join(missing) + " needed: apt-get install " + " ".join(missing))

    def anchor(self):
        """The staged DER certificate as PEM, which osslsigncode takes as a trust anchor."""
        pem = os.path.join(self.tmp, "anchor.pem")
        if not os.path.exists(pem):
            status, output = run(OPTIONS.openssl, "x509", "-inform", "DER", "-in", self.cer, "-out", pem)
            if status != 0:
                raise AssertionError(f"openssl could not read {self.cer}: {output}")
        return pem

    def verify(self, path, *catalog):
        """osslsigncode's verdict on a file's signature, or with ("-catalog", path) on the catalog's entry for it."""
        return run(OPTIONS.osslsigncode, "verify", "-CAfile", self.anchor(), *offline_option(), *catalog, "-in", path)

    def catalog(self, driver):
        """The catalog the INFs name for this architecture (CatalogFile.NTx86 or .NTamd64)."""
        return os.path.join(arch_dir(), driver + ("_amd64.cat" if OPTIONS.arch == "x86_64" else "_x86.cat"))

    def modified_copy(self, path, offset):
        copy = os.path.join(self.tmp, os.path.basename(path))
        with open(path, "rb") as original:
            data = bytearray(original.read())
        data[offset] ^= 0x01
        with open(copy, "wb") as out:
            out.write(data)
        return copy

    def test_every_image_and_program_carries_an_authenticode_signature(self):
        self.assertTrue(signed_files())
        for path in signed_files():
            with self.subTest(file=os.path.relpath(path, arch_dir())):
                entries = certificates(path)
                self.assertEqual(len(entries), 1, "not signed")
                revision, kind, data = entries[0]
                self.assertEqual(revision, WIN_CERT_REVISION_2_0)
                self.assertEqual(kind, WIN_CERT_TYPE_PKCS_SIGNED_DATA)
                self.assertGreater(len(data), 256)

    def test_every_signature_verifies_against_the_staged_certificate(self):
        self.need("osslsigncode", "openssl")
        for path in signed_files():
            with self.subTest(file=os.path.relpath(path, arch_dir())):
                status, output = self.verify(path)
                self.assertEqual(status, 0, output)
                self.assertIn("Signature verification: ok", output)

    def test_a_modified_image_no_longer_verifies(self):
        self.need("osslsigncode", "openssl")
        first = signed_files()[0]
        code = pefile.PE(first, fast_load=True).sections[0].PointerToRawData
        status, output = self.verify(self.modified_copy(first, code + 0x10))
        self.assertNotEqual(status, 0, "a flipped code byte still verified:\n" + output)

    def test_the_certificate_is_for_code_signing_and_its_key_is_not_staged(self):
        self.need("openssl")
        status, output = run(OPTIONS.openssl, "x509", "-inform", "DER", "-in", self.cer, "-noout", "-text")
        self.assertEqual(status, 0, output)
        self.assertIn("Code Signing", output)
        for path in glob.glob(os.path.join(arch_dir(), "**", "*"), recursive=True):
            if os.path.isfile(path):
                with open(path, "rb") as staged:
                    self.assertNotIn(b"PRIVATE KEY", staged.read(), f"{path} holds a private key")

    # The INF members are checked under Wine (wine.programs): osslsigncode reads PE images only.
    def test_each_packages_catalog_is_signed_and_lists_its_driver(self):
        self.need("osslsigncode", "openssl")
        for driver in ("tavrin", "kelvane", "ostrel"):
            with self.subTest(driver=driver):
                catalog = self.catalog(driver)
                self.assertTrue(os.path.exists(catalog), f"{catalog} missing: rebuild with `make images`")
                self.assertIn("Signature verification: ok", self.verify(catalog)[1])
                # osslsigncode computes the image's Authenticode hash itself and looks it up in the catalog.
                status, output = self.verify(os.path.join(arch_dir(), driver + ".sys"), "-catalog", catalog)
                self.assertEqual(status, 0, output)
                self.assertIn("File is signed in catalog", output)

    def test_a_catalog_no_longer_covers_a_modified_image(self):
        self.need("osslsigncode", "openssl")
        image = os.path.join(arch_dir(), "tavrin.sys")
        copy = self.modified_copy(image, os.path.getsize(image) // 2)
        status, output = self.verify(copy, "-catalog", self.catalog("tavrin"))
        self.assertNotEqual(status, 0, "a changed image still matched its catalog:\n" + output)


def main():
    global OPTIONS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", required=True, help="the repository's root")
    parser.add_argument("--images", required=True, help="where `make images` staged the sets (build/images)")
    parser.add_argument("--arch", required=True, choices=sorted(MACHINES))
    parser.add_argument("--osslsigncode", help="osslsigncode; the tests that need it skip without it")
    parser.add_argument("--openssl", help="openssl; the tests that need it skip without it")
    OPTIONS, rest = parser.parse_known_args()
    if not os.path.isdir(arch_dir()):
        print(f"skipped: no {OPTIONS.arch} images in {OPTIONS.images}: run `make images` first "
              "(needs the mingw-w64 cross compilers)")
        return 77
    result = unittest.main(argv=[sys.argv[0], *rest], exit=False, verbosity=2).result
    if not result.wasSuccessful():
        return 1
    return 77 if result.testsRun == len(result.skipped) else 0


if __name__ == "__main__":
    sys.exit(main())
