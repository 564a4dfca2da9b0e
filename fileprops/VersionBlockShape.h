#pragma once

#include <cstddef>

// The VS_VERSIONINFO block the module copied from the file, checked before
// VerQueryValueA walks it. The walk trusts every length in the block, and the narrow
// call writes its converted texts at the root's length beyond the block's start, so a
// block whose lengths reach past what holds it makes the system read and write outside
// the caller's buffer.
class CVersionBlockShape {
  public:
    // True when the block (at the start of a buffer of `size` bytes) is a 32-bit block whose root
    // leaves room for the converted texts and whose nodes down to the depth of a string value lie
    // within the root.
    static bool IsSound(const unsigned char* block, size_t size);

  private:
    struct Node {
        size_t begin;
        size_t end;       // begin plus the node's length
        size_t children;  // where its first child would start
    };

    // Reads the node at `begin`, which must lie within [begin, limit); its value must lie
    // within the root (rootEnd).
    static bool ReadNode(const unsigned char* block, size_t begin, size_t limit, size_t rootEnd,
                         Node* node);
    // The children of `parent` and theirs, down to `depth` more levels.
    static bool ChildrenAreSound(const unsigned char* block, const Node& parent, size_t rootEnd,
                                 int depth);
};
