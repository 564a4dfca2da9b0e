// Every length that comes from the other process is only a request: what is kept
// is bounded by the bytes that were actually read (or returned).

#include "agent/rynUtil/ProcessCommandLine.h"

#include <winternl.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "agent/rynUtil/NtdllFunction.h"

namespace ryn {

namespace {

constexpr ULONG kProcessBasicInformation = 0;
constexpr ULONG kProcessWow64Information = 26;
constexpr ULONG kProcessCommandLineInformation = 60;

constexpr LONG kStatusBufferOverflow = static_cast<LONG>(0x80000005);
constexpr LONG kStatusBufferTooSmall = static_cast<LONG>(0xC0000023);

// A UNICODE_STRING's length is 16 bits, so no command line is longer than this.
constexpr size_t kMaxCommandLineBytes = 0xFFFE;
constexpr ULONG kFirstQuerySize = 1024;
constexpr ULONG kLargestQuerySize = sizeof(UNICODE_STRING) + kMaxCommandLineBytes + 2;

typedef LONG(WINAPI* QueryInformationProcessFn)(HANDLE, ULONG, PVOID, ULONG, PULONG);

QueryInformationProcessFn QueryFunction() {
    static const QueryInformationProcessFn function =
        NtdllFunction<QueryInformationProcessFn>("NtQueryInformationProcess");
    return function;
}

LONG Query(HANDLE process, ULONG infoClass, void* buffer, ULONG size, ULONG* returned) {
    const QueryInformationProcessFn query = QueryFunction();
    constexpr LONG kStatusNotImplemented = static_cast<LONG>(0xC0000002);
    return query != nullptr ? query(process, infoClass, buffer, size, returned)
                            : kStatusNotImplemented;
}

// Where the command line sits in the target's PEB and process parameters.
struct PebLayout {
    size_t pointerSize;
    size_t parametersOffset;   // PEB.ProcessParameters
    size_t commandLineOffset;  // RTL_USER_PROCESS_PARAMETERS.CommandLine
};
constexpr PebLayout kPeb32 = {4, 0x10, 0x40};
constexpr PebLayout kPeb64 = {8, 0x20, 0x70};
constexpr PebLayout kNativePeb = sizeof(void*) == 8 ? kPeb64 : kPeb32;

size_t ReadRemote(HANDLE process, uint64_t address, void* out, size_t size) {
    if (address == 0 || address > UINTPTR_MAX || size == 0) {
        return 0;
    }
    SIZE_T read = 0;
    const void* source = reinterpret_cast<const void*>(static_cast<uintptr_t>(address));
    if (!ReadProcessMemory(process, source, out, size, &read)) {
        return 0;  // a partial copy is not trusted either
    }
    return read < size ? read : size;
}

uint64_t ReadPointer(HANDLE process, uint64_t address, size_t pointerSize) {
    uint64_t value = 0;  // little endian: a 32-bit pointer fills the low half
    return ReadRemote(process, address, &value, pointerSize) == pointerSize ? value : 0;
}

bool IsWow64(HANDLE process) {
    BOOL wow64 = FALSE;
    return IsWow64Process(process, &wow64) && wow64;
}

// Asked once: a process keeps its bitness while it runs.
bool SelfIsWow64() {
    static const bool wow64 = IsWow64(GetCurrentProcess());
    return wow64;
}

// The target's PEB address and the layout to read it with; 0 when out of reach.
uint64_t LocatePeb(HANDLE process, PebLayout* layout) {
    const bool targetWow64 = IsWow64(process);
    if (sizeof(void*) == 4 && SelfIsWow64() && !targetWow64) {
        return 0;  // a 64-bit target: its PEB lies beyond a 32-bit reader's pointers
    }
    if (sizeof(void*) == 8 && targetWow64) {
        ULONG_PTR peb32 = 0;
        *layout = kPeb32;
        return Query(process, kProcessWow64Information, &peb32, sizeof(peb32), nullptr) >= 0 ? peb32
                                                                                             : 0;
    }
    PROCESS_BASIC_INFORMATION basic = {};
    *layout = kNativePeb;
    if (Query(process, kProcessBasicInformation, &basic, sizeof(basic), nullptr) < 0) {
        return 0;
    }
    return reinterpret_cast<uintptr_t>(basic.PebBaseAddress);
}

}  // namespace

std::wstring ProcessCommandLine::Read(HANDLE process) {
    const std::wstring text = FromQuery(process);
    return text.empty() ? FromPeb(process) : text;
}

std::wstring ProcessCommandLine::FromQuery(HANDLE process) {
    std::vector<unsigned char> buffer(kFirstQuerySize);
    ULONG needed = 0;
    LONG status = Query(process, kProcessCommandLineInformation, buffer.data(),
                        static_cast<ULONG>(buffer.size()), &needed);
    const bool tooSmall = status == kStatusInfoLengthMismatch || status == kStatusBufferTooSmall ||
                          status == kStatusBufferOverflow;
    if (tooSmall && needed > buffer.size() && needed <= kLargestQuerySize) {
        buffer.resize(needed);
        status = Query(process, kProcessCommandLineInformation, buffer.data(),
                       static_cast<ULONG>(buffer.size()), &needed);
    }
    if (status < 0) {
        return std::wstring();
    }
    UNICODE_STRING header;
    std::memcpy(&header, buffer.data(), sizeof(header));
    // The text must lie inside what the call filled, after the header.
    const uintptr_t begin = reinterpret_cast<uintptr_t>(buffer.data()) + sizeof(header);
    const uintptr_t end = reinterpret_cast<uintptr_t>(buffer.data()) + buffer.size();
    const uintptr_t text = reinterpret_cast<uintptr_t>(header.Buffer);
    if (header.Length == 0 || text < begin || text >= end) {
        return std::wstring();
    }
    size_t bytes = header.Length < end - text ? header.Length : end - text;
    bytes &= ~static_cast<size_t>(1);
    std::wstring result(bytes / sizeof(wchar_t), L'\0');
    std::memcpy(&result[0], reinterpret_cast<const void*>(text), bytes);
    return result;
}

std::wstring ProcessCommandLine::FromPeb(HANDLE process) {
    PebLayout layout = kNativePeb;
    const uint64_t peb = LocatePeb(process, &layout);
    if (peb == 0) {
        return std::wstring();
    }
    const uint64_t parameters =
        ReadPointer(process, peb + layout.parametersOffset, layout.pointerSize);
    if (parameters == 0) {
        return std::wstring();
    }
    // The UNICODE_STRING in one read: its length, then (a pointer further) its buffer.
    unsigned char field[2 * sizeof(uint64_t)] = {};
    const size_t fieldSize = 2 * layout.pointerSize;
    if (ReadRemote(process, parameters + layout.commandLineOffset, field, fieldSize) != fieldSize) {
        return std::wstring();
    }
    uint16_t length = 0;
    uint64_t text = 0;  // little endian: a 32-bit pointer fills the low half
    std::memcpy(&length, field, sizeof(length));
    std::memcpy(&text, field + layout.pointerSize, layout.pointerSize);
    const size_t wanted = length & ~1u;
    std::wstring result(wanted / sizeof(wchar_t), L'\0');
    const size_t read = ReadRemote(process, text, &result[0], wanted);
    result.resize(read / sizeof(wchar_t));
    return result;
}

}  // namespace ryn
