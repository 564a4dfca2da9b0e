#include "BareSequence.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <cstring>

#include "BenchClock.h"
#include "agent/rynUtil/UniqueHandle.h"

namespace passcost {

namespace {

typedef LONG(WINAPI* QueryInformationProcessFn)(HANDLE, ULONG, PVOID, ULONG, PULONG);

constexpr ULONG kProcessBasicInformation = 0;
constexpr ULONG kProcessWow64Information = 26;
constexpr DWORD kAccountChars = 260;
constexpr DWORD kLongestPath = 32768;

QueryInformationProcessFn QueryFunction() {
    static const QueryInformationProcessFn query =
        reinterpret_cast<QueryInformationProcessFn>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    return query;
}

bool ReadRemote(HANDLE process, uint64_t address, void* out, size_t size) {
    SIZE_T read = 0;
    return address != 0 && address <= UINTPTR_MAX &&
           ReadProcessMemory(process,
                             reinterpret_cast<const void*>(static_cast<uintptr_t>(address)), out,
                             size, &read) &&
           read == size;
}

// Where the command line lies: PEB.ProcessParameters, then its CommandLine field.
struct PebLayout {
    size_t pointerSize;
    size_t parametersOffset;
    size_t commandLineOffset;
};
constexpr PebLayout kPeb32 = {4, 0x10, 0x40};
constexpr PebLayout kPeb64 = {8, 0x20, 0x70};

}  // namespace

CBareSequence::CBareSequence(bool timeSteps) : m_timeSteps(timeSteps) {}

size_t CBareSequence::Run() {
    for (int64_t& step : m_steps) {
        step = 0;
    }
    const int64_t start = Ticks();
    m_lapStart = start;
    const std::vector<DWORD> pids = Snapshot();
    Lap(kSnapshot);
    ReadTcpTable();
    Lap(kTcpTable);
    size_t opened = 0;
    for (DWORD pid : pids) {
        opened += ReadProcess(pid) ? 1 : 0;
    }
    m_total = Ticks() - start;
    return opened;
}

double CBareSequence::TotalMicroseconds() const { return Microseconds(m_total); }

double CBareSequence::StepMicroseconds(Step step) const { return Microseconds(m_steps[step]); }

const char* CBareSequence::StepName(Step step) {
    static const char* const kNames[kStepCount] = {
        "snapshot",   "tcp_table",    "open_and_times",      "account",
        "image_path", "command_line", "file_times_and_size", "close_process"};
    return kNames[step];
}

void CBareSequence::Lap(Step step) {
    if (!m_timeSteps) {
        return;
    }
    const int64_t now = Ticks();
    m_steps[step] += now - m_lapStart;
    m_lapStart = now;
}

std::vector<DWORD> CBareSequence::Snapshot() {
    std::vector<DWORD> pids;
    const ryn::UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = snapshot.valid() && Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        pids.push_back(entry.th32ProcessID);
    }
    return pids;
}

void CBareSequence::ReadTcpTable() {
    DWORD size = 0;
    GetExtendedTcpTable(nullptr, &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_ALL, 0);
    std::vector<BYTE> table(size);
    GetExtendedTcpTable(table.data(), &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_ALL, 0);
}

bool CBareSequence::ReadProcess(DWORD pid) {
    m_lapStart = m_timeSteps ? Ticks() : 0;
    const HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    FILETIME creation, exitTime, kernel, user;
    if (process == nullptr || !GetProcessTimes(process, &creation, &exitTime, &kernel, &user)) {
        if (process != nullptr) {
            CloseHandle(process);
        }
        return false;
    }
    Lap(kOpenAndTimes);
    ReadAccount(process);
    Lap(kAccount);
    const std::string imagePath = ReadImagePath(process);
    Lap(kImagePath);
    ReadCommandLine(process);
    Lap(kCommandLine);
    ReadFileTimesAndSize(imagePath);
    Lap(kFileTimesAndSize);
    CloseHandle(process);
    Lap(kClose);
    return true;
}

void CBareSequence::ReadAccount(HANDLE process) {
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(process, TOKEN_READ, &rawToken)) {
        return;
    }
    const ryn::UniqueHandle token(rawToken);
    DWORD needed = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    if (needed == 0 ||
        !GetTokenInformation(token.get(), TokenUser, buffer.data(), needed, &needed)) {
        return;
    }
    char name[kAccountChars];
    char domain[kAccountChars];
    DWORD nameChars = kAccountChars;
    DWORD domainChars = kAccountChars;
    SID_NAME_USE use = SidTypeUnknown;
    LookupAccountSidA(nullptr, reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid, name,
                      &nameChars, domain, &domainChars, &use);
}

std::string CBareSequence::ReadImagePath(HANDLE process) {
    std::vector<char> path(MAX_PATH);
    for (;;) {
        DWORD size = static_cast<DWORD>(path.size());
        if (QueryFullProcessImageNameA(process, 0, path.data(), &size)) {
            return std::string(path.data(), size);
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || path.size() >= kLongestPath) {
            return std::string();
        }
        path.resize(path.size() * 2);
    }
}

// A 64-bit reader learns from one query whether the target runs under WOW64 and,
// if so, where its 32-bit PEB is; a 32-bit reader reads only 32-bit targets.
std::wstring CBareSequence::ReadCommandLine(HANDLE process) {
    const QueryInformationProcessFn query = QueryFunction();
    if (query == nullptr) {
        return std::wstring();
    }
    PebLayout layout = sizeof(void*) == 8 ? kPeb64 : kPeb32;
    uint64_t peb = 0;
    ULONG_PTR peb32 = 0;
    if (sizeof(void*) == 8 &&
        query(process, kProcessWow64Information, &peb32, sizeof(peb32), nullptr) >= 0 &&
        peb32 != 0) {
        layout = kPeb32;
        peb = peb32;
    } else {
        PROCESS_BASIC_INFORMATION basic = {};
        if (query(process, kProcessBasicInformation, &basic, sizeof(basic), nullptr) < 0) {
            return std::wstring();
        }
        peb = reinterpret_cast<uintptr_t>(basic.PebBaseAddress);
    }
    uint64_t parameters = 0;
    if (!ReadRemote(process, peb + layout.parametersOffset, &parameters, layout.pointerSize)) {
        return std::wstring();
    }
    // UNICODE_STRING: the length, then (aligned to a pointer) the buffer's address.
    const uint64_t field = parameters + layout.commandLineOffset;
    unsigned char header[16] = {};
    if (!ReadRemote(process, field, header, 2 * layout.pointerSize)) {
        return std::wstring();
    }
    uint16_t length = 0;
    uint64_t text = 0;
    std::memcpy(&length, header, sizeof(length));
    std::memcpy(&text, header + layout.pointerSize, layout.pointerSize);
    std::wstring commandLine(length / sizeof(wchar_t), L'\0');
    if (commandLine.empty() ||
        !ReadRemote(process, text, &commandLine[0], commandLine.size() * sizeof(wchar_t))) {
        return std::wstring();
    }
    return commandLine;
}

void CBareSequence::ReadFileTimesAndSize(const std::string& imagePath) {
    if (imagePath.empty()) {
        return;
    }
    const ryn::UniqueHandle file(CreateFileA(
        imagePath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    FILETIME creation, written;
    LARGE_INTEGER size;
    if (file.valid()) {
        GetFileTime(file.get(), &creation, nullptr, &written);
        GetFileSizeEx(file.get(), &size);
    }
}

}  // namespace passcost
