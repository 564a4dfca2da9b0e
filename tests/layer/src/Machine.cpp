#include "layer/Machine.h"

#include <mutex>

#include "LayerState.h"

namespace layer {

Machine& machine() {
    static Machine m;
    return m;
}

Process* Machine::FindProcess(uint32_t pid) {
    for (Process& process : processes) {
        if (process.pid == pid) {
            return &process;
        }
    }
    return nullptr;
}

File* Machine::FindFile(const std::string& utf8Path) {
    auto it = files.find(RedirectedPath(utf8Path));
    return it == files.end() ? nullptr : &it->second;
}

void Reset() {
    machine() = Machine();
    ResetControl();
    ResetDoubles();
}

void AdvanceClock(uint64_t hundredNanoseconds) { machine().systemTime += hundredNanoseconds; }

std::string Utf8ToCodePage(const std::string& utf8) {
    std::wstring wide = Utf8ToWide(utf8);
    std::string out;
    for (wchar_t c : wide) {
        out.push_back(static_cast<unsigned>(c) <= 0xFF ? static_cast<char>(c) : '?');
    }
    return out;
}

std::string CodePageToUtf8(const std::string& narrow) {
    std::wstring wide;
    for (char c : narrow) {
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
    return WideToUtf8(wide);
}

std::wstring Utf8ToWide(const std::string& utf8) {
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
    std::string out;
    for (wchar_t wc : wide) {
        const uint32_t c = static_cast<uint32_t>(wc);
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
