"""The ASN.1 of a Windows security catalog (.cat), for asn1crypto.

A catalog is a PKCS #7 SignedData whose content is a certificate trust list
(CTL, szOID_CTL): one entry per file, keyed by the file's hash, with the
attributes Windows reads (the file's indirect data, that is its hash and the
kind of hash; its subject type; its name and the OS versions it is for), and
catalog-wide name/value attributes in the CTL's extensions. Names and OIDs
are those of wintrust.h, mscat.h and mssip.h.
"""

from __future__ import annotations

from asn1crypto import algos, core

# Object identifiers (wintrust.h, wincrypt.h).
OID_SIGNED_DATA = "1.2.840.113549.1.7.2"
OID_CTL = "1.3.6.1.4.1.311.10.1"                     # szOID_CTL
OID_CATALOG_LIST = "1.3.6.1.4.1.311.12.1.1"          # szOID_CATALOG_LIST
OID_CATALOG_LIST_MEMBER = "1.3.6.1.4.1.311.12.1.2"   # szOID_CATALOG_LIST_MEMBER: SHA-1 tags
OID_CAT_NAMEVALUE = "1.3.6.1.4.1.311.12.2.1"         # CAT_NAMEVALUE_OBJID
OID_CAT_MEMBERINFO = "1.3.6.1.4.1.311.12.2.2"        # CAT_MEMBERINFO_OBJID
OID_SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"      # SPC_INDIRECT_DATA_OBJID
OID_SPC_PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"     # SPC_PE_IMAGE_DATA_OBJID
OID_SPC_CAB_DATA = "1.3.6.1.4.1.311.2.1.25"          # SPC_CAB_DATA_OBJID: what flat files use

# Subject interface packages (mssip.h): who hashes the member.
SUBJECT_PE_IMAGE = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}"    # portable executables
SUBJECT_FLAT_IMAGE = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}"  # any other file, hashed whole
CAT_MEMBER_CERT_VERSION = 0x200  # CAT_MEMBERINFO.dwCertVersion, as makecat and Inf2Cat write it

# CRYPTCAT_ATTR_AUTHENTICATED | CRYPTCAT_ATTR_NAMEASCII | CRYPTCAT_ATTR_DATAASCII
NAMEVALUE_FLAGS = 0x10010001


class CatNameValue(core.Sequence):
    _fields = [
        ("tag", core.BMPString),
        ("flags", core.Integer),
        ("value", core.OctetString),  # UTF-16LE with its terminating NUL
    ]


class CatMemberInfo(core.Sequence):
    _fields = [
        ("subject_guid", core.BMPString),
        ("cert_version", core.Integer),
    ]


class SpcString(core.Choice):
    _alternatives = [
        ("unicode", core.BMPString, {"implicit": 0}),
        ("ascii", core.IA5String, {"implicit": 1}),
    ]


class SpcSerializedObject(core.Sequence):
    _fields = [("class_id", core.OctetString), ("serialized_data", core.OctetString)]


class SpcLink(core.Choice):
    _alternatives = [
        ("url", core.IA5String, {"implicit": 0}),
        ("moniker", SpcSerializedObject, {"implicit": 1}),
        ("file", SpcString, {"explicit": 2}),
    ]


class SpcPeImageData(core.Sequence):
    _fields = [
        ("flags", core.BitString),
        ("file", SpcLink, {"explicit": 0, "optional": True}),
    ]


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", core.Any, {"optional": True})]


class DigestInfo(core.Sequence):
    _fields = [("digest_algorithm", algos.DigestAlgorithm), ("digest", core.OctetString)]


class SpcIndirectDataContent(core.Sequence):
    _fields = [("data", SpcAttributeTypeAndOptionalValue), ("message_digest", DigestInfo)]


class AttributeValues(core.SetOf):
    _child_spec = core.Any


class Attribute(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("values", AttributeValues)]


class Attributes(core.SetOf):
    _child_spec = Attribute


class TrustedSubject(core.Sequence):
    _fields = [
        ("subject_identifier", core.OctetString),  # the member tag
        ("attributes", Attributes, {"optional": True}),
    ]


class TrustedSubjects(core.SequenceOf):
    _child_spec = TrustedSubject


class SubjectUsage(core.SequenceOf):
    _child_spec = core.ObjectIdentifier


class SubjectAlgorithm(core.Sequence):
    _fields = [("algorithm", core.ObjectIdentifier), ("parameters", core.Any, {"optional": True})]


class Extension(core.Sequence):
    _fields = [
        ("extn_id", core.ObjectIdentifier),
        ("critical", core.Boolean, {"default": False}),
        ("extn_value", core.OctetString),
    ]


class Extensions(core.SequenceOf):
    _child_spec = Extension


class CertificateTrustList(core.Sequence):
    _fields = [
        ("subject_usage", SubjectUsage),
        ("list_identifier", core.OctetString, {"optional": True}),
        ("this_update", core.UTCTime),
        ("subject_algorithm", SubjectAlgorithm),
        ("trusted_subjects", TrustedSubjects, {"optional": True}),
        ("extensions", Extensions, {"explicit": 0, "optional": True}),
    ]


# PKCS #7 (not CMS): the inner content is the CTL itself under [0], not an
# OCTET STRING holding it, as Authenticode has it.
class InnerContentInfo(core.Sequence):
    _fields = [("content_type", core.ObjectIdentifier), ("content", CertificateTrustList, {"explicit": 0})]


class DigestAlgorithms(core.SetOf):
    _child_spec = algos.DigestAlgorithm


class SignerInfos(core.SetOf):
    _child_spec = core.Any


class SignedData(core.Sequence):
    _fields = [
        ("version", core.Integer),
        ("digest_algorithms", DigestAlgorithms),
        ("content_info", InnerContentInfo),
        ("signer_infos", SignerInfos),
    ]


class ContentInfo(core.Sequence):
    _fields = [("content_type", core.ObjectIdentifier), ("content", SignedData, {"explicit": 0})]
