"""The fields of a PE image that the shapes read and rewrite, PE32 and PE32+ alike."""

import struct

from der import read_tlv


class Fail(Exception):
    """A shape cannot be made as meant: the build fails instead of a test."""


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
