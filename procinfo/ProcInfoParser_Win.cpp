#include "procinfo/ProcInfoParser_Win.h"

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <ctime>
#include <limits>
#include <vector>

#include "host/RynUtil.h"
#include "module/LogRecords.h"
#include "procinfo/WinPpidCache.h"

namespace {

// 100-ns units: from 1601-01-01 to 1970-01-01, and per second.
constexpr int64_t kUnixEpochTicks = 116444736000000000LL;
constexpr int64_t kTicksPerSecond = 10000000LL;

int64_t Ticks(const FILETIME& time) {
    return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                                time.dwLowDateTime);
}

int64_t UnixSeconds(const FILETIME& time) {
    return (Ticks(time) - kUnixEpochTicks) / kTicksPerSecond;
}

// A "PID: <pid>, err: <error>" record: the pid as the 32-bit id the system uses.
template <const LogRecord& R>
void LogPidError(int64_t pid, DWORD error) {
    WriteLog<R>(static_cast<int>(static_cast<DWORD>(pid)), static_cast<int>(error));
}

// An account record: the stored pid and the code, as they are.
template <const LogRecord& R>
void LogUserFailure(int64_t pid, DWORD error) {
    WriteLog<R>(static_cast<long long>(pid), static_cast<unsigned int>(error));
}

int32_t ClampToInt32(double value) {
    if (value >= static_cast<double>(std::numeric_limits<int32_t>::max())) {
        return std::numeric_limits<int32_t>::max();
    }
    if (value <= static_cast<double>(std::numeric_limits<int32_t>::min())) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(value);
}

}  // namespace

LinkedPtr<CProcInfoParserInterface> CreateProcInfoParser() {
    return LinkedPtr<CProcInfoParserInterface>(new CProcInfoParserWin);
}

CProcInfoParserWin::CProcInfoParserWin() {
    if (s_processorCount == 0) {
        SYSTEM_INFO info = {};
        GetSystemInfo(&info);
        s_processorCount = info.dwNumberOfProcessors;
    }
}

bool CProcInfoParserWin::Init(int64_t pid) {
    // Query rights for times, token and counters; VM read for the memory counters.
    constexpr DWORD kOpenAccess = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
    m_pid = pid;
    m_process.reset(OpenProcess(kOpenAccess, FALSE, static_cast<DWORD>(pid)));
    if (!m_process.valid()) {
        LogPidError<log_records::kOpenProcessFailed>(pid, GetLastError());
        return false;
    }
    FILETIME exitTime = {};
    if (!GetProcessTimes(m_process.get(), &m_creationTime, &exitTime, &m_kernelTime, &m_userTime)) {
        LogPidError<log_records::kProcessTimesFailed>(pid, GetLastError());
        return false;
    }
    GetSystemTimeAsFileTime(&m_sampleTime);
    return true;
}

bool CProcInfoParserWin::GetIoCounters(int64_t& readBytes, int64_t& writeBytes) {
    readBytes = writeBytes = -1;
    if (!m_process.valid()) {
        return false;
    }
    IO_COUNTERS counters = {};
    if (!GetProcessIoCounters(m_process.get(), &counters)) {
        LogPidError<log_records::kIoCountersFailed>(m_pid, GetLastError());
        return false;
    }
    readBytes = static_cast<int64_t>(counters.ReadTransferCount);
    writeBytes = static_cast<int64_t>(counters.WriteTransferCount);
    return true;
}

bool CProcInfoParserWin::GetProcTimes(int64_t& startTime, int64_t& elapsedTime, int64_t& cpuTime) {
    startTime = elapsedTime = cpuTime = -1;
    if (!m_process.valid()) {
        return false;
    }
    startTime = UnixSeconds(m_creationTime);
    elapsedTime = static_cast<int64_t>(_time64(nullptr)) - startTime;
    // CPU time as sampled at Init, so every parser of a pass reports the same moment.
    cpuTime = (Ticks(m_kernelTime) + Ticks(m_userTime)) / kTicksPerSecond;
    return true;
}

int64_t CProcInfoParserWin::GetPid() { return m_pid; }

int64_t CProcInfoParserWin::GetPpid() {
    const CWinPpidCache* cache = CWinPpidCache::GetInstance();
    return cache != nullptr ? cache->GetParentPid(m_pid) : -1;
}

// Read wide and converted exactly: the caches open the image by this text, and a path
// that came through the code page may name a sibling file ("?" or a look-alike letter).
const std::string& CProcInfoParserWin::GetProcPath() {
    if (!m_path.empty() || m_pathInexact) {
        return m_path;
    }
    const std::wstring wide = ryn::GetProcessUtil()->GetProcessPathW(m_pid, false);
    m_path = ryn::CStringUtil::ws2s_utf8_exact(wide);
    if (m_path.empty() && !wide.empty()) {
        // No UTF-8 text opens that file again: no path, and so no file values, at all.
        m_pathInexact = true;
        WriteLog<log_records::kPathInexact>(static_cast<int>(static_cast<DWORD>(m_pid)));
    }
    return m_path;
}

const std::string& CProcInfoParserWin::GetProcName() {
    if (!m_name.empty()) {
        return m_name;
    }
    if (m_path.empty()) {
        GetProcPath();
    }
    if (!m_path.empty()) {
        // The cached path is UTF-8 already.
        m_name = ryn::CToolUtil::GetPathName(m_path);
    }
    return m_name;
}

const std::string& CProcInfoParserWin::GetCmdLine() {
    if (m_cmdLine.empty()) {
        m_cmdLine =
            ryn::CStringUtil::ws2s_utf8(ryn::GetProcessUtil()->GetProcessCommandLineW(m_pid));
    }
    return m_cmdLine;
}

int64_t CProcInfoParserWin::GetProcMemUse() {
    if (!m_process.valid()) {
        return -1;
    }
    // sizeof, not a literal: SIZE_T fields make the record larger in a 64-bit build.
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(m_process.get(), &counters, sizeof(counters))) {
        LogPidError<log_records::kMemoryUseFailed>(m_pid, GetLastError());
        return -1;
    }
    // Shifted at full width: a working set of 4 GiB or more must not wrap.
    return static_cast<int64_t>(counters.WorkingSetSize >> 10);
}

int32_t CProcInfoParserWin::GetCpuUsage() {
    if (!m_process.valid()) {
        return 0;
    }
    FILETIME now = {};
    FILETIME creation = {};
    FILETIME exitTime = {};
    FILETIME kernel = {};
    FILETIME user = {};
    GetSystemTimeAsFileTime(&now);
    if (!GetProcessTimes(m_process.get(), &creation, &exitTime, &kernel, &user)) {
        return 0;
    }
    // No interval (or a clock set back) gives nothing to measure against.
    const int64_t elapsed = Ticks(now) - Ticks(m_sampleTime);
    if (elapsed <= 0 || s_processorCount == 0) {
        return 0;
    }
    const int64_t processors = s_processorCount;
    const int64_t current = (Ticks(kernel) + Ticks(user)) / processors;
    const int64_t earlier = (Ticks(m_kernelTime) + Ticks(m_userTime)) / processors;
    return ClampToInt32(static_cast<double>(current - earlier) / static_cast<double>(elapsed) *
                        100.0);
}

std::string CProcInfoParserWin::GetUser() {
    if (!m_process.valid() || !m_user.empty()) {
        return m_user;
    }
    LookupUser();
    return m_user;
}

void CProcInfoParserWin::LookupUser() {
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(m_process.get(), TOKEN_READ, &rawToken)) {
        LogUserFailure<log_records::kTokenOpenFailed>(m_pid, GetLastError());
        return;
    }
    const CWinHandle token(rawToken);

    // The first call only learns the size the token user needs.
    DWORD needed = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), needed, &needed)) {
        LogUserFailure<log_records::kTokenUserFailed>(m_pid, GetLastError());
        return;
    }

    constexpr DWORD kAccountChars = 260;
    wchar_t name[kAccountChars] = {};
    wchar_t domain[kAccountChars] = {};
    DWORD nameChars = kAccountChars;
    DWORD domainChars = kAccountChars;
    SID_NAME_USE use = SidTypeUnknown;
    const PSID sid = reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid;
    if (!LookupAccountSidW(nullptr, sid, name, &nameChars, domain, &domainChars, &use)) {
        LogUserFailure<log_records::kAccountFailed>(m_pid, GetLastError());
        return;
    }
    // The bare account name: the report has no use for the domain.
    m_user = ryn::CStringUtil::ws2s_utf8(
        std::wstring(name, std::find(name, name + kAccountChars, L'\0')));
}

bool CProcInfoParserWin::GetExeFileTimes(int64_t& createTime, int64_t& modifyTime) {
    createTime = modifyTime = 0;
    ryn::CFileCom file(m_path);
    FILETIME creation = {};
    FILETIME lastWrite = {};
    if (file.open(ryn::FILECOM_OPEN_READ) &&
        GetFileTime(static_cast<HANDLE>(file.nativeHandle()), &creation, nullptr, &lastWrite)) {
        createTime = UnixSeconds(creation);
        modifyTime = UnixSeconds(lastWrite);
        return true;
    }
    WriteLog<log_records::kFileTimesFailed>(static_cast<int>(GetLastError()), m_path.c_str());
    return false;
}

int64_t CProcInfoParserWin::GetExeFileSize() {
    // An empty image is as useless to the report as a missing one.
    const uint64_t size = ryn::CFileUtil::GetFileSize(m_path);
    return size == 0 ? -1 : static_cast<int64_t>(size);
}
