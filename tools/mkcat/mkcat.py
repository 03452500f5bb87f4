#!/usr/bin/env python3
"""mkcat: the catalog (.cat) of a driver package, made on Linux.

Windows trusts a driver package through its catalog: a signed list of the
hashes of the package's files. This tool writes the unsigned catalog of one
INF for one architecture, as Inf2Cat would: the members are the INF itself and
every file its [SourceDisksFiles] (and [SourceDisksFiles.x86|amd64]) name, taken
from the INF's directory; each member is keyed by its SHA-1 hash (for a PE
image the Authenticode image hash, which leaves out the checksum, the
certificate table entry and the embedded signature; for any other file the
hash of its bytes), the kind of hash Windows computes for a catalog member
from XP to Windows 11; the catalog-wide attributes name the hardware IDs the
INF installs and the OS versions. Sign the output with osslsigncode (`sign`
takes a .cat) to get the package's catalog (cmake/ImageSet.cmake does both).

  mkcat.py --inf tavrin.inf --arch amd64 --out tavrin_amd64.unsigned.cat

Exit status: 0 written; 1 the INF or a file it names is missing or unreadable.
"""

from __future__ import annotations

import argparse
import datetime
import hashlib
import os
import struct
import sys
from pathlib import Path

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, str(Path(__file__).resolve().parent))

try:
    from asn1crypto import core
except ImportError:
    sys.exit("mkcat: the Python module asn1crypto is missing (Debian: apt-get install python3-asn1crypto)")

import catalog_asn1 as cat  # noqa: E402

# Per architecture: the INF decoration, and the catalog attributes saying
# which Windows versions the package is for (Inf2Cat's names; OSAttr is
# "platform 2 (NT): major.minor" per version, XP x64 being 5.2).
ARCHES = {
    "x86": ("NTx86", "XPX86,VistaX86,7X86,8X86,_v63,_v100", "2:5.1,2:6.0,2:6.1,2:6.2,2:6.3,2:10.0"),
    "amd64": ("NTamd64", "XPX64,VistaX64,7X64,8X64,_v63_X64,_v100_X64", "2:5.2,2:6.0,2:6.1,2:6.2,2:6.3,2:10.0"),
}


class Failed(Exception):
    pass


# ---- the INF: only what a catalog needs from it

def inf_sections(text: str) -> dict[str, list[tuple[str, list[str]]]]:
    """Section name (lower case) -> [(key, values)], comments and quotes removed."""
    sections: dict[str, list[tuple[str, list[str]]]] = {}
    current = None
    for raw in text.splitlines():
        line, quoted = "", False
        for c in raw:
            if c == '"':
                quoted = not quoted
                continue
            if c == ";" and not quoted:
                break
            line += c
        line = line.strip()
        if not line:
            continue
        if line.startswith("[") and line.endswith("]"):
            current = sections.setdefault(line[1:-1].strip().lower(), [])
            continue
        if current is None:
            continue
        key, _, rest = line.partition("=") if "=" in line else ("", "", line)
        current.append((key.strip(), [v.strip() for v in rest.split(",")]))
    return sections


def package_files(sections, arch: str) -> list[str]:
    names = []
    for section in ("sourcedisksfiles", f"sourcedisksfiles.{arch}"):
        names += [key for key, _ in sections.get(section, []) if key]
    return names


def hardware_ids(sections, decoration: str) -> list[str]:
    ids: list[str] = []
    for _, values in sections.get("manufacturer", []):
        models = values[0]
        for name, lines in sections.items():
            if name == f"{models}.{decoration}".lower() or name.startswith(f"{models}.{decoration}.".lower()):
                for _, line_values in lines:
                    ids += [v.lower() for v in line_values[1:] if v and v.lower() not in ids]
    return ids


# ---- hashes

def pe_image_hash(data: bytes) -> bytes | None:
    """The Authenticode SHA-1 of a PE image, or None when `data` is not one."""
    if len(data) < 0x40 or data[:2] != b"MZ":
        return None
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if pe + 24 > len(data) or data[pe:pe + 4] != b"PE\0\0":
        return None
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + {0x10B: 96, 0x20B: 112}.get(magic, -1)
    if directories < optional:
        return None
    count = struct.unpack_from("<I", data, directories - 4)[0]
    checksum = optional + 64
    security = directories + 4 * 8  # IMAGE_DIRECTORY_ENTRY_SECURITY
    if count < 5 or security + 8 > len(data):
        return None
    table, _ = struct.unpack_from("<II", data, security)
    end = table if table else len(data)
    if end < security + 8 or end > len(data):
        raise Failed("the certificate table lies outside the image")
    h = hashlib.sha1()
    h.update(data[:checksum])
    h.update(data[checksum + 4:security])
    h.update(data[security + 8:end])
    if not table and len(data) % 8:
        h.update(bytes(8 - len(data) % 8))  # what signing pads an image to
    return h.digest()


# ---- the catalog

def utf16z(text: str) -> bytes:
    return (text + "\0").encode("utf-16-le")


def name_value(tag: str, value: str) -> cat.CatNameValue:
    return cat.CatNameValue({"tag": tag, "flags": cat.NAMEVALUE_FLAGS, "value": utf16z(value)})


def attribute(oid: str, value: core.Asn1Value) -> cat.Attribute:
    return cat.Attribute({"type": oid, "values": [core.Any.load(value.dump())]})


def member(name: str, data: bytes, os_attr: str) -> tuple[bytes, cat.TrustedSubject]:
    digest = pe_image_hash(data)
    if digest is not None:
        link = cat.SpcLink(name="file", value=cat.SpcString(name="unicode", value="<<<Obsolete>>>"))
        kind = cat.SpcAttributeTypeAndOptionalValue({
            "type": cat.OID_SPC_PE_IMAGE_DATA,
            "value": cat.SpcPeImageData({"flags": (), "file": link}),
        })
        subject = cat.SUBJECT_PE_IMAGE
    else:
        digest = hashlib.sha1(data).digest()
        kind = cat.SpcAttributeTypeAndOptionalValue({
            "type": cat.OID_SPC_CAB_DATA,
            "value": cat.SpcLink(name="file", value=cat.SpcString(name="unicode", value="<<<Obsolete>>>")),
        })
        subject = cat.SUBJECT_FLAT_IMAGE
    indirect = cat.SpcIndirectDataContent({
        "data": kind,
        "message_digest": {"digest_algorithm": {"algorithm": "sha1", "parameters": core.Null()}, "digest": digest},
    })
    entry = cat.TrustedSubject({
        # The member tag: the hash in upper-case hex, UTF-16LE, as Windows looks members up.
        "subject_identifier": digest.hex().upper().encode("utf-16-le"),
        "attributes": [
            attribute(cat.OID_CAT_NAMEVALUE, name_value("File", name)),
            attribute(cat.OID_CAT_NAMEVALUE, name_value("OSAttr", os_attr)),
            attribute(cat.OID_CAT_MEMBERINFO, cat.CatMemberInfo({
                "subject_guid": subject, "cert_version": cat.CAT_MEMBER_CERT_VERSION})),
            attribute(cat.OID_SPC_INDIRECT_DATA, indirect),
        ],
    })
    return digest, entry


def build_catalog(inf: Path, arch: str, when: datetime.datetime) -> bytes:
    decoration, os_list, os_attr = ARCHES[arch]
    try:
        inf_data = inf.read_bytes()
    except OSError as error:
        raise Failed(f"cannot read the INF {inf}: {error.strerror}") from None
    sections = inf_sections(inf_data.decode("utf-8-sig", "replace"))
    files = package_files(sections, arch)
    if not files:
        raise Failed(f"{inf} names no files in [SourceDisksFiles]: a catalog of the INF alone protects no driver")
    members = [(inf.name.lower(), inf_data)]
    for name in files:
        path = inf.parent / name
        try:
            members.append((name.lower(), path.read_bytes()))
        except OSError as error:
            raise Failed(f"{inf.name} names {name}, but {path} cannot be read ({error.strerror}): "
                         "stage the package's files beside the INF first") from None

    entries = [member(name, data, os_attr) for name, data in members]
    catalog_attributes = [name_value(f"HWID{i}", hwid) for i, hwid in enumerate(hardware_ids(sections, decoration), 1)]
    catalog_attributes.append(name_value("OS", os_list))
    ctl = cat.CertificateTrustList({
        "subject_usage": [cat.OID_CATALOG_LIST],
        # An identifier that changes whenever a member does.
        "list_identifier": hashlib.sha256(b"".join(digest for digest, _ in entries)).digest()[:16],
        "this_update": when,
        "subject_algorithm": {"algorithm": cat.OID_CATALOG_LIST_MEMBER, "parameters": core.Null()},
        "trusted_subjects": [entry for _, entry in entries],
        "extensions": [{"extn_id": cat.OID_CAT_NAMEVALUE, "extn_value": a.dump()} for a in catalog_attributes],
    })
    signed = cat.SignedData({
        "version": 1,
        "digest_algorithms": [],
        "content_info": {"content_type": cat.OID_CTL, "content": ctl},
        "signer_infos": [],
    })
    return cat.ContentInfo({"content_type": cat.OID_SIGNED_DATA, "content": signed}).dump()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--inf", type=Path, required=True, help="the INF; the files it names sit beside it")
    parser.add_argument("--arch", required=True, choices=sorted(ARCHES), help="the INF decoration to read (NT<arch>)")
    parser.add_argument("--out", type=Path, required=True, help="the unsigned catalog to write")
    args = parser.parse_args()
    # SOURCE_DATE_EPOCH makes the catalog reproducible.
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    when = (datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc) if epoch
            else datetime.datetime.now(datetime.timezone.utc)).replace(microsecond=0)
    try:
        data = build_catalog(args.inf, args.arch, when)
    except Failed as error:
        print(f"mkcat: {error}", file=sys.stderr)
        return 1
    args.out.write_bytes(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
