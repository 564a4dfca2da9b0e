// One hundred passes of the real korvaProc.dll in one host process, with Start,
// Stop, DestroyKorvaProcInterface and GetKorvaProcInterface mixed in as a service
// may call them.
//
// What the module asks of the system is counted from outside: the test points
// korvaProc.dll's own import slots (OpenProcess, GetExtendedTcpTable, rynUtil's
// msleep, GetFileMD5 and GetProcessUtil, CreateFileW, CryptQueryObject)
// at counting functions that call the real ones. Every content read of an
// executable by the two file caches goes through GetFileMD5 (digest), CreateFileW
// (the version and signer readers' opens) and CryptQueryObject (signature), so
// a path that none of them is asked for was not read. The same counters let a Stop
// land at an exact checkpoint: inside the TCP table read, inside the second and the
// last OpenProcess of the parser loop, and inside the 1000 ms pause.

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <psapi.h>
#include <wincrypt.h>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "AcceptanceSupport.h"
#include "ImportPatch.h"
#include "ProcessUsage.h"
#include "WineTestSupport.h"
#include "agent/rynUtil/LogDestination.h"
#include "host/RynUtil.h"
#include "module/KorvaProcInterface.h"

namespace {

using acceptance::CommittedPrivateBytes;
using acceptance::HandlesInSystemList;
using acceptance::MeasureUsage;
using acceptance::ReportedHandleCount;
using acceptance::ReportedPrivateUsage;
using acceptance::Usage;

constexpr int kPasses = 100;
constexpr DWORD kPassEndTimeoutMs = 20000;
constexpr uint64_t kReportPauseMs = 1000;
// Before this pass the unsigned copy gets a new last-write time: the caches must
// read it once more, which shows that the counters see a read when one happens.
constexpr int kTouchedPass = 60;

enum class Kind { Report, BusyStart, IdleStop, StopAtTcp, StopAtSecond, StopAtLast, StopInPause };
// One cycle of ten passes; every fourth pass ends with DestroyKorvaProcInterface.
constexpr int kCycleLength = 10;
const Kind kCycle[kCycleLength] = {
    Kind::Report,   Kind::BusyStart,  Kind::StopAtTcp, Kind::Report,      Kind::StopAtSecond,
    Kind::IdleStop, Kind::StopAtLast, Kind::Report,    Kind::StopInPause, Kind::Report};

bool Reports(Kind kind) {
    return kind == Kind::Report || kind == Kind::BusyStart || kind == Kind::IdleStop ||
           kind == Kind::StopInPause;
}

const char* Name(Kind kind) {
    switch (kind) {
        case Kind::Report:
            return "report";
        case Kind::BusyStart:
            return "second Start while running";
        case Kind::IdleStop:
            return "Stop before Start";
        case Kind::StopAtTcp:
            return "Stop after the TCP read";
        case Kind::StopAtSecond:
            return "Stop in the parser loop";
        case Kind::StopAtLast:
            return "Stop after the parser loop";
        case Kind::StopInPause:
            return "Stop in the pause";
    }
    return "";
}

// ---- What the module asked for during the current pass.

struct Counts {
    int openProcess = 0;
    int tcpTableCalls = 0;
    int reportPauses = 0;
    size_t enumerated = 0;
    DWORD lastEnumerated = 0;
    std::map<std::string, int> digestReads;  // UTF-8 path -> calls
    std::map<std::string, int> fileOpens;
    std::map<std::string, int> signatureReads;
};

std::mutex g_mutex;
Counts g_counts;
// The worker thread of the current pass, taken in its TCP table read (every pass
// reads the table): the thread's end is the pass's end, Start's "idle" included.
ryn::UniqueHandle g_worker;
std::condition_variable g_workerTaken;
std::atomic<Kind> g_kind{Kind::Report};
std::atomic<CKorvaProcInterface*> g_module{nullptr};

void StopIf(bool condition) {
    if (condition) {
        g_module.load()->Stop();
    }
}

// The real functions, as the loader resolved them for every importer; taken from
// the exporting DLL, since a header without dllimport would give a local stub.
template <typename Function>
Function Exported(const wchar_t* library, const char* name) {
    const FARPROC address = GetProcAddress(GetModuleHandleW(library), name);
    return reinterpret_cast<Function>(reinterpret_cast<void*>(address));
}

const auto g_openProcess = Exported<decltype(&OpenProcess)>(L"kernel32.dll", "OpenProcess");
const auto g_tcpTable =
    Exported<decltype(&GetExtendedTcpTable)>(L"iphlpapi.dll", "GetExtendedTcpTable");
const auto g_createFile = Exported<decltype(&CreateFileW)>(L"kernel32.dll", "CreateFileW");
const auto g_queryObject =
    Exported<decltype(&CryptQueryObject)>(L"crypt32.dll", "CryptQueryObject");

HANDLE WINAPI CountingOpenProcess(DWORD access, BOOL inherit, DWORD pid) {
    bool stop = false;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        ++g_counts.openProcess;
        stop = (g_kind == Kind::StopAtSecond && g_counts.openProcess == 2) ||
               (g_kind == Kind::StopAtLast && pid == g_counts.lastEnumerated);
    }
    StopIf(stop);
    return g_openProcess(access, inherit, pid);
}

DWORD WINAPI CountingTcpTable(PVOID table, PDWORD size, BOOL order, ULONG family,
                              TCP_TABLE_CLASS tableClass, ULONG reserved) {
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        first = ++g_counts.tcpTableCalls == 1;
        HANDLE worker = nullptr;
        if (first && DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(),
                                     &worker, SYNCHRONIZE, FALSE, 0)) {
            g_worker.reset(worker);
            g_workerTaken.notify_all();
        }
    }
    StopIf(first && g_kind == Kind::StopAtTcp);
    return g_tcpTable(table, size, order, family, tableClass, reserved);
}

void CountingMsleep(uint64_t milliseconds) {
    if (milliseconds == kReportPauseMs) {
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            ++g_counts.reportPauses;
        }
        StopIf(g_kind == Kind::StopInPause);
    }
    ryn::CToolUtil::msleep(milliseconds);
}

std::string CountingDigest(const std::string& path) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        ++g_counts.digestReads[path];
    }
    return ryn::CAlgorithmUtil::GetFileMD5(path);
}

HANDLE WINAPI CountingCreateFile(LPCWSTR path, DWORD access, DWORD share,
                                 LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                 HANDLE templateFile) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        ++g_counts.fileOpens[acceptance::Utf8(path)];
    }
    return g_createFile(path, access, share, security, disposition, flags, templateFile);
}

BOOL WINAPI CountingQueryObject(DWORD type, const void* object, DWORD content, DWORD format,
                                DWORD flags, DWORD* encoding, DWORD* contentType, DWORD* formatType,
                                HCERTSTORE* store, HCRYPTMSG* message, const void** context) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        ++g_counts.signatureReads[acceptance::Utf8(static_cast<const wchar_t*>(object))];
    }
    return g_queryObject(type, object, content, format, flags, encoding, contentType, formatType,
                         store, message, context);
}

// The utility library's process object, seen through: notes the pass's process list.
class CountingProcessUtil : public ryn::IProcessUtil {
  public:
    ryn::ProcessIdMap EnumProcesses() override {
        ryn::ProcessIdMap processes = ryn::GetProcessUtil()->EnumProcesses();
        std::lock_guard<std::mutex> lock(g_mutex);
        g_counts.enumerated = processes.size();
        g_counts.lastEnumerated =
            processes.empty() ? 0 : static_cast<DWORD>(processes.rbegin()->first);
        return processes;
    }
    std::string GetProcessPath(int64_t pid, bool nativeName) override {
        return ryn::GetProcessUtil()->GetProcessPath(pid, nativeName);
    }
    std::string GetProcessCommandLine(int64_t pid) override {
        return ryn::GetProcessUtil()->GetProcessCommandLine(pid);
    }
    std::wstring GetProcessPathW(int64_t pid, bool nativeName) override {
        return ryn::GetProcessUtil()->GetProcessPathW(pid, nativeName);
    }
    std::wstring GetProcessCommandLineW(int64_t pid) override {
        return ryn::GetProcessUtil()->GetProcessCommandLineW(pid);
    }
};

CountingProcessUtil g_processUtil;

ryn::IProcessUtil* CountingGetProcessUtil() { return &g_processUtil; }

Counts TakeCounts() {
    std::lock_guard<std::mutex> lock(g_mutex);
    Counts taken = g_counts;
    g_counts = Counts();
    return taken;
}

// ---- The log file, one pass at a time.

std::vector<std::string> ReadLogTexts(const std::string& utf8Path) {
    std::istringstream lines(winetest::ReadWholeFile(utf8Path));
    std::vector<std::string> texts;
    std::string line;
    while (std::getline(lines, line)) {
        // "<time> <level> <source>:<line> <text>"
        size_t at = 0;
        for (int field = 0; field < 3 && at != std::string::npos; ++field) {
            at = line.find(' ', at == 0 ? 0 : at + 1);
        }
        texts.push_back(at == std::string::npos ? line : line.substr(at + 1));
    }
    return texts;
}

size_t CountOf(const std::vector<std::string>& texts, const std::string& text) {
    return static_cast<size_t>(std::count(texts.begin(), texts.end(), text));
}

// The records of the last pass in the log: from its "refreshing proc info" on.
std::vector<std::string> LastPassRecords(const std::vector<std::string>& texts) {
    auto begin = std::find(texts.rbegin(), texts.rend(), "refreshing proc info");
    return begin == texts.rend() ? std::vector<std::string>()
                                 : std::vector<std::string>(begin.base() - 1, texts.end());
}

// Waits until the current pass's worker thread has ended; false when the pass did
// not reach its TCP table read or its thread did not end in time.
bool WaitForPassEnd() {
    std::unique_lock<std::mutex> lock(g_mutex);
    if (!g_workerTaken.wait_for(lock, std::chrono::milliseconds(kPassEndTimeoutMs),
                                [] { return g_worker.valid(); })) {
        return false;
    }
    const ryn::UniqueHandle worker(std::move(g_worker));
    lock.unlock();
    return WaitForSingleObject(worker.get(), kPassEndTimeoutMs) == WAIT_OBJECT_0;
}

int ReadsOf(const std::map<std::string, int>& reads, const std::string& path) {
    auto found = reads.find(path);
    return found == reads.end() ? 0 : found->second;
}

struct PassRecord {
    int pass = 0;
    Kind kind = Kind::Report;
    bool destroyed = false;
    Usage usage;
    uint64_t milliseconds = 0;
};

class ManyPassesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder = winetest::ScratchFolder("many passes");
        log = folder + "\\korvaProc.log";
        DeleteFileW(acceptance::Wide(log).c_str());
        ASSERT_TRUE(ryn::SetLogFile(log));
        const std::string fixtures = acceptance::FixtureDir();
        signedPath = folder + "\\signed legacy.exe";
        unsignedPath = folder + "\\no version.exe";
        ASSERT_TRUE(CopyFileW(acceptance::Wide(fixtures + "\\signed-legacy.exe").c_str(),
                              acceptance::Wide(signedPath).c_str(), FALSE));
        ASSERT_TRUE(CopyFileW(acceptance::Wide(fixtures + "\\no-version.exe").c_str(),
                              acceptance::Wide(unsignedPath).c_str(), FALSE));
        signedProcess.reset(new acceptance::RunningProcess(signedPath, "\"" + signedPath + "\""));
        unsignedProcess.reset(
            new acceptance::RunningProcess(unsignedPath, "\"" + unsignedPath + "\""));
        ASSERT_TRUE(signedProcess->ready());
        ASSERT_TRUE(unsignedProcess->ready());
    }

    void TearDown() override { ryn::SetLogFile(""); }

    std::string folder;
    std::string log;
    std::string signedPath;
    std::string unsignedPath;
    std::unique_ptr<acceptance::RunningProcess> signedProcess;
    std::unique_ptr<acceptance::RunningProcess> unsignedProcess;
};

TEST_F(ManyPassesTest, HundredPassesKeepResourcesFlatAndCachesWarm) {
    ASSERT_TRUE(acceptance::StartReports("many-passes"));
    acceptance::ModuleDriver driver;
    g_module = GetKorvaProcInterface();
    HMODULE module = GetModuleHandleW(L"korvaProc.dll");
    ASSERT_NE(nullptr, module);
    const acceptance::ImportPatch patches[] = {
        {module, reinterpret_cast<const void*>(g_openProcess),
         reinterpret_cast<const void*>(&CountingOpenProcess)},
        {module, reinterpret_cast<const void*>(g_tcpTable),
         reinterpret_cast<const void*>(&CountingTcpTable)},
        {module, reinterpret_cast<const void*>(&ryn::CToolUtil::msleep),
         reinterpret_cast<const void*>(&CountingMsleep)},
        {module, reinterpret_cast<const void*>(&ryn::CAlgorithmUtil::GetFileMD5),
         reinterpret_cast<const void*>(&CountingDigest)},
        {module, reinterpret_cast<const void*>(&ryn::GetProcessUtil),
         reinterpret_cast<const void*>(&CountingGetProcessUtil)},
        {module, reinterpret_cast<const void*>(g_createFile),
         reinterpret_cast<const void*>(&CountingCreateFile)},
        {module, reinterpret_cast<const void*>(g_queryObject),
         reinterpret_cast<const void*>(&CountingQueryObject)},
    };
    for (size_t i = 0; i < sizeof(patches) / sizeof(patches[0]); ++i) {
        ASSERT_GE(patches[i].slots(), 1u) << "korvaProc.dll does not import counted call " << i;
    }
    const bool stamped = !ryn::CFileUtil::GetChangeStamp(signedPath).empty();

    std::vector<PassRecord> records;
    std::map<std::string, int> signedReads;  // after the first pass, per kind of read
    std::map<std::string, int> unsignedReads;
    TakeCounts();
    for (int pass = 1; pass <= kPasses; ++pass) {
        const Kind kind = kCycle[(pass - 1) % kCycleLength];
        g_kind = kind;
        SCOPED_TRACE("pass " + std::to_string(pass) + ": " + Name(kind));
        if (pass == kTouchedPass) {
            ASSERT_TRUE(acceptance::ShiftModifyTime(unsignedPath, 3600));
        }
        const std::string cmdIdx = "pass-" + std::to_string(pass);
        driver.waiter().Clear();
        g_module = GetKorvaProcInterface();
        if (kind == Kind::IdleStop) {
            g_module.load()->Stop();  // no pass runs: the next Start clears it
        }
        const ULONGLONG begin = GetTickCount64();
        // The previous pass's thread has ended, so the module is idle.
        ASSERT_EQ(1, g_module.load()->Start(cmdIdx, "many-passes"));
        if (kind == Kind::BusyStart) {
            EXPECT_EQ(-1, g_module.load()->Start("ignored", "ignored"));
        }
        ASSERT_TRUE(WaitForPassEnd())
            << "the pass's thread did not reach its TCP read, or did not end, within "
            << kPassEndTimeoutMs << " ms";
        ASSERT_EQ(static_cast<size_t>(pass),
                  CountOf(ReadLogTexts(log), "end of refresh proc info"));
        std::string body;
        const bool delivered = driver.waiter().Wait(0, &body);
        PassRecord record;
        record.pass = pass;
        record.kind = kind;
        record.destroyed = pass % 4 == 0;
        if (record.destroyed) {
            DestroyKorvaProcInterface();  // the caches must survive this
        }
        record.milliseconds = GetTickCount64() - begin;
        record.usage = MeasureUsage();
        records.push_back(record);
        const Counts counts = TakeCounts();
        const std::vector<std::string> texts = LastPassRecords(ReadLogTexts(log));

        EXPECT_EQ(Reports(kind), delivered);
        EXPECT_EQ("end of refresh proc info", texts.empty() ? "" : texts.back());
        EXPECT_EQ(kind == Kind::IdleStop || !Reports(kind) || kind == Kind::StopInPause ? 1u : 0u,
                  CountOf(texts, "stop korvaProc.") + (kind == Kind::IdleStop ? 1u : 0u))
            << "stop records in this pass";
        EXPECT_EQ(0u, CountOf(texts, "parse process basic info failed."));
        if (delivered) {
            EXPECT_TRUE(acceptance::SaveReport("many-passes", body));
            rapidjson::Document report;
            report.Parse(body.c_str(), body.size());
            ASSERT_FALSE(report.HasParseError());
            EXPECT_EQ(cmdIdx, std::string(report["cmd_idx"].GetString()));
            EXPECT_EQ(1, counts.reportPauses);
            EXPECT_EQ(static_cast<int>(counts.enumerated), counts.openProcess);
        }
        switch (kind) {
            case Kind::StopAtTcp:
                EXPECT_EQ(0, counts.openProcess);
                EXPECT_EQ(0, counts.reportPauses);
                break;
            case Kind::StopAtSecond:
                EXPECT_EQ(2, counts.openProcess);
                EXPECT_EQ(0, counts.reportPauses);
                break;
            case Kind::StopAtLast:
                EXPECT_EQ(static_cast<int>(counts.enumerated), counts.openProcess);
                EXPECT_EQ(0, counts.reportPauses);
                break;
            default:
                break;
        }

        // Files without a change stamp (all of them under Wine) are read in every pass
        // that reports. The module opens each file it reads twice: the version reader's
        // open and the signer reader's hold against writers.
        const int expectedSigned = pass == 1 || (!stamped && Reports(kind)) ? 1 : 0;
        const int expectedUnsigned =
            pass == 1 || pass == kTouchedPass || (!stamped && Reports(kind)) ? 1 : 0;
        EXPECT_EQ(expectedSigned, ReadsOf(counts.digestReads, signedPath));
        EXPECT_EQ(2 * expectedSigned, ReadsOf(counts.fileOpens, signedPath));
        EXPECT_EQ(expectedSigned, ReadsOf(counts.signatureReads, signedPath));
        EXPECT_EQ(expectedUnsigned, ReadsOf(counts.digestReads, unsignedPath));
        EXPECT_EQ(2 * expectedUnsigned, ReadsOf(counts.fileOpens, unsignedPath));
        EXPECT_EQ(expectedUnsigned, ReadsOf(counts.signatureReads, unsignedPath));
        if (pass > 1) {
            for (const auto& read : counts.digestReads) {
                std::printf("pass %d read %s\n", pass, read.first.c_str());
            }
        }
    }
    g_kind = Kind::Report;

    // The level is what the first cycle left, once every sort of pass has run (the
    // system allocates some things lazily, the first time a path is taken), taken
    // separately for passes that end with the module object destroyed and with it
    // kept; every later pass of the same sort must come back to it. A handle or two
    // may still appear once at any time (winpthreads makes a mutex's event on its
    // first contention; seen: +1 at a random pass), while a leak of one handle per
    // cycle would stand 9 over the level at the end. Private bytes may move by heap
    // rounding only.
    constexpr DWORD kHandleSlack = 2;
    constexpr SIZE_T kPrivateSlack = 256 * 1024;
    uint64_t reportPassMs = 0;
    int reportPasses = 0;
    for (const bool destroyed : {false, true}) {
        const PassRecord* level = nullptr;
        Usage highest;
        for (const PassRecord& record : records) {
            if (record.pass <= kCycleLength || record.destroyed != destroyed) {
                continue;
            }
            if (level == nullptr) {
                level = &record;
                continue;
            }
            highest.handles = std::max(highest.handles, record.usage.handles);
            highest.privateBytes = std::max(highest.privateBytes, record.usage.privateBytes);
            EXPECT_LE(record.usage.handles, level->usage.handles + kHandleSlack)
                << "after pass " << record.pass;
            EXPECT_LE(record.usage.privateBytes, level->usage.privateBytes + kPrivateSlack)
                << "after pass " << record.pass;
        }
        ASSERT_NE(nullptr, level);
        std::printf(
            "%s: handles %lu after pass %d, at most %lu later; private bytes %llu after "
            "pass %d, at most %llu later\n",
            destroyed ? "passes ending in DestroyKorvaProcInterface"
                      : "passes keeping the module object",
            level->usage.handles, level->pass, highest.handles,
            static_cast<unsigned long long>(level->usage.privateBytes), level->pass,
            static_cast<unsigned long long>(highest.privateBytes));
    }
    for (const PassRecord& record : records) {
        if (record.kind == Kind::Report && !record.destroyed) {
            reportPassMs += record.milliseconds;
            ++reportPasses;
        }
        std::printf("pass %3d %-28s %s handles %4lu private %9llu %5llu ms\n", record.pass,
                    Name(record.kind), record.destroyed ? "D" : " ", record.usage.handles,
                    static_cast<unsigned long long>(record.usage.privateBytes),
                    static_cast<unsigned long long>(record.milliseconds));
    }
    std::printf("a reporting pass took %llu ms on average (%d passes)\n",
                static_cast<unsigned long long>(reportPassMs / std::max(reportPasses, 1)),
                reportPasses);
}

TEST(WineCounters, HandleCountAndPrivateUsageReadZeroUnderWine) {
    const DWORD listed = HandlesInSystemList();
    EXPECT_GT(listed, 0u);
    if (winetest::RunningUnderWine()) {
        // Wine 8 answers both queries with success and a 0.
        EXPECT_EQ(0u, ReportedHandleCount());
        EXPECT_EQ(0u, ReportedPrivateUsage());
    } else {
        EXPECT_GT(ReportedHandleCount(), 0u);
        EXPECT_GT(ReportedPrivateUsage(), 0u);
    }
    EXPECT_GT(CommittedPrivateBytes(), 0u);
    // The list counts a handle as soon as it is opened.
    ryn::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    EXPECT_EQ(listed + 1, HandlesInSystemList());
}

}  // namespace
