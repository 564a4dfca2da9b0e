#!/usr/bin/env python3
"""Makes hostile copies of the signed fixtures for the Wine tests.

    make-hostile.py --fixtures DIR --out DIR [--openssl P] [--osslsigncode P]

From the fixture program with a version resource and a legacy counter-signature
(signed-legacy.exe) and its unsigned twin (unsigned.exe), each shape derives an
executable that still loads as a program but lies about something a reader
takes on trust: the size or place of its version resource, the lengths and
values inside that resource, its certificate table, its PKCS #7 signature, the
counter-signature's attributes, or its signer's certificate names.

Next to the executables goes manifest.json: per shape the file, what was
changed (with file offsets and bytes where a field was overwritten), the values
an untouched file reports ("true": description, company, signer, date), and
what the module must report for the shape ("expect", the same members): the
true value, or "" where the shape makes it refuse a member (EMPTY below). The
date is the counter-signature time in UTC, as a reader running in UTC renders it.

Only the Python standard library, openssl (keys, signatures over certificates)
and osslsigncode's plain `sign` are used. What can be checked here is checked as
the shapes are made, and fails the build: the untouched version resource survives
a parse and re-serialization, each rewritten resource lies where its entry points,
each new signature carries the certificate issued for it, and every shape differs
from the fixture it came from.
"""

import argparse
import base64
import json
import os
import random
import re
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures"))
from der import (TAG_BIT_STRING, TAG_BMP, TAG_BOOLEAN, TAG_CONTEXT_0, TAG_GENERALIZED_TIME,
                 TAG_IA5, TAG_INTEGER, TAG_OCTET_STRING, TAG_SEQUENCE, TAG_UTC_TIME,
                 TAG_UTF8, DerError, Node, algorithm, der_oid, der_set_of, issuer_and_serial,
                 oid_text, parse_one, pem_to_der, read_tlv, tbs_fields, tlv)

OID_SIGNED_DATA = "1.2.840.113549.1.7.2"
OID_COUNTER_SIGNATURE = "1.2.840.113549.1.9.6"
OID_SIGNING_TIME = "1.2.840.113549.1.9.5"
OID_EMAIL = "1.2.840.113549.1.9.1"
OID_CN = "2.5.4.3"
OID_OU = "2.5.4.11"
OID_O = "2.5.4.10"
OID_SHA256_RSA = "1.2.840.113549.1.1.11"
OID_BASIC_CONSTRAINTS = "2.5.29.19"
OID_KEY_USAGE = "2.5.29.15"
OID_EXT_KEY_USAGE = "2.5.29.37"
OID_SUBJECT_ALT_NAME = "2.5.29.17"
OID_CODE_SIGNING = "1.3.6.1.5.5.7.3.3"


class Fail(Exception):
    pass


# ---------------------------------------------------------------- PKCS #7 and X.509


def signer_info(content_info):
    """The first SignerInfo of a ContentInfo holding SignedData."""
    if oid_text(content_info.child(0).content) != OID_SIGNED_DATA:
        raise Fail("signature is not SignedData")
    signed_data = content_info.child(1).child(0)
    return signed_data.children[-1].child(0)


def certificates(content_info):
    found = content_info.child(1).child(0).first(TAG_CONTEXT_0)
    return found.children if found else []


def attributes(signer, tag):
    """The authenticated (0xA0) or unauthenticated (0xA1) attributes of a SignerInfo."""
    found = signer.first(tag)
    return found.children if found else []


def find_attribute(attribute_list, oid):
    for attribute in attribute_list:
        if oid_text(attribute.child(0).content) == oid:
            return attribute
    raise Fail("attribute %s not found" % oid)


def counter_signer(signer):
    attribute = find_attribute(attributes(signer, 0xA1), OID_COUNTER_SIGNATURE)
    return attribute.child(1).child(0)


def certificate_of(content_info, signer):
    """The certificate whose issuer and serial the SignerInfo names."""
    wanted = signer.child(1).encode()
    for cert in certificates(content_info):
        if issuer_and_serial(cert) == wanted:
            return cert
    raise Fail("signer certificate not in the signature")


def subject_of(cert):
    return tbs_fields(cert)[4]


def string_value(node):
    if node.tag == TAG_BMP:
        return node.content.decode("utf-16-be")
    if node.tag == TAG_UTF8:
        return node.content.decode("utf-8")
    return node.content.decode("latin-1")


def windows_signer_name(subject):
    """The subject name as Windows gives it for an attribute-type query without an
    attribute: the first of emailAddress, CN, OU and O present in the subject."""
    found = {}
    for rdn in subject.children:
        for pair in rdn.children:
            found.setdefault(oid_text(pair.child(0).content), string_value(pair.child(1)))
    for oid in (OID_EMAIL, OID_CN, OID_OU, OID_O):
        if oid in found:
            return found[oid]
    return ""


def utc_time_text(node):
    """UTCTime YYMMDDhhmmssZ as 14 digits."""
    text = node.content.decode("ascii")
    year = int(text[:2])
    return ("20" if year < 50 else "19") + text[:12]


def signing_time(content_info):
    counter = counter_signer(signer_info(content_info))
    attribute = find_attribute(attributes(counter, 0xA0), OID_SIGNING_TIME)
    return utc_time_text(attribute.child(1).child(0))


# ---------------------------------------------------------------- PE image

SECURITY_DIRECTORY = 4
RESOURCE_DIRECTORY = 2
RT_VERSION = 16


def align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


class Section:
    def __init__(self, image, header):
        self.header = header
        (self.name, self.virtual_size, self.rva, self.raw_size,
         self.raw_offset) = struct.unpack_from("<8sIIII", image, header)


class PeImage:
    """The fields of a PE file that the shapes touch, PE32 and PE32+ alike."""

    def __init__(self, data):
        self.data = bytearray(data)
        d = self.data
        if d[:2] != b"MZ":
            raise Fail("not an MZ image")
        self.nt = struct.unpack_from("<I", d, 0x3C)[0]
        if d[self.nt:self.nt + 4] != b"PE\0\0":
            raise Fail("no PE signature")
        self.optional = self.nt + 24
        magic = struct.unpack_from("<H", d, self.optional)[0]
        self.directories = self.optional + {0x10B: 96, 0x20B: 112}[magic]
        optional_size = struct.unpack_from("<H", d, self.nt + 20)[0]
        self.section_table = self.optional + optional_size
        self.load_sections()

    def load_sections(self):
        count = struct.unpack_from("<H", self.data, self.nt + 6)[0]
        self.sections = [Section(self.data, self.section_table + 40 * i) for i in range(count)]

    def u32(self, offset):
        return struct.unpack_from("<I", self.data, offset)[0]

    def put(self, fmt, offset, *values):
        struct.pack_into(fmt, self.data, offset, *values)

    def directory(self, index):
        return struct.unpack_from("<II", self.data, self.directories + 8 * index)

    def directory_offset(self, index):
        return self.directories + 8 * index

    def section_of(self, rva):
        for section in self.sections:
            if section.rva <= rva < section.rva + max(section.virtual_size, section.raw_size):
                return section
        raise Fail("RVA 0x%x lies in no section" % rva)

    def file_offset(self, rva):
        section = self.section_of(rva)
        return rva - section.rva + section.raw_offset

    def version_path(self):
        """File offsets of the directory entries on the way to the first RT_VERSION data
        entry (type, name, language), and of that data entry."""
        root_rva = self.directory(RESOURCE_DIRECTORY)[0]
        root = self.file_offset(root_rva)
        offset = 0
        path = []
        for wanted in (RT_VERSION, None, None):
            named, ids = struct.unpack_from("<HH", self.data, root + offset + 12)
            entries = root + offset + 16
            chosen = None
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", self.data, entries + 8 * i)
                if wanted is None or name == wanted:
                    chosen = target
                    path.append(entries + 8 * i)
                    break
            if chosen is None:
                raise Fail("no version resource")
            offset = chosen & 0x7FFFFFFF
            if not chosen & 0x80000000:
                break
        return path, root + offset

    def version_entry(self):
        """File offset of the first RT_VERSION IMAGE_RESOURCE_DATA_ENTRY."""
        return self.version_path()[1]

    def version_data(self):
        """(entry offset, data RVA, data size, data file offset)."""
        entry = self.version_entry()
        rva, size = struct.unpack_from("<II", self.data, entry)
        return entry, rva, size, self.file_offset(rva)

    def certificate_table(self):
        offset, size = self.directory(SECURITY_DIRECTORY)
        if offset == 0:
            raise Fail("no certificate table")
        length = self.u32(offset)
        blob = bytes(self.data[offset + 8:offset + length])
        # The table may be padded past the DER element; the blob is the element.
        return offset, size, blob[:read_tlv(blob, 0)[2]]

    def set_signature(self, blob, trailing=b""):
        """Replaces the certificate table (at the end of the file) by one holding blob."""
        offset = self.directory(SECURITY_DIRECTORY)[0]
        table = struct.pack("<IHH", 8 + len(blob), 0x0200, 0x0002) + blob
        table += b"\0" * (align(len(table), 8) - len(table))
        del self.data[offset:]
        self.data += table + trailing
        self.put("<II", self.directory_offset(SECURITY_DIRECTORY), offset, len(table))

    def add_section(self, name, payload, raw_extra=0):
        """Appends a readable data section holding payload; returns its RVA. Its raw
        data (raw_extra bytes longer than payload, which the image does not map) goes
        where the certificate table was, and the table after it."""
        end_of_table = self.section_table + 40 * len(self.sections)
        size_of_headers = self.u32(self.optional + 60)
        if end_of_table + 40 > min(size_of_headers,
                                   min(s.raw_offset for s in self.sections if s.raw_offset)):
            raise Fail("no room for another section header")
        section_alignment = self.u32(self.optional + 32)
        file_alignment = self.u32(self.optional + 36)
        last = self.sections[-1]
        rva = align(last.rva + max(last.virtual_size, last.raw_size), section_alignment)
        cert_offset, cert_size = self.directory(SECURITY_DIRECTORY)
        tail = bytes(self.data[cert_offset:cert_offset + cert_size]) if cert_offset else b""
        if cert_offset:
            del self.data[cert_offset:]
        raw_offset = align(len(self.data), file_alignment)
        raw_size = align(len(payload) + raw_extra, file_alignment)
        self.data += b"\0" * (raw_offset - len(self.data)) + payload
        self.data += b"\0" * (raw_offset + raw_size - len(self.data))
        if cert_offset:
            self.put("<I", self.directory_offset(SECURITY_DIRECTORY), len(self.data))
            self.data += tail
        self.put("<8sIIIIIIHHI", end_of_table, name, len(payload), rva, raw_size, raw_offset,
                 0, 0, 0, 0, 0x40000040)  # initialized data, readable
        self.put("<H", self.nt + 6, len(self.sections) + 1)
        self.put("<I", self.optional + 56, align(rva + len(payload), section_alignment))
        self.load_sections()
        return rva

    def replace_version(self, blob):
        """Writes a new version resource: in place when the resource section has room
        after the old data, otherwise in a section of its own."""
        entry, rva, _, offset = self.version_data()
        section = self.section_of(rva)
        if rva + len(blob) <= section.rva + section.raw_size:
            self.data[offset:offset + len(blob)] = blob
            if rva + len(blob) > section.rva + section.virtual_size:
                self.put("<I", section.header + 8, rva + len(blob) - section.rva)
            where = "in place"
        else:
            rva = self.add_section(b".rsrc2\0\0", blob)
            where = "in a new section at RVA 0x%x" % rva
        self.put("<II", entry, rva, len(blob))
        return where


# ---------------------------------------------------------------- version resource


class Block:
    """One node of a VS_VERSIONINFO tree; length and value_length override the
    lengths the serializer would compute (None: the true ones)."""

    def __init__(self, key, kind, value=b"", children=None):
        self.key = key
        self.kind = kind  # 1: text value, 0: binary
        self.value = value
        self.children = children or []
        self.length = None
        self.value_length = None

    def find(self, *keys):
        block = self
        for key in keys:
            block = next(c for c in block.children if c.key == key)
        return block


def pad4(position):
    return (4 - position % 4) % 4


def parse_block(data, start):
    length, value_length, kind = struct.unpack_from("<HHH", data, start)
    end = start + length
    pos = start + 6
    key_end = pos
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[pos:key_end].decode("utf-16-le")
    pos = key_end + 2
    pos += pad4(pos)
    value_bytes = value_length * 2 if kind == 1 else value_length
    value = data[pos:min(pos + value_bytes, end)]
    pos += value_bytes
    block = Block(key, kind, value)
    while True:
        pos += pad4(pos)
        if pos >= end:
            break
        child = parse_block(data, pos)
        block.children.append(child)
        pos += struct.unpack_from("<H", data, pos)[0]
    return block


def serialize(block, position=0):
    out = bytearray(6)
    out += block.key.encode("utf-16-le") + b"\0\0"
    out += b"\0" * pad4(position + len(out))
    out += block.value
    for child in block.children:
        out += b"\0" * pad4(position + len(out))
        out += serialize(child, position + len(out))
    value_length = len(block.value) // 2 if block.kind == 1 else len(block.value)
    struct.pack_into("<HHH", out, 0,
                     len(out) if block.length is None else block.length,
                     value_length if block.value_length is None else block.value_length,
                     block.kind)
    return bytes(out)


def text_value(block):
    return block.value.decode("utf-16-le").split("\0")[0]


def true_version_strings(root):
    """Description and company of the first Translation entry."""
    language, code_page = struct.unpack_from("<HH", root.find("VarFileInfo", "Translation").value)
    table = root.find("StringFileInfo", "%04x%04x" % (language, code_page))
    return text_value(table.find("FileDescription")), text_value(table.find("CompanyName"))


# ---------------------------------------------------------------- certificates


def run(command, **kwargs):
    return subprocess.run(command, check=True, capture_output=True, **kwargs).stdout


def der_to_pem(der, label="CERTIFICATE"):
    text = base64.b64encode(der).decode("ascii")
    lines = [text[i:i + 64] for i in range(0, len(text), 64)]
    return ("-----BEGIN %s-----\n%s\n-----END %s-----\n" % (label, "\n".join(lines), label))


def rdn(*pairs):
    """One RDN; several pairs make it multi-valued (DER sorts a SET OF)."""
    return der_set_of([tlv(TAG_SEQUENCE, der_oid(oid) + tlv(tag, value))
                       for oid, tag, value in pairs])


def name(*rdns):
    return tlv(TAG_SEQUENCE, b"".join(rdns))


def utf8(oid, text):
    return (oid, TAG_UTF8, text.encode("utf-8"))


def ia5(oid, text):
    return (oid, TAG_IA5, text.encode("ascii"))


def bmp(oid, text):
    return (oid, TAG_BMP, text.encode("utf-16-be"))


def extension(oid, value, critical=False):
    flag = tlv(TAG_BOOLEAN, b"\xff") if critical else b""
    return tlv(TAG_SEQUENCE, der_oid(oid) + flag + tlv(TAG_OCTET_STRING, value))


class Issuer:
    """Issues code-signing certificates with chosen subjects from the fixtures' CA."""

    def __init__(self, tools, pki, work):
        self.tools = tools
        self.ca_key = os.path.join(pki, "ca.key")
        ca = parse_one(pem_to_der(open(os.path.join(pki, "ca.pem"), encoding="ascii").read()))
        self.ca_subject = subject_of(ca).encode()
        self.key = os.path.join(work, "hostile-signer.key")
        run([tools.openssl, "genpkey", "-quiet", "-algorithm", "RSA", "-pkeyopt",
             "rsa_keygen_bits:2048", "-out", self.key])
        self.public_key = run([tools.openssl, "pkey", "-in", self.key, "-pubout", "-outform", "DER"])
        self.work = work
        self.serial = 4000

    def issue(self, label, subject, alt_name=None):
        self.serial += 1
        signature_algorithm = algorithm(OID_SHA256_RSA)
        validity = tlv(TAG_SEQUENCE, tlv(TAG_UTC_TIME, b"180101000000Z") +
                       tlv(TAG_UTC_TIME, b"380101000000Z"))
        extensions = [
            extension(OID_BASIC_CONSTRAINTS, tlv(TAG_SEQUENCE, b"")),
            extension(OID_KEY_USAGE, tlv(TAG_BIT_STRING, b"\x07\x80"), critical=True),
            extension(OID_EXT_KEY_USAGE, tlv(TAG_SEQUENCE, der_oid(OID_CODE_SIGNING))),
        ]
        if alt_name is not None:
            # GeneralNames holding one directoryName ([4], explicit: Name is a CHOICE).
            extensions.append(extension(OID_SUBJECT_ALT_NAME,
                                        tlv(TAG_SEQUENCE, tlv(0xA4, alt_name))))
        tbs = tlv(TAG_SEQUENCE,
                  tlv(0xA0, tlv(TAG_INTEGER, b"\x02")) +
                  tlv(TAG_INTEGER, self.serial.to_bytes(2, "big")) + signature_algorithm +
                  self.ca_subject + validity + subject + self.public_key +
                  tlv(0xA3, tlv(TAG_SEQUENCE, b"".join(extensions))))
        with tempfile.NamedTemporaryFile(dir=self.work, delete=False) as f:
            f.write(tbs)
        try:
            signature = run([self.tools.openssl, "dgst", "-sha256", "-sign", self.ca_key, f.name])
        finally:
            os.unlink(f.name)
        cert = tlv(TAG_SEQUENCE,
                   tbs + signature_algorithm + tlv(TAG_BIT_STRING, b"\0" + signature))
        path = os.path.join(self.work, label + ".pem")
        with open(path, "w", encoding="ascii") as out:
            out.write(der_to_pem(cert))
        return path, parse_one(cert)

    def sign(self, cert_path, source, target):
        # osslsigncode will not overwrite: a rebuild over an earlier output must not fail.
        if os.path.exists(target):
            os.unlink(target)
        run([self.tools.osslsigncode, "sign", "-certs", cert_path, "-key", self.key,
             "-h", "sha256", "-n", "Korva fixture", "-in", source, "-out", target])


# ---------------------------------------------------------------- shapes


class Shape:
    def __init__(self, name, part, change, data, truth, refused=(), record=None):
        self.name = name
        self.part = part
        self.change = change
        self.data = data
        self.truth = truth
        empty = set(empty_members(name)) | set(refused)  # members that must come back empty
        self.expect = {m: "" if m in empty else v for m, v in truth.items()}
        self.record = record  # the code the log's verification record must carry


class Base:
    """A fixture as the shapes start from it, with what it truly reports."""

    def __init__(self, path):
        self.path = path
        self.data = open(path, "rb").read()
        image = PeImage(self.data)
        _, _, size, offset = image.version_data()
        self.version = parse_block(self.data[offset:offset + size], 0)
        if serialize(self.version) != self.data[offset:offset + size]:
            raise Fail("%s: version resource does not survive a round trip" % path)
        description, company = true_version_strings(self.version)
        self.truth = {"description": description, "company": company, "signer": "", "date": ""}
        try:
            _, _, blob = image.certificate_table()
        except Fail:
            return
        self.signature = blob
        content_info = parse_one(blob)
        signer = signer_info(content_info)
        self.truth["signer"] = windows_signer_name(subject_of(certificate_of(content_info, signer)))
        try:
            self.truth["date"] = signing_time(content_info)
        except Fail:
            pass

    def image(self):
        return PeImage(self.data)


VERSION_MEMBERS = ["description", "company"]
SIGNATURE_MEMBERS = ["signer", "date"]
# The members the module must report empty, by shape name: it refuses every size,
# place and length the version resource lies about, and a Translation shorter than one
# entry; a signature that cannot be read (as measured under Wine 8, of the seeded bit
# flips those of shapes 6 to 8) gives neither signer nor date, a counter-signature that
# cannot be read no date. Every other member of every shape must come back true (what
# Wine 8 renders otherwise is the Wine test's to know).
EMPTY = [
    (r"version-(size|rva|data-entry|type-directory|name-directory|translation)-|resource-|"
     r"version-.*-length-|version-(raw-pointer-unaligned|sections-overlap|type-twice)$",
     VERSION_MEMBERS),
    (r"signature-cut-|signature-flip-[125678]$|cert-length-|cert-directory-offset-|"
     r"cert-directory-size-past-eof$|cert-type-x509$", SIGNATURE_MEMBERS),
    (r"countersig-", ["date"]),
]


def empty_members(name):
    return next((members for pattern, members in EMPTY if re.match(pattern, name)), [])


def field_change(image, offset, fmt, value, what):
    old = bytes(image.data[offset:offset + struct.calcsize(fmt)])
    image.put(fmt, offset, value)
    new = bytes(image.data[offset:offset + struct.calcsize(fmt)])
    return "%s at file offset 0x%x: %s -> %s" % (what, offset, old.hex(), new.hex())


def data_entry_shapes(base):
    image = base.image()
    entry, _, size, offset = image.version_data()
    file_size = len(image.data)
    claims = [
        ("version-size-zero", 0),
        ("version-size-3", 3),
        ("version-size-file-plus-16", file_size + 16),
        ("version-size-2gib", 0x7FFFFFF0),
        ("version-size-max", 0xFFFFFFFF),
        # Fits the file, not the resource's place in it: ends one byte past the file.
        ("version-size-past-eof-by-1", file_size - offset + 1),
        # Runs past the resource section but ends exactly at the end of the file.
        ("version-size-to-eof", file_size - offset),
    ]
    for name, claim in claims:
        shape_image = base.image()
        change = field_change(shape_image, entry + 4, "<I", claim, "version data entry size")
        yield name, change, shape_image
    shape_image = base.image()
    change = field_change(shape_image, entry, "<I", 0x7FFFFFF0, "version data entry RVA")
    yield "version-rva-outside-image", change, shape_image

    # Inside its section's raw data and inside the file, but past the end of the image:
    # a section's raw data may be longer than the part the image maps.
    shape_image = base.image()
    blob = bytes(image.data[offset:offset + size])
    rva = shape_image.add_section(b".rsrc2\0\0", blob, raw_extra=0x2000)
    section_alignment = shape_image.u32(shape_image.optional + 32)
    claim = align(len(blob), section_alignment) + 0x200
    shape_image.put("<II", entry, rva, claim)
    yield ("version-size-past-image",
           "version data moved to a new last section at RVA 0x%x (virtual size 0x%x, raw size "
           "0x%x); data entry at file offset 0x%x: RVA 0x%x, size 0x%x, ending 0x200 past the "
           "image" % (rva, len(blob), shape_image.sections[-1].raw_size, entry, rva, claim),
           shape_image)


def version_tree(data_rva, data_size, types=1):
    """A resource tree holding only RT_VERSION / 1 / 0409, whose data entry points at
    data_rva; with types=2 the root lists RT_VERSION twice, both to the same name."""
    def directory(entries):
        return struct.pack("<IIHHHH", 0, 0, 0, 0, 0, len(entries)) + b"".join(
            struct.pack("<II", name, target) for name, target in entries)
    root_size = 16 + 8 * types
    name_at = root_size
    language_at = name_at + 24
    entry_at = language_at + 24
    return (directory([(RT_VERSION, 0x80000000 | name_at)] * types) +
            directory([(1, 0x80000000 | language_at)]) +
            directory([(0x409, entry_at)]) +
            struct.pack("<IIII", data_rva, data_size, 0, 0))


def set_resource_directory(image, rva, size):
    image.put("<II", image.directory_offset(RESOURCE_DIRECTORY), rva, size)


def placement_shapes(base):
    """The module's walk and the mapped image must read the same bytes. Each shape
    gives the two readings different resource trees: an honest one (the true data
    entry) and a lying one (a data entry of 4 GiB - 16, which makes a reader of the
    wrong bytes copy from memory that is not there)."""
    image = base.image()
    _, data_rva, data_size, _ = image.version_data()
    honest = version_tree(data_rva, data_size)
    lying = version_tree(data_rva, 0xFFFFFFF0)
    if len(lying) > 0x100:
        raise Fail("the resource tree does not fit below the unaligned pointer")

    # The loader maps raw data from the pointer rounded down to 512 bytes: the lying
    # tree lies there, the honest one at the pointer as it stands.
    shape_image = base.image()
    payload = lying + b"\0" * (0x100 - len(lying)) + honest
    rva = shape_image.add_section(b".rsrc2\0\0", payload)
    section = shape_image.sections[-1]
    shape_image.put("<I", section.header + 20, section.raw_offset + 0x100)
    set_resource_directory(shape_image, rva, len(honest))
    yield ("version-raw-pointer-unaligned",
           "resource tree in a new section at RVA 0x%x whose raw-data pointer is 0x%x, 0x100 "
           "past the 512-byte boundary: the honest tree at the pointer, a lying one (data "
           "size 0xfffffff0) at the boundary the loader maps from" %
           (rva, section.raw_offset + 0x100), shape_image)

    # Two sections at one address: the first (in table order) holds the honest tree, the
    # second, which the image loader maps over it, the lying one.
    shape_image = base.image()
    first = shape_image.add_section(b".rsrc2\0\0", honest)
    shape_image.add_section(b".rsrc3\0\0", lying)
    shape_image.put("<I", shape_image.sections[-1].header + 12, first)
    shape_image.load_sections()
    set_resource_directory(shape_image, first, len(honest))
    yield ("version-sections-overlap",
           "two new sections both at RVA 0x%x: the first holds the honest resource tree, the "
           "second a lying one (data size 0xfffffff0)" % first, shape_image)

    # RT_VERSION listed twice in the root: a lookup may take either, a check of the first
    # alone would not see the second.
    shape_image = base.image()
    tree = bytearray(version_tree(data_rva, data_size, types=2))
    # The second RT_VERSION entry leads to a name and a language of its own, whose data
    # entry lies.
    second_name = len(tree)
    second_language = second_name + 24
    tree += struct.pack("<IIHHHHII", 0, 0, 0, 0, 0, 1, 1, 0x80000000 | second_language)
    tree += struct.pack("<IIHHHHII", 0, 0, 0, 0, 0, 1, 0x409, second_language + 24)
    tree += struct.pack("<IIII", data_rva, 0xFFFFFFF0, 0, 0)
    struct.pack_into("<I", tree, 16 + 8 + 4, 0x80000000 | second_name)
    rva = shape_image.add_section(b".rsrc2\0\0", bytes(tree))
    set_resource_directory(shape_image, rva, len(tree))
    yield ("version-type-twice",
           "resource tree in a new section at RVA 0x%x listing RT_VERSION twice: the first "
           "entry leads to the true data entry, the second to one of size 0xfffffff0" % rva,
           shape_image)


def directory_shapes(base):
    """Resource directories that point outside the image: the system walks them to
    find and size the version resource before anyone can look at its data entry."""
    image = base.image()
    (type_entry, name_entry, language_entry), _ = image.version_path()
    root = image.file_offset(image.directory(RESOURCE_DIRECTORY)[0])
    fields = [
        ("resource-directory-outside-image", image.directory_offset(RESOURCE_DIRECTORY), "<I",
         0x7FFFFFF0, "resource directory RVA"),
        ("resource-root-count-huge", root + 14, "<H", 0xFFFF,
         "root resource directory NumberOfIdEntries"),
        ("version-type-directory-outside", type_entry + 4, "<I", 0xFFFFFFF0,
         "RT_VERSION type entry's subdirectory offset"),
        ("version-name-directory-outside", name_entry + 4, "<I", 0xFFFFFFF0,
         "version name entry's subdirectory offset"),
        ("version-data-entry-outside", language_entry + 4, "<I", 0x7FFFFFF0,
         "version language entry's data entry offset"),
    ]
    for name, offset, fmt, value, what in fields:
        shape_image = base.image()
        yield name, field_change(shape_image, offset, fmt, value, what), shape_image


def rewritten(base, name, edit, what):
    tree = parse_block(serialize(base.version), 0)
    edit(tree)
    blob = serialize(tree)
    image = base.image()
    where = image.replace_version(blob)
    _, _, size, offset = PeImage(bytes(image.data)).version_data()
    if bytes(image.data[offset:offset + size]) != blob:
        raise Fail("%s: the rewritten resource is not where its entry points" % name)
    return name, "%s; version resource rewritten (%d bytes) %s" % (what, len(blob), where), image


def set_length(path, value):
    def edit(root):
        block = root.find(*path) if path else root
        block.length = value
    return edit


def structure_shapes(base):
    table = base.version.find("VarFileInfo", "Translation").value
    language, code_page = struct.unpack_from("<HH", table)
    first = "%04x%04x" % (language, code_page)
    blocks = [
        ("root", ()),
        ("stringfileinfo", ("StringFileInfo",)),
        ("table", ("StringFileInfo", first)),
        ("description", ("StringFileInfo", first, "FileDescription")),
        ("varfileinfo", ("VarFileInfo",)),
        ("translation", ("VarFileInfo", "Translation")),
    ]
    for label, path in blocks:
        for value in (0, 6, 0xFFFF):
            what = "wLength of %s = 0x%x" % ("/".join(path) or "VS_VERSIONINFO", value)
            yield rewritten(base, "version-%s-length-%s" % (label, "ffff" if value == 0xFFFF
                                                             else value),
                            set_length(path, value), what)

    for count in range(4):
        def cut(root, count=count):
            root.find("VarFileInfo", "Translation").value = table[:count]
        yield rewritten(base, "version-translation-%d-bytes" % count, cut,
                        "Translation value of %d bytes" % count)

    def without_nul(key):
        def edit(root):
            value = root.find("StringFileInfo", first, key)
            value.value = text_value(value).encode("utf-16-le")
        return edit
    yield rewritten(base, "version-description-no-nul", without_nul("FileDescription"),
                    "FileDescription (last value of its table) without its NUL")
    yield rewritten(base, "version-company-no-nul", without_nul("CompanyName"),
                    "CompanyName (followed by FileDescription) without its NUL")

    def last_in_resource(root):
        # StringFileInfo last, the first translation's table last in it, and its
        # FileDescription last in that table: the value ends the resource.
        root.children.sort(key=lambda b: b.key != "VarFileInfo")
        strings = root.find("StringFileInfo")
        strings.children.sort(key=lambda b: b.key == first)
        target = strings.find(first)
        target.children.sort(key=lambda b: b.key == "FileDescription")
        without_nul("FileDescription")(root)
    yield rewritten(base, "version-last-value-no-nul", last_in_resource,
                    "FileDescription without its NUL as the last bytes of the resource")

    for depth in (16, 5000):
        def nest(root, depth=depth):
            chain = Block("d", 1)
            for _ in range(depth - 1):
                chain = Block("d", 1, children=[chain])
            root.find("StringFileInfo", first).children.insert(0, chain)
        yield rewritten(base, "version-nested-%d" % depth, nest,
                        "a chain of %d nested blocks before the first table's values" % depth)


def signature_shapes(base, seed):
    image = base.image()
    blob = base.signature
    length = len(blob)
    cuts = [0, 1, 2, 4, 16, 100, length // 2, length - 600, length - 64, length - 1]
    for cut in cuts:
        shape_image = base.image()
        shape_image.set_signature(blob[:cut])
        yield ("signature-cut-%d" % cut,
               "PKCS #7 blob cut to %d of %d bytes; WIN_CERTIFICATE and directory sizes follow"
               % (cut, length), shape_image)

    content_info = parse_one(blob)
    signer = signer_info(content_info)
    cert = certificate_of(content_info, signer)
    protected = []  # byte ranges whose change would alter the true values themselves
    for rdn_node in subject_of(cert).children:
        if any(oid_text(p.child(0).content) == OID_EMAIL for p in rdn_node.children):
            protected.append((rdn_node.start, rdn_node.end))
    time_attribute = find_attribute(attributes(counter_signer(signer), 0xA0), OID_SIGNING_TIME)
    protected.append((time_attribute.start, time_attribute.end))
    allowed = [i for i in range(length) if not any(a <= i < b for a, b in protected)]
    table_offset = image.directory(SECURITY_DIRECTORY)[0]
    for number, flips in enumerate([1, 1, 1, 1, 2, 2, 4, 8], start=1):
        rng = random.Random(seed * 100 + number)
        shape_image = base.image()
        changes = []
        for position in sorted(rng.sample(allowed, flips)):
            at = table_offset + 8 + position
            old = shape_image.data[at]
            shape_image.data[at] = old ^ (1 << rng.randrange(8))
            changes.append("0x%x: %02x -> %02x" % (at, old, shape_image.data[at]))
        yield ("signature-flip-%d" % number,
               "seeded bit flips in the PKCS #7 blob at file offsets " + ", ".join(changes),
               shape_image)

    table_size = image.directory(SECURITY_DIRECTORY)[1]
    entry = image.directory_offset(SECURITY_DIRECTORY)
    headers = [
        ("cert-length-past-eof", table_offset, "<I", 8 + length + 0x10000,
         "WIN_CERTIFICATE dwLength"),
        ("cert-length-max", table_offset, "<I", 0xFFFFFFF8, "WIN_CERTIFICATE dwLength"),
        ("cert-length-tiny", table_offset, "<I", 4, "WIN_CERTIFICATE dwLength"),
        ("cert-directory-size-past-eof", entry + 4, "<I", table_size + 0x10000,
         "certificate directory size"),
        ("cert-directory-offset-past-eof", entry, "<I", table_offset + 0x100000,
         "certificate directory offset"),
        ("cert-type-x509", table_offset + 6, "<H", 1, "WIN_CERTIFICATE wCertificateType"),
        ("cert-revision-1", table_offset + 4, "<H", 0x0100, "WIN_CERTIFICATE wRevision"),
    ]
    for name, offset, fmt, value, what in headers:
        shape_image = base.image()
        yield name, field_change(shape_image, offset, fmt, value, what), shape_image


def counter_signature_shapes(base):
    def edited(name, what, edit):
        content_info = parse_one(base.signature)
        edit(signer_info(content_info))
        shape_image = base.image()
        shape_image.set_signature(content_info.encode())
        return name, what, shape_image

    def counter_attribute(signer):
        return find_attribute(attributes(signer, 0xA1), OID_COUNTER_SIGNATURE)

    def time_attribute(signer):
        return find_attribute(attributes(counter_signer(signer), 0xA0), OID_SIGNING_TIME)

    def set_values(find, values):
        def edit(signer):
            find(signer).child(1).children = values
        return edit

    date = base.truth["date"]
    yield edited("countersig-no-value", "counterSignature attribute with an empty value set",
                 set_values(counter_attribute, []))
    yield edited("countersig-integer", "counterSignature value an INTEGER, not a SignerInfo",
                 set_values(counter_attribute, [Node(TAG_INTEGER, b"\x05")]))
    yield edited("countersig-time-no-value", "signingTime attribute with an empty value set",
                 set_values(time_attribute, []))
    yield edited("countersig-time-generalized",
                 "signingTime as GeneralizedTime %sZ where UTCTime is expected" % date,
                 set_values(time_attribute, [Node(TAG_GENERALIZED_TIME, (date + "Z").encode())]))
    yield edited("countersig-time-integer", "signingTime value an INTEGER",
                 set_values(time_attribute, [Node(TAG_INTEGER, b"\x5c\x7e\x2d\x2d")]))


def name_shapes(issuer, unsigned_path, work):
    organisation = rdn(utf8(OID_O, "Korva Test PKI"))
    subjects = [
        ("names-control", "an ordinary subject with emailAddress (the control)",
         name(organisation, rdn(utf8(OID_CN, "Korva Hostile Signer")),
              rdn(ia5(OID_EMAIL, "hostile@korva.test"))), None),
        ("names-san-dirname", "no emailAddress; subjectAltName holds a directoryName",
         name(organisation, rdn(utf8(OID_CN, "Korva SAN Signer"))),
         name(rdn(utf8(OID_O, "Korva Directory")), rdn(utf8(OID_CN, "Korva Alt Name")))),
        ("names-no-cn", "neither emailAddress nor CN: O and OU only",
         name(organisation, rdn(utf8(OID_OU, "Korva Signing Unit"))), None),
        ("names-multi-rdn", "CN and emailAddress in one multi-valued RDN",
         name(organisation, rdn(utf8(OID_CN, "Korva Multi Signer"),
                                ia5(OID_EMAIL, "multi@korva.test"))), None),
        ("names-bmp", "CN and emailAddress as BMPString",
         name(organisation, rdn(bmp(OID_CN, "Korva BMP Signer \u00c4\u00df")),
              rdn(bmp(OID_EMAIL, "bmp@korva.test"))), None),
        ("names-bmp-cn", "CN alone as BMPString with non-ASCII letters",
         name(organisation, rdn(bmp(OID_CN, "Korva BMP Unterzeichner \u00c4\u00df"))), None),
        ("names-long", "CN of 4,000 and emailAddress of about 6,000 characters",
         name(organisation, rdn(utf8(OID_CN, "Korva " + "Long" * 1000)),
              rdn(ia5(OID_EMAIL, "long" + "x" * 6000 + "@korva.test"))), None),
        ("names-long-cn", "CN of 8,000 characters with non-ASCII letters, no emailAddress",
         name(organisation, rdn(utf8(OID_CN, "Korva " + "\u00e4\u00f6\u00fc" * 2666))), None),
    ]
    for label, what, subject, alt_name in subjects:
        cert_path, cert = issuer.issue(label, subject, alt_name)
        target = os.path.join(work, label + ".exe")
        issuer.sign(cert_path, unsigned_path, target)
        data = open(target, "rb").read()
        os.unlink(target)
        signed = parse_one(PeImage(data).certificate_table()[2])
        found = windows_signer_name(subject_of(certificate_of(signed, signer_info(signed))))
        if found != windows_signer_name(subject_of(cert)):
            raise Fail("%s: the signature does not carry the issued certificate" % label)
        yield label, "signer certificate: " + what, PeImage(data), found


TRUST_E_BAD_DIGEST = 0x80096010
CERT_E_UNTRUSTEDROOT = 0x800B0109
CERT_E_CHAINING = 0x800B010A


def forged_shapes(signed, other_path, unsigned_path, tools, work):
    """Signatures that do not vouch for the file: (name, change, data, signer the
    signature names, the verification's code)."""
    image = signed.image()
    image.set_signature(PeImage(open(other_path, "rb").read()).certificate_table()[2])
    yield ("forged-transplant", "%s carrying the certificate table of %s (another program)"
           % (os.path.basename(signed.path), os.path.basename(other_path)),
           bytes(image.data), signed.truth["signer"], TRUST_E_BAD_DIGEST)
    data = bytearray(signed.data)
    at = data.find(b"This program cannot")  # the DOS stub's text: covered, never run
    data[at] ^= 0x20
    yield ("forged-byte", "one byte of the DOS stub changed at file offset 0x%x" % at,
           bytes(data), signed.truth["signer"], TRUST_E_BAD_DIGEST)

    # Under a root of our own making, a signer with the fixture signer's subject:
    # names copied, trust not. A root named as the fixtures' one comes with the
    # signature; one of another name does not, and the chain ends in no root at all.
    content_info = parse_one(signed.signature)
    vendor = subject_of(certificate_of(content_info, signer_info(content_info))).encode()
    fixture_root = run([tools.openssl, "x509", "-in", os.path.join(tools.fixtures, "pki", "ca.pem"),
                        "-noout", "-subject", "-nameopt", "compat"]).decode()
    for name, root, code, what in [
            ("forged-look-alike", fixture_root.split("=", 1)[1].strip(), CERT_E_UNTRUSTEDROOT,
             "with its self-made root, named as the fixtures' root, in the signature"),
            ("forged-look-alike-alone", "/O=Korva Test PKI/CN=Korva Look-alike Root",
             CERT_E_CHAINING, "without its self-made root, found nowhere")]:
        pki = os.path.join(work, name + "-pki")
        os.makedirs(pki, exist_ok=True)
        run([tools.openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
             os.path.join(pki, "ca.key"), "-out", os.path.join(pki, "ca.pem"), "-days", "7300",
             "-subj", root, "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign"])
        issuer = Issuer(tools, pki, work)
        certs, _ = issuer.issue(name, vendor)
        if name == "forged-look-alike":
            with open(certs, "a", encoding="ascii") as out:
                out.write(open(os.path.join(pki, "ca.pem")).read())
        target = os.path.join(work, name + ".exe")
        issuer.sign(certs, unsigned_path, target)
        yield (name, "unsigned.exe signed by a certificate whose subject copies the fixture "
               "signer's, " + what, open(target, "rb").read(), signed.truth["signer"], code)


# ---------------------------------------------------------------- main


def make_shapes(args, work):
    signed = Base(os.path.join(args.fixtures, "signed-legacy.exe"))
    unsigned = Base(os.path.join(args.fixtures, "unsigned.exe"))
    if not signed.truth["signer"] or not signed.truth["date"]:
        raise Fail("signed-legacy.exe has no signer or no counter-signature time")

    shapes = [Shape("control-signed", "none", "an unchanged copy of signed-legacy.exe",
                    signed.data, signed.truth)]
    # A changed resource is a changed file: its signature no longer vouches for it.
    for name, change, image in (list(data_entry_shapes(signed)) + list(directory_shapes(signed)) +
                                list(placement_shapes(signed)) +
                                list(structure_shapes(signed))):
        shapes.append(Shape(name, "version", change, bytes(image.data), signed.truth,
                            refused=SIGNATURE_MEMBERS))
    for name, change, image in list(signature_shapes(signed, args.seed)) + list(
            counter_signature_shapes(signed)):
        shapes.append(Shape(name, "signature", change, bytes(image.data), signed.truth))

    issuer = Issuer(args, os.path.join(args.fixtures, "pki"), work)
    for name, change, image, signer in name_shapes(issuer, unsigned.path, work):
        shapes.append(Shape(name, "names", change, bytes(image.data),
                            dict(unsigned.truth, signer=signer)))

    other = os.path.join(args.fixtures, "signed-no-version.exe")
    for name, change, data, signer, code in forged_shapes(signed, other, unsigned.path, args,
                                                          work):
        truth = dict(unsigned.truth if name.startswith("forged-look") else signed.truth,
                     signer=signer)
        shapes.append(Shape(name, "forged", change, data, truth, refused=SIGNATURE_MEMBERS,
                            record=code))

    for shape in shapes:
        if shape.data == signed.data and shape.part != "none":
            raise Fail("%s: nothing was changed" % shape.name)
    if len({s.name for s in shapes}) != len(shapes):
        raise Fail("two shapes share a name")
    return shapes


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--fixtures", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--openssl", default="openssl")
    parser.add_argument("--osslsigncode", default="osslsigncode")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    # The deepest nested shape is serialized recursively, one call per level.
    sys.setrecursionlimit(20000)

    out = args.out
    work = os.path.join(out, "work")
    if os.path.isdir(out):
        for entry in os.listdir(out):
            path = os.path.join(out, entry)
            if os.path.isfile(path):
                os.unlink(path)
    os.makedirs(work, exist_ok=True)
    try:
        shapes = make_shapes(args, work)
    except (Fail, DerError, subprocess.CalledProcessError, StopIteration) as error:
        detail = getattr(error, "stderr", b"") or b""
        sys.stderr.write("make-hostile: %s %s\n" % (error, detail.decode(errors="replace")))
        return 1

    manifest = []
    for shape in shapes:
        file_name = shape.name + ".exe"
        with open(os.path.join(out, file_name), "wb") as f:
            f.write(shape.data)
        manifest.append({
            "name": shape.name,
            "file": file_name,
            "part": shape.part,
            "change": shape.change,
            "true": shape.truth,
            "expect": shape.expect,
            "record": "0x%08X" % shape.record if shape.record else "",
        })
    with open(os.path.join(out, "manifest.json"), "w", encoding="utf-8") as f:
        json.dump({"shapes": manifest}, f, indent=1, ensure_ascii=False)
        f.write("\n")
    print("make-hostile: %d shapes in %s" % (len(shapes), out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
