#include "ImportHooks.h"

#include <winsock2.h>
#include <windows.h>
#include <bcrypt.h>
#include <iphlpapi.h>
#include <tlhelp32.h>
#include <wincrypt.h>
#include <winver.h>

#include <atomic>

#include "BenchClock.h"
#include "host/RynUtil.h"
#include "wine/ImportPatch.h"

namespace passcost {

namespace {

struct CallStat {
    const char* name = nullptr;
    const void* real = nullptr;
    std::atomic<uint64_t> calls{0};
    std::atomic<int64_t> ticks{0};
};

std::atomic<bool> g_timing{false};

// The hooked calls, in the order the table is printed.
#define KORVA_BENCH_API_HOOKS(X)                   \
    X(L"kernel32.dll", CreateToolhelp32Snapshot)   \
    X(L"kernel32.dll", Process32NextW)             \
    X(L"iphlpapi.dll", GetExtendedTcpTable)        \
    X(L"kernel32.dll", OpenProcess)                \
    X(L"kernel32.dll", GetProcessTimes)            \
    X(L"kernel32.dll", CloseHandle)                \
    X(L"advapi32.dll", OpenProcessToken)           \
    X(L"advapi32.dll", GetTokenInformation)        \
    X(L"advapi32.dll", LookupAccountSidW)          \
    X(L"kernel32.dll", QueryFullProcessImageNameW) \
    X(L"kernel32.dll", IsWow64Process)             \
    X(L"kernel32.dll", ReadProcessMemory)          \
    X(L"kernel32.dll", GetSystemDirectoryW)        \
    X(L"kernel32.dll", GetSystemWindowsDirectoryW) \
    X(L"kernel32.dll", CreateFileW)                \
    X(L"kernel32.dll", GetFileTime)                \
    X(L"kernel32.dll", GetFileInformationByHandle) \
    X(L"kernel32.dll", GetFileAttributesW)         \
    X(L"kernel32.dll", GetFileAttributesExW)       \
    X(L"kernel32.dll", ReadFile)                   \
    X(L"bcrypt.dll", BCryptOpenAlgorithmProvider)  \
    X(L"bcrypt.dll", BCryptHashData)               \
    X(L"version.dll", GetFileVersionInfoSizeW)     \
    X(L"version.dll", GetFileVersionInfoW)         \
    X(L"crypt32.dll", CryptQueryObject)            \
    X(L"kernel32.dll", WriteFile)

enum HookId {
#define KORVA_BENCH_ID(library, function) k##function,
    KORVA_BENCH_API_HOOKS(KORVA_BENCH_ID)
#undef KORVA_BENCH_ID
        kGetFileMD5,
    kGetProcessPath,
    kGetProcessCommandLine,
    kEnumProcesses,
    kHookCount
};

CallStat g_stats[kHookCount];
CallStat g_pauses;
std::atomic<uint64_t> g_requestedMs{0};

// Counts the call; times it while timing is on. The caller's last error survives.
template <typename Call>
auto Measure(CallStat& stat, Call call) -> decltype(call()) {
    stat.calls.fetch_add(1, std::memory_order_relaxed);
    if (!g_timing.load(std::memory_order_relaxed)) {
        return call();
    }
    struct Lap {
        CallStat& stat;
        int64_t start = Ticks();
        ~Lap() {
            const DWORD error = GetLastError();
            stat.ticks.fetch_add(Ticks() - start, std::memory_order_relaxed);
            SetLastError(error);
        }
    } lap{stat};
    return call();
}

template <int Id, typename R, typename... A>
R WINAPI ApiHook(A... args) {
    const auto real = reinterpret_cast<R(WINAPI*)(A...)>(const_cast<void*>(g_stats[Id].real));
    return Measure(g_stats[Id], [&] { return real(args...); });
}

template <int Id, typename R, typename... A>
const void* ApiHookOf(R(WINAPI*)(A...)) {
    return reinterpret_cast<const void*>(&ApiHook<Id, R, A...>);
}

const void* Exported(const wchar_t* library, const char* name) {
    const HMODULE module = GetModuleHandleW(library);
    return module != nullptr ? reinterpret_cast<const void*>(GetProcAddress(module, name))
                             : nullptr;
}

std::string Md5Hook(const std::string& path) {
    return Measure(g_stats[kGetFileMD5], [&] { return ryn::CAlgorithmUtil::GetFileMD5(path); });
}

// Always timed: the pass's wall time minus what its pauses really took.
void SleepHook(uint64_t milliseconds) {
    g_requestedMs.fetch_add(milliseconds, std::memory_order_relaxed);
    g_pauses.calls.fetch_add(1, std::memory_order_relaxed);
    const int64_t start = Ticks();
    ryn::CToolUtil::msleep(milliseconds);
    g_pauses.ticks.fetch_add(Ticks() - start, std::memory_order_relaxed);
}

// The utility library's process object, seen through.
class TimedProcessUtil : public ryn::IProcessUtil {
  public:
    ryn::ProcessIdMap EnumProcesses() override {
        return Measure(g_stats[kEnumProcesses],
                       [] { return ryn::GetProcessUtil()->EnumProcesses(); });
    }
    std::string GetProcessPath(int64_t pid, bool nativeName) override {
        return Measure(g_stats[kGetProcessPath],
                       [&] { return ryn::GetProcessUtil()->GetProcessPath(pid, nativeName); });
    }
    std::string GetProcessCommandLine(int64_t pid) override {
        return Measure(g_stats[kGetProcessCommandLine],
                       [&] { return ryn::GetProcessUtil()->GetProcessCommandLine(pid); });
    }
    std::wstring GetProcessPathW(int64_t pid, bool nativeName) override {
        return Measure(g_stats[kGetProcessPath],
                       [&] { return ryn::GetProcessUtil()->GetProcessPathW(pid, nativeName); });
    }
    std::wstring GetProcessCommandLineW(int64_t pid) override {
        return Measure(g_stats[kGetProcessCommandLine],
                       [&] { return ryn::GetProcessUtil()->GetProcessCommandLineW(pid); });
    }
};

TimedProcessUtil g_processUtil;

ryn::IProcessUtil* ProcessUtilHook() { return &g_processUtil; }

}  // namespace

CImportHooks::CImportHooks() {
    m_installed = GetModuleHandleW(L"korvaProc.dll") != nullptr &&
                  GetModuleHandleW(L"rynUtil.dll") != nullptr;
    if (!m_installed) {
        return;
    }
#define KORVA_BENCH_PATCH(library, function)                                  \
    g_stats[k##function].name = #function;                                    \
    g_stats[k##function].real = Exported(library, #function);                 \
    Patch(L"korvaProc.dll", g_stats[k##function].real,                        \
          ApiHookOf<k##function>(static_cast<decltype(&function)>(nullptr))); \
    Patch(L"rynUtil.dll", g_stats[k##function].real,                          \
          ApiHookOf<k##function>(static_cast<decltype(&function)>(nullptr)));
    KORVA_BENCH_API_HOOKS(KORVA_BENCH_PATCH)
#undef KORVA_BENCH_PATCH
    g_stats[kGetFileMD5].name = "GetFileMD5";
    g_stats[kGetProcessPath].name = "GetProcessPathW";
    g_stats[kGetProcessCommandLine].name = "GetProcessCommandLineW";
    g_stats[kEnumProcesses].name = "EnumProcesses";
    Patch(L"korvaProc.dll", reinterpret_cast<const void*>(&ryn::CAlgorithmUtil::GetFileMD5),
          reinterpret_cast<const void*>(&Md5Hook));
    Patch(L"korvaProc.dll", reinterpret_cast<const void*>(&ryn::GetProcessUtil),
          reinterpret_cast<const void*>(&ProcessUtilHook));
    Patch(L"korvaProc.dll", reinterpret_cast<const void*>(&ryn::CToolUtil::msleep),
          reinterpret_cast<const void*>(&SleepHook));
}

CImportHooks::~CImportHooks() = default;

void CImportHooks::Patch(const wchar_t* importer, const void* target, const void* hook) {
    if (target != nullptr) {
        m_patches.emplace_back(
            new acceptance::ImportPatch(GetModuleHandleW(importer), target, hook));
    }
}

void CImportHooks::SetTiming(bool on) { g_timing = on; }

std::vector<CImportHooks::Row> CImportHooks::TakeCalls() {
    std::vector<Row> rows;
    for (CallStat& stat : g_stats) {
        const uint64_t calls = stat.calls.exchange(0);
        const int64_t ticks = stat.ticks.exchange(0);
        if (calls != 0) {
            rows.push_back(Row{stat.name, calls, Microseconds(ticks)});
        }
    }
    return rows;
}

CImportHooks::Pauses CImportHooks::TakePauses() {
    Pauses pauses;
    pauses.count = g_pauses.calls.exchange(0);
    pauses.requestedMs = g_requestedMs.exchange(0);
    pauses.sleptMicroseconds = Microseconds(g_pauses.ticks.exchange(0));
    return pauses;
}

}  // namespace passcost
