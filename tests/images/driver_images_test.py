#!/usr/bin/env python3
"""Reads every staged driver image back with pefile and checks what the
kernel, the installer and a debugger rely on, rather than trusting the flags
the build passed: machine and subsystem, entry point, imports, checksum,
relocations, section flags, unwind data, version resource, CodeView record
and PDB (read with LLVM's own reader, llvm-pdbutil).

Usage: driver_images_test.py --images build/images --arch x86_64 --pdbutil llvm-pdbutil
Exits 77 (skipped) when no images of the architecture were built.
"""
import argparse
import os
import re
import subprocess
import sys
import unittest

import pefile

ARCHES = {
    "i686": {"machine": 0x14C, "entry": "_DriverEntry@8", "reloc": pefile.RELOCATION_TYPE["IMAGE_REL_BASED_HIGHLOW"]},
    "x86_64": {"machine": 0x8664, "entry": "DriverEntry", "reloc": pefile.RELOCATION_TYPE["IMAGE_REL_BASED_DIR64"]},
}

DRIVERS = ["tavrin", "kelvane", "ostrel"]

# The kernel routines the drivers call. Anything else in an import table is
# either a new dependency to add here deliberately or a mistake.
ALLOWED_IMPORTS = {
    "IoCreateDevice", "IoDeleteDevice", "IoAttachDeviceToDeviceStack", "IoDetachDevice",
    "IoInitializeRemoveLockEx", "IoAcquireRemoveLockEx", "IoReleaseRemoveLockEx", "IoReleaseRemoveLockAndWaitEx",
    "IofCallDriver",
    "IofCompleteRequest", "PoCallDriver", "PoStartNextPowerIrp", "PoSetPowerState", "PoRequestPowerIrp",
    "ExAllocatePoolWithTag", "ExFreePool", "KeInitializeEvent", "KeSetEvent", "KeWaitForSingleObject",
    "KeInitializeMutex", "KeReleaseMutex", "MmMapLockedPagesSpecifyCache", "RtlInitUnicodeString", "DbgPrint",
    # Windows 2000 and later export it: the drivers choose NX memory from Windows 8 on.
    "RtlGetVersion",
    "memcpy", "memset", "memmove",
    # The x86 kernel exports its interlocked operations as fastcall routines, and mingw-w64's
    # headers call them there rather than inlining them; on x64 they are always inlined.
    "InterlockedCompareExchange", "InterlockedExchange",
}

SCN_EXECUTE = 0x20000000
SCN_WRITE = 0x80000000
DLL_DYNAMIC_BASE = 0x40
DLL_NX_COMPAT = 0x100
FILE_EXECUTABLE = 0x2
FILE_RELOCS_STRIPPED = 0x1
FILE_DLL = 0x2000

OPTIONS = None


def pdbutil(*args):
    return subprocess.run([OPTIONS.pdbutil, *args], check=True, capture_output=True, text=True).stdout


class DriverImages(unittest.TestCase):
    """Each test walks every driver image of the architecture."""

    @classmethod
    def setUpClass(cls):
        cls.arch = ARCHES[OPTIONS.arch]
        cls.images = {}
        for name in DRIVERS:
            path = os.path.join(OPTIONS.images, OPTIONS.arch, name + ".sys")
            if not os.path.exists(path):
                raise AssertionError(f"{path} is missing although {OPTIONS.arch} images were built: "
                                     f"run `cmake --preset mingw-{OPTIONS.arch}`, then `make images`")
            cls.images[name] = (path, pefile.PE(path))

    def each(self):
        return [(name, path, image) for name, (path, image) in self.images.items()]

    def section_at(self, image, rva):
        return next((s for s in image.sections if s.contains_rva(rva)), None)

    def test_is_a_native_image_for_its_machine(self):
        for name, path, image in self.each():
            with self.subTest(driver=name):
                self.assertEqual(image.FILE_HEADER.Machine, self.arch["machine"])
                self.assertEqual(image.PE_TYPE == pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS, OPTIONS.arch == "x86_64")
                self.assertEqual(image.OPTIONAL_HEADER.Subsystem, pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_NATIVE"])
                self.assertTrue(image.FILE_HEADER.Characteristics & FILE_EXECUTABLE)
                self.assertFalse(image.FILE_HEADER.Characteristics & FILE_DLL, "a driver is not a DLL")

    def test_enters_at_driver_entry_as_its_pdb_names_it(self):
        for name, path, image in self.each():
            with self.subTest(driver=name):
                publics = pdbutil("dump", "-publics", path[:-4] + ".pdb")
                found = re.search(r"`" + re.escape(self.arch["entry"]) + r"`\s+flags = function, addr = (\d+):(\d+)", publics)
                self.assertIsNotNone(found, f"{name}.pdb has no public {self.arch['entry']}")
                section, offset = int(found.group(1)), int(found.group(2))
                entry = image.OPTIONAL_HEADER.AddressOfEntryPoint
                self.assertEqual(image.sections[section - 1].VirtualAddress + offset, entry)
                self.assertTrue(self.section_at(image, entry).Characteristics & SCN_EXECUTE)

    def test_imports_only_known_kernel_routines_from_ntoskrnl(self):
        for name, path, image in self.each():
            with self.subTest(driver=name):
                dlls = image.DIRECTORY_ENTRY_IMPORT
                self.assertEqual([d.dll.decode().lower() for d in dlls], ["ntoskrnl.exe"])
                self.assertTrue(dlls[0].imports)
                for routine in dlls[0].imports:
                    self.assertIsNotNone(routine.name, f"import by ordinal {routine.ordinal}")
                    self.assertIn(routine.name.decode(), ALLOWED_IMPORTS,
                                  "unexpected import: add it to ALLOWED_IMPORTS if the drivers really need it, "
                                  "otherwise find what pulled it in")

    def test_stores_its_true_checksum(self):
        for name, path, image in self.each():
            with self.subTest(driver=name):
                self.assertNotEqual(image.OPTIONAL_HEADER.CheckSum, 0)
                self.assertEqual(image.OPTIONAL_HEADER.CheckSum, image.generate_checksum())

    def test_can_be_relocated(self):
        for name, path, image in self.each():
            with self.subTest(driver=name):
                self.assertFalse(image.FILE_HEADER.Characteristics & FILE_RELOCS_STRIPPED)
                fixups = [e for block in getattr(image, "DIRECTORY_ENTRY_BASERELOC", []) for e in block.entries
                          if e.type != pefile.RELOCATION_TYPE["IMAGE_REL_BASED_ABSOLUTE"]]
                self.assertTrue(fixups, "no base relocations: the kernel could not load the image elsewhere")
                for fixup in fixups:
                    self.assertEqual(fixup.type, self.arch["reloc"], hex(fixup.rva))
                    self.assertIsNotNone(self.section_at(image, fixup.rva), hex(fixup.rva))

    def test_is_marked_dynamic_base_and_nx_compatible_with_no_writable_code(self):
        for name, path, image in self.each():
            with self.subTest(driver=name):
                self.assertTrue(image.OPTIONAL_HEADER.DllCharacteristics & DLL_DYNAMIC_BASE)
                self.assertTrue(image.OPTIONAL_HEADER.DllCharacteristics & DLL_NX_COMPAT)
                for s in image.sections:
                    both = s.Characteristics & SCN_WRITE and s.Characteristics & SCN_EXECUTE
                    self.assertFalse(both, f"{s.Name} is writable and executable")

    def test_has_no_thread_local_storage_exports_or_constructors(self):
        for name, path, image in self.each():
            with self.subTest(driver=name):
                directories = image.OPTIONAL_HEADER.DATA_DIRECTORY
                self.assertEqual(directories[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_TLS"]].Size, 0)
                self.assertEqual(directories[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"]].Size, 0)
                with open(path[:-4] + ".map") as linker_map:
                    lists = [line for line in linker_map
                             if re.search(r":\((\.ctors|\.dtors|\.CRT\$X[CT])", line) and not re.match(r"\S+ 0+ ", line)]
                self.assertEqual(lists, [], "global constructors never run in a kernel image")

    def test_has_unwind_data_exactly_where_the_kernel_uses_it(self):
        for name, path, image in self.each():
            with self.subTest(driver=name):
                functions = getattr(image, "DIRECTORY_ENTRY_EXCEPTION", [])
                if OPTIONS.arch != "x86_64":
                    # x86 Windows has no table-based unwinding: the build leaves the tables out.
                    self.assertEqual(functions, [])
                    continue
                self.assertTrue(functions, "no .pdata: the kernel cannot unwind through the driver")
                entry = image.OPTIONAL_HEADER.AddressOfEntryPoint
                for f in functions:
                    self.assertLess(f.struct.BeginAddress, f.struct.EndAddress)
                    self.assertTrue(self.section_at(image, f.struct.BeginAddress).Characteristics & SCN_EXECUTE)
                    self.assertIsNotNone(self.section_at(image, f.struct.UnwindData))
                self.assertTrue(any(f.struct.BeginAddress <= entry < f.struct.EndAddress for f in functions),
                                "DriverEntry has no unwind data")

    def test_carries_a_driver_version_resource_in_english(self):
        for name, path, image in self.each():
            with self.subTest(driver=name):
                languages = [lang.id for kind in image.DIRECTORY_ENTRY_RESOURCE.entries
                             if kind.id == pefile.RESOURCE_TYPE["RT_VERSION"]
                             for entry in kind.directory.entries for lang in entry.directory.entries]
                self.assertEqual(languages, [0x0409])
                fixed = image.VS_FIXEDFILEINFO[0]
                self.assertEqual(fixed.Signature, 0xFEEF04BD)
                self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS), (0x10000, 1))
                self.assertEqual((fixed.ProductVersionMS, fixed.ProductVersionLS), (0x10000, 1))
                self.assertEqual(fixed.FileOS, 0x00040004, "VOS_NT_WINDOWS32")
                self.assertEqual(fixed.FileType, 3, "VFT_DRV")
                self.assertEqual(fixed.FileSubtype, 7, "VFT2_DRV_SYSTEM")
                tables = [t for info in image.FileInfo[0] if info.Key == b"StringFileInfo" for t in info.StringTable]
                self.assertEqual([t.LangID for t in tables], [b"040904b0"])
                strings = {k.decode(): v.decode() for k, v in tables[0].entries.items()}
                for key in ("CompanyName", "FileDescription", "FileVersion", "InternalName", "LegalCopyright",
                            "OriginalFilename", "ProductName", "ProductVersion"):
                    self.assertTrue(strings.get(key), f"no {key} entry")
                self.assertEqual(strings["FileVersion"], "1.0.0.1")
                self.assertEqual(strings["ProductVersion"], "1.0.0.1")
                self.assertEqual(strings["OriginalFilename"], name + ".sys")
                translations = [v.entry for info in image.FileInfo[0] if info.Key == b"VarFileInfo" for v in info.Var]
                self.assertEqual(translations, [{b"Translation": "0x0409 0x04b0"}])

    def test_names_its_pdb_in_a_codeview_record_that_matches_the_pdb(self):
        for name, path, image in self.each():
            with self.subTest(driver=name):
                records = [d.entry for d in getattr(image, "DIRECTORY_ENTRY_DEBUG", [])
                           if d.struct.Type == pefile.DEBUG_TYPE["IMAGE_DEBUG_TYPE_CODEVIEW"]]
                self.assertEqual(len(records), 1, "one CodeView record")
                record = records[0]
                self.assertEqual(record.CvSignature, b"RSDS")
                self.assertEqual(record.PdbFileName.rstrip(b"\0").decode(), name + ".pdb",
                                 "the record names the PDB without the build's directory")
                guid = "{%08X-%04X-%04X-%02X%02X-%s}" % (record.Signature_Data1, record.Signature_Data2,
                                                        record.Signature_Data3, record.Signature_Data4,
                                                        record.Signature_Data5, bytes(record.Signature_Data6).hex().upper())
                summary = pdbutil("dump", "-summary", path[:-4] + ".pdb")
                self.assertIn("GUID: " + guid, summary)
                self.assertIn(f"Age: {record.Age}", summary)
                self.assertIn("Has Debug Info: true", summary)
                # The PDB knows the drivers' own routines, not only the entry point.
                self.assertIn("`DispatchPnp", pdbutil("dump", "-symbols", path[:-4] + ".pdb"))


def main():
    global OPTIONS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--images", required=True, help="where `make images` staged the sets (build/images)")
    parser.add_argument("--arch", required=True, choices=sorted(ARCHES))
    parser.add_argument("--pdbutil", required=True, help="LLVM's PDB reader (llvm-pdbutil)")
    OPTIONS, rest = parser.parse_known_args()
    if not os.path.isdir(os.path.join(OPTIONS.images, OPTIONS.arch)):
        print(f"skipped: no {OPTIONS.arch} images in {OPTIONS.images}: run `make images` first")
        return 77
    result = unittest.main(argv=[sys.argv[0], *rest], exit=False, verbosity=2).result
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
