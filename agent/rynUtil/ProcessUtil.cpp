#include "agent/rynUtil/ProcessUtil.h"

#include <windows.h>

#include <tlhelp32.h>

#include <vector>

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

}  // namespace

ProcessIdMap CProcessUtil::EnumProcesses() {
    ProcessIdMap processes;
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

std::string CProcessUtil::GetProcessPath(int64_t pid, bool nativeName) {
    const UniqueHandle process = OpenPid(pid, PROCESS_QUERY_LIMITED_INFORMATION);
    if (!process.valid()) {
        return std::string();
    }
    const DWORD flags = nativeName ? PROCESS_NAME_NATIVE : 0;
    // Doubling from MAX_PATH, with the last step cut to the limit itself.
    for (DWORD capacity = MAX_PATH;;
         capacity = capacity < kLongestPath / 2 ? capacity * 2 : kLongestPath) {
        std::vector<char> path(capacity);
        DWORD size = capacity;
        if (QueryFullProcessImageNameA(process.get(), flags, path.data(), &size)) {
            return std::string(path.data(), size < capacity ? size : capacity);
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || capacity == kLongestPath) {
            return std::string();
        }
    }
}

std::string CProcessUtil::GetProcessCommandLine(int64_t pid) {
    UniqueHandle process = OpenPid(pid, PROCESS_QUERY_INFORMATION | PROCESS_VM_READ);
    if (process.valid()) {
        return CStringUtil::ws2s(ProcessCommandLine::Read(process.get()));
    }
    // Protected processes grant only limited access, which still serves the query.
    process = OpenPid(pid, PROCESS_QUERY_LIMITED_INFORMATION);
    return process.valid() ? CStringUtil::ws2s(ProcessCommandLine::FromQuery(process.get()))
                           : std::string();
}

IProcessUtil* GetProcessUtil() {
    static CProcessUtil util;
    return &util;
}

}  // namespace ryn
