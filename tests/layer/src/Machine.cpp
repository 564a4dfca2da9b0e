#include "layer/Machine.h"

#include <cstring>
#include <mutex>
#include <unordered_map>

#include "LayerState.h"

namespace layer {

Machine& machine() {
    static Machine m;
    return m;
}

namespace {

// Positions of the pids in Machine::processes. A pass looks every process up a dozen
// times; a linear search made the layer, not the module, dominate a large pass. Tests
// change the list freely, so a position is checked before use and the index is built
// anew when it is stale.
struct ProcessIndex {
    std::mutex mutex;
    const Machine* owner = nullptr;
    std::unordered_map<uint32_t, size_t> positions;

    void Rebuild(const Machine& machine) {
        owner = &machine;
        positions.clear();
        for (size_t i = 0; i < machine.processes.size(); ++i) {
            positions.emplace(machine.processes[i].pid, i);  // the first of a repeated pid
        }
    }

    // The position of pid when the index still tells it right.
    bool Find(const Machine& machine, uint32_t pid, size_t* position) const {
        if (owner != &machine) {
            return false;
        }
        auto it = positions.find(pid);
        if (it == positions.end() || it->second >= machine.processes.size() ||
            machine.processes[it->second].pid != pid) {
            return false;
        }
        *position = it->second;
        return true;
    }
};

ProcessIndex& processIndex() {
    static ProcessIndex index;
    return index;
}

}  // namespace

Process* Machine::FindProcess(uint32_t pid) {
    ProcessIndex& index = processIndex();
    std::lock_guard<std::mutex> lock(index.mutex);
    size_t position = 0;
    if (!index.Find(*this, pid, &position)) {
        index.Rebuild(*this);
        if (!index.Find(*this, pid, &position)) {
            return nullptr;
        }
    }
    return &processes[position];
}

File* Machine::FindFile(const std::string& utf8Path) {
    auto it = files.find(RedirectedPath(utf8Path));
    return it == files.end() ? nullptr : &it->second;
}

void Reset() {
    machine() = Machine();
    ResetControl();
    ResetDoubles();
    ResetWow64PathMap();
    ResetFileApi();
}

void AdvanceClock(uint64_t hundredNanoseconds) { machine().systemTime += hundredNanoseconds; }

namespace {

// Every text of a large scripted machine is ASCII: it converts to itself, without the
// character-by-character round trip that made the conversions a third of a pass.
bool IsAscii(const std::string& text) {
    constexpr uint64_t kHighBits = 0x8080808080808080ULL;
    size_t i = 0;
    for (; i + sizeof(uint64_t) <= text.size(); i += sizeof(uint64_t)) {
        uint64_t word = 0;
        std::memcpy(&word, text.data() + i, sizeof(word));
        if ((word & kHighBits) != 0) {
            return false;
        }
    }
    for (; i < text.size(); ++i) {
        if (static_cast<unsigned char>(text[i]) >= 0x80) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string Utf8ToCodePage(const std::string& utf8) {
    if (IsAscii(utf8)) {
        return utf8;
    }
    std::wstring wide = Utf8ToWide(utf8);
    std::string out;
    for (wchar_t c : wide) {
        out.push_back(static_cast<unsigned>(c) <= 0xFF ? static_cast<char>(c) : '?');
    }
    return out;
}

std::string CodePageToUtf8(const std::string& narrow) {
    if (IsAscii(narrow)) {
        return narrow;
    }
    std::wstring wide;
    for (char c : narrow) {
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
    return WideToUtf8(wide);
}

std::wstring Utf8ToWide(const std::string& utf8) {
    if (IsAscii(utf8)) {
        return std::wstring(utf8.begin(), utf8.end());
    }
    std::wstring out;
    for (size_t i = 0; i < utf8.size();) {
        const unsigned char lead = static_cast<unsigned char>(utf8[i]);
        int extra = lead < 0x80           ? 0
                    : (lead >> 5) == 0x6  ? 1
                    : (lead >> 4) == 0xE  ? 2
                    : (lead >> 3) == 0x1E ? 3
                                          : -1;
        if (extra < 0 || i + extra >= utf8.size() + (extra == 0 ? 1 : 0)) {
            out.push_back(0xFFFD);  // not UTF-8: replacement character
            ++i;
            continue;
        }
        uint32_t code = extra == 0 ? lead : (lead & (0x3F >> extra));
        for (int k = 1; k <= extra; ++k) {
            code = (code << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        }
        out.push_back(static_cast<wchar_t>(code));
        i += extra + 1;
    }
    return out;
}

std::string WideToUtf8(const std::wstring& wide) {
    std::string out(wide.size(), '\0');
    size_t ascii = 0;
    while (ascii < wide.size() && static_cast<uint32_t>(wide[ascii]) < 0x80) {
        out[ascii] = static_cast<char>(wide[ascii]);
        ++ascii;
    }
    if (ascii == wide.size()) {
        return out;
    }
    out.resize(ascii);
    for (wchar_t wc : wide.substr(ascii)) {
        // An unpaired surrogate becomes U+FFFD, as the system's conversion makes it.
        const uint32_t c = wc >= 0xD800 && wc <= 0xDFFF ? 0xFFFD : static_cast<uint32_t>(wc);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

}  // namespace layer
