#include "fileprops/VersionBlockShape.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr size_t kHeaderBytes = 6;  // wLength, wValueLength, wType
// What the narrow call adds behind the block: a signature, then the converted texts.
constexpr size_t kConversionGapBytes = 4;
// "\StringFileInfo\<table>\<name>" is the deepest path this module asks for.
constexpr int kDeepestQuery = 3;

uint16_t U16(const unsigned char* at) {
    uint16_t value = 0;
    std::memcpy(&value, at, sizeof(value));
    return value;
}

size_t Align4(size_t offset) { return (offset + 3) & ~static_cast<size_t>(3); }

}  // namespace

bool CVersionBlockShape::IsSound(const unsigned char* block, size_t size) {
    if (block == nullptr || size < kHeaderBytes) {
        return false;
    }
    const size_t rootLength = U16(block);
    // A 16-bit block (ANSI key right after the two lengths) has no place in a PE image.
    const uint16_t type = U16(block + 4);
    if ((type != 0 && type != 1) || 2 * rootLength + kConversionGapBytes > size) {
        return false;
    }
    Node root = {};
    return ReadNode(block, 0, rootLength, rootLength, &root) &&
           ChildrenAreSound(block, root, rootLength, kDeepestQuery);
}

bool CVersionBlockShape::ReadNode(const unsigned char* block, size_t begin, size_t limit,
                                  size_t rootEnd, Node* node) {
    if (begin > limit || limit - begin < kHeaderBytes) {
        return false;
    }
    const size_t length = U16(block + begin);
    if (length < kHeaderBytes || length > limit - begin) {
        return false;  // a zero length would also stop (or loop) the system's walk
    }
    node->begin = begin;
    node->end = begin + length;
    size_t key = begin + kHeaderBytes;
    while (key + 2 <= node->end && U16(block + key) != 0) {
        key += 2;
    }
    if (key + 2 > node->end) {
        return false;  // the key has no terminating zero inside the node
    }
    const size_t value = Align4(key + 2);
    const bool text = U16(block + begin + 4) != 0;
    const size_t valueBytes = static_cast<size_t>(U16(block + begin + 2)) * (text ? 2 : 1);
    // The value's own length may run past its node, as some resource compilers write it,
    // but never past the root: the conversion reads that many characters.
    if (value > rootEnd || valueBytes > rootEnd - value) {
        return false;
    }
    node->children = Align4(value + valueBytes);
    return true;
}

bool CVersionBlockShape::ChildrenAreSound(const unsigned char* block, const Node& parent,
                                          size_t rootEnd, int depth) {
    if (depth == 0) {
        return true;
    }
    for (size_t at = parent.children; at < parent.end;) {
        Node child = {};
        if (!ReadNode(block, at, parent.end, rootEnd, &child) ||
            !ChildrenAreSound(block, child, rootEnd, depth - 1)) {
            return false;
        }
        at = Align4(child.end);
    }
    return true;
}
