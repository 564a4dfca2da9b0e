#include "agent/rynUtil/ProcessUtil.h"

#include <windows.h>

#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "agent/rynUtil/NtdllFunction.h"
#include "agent/rynUtil/ProcessCommandLine.h"
#include "agent/rynUtil/UniqueHandle.h"

namespace ryn {

namespace {

// Windows' own limit for a path; QueryFullProcessImageName never needs more.
constexpr DWORD kLongestPath = 32768;

bool IsSystemPid(int64_t pid) { return pid >= 0 && pid <= 0xFFFFFFFFLL; }

UniqueHandle OpenPid(int64_t pid, DWORD access) {
    if (!IsSystemPid(pid)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return UniqueHandle();
    }
    return UniqueHandle(OpenProcess(access, FALSE, static_cast<DWORD>(pid)));
}

typedef LONG(WINAPI* QuerySystemInformationFn)(ULONG, PVOID, ULONG, PULONG);

constexpr ULONG kSystemProcessInformation = 5;
constexpr size_t kFirstListBytes = 256 * 1024;
// Far beyond any real list (about 300 bytes a process plus its threads).
constexpr size_t kLargestListBytes = 64u << 20;

QuerySystemInformationFn QuerySystemFunction() {
    static const QuerySystemInformationFn function =
        NtdllFunction<QuerySystemInformationFn>("NtQuerySystemInformation");
    return function;
}

// The system's process list in one call: a toolhelp walk costs the system a call per
// process (under Wine, two wineserver requests and a mapping each). Every offset and
// name in the list is checked against the buffer the call filled; false when the
// call or the list cannot be used, and the caller walks a snapshot instead.
bool ListProcesses(ProcessIdMap* processes) {
    const QuerySystemInformationFn query = QuerySystemFunction();
    if (query == nullptr) {
        return false;
    }
    std::vector<unsigned char> list(kFirstListBytes);
    ULONG needed = 0;
    LONG status = kStatusInfoLengthMismatch;
    while ((status = query(kSystemProcessInformation, list.data(), static_cast<ULONG>(list.size()),
                           &needed)) == kStatusInfoLengthMismatch) {
        const size_t next = std::max<size_t>(list.size() * 2, static_cast<size_t>(needed) + 4096);
        if (next > kLargestListBytes) {
            return false;
        }
        list.resize(next);
    }
    if (status < 0) {
        return false;
    }
    const uintptr_t begin = reinterpret_cast<uintptr_t>(list.data());
    ProcessIdMap found;
    for (size_t offset = 0;;) {
        SYSTEM_PROCESS_INFORMATION entry;
        if (offset > list.size() || list.size() - offset < sizeof(entry)) {
            return false;
        }
        std::memcpy(&entry, list.data() + offset, sizeof(entry));
        const uintptr_t name = reinterpret_cast<uintptr_t>(entry.ImageName.Buffer);
        const size_t nameBytes = entry.ImageName.Length & ~1u;
        std::wstring image;
        if (name >= begin && name < begin + list.size() &&
            nameBytes <= begin + list.size() - name) {
            image.resize(nameBytes / sizeof(wchar_t));
            std::memcpy(&image[0], reinterpret_cast<const void*>(name), nameBytes);
        }
        const int64_t pid = static_cast<int64_t>(
            static_cast<DWORD>(reinterpret_cast<uintptr_t>(entry.UniqueProcessId)));
        // The idle process has no image name; a snapshot calls it so.
        found[pid] = pid == 0 && image.empty() ? "[System Process]" : CStringUtil::ws2s(image);
        if (entry.NextEntryOffset == 0) {
            break;
        }
        offset += entry.NextEntryOffset;
    }
    processes->swap(found);
    return true;
}

}  // namespace

ProcessIdMap CProcessUtil::EnumProcesses() {
    ProcessIdMap processes;
    if (ListProcesses(&processes)) {
        return processes;
    }
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.valid()) {
        return processes;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        processes[static_cast<int64_t>(entry.th32ProcessID)] = CStringUtil::ws2s(entry.szExeFile);
    }
    return processes;
}

namespace {

// QueryFullProcessImageNameA or W into a buffer doubled from MAX_PATH, the last step cut
// to the limit itself; "" when the process or its path cannot be read.
template <typename Char, typename Query>
std::basic_string<Char> ImagePath(int64_t pid, bool nativeName, Query query) {
    const UniqueHandle process = OpenPid(pid, PROCESS_QUERY_LIMITED_INFORMATION);
    if (!process.valid()) {
        return std::basic_string<Char>();
    }
    const DWORD flags = nativeName ? PROCESS_NAME_NATIVE : 0;
    for (DWORD capacity = MAX_PATH;;
         capacity = capacity < kLongestPath / 2 ? capacity * 2 : kLongestPath) {
        std::vector<Char> path(capacity);
        DWORD size = capacity;
        if (query(process.get(), flags, path.data(), &size)) {
            return std::basic_string<Char>(path.data(), size < capacity ? size : capacity);
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || capacity == kLongestPath) {
            return std::basic_string<Char>();
        }
    }
}

}  // namespace

std::string CProcessUtil::GetProcessPath(int64_t pid, bool nativeName) {
    return ImagePath<char>(pid, nativeName, QueryFullProcessImageNameA);
}

std::wstring CProcessUtil::GetProcessPathW(int64_t pid, bool nativeName) {
    return ImagePath<wchar_t>(pid, nativeName, QueryFullProcessImageNameW);
}

std::string CProcessUtil::GetProcessCommandLine(int64_t pid) {
    return CStringUtil::ws2s(GetProcessCommandLineW(pid));
}

std::wstring CProcessUtil::GetProcessCommandLineW(int64_t pid) {
    UniqueHandle process = OpenPid(pid, PROCESS_QUERY_INFORMATION | PROCESS_VM_READ);
    if (process.valid()) {
        return ProcessCommandLine::Read(process.get());
    }
    // Protected processes grant only limited access, which still serves the query.
    process = OpenPid(pid, PROCESS_QUERY_LIMITED_INFORMATION);
    return process.valid() ? ProcessCommandLine::FromQuery(process.get()) : std::wstring();
}

IProcessUtil* GetProcessUtil() {
    static CProcessUtil util;
    return &util;
}

}  // namespace ryn
