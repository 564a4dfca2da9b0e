"""The hostile shapes: each family derives its executables from a fixture, and
EMPTY states which members the module must refuse for them."""

import os
import random
import re
import struct

from der import TAG_GENERALIZED_TIME, TAG_INTEGER, Node, oid_text, parse_one
from pe import RESOURCE_DIRECTORY, RT_VERSION, SECURITY_DIRECTORY, Fail, PeImage, align
from pki import (OID_CN, OID_EMAIL, OID_O, OID_OU, Issuer, bmp, certificate_of,
                 counter_attribute, ia5, name, rdn, run, signer_info, signing_time, subject_of,
                 time_attribute, utf8, windows_signer_name)
from version import Block, parse_block, serialize, text_value, true_version_strings


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
    stamp = time_attribute(signer)
    protected.append((stamp.start, stamp.end))
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
