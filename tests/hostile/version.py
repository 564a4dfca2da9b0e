"""A VS_VERSIONINFO tree: parsed, edited by the shapes, serialized with chosen lengths."""

import struct


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
