#include "AcceptanceSupport.h"

#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <vector>

#include "host/NetWork.h"
#include "module/KorvaProcInterface.h"

namespace acceptance {

namespace {

constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ULL;
constexpr uint64_t kTicksPerSecond = 10000000ULL;

std::wstring Convert(UINT codePage, const std::string& text) {
    if (text.empty()) {
        return std::wstring();
    }
    const int length =
        MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return wide;
}

}  // namespace

std::wstring Wide(const std::string& utf8) { return Convert(CP_UTF8, utf8); }

std::string Utf8(const std::wstring& wide) {
    if (wide.empty()) {
        return std::string();
    }
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &text[0], length,
                        nullptr, nullptr);
    return text;
}

std::string CodePageToUtf8(const std::string& text) { return Utf8(Convert(CP_ACP, text)); }

int64_t UnixSeconds(const FILETIME& time) {
    const uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return (static_cast<int64_t>(ticks) - static_cast<int64_t>(kUnixEpochAsFileTime)) /
           static_cast<int64_t>(kTicksPerSecond);
}

std::string UtcText(int64_t unixSeconds) {
    const uint64_t ticks =
        static_cast<uint64_t>(unixSeconds) * kTicksPerSecond + kUnixEpochAsFileTime;
    FILETIME time = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME fields = {};
    if (!FileTimeToSystemTime(&time, &fields)) {
        return std::string();
    }
    char text[32];
    std::snprintf(text, sizeof(text), "%04u%02u%02u%02u%02u%02u", fields.wYear, fields.wMonth,
                  fields.wDay, fields.wHour, fields.wMinute, fields.wSecond);
    return text;
}

std::string FixtureDir() {
    // The build passes the Unix folder; Wine maps the Unix root to drive Z:.
    std::string dir = std::string("Z:") + KORVA_FIXTURE_DIR;
    for (char& c : dir) {
        if (c == '/') {
            c = '\\';
        }
    }
    return dir;
}

std::map<std::string, std::string> ReadMd5File(const std::string& utf8Path) {
    std::ifstream in(Wide(utf8Path).c_str());
    std::map<std::string, std::string> digests;
    std::string digest;
    std::string name;
    while (in >> digest >> name) {
        digests[name] = digest;
    }
    return digests;
}

FileFacts ReadFileFacts(const std::string& utf8Path) {
    FileFacts facts;
    ryn::UniqueHandle file(CreateFileW(Wide(utf8Path).c_str(), FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, 0, nullptr));
    FILETIME created = {};
    FILETIME written = {};
    LARGE_INTEGER size = {};
    if (!file.valid() || !GetFileTime(file.get(), &created, nullptr, &written) ||
        !GetFileSizeEx(file.get(), &size)) {
        return facts;
    }
    facts.readable = true;
    facts.size = size.QuadPart;
    facts.createTime = UnixSeconds(created);
    facts.modifyTime = UnixSeconds(written);
    return facts;
}

bool ShiftModifyTime(const std::string& utf8Path, int64_t seconds) {
    ryn::UniqueHandle file(CreateFileW(Wide(utf8Path).c_str(), FILE_WRITE_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, 0, nullptr));
    FILETIME written = {};
    if (!file.valid() || !GetFileTime(file.get(), nullptr, nullptr, &written)) {
        return false;
    }
    ULARGE_INTEGER value = {{written.dwLowDateTime, written.dwHighDateTime}};
    value.QuadPart += static_cast<uint64_t>(seconds) * kTicksPerSecond;
    written.dwLowDateTime = value.LowPart;
    written.dwHighDateTime = value.HighPart;
    return SetFileTime(file.get(), nullptr, nullptr, &written) != 0;
}

namespace {

ryn::UniqueHandle OpenReports(const std::string& name, DWORD access, DWORD disposition) {
    CreateDirectoryW(L"reports", nullptr);
    return ryn::UniqueHandle(CreateFileW(Wide("reports\\" + name + ".jsonl").c_str(), access,
                                         FILE_SHARE_READ, nullptr, disposition,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

bool StartReports(const std::string& name) {
    return OpenReports(name, GENERIC_WRITE, CREATE_ALWAYS).valid();
}

bool SaveReport(const std::string& name, const std::string& body) {
    ryn::UniqueHandle file = OpenReports(name, FILE_APPEND_DATA, OPEN_ALWAYS);
    const std::string line = body + "\n";
    DWORD written = 0;
    return file.valid() &&
           WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
           written == line.size();
}

ModuleDriver::ModuleDriver() {
    CSingleton<CNetWork>::CreateInstance();
    m_waiter.reset(new CReportWaiter);
}

ModuleDriver::~ModuleDriver() {
    DestroyKorvaProcInterface();
    m_waiter.reset();
    CSingleton<CNetWork>::DestroyInstance();
}

PassOutcome ModuleDriver::RunPass(const std::string& cmdIdx, const std::string& triggerType,
                                  uint64_t timeoutMs, bool destroy) {
    PassOutcome outcome;
    m_waiter->Clear();
    const ULONGLONG begin = GetTickCount64();
    outcome.beforeStart = static_cast<int64_t>(std::time(nullptr));
    outcome.started = GetKorvaProcInterface()->Start(cmdIdx, triggerType);
    if (outcome.started == 1) {
        outcome.delivered = m_waiter->Wait(timeoutMs, &outcome.body);
    }
    outcome.afterReport = static_cast<int64_t>(std::time(nullptr));
    if (destroy) {
        DestroyKorvaProcInterface();
    }
    outcome.milliseconds = GetTickCount64() - begin;
    return outcome;
}

}  // namespace acceptance
