// The report alone: CProcessListReport over N table entries against a writer that
// streams the same bytes without an in-memory document.

#include <benchmark/benchmark.h>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdlib>
#include <string>

#include "bench/BenchMachine.h"
#include "bench/HeapCounter.h"
#include "fileprops/FilePropertyCache.h"
#include "fileprops/ProcMd5Cache.h"
#include "layer/Machine.h"
#include "module/KorvaProcInterfaceImp.h"
#include "module/ProcessListReport.h"
#include "support/FakeParsers.h"

namespace {

constexpr int64_t kScanTime = 1700000000;

struct Table {
    ProcParserList parsers;
    FakeTcpParser tcp;
    std::vector<FakeProcess> processes;
};

// N processes that look like a desktop's: paths, command lines, a few ports, one
// executable per four processes (so the property cache holds them all), caches empty.
Table MakeTable(int count) {
    layer::Reset();
    CSingleton<CProcMd5Cache>::DestroyInstance();
    CSingleton<CFilePropertyCache>::DestroyInstance();
    CSingleton<CProcMd5Cache>::CreateInstance();
    CSingleton<CFilePropertyCache>::CreateInstance();
    const int executables = bench::ExecutableCount(count);
    for (int i = 0; i < executables; ++i) {
        bench::AddExecutable(i);
    }
    Table table;
    for (int i = 0; i < count; ++i) {
        FakeProcess process;
        process.pid = 100 + 4 * i;
        process.ppid = 100;
        process.path = bench::ExecutablePath(i % executables);
        process.name = process.path.substr(process.path.find_last_of('\\') + 1);
        process.cmdLine =
            "\"" + process.path + "\" --service --config \"C:\\ProgramData\\cfg.ini\"";
        process.user = "alice";
        process.startTime = kScanTime - 3600;
        process.elapsedTime = 3600;
        process.cpuTime = 12;
        process.fileTimesOk = true;
        process.createTime = kScanTime - 86400 * 30;
        process.modifyTime = kScanTime - 86400;
        process.fileSize = 123456;
        if (i % 3 == 0) {
            table.tcp.summaries[process.pid].listen_ports = {80, 443, 8080};
            table.tcp.summaries[process.pid].establish_ports = {49152, 49153};
            table.tcp.summaries[process.pid].connect_count = 2;
        }
        table.processes.push_back(process);
        table.parsers.push_back(
            LinkedPtr<CProcInfoParserInterface>(new FakeProcInfoParser(process)));
    }
    return table;
}

std::string BuildReport(Table& table) {
    const std::string cmdIdx = "cmd-1";
    const std::string trigger = "timer";
    return CProcessListReport(cmdIdx, trigger, kScanTime).Build(table.parsers, table.tcp);
}

// The same bytes, streamed: what the document costs on top of the writing.
class DirectReport {
  public:
    explicit DirectReport(Table& table) : m_table(table), m_writer(m_text) {}

    std::string Write() {
        m_writer.StartObject();
        m_writer.Key("package_info");
        m_writer.StartObject();
        Int("total_package", 1);
        Int("current_package", 1);
        m_writer.EndObject();
        String("cmd_idx", "cmd-1");
        String("trigger_type", "timer");
        String("scan_time", Time(kScanTime));
        m_writer.Key("process");
        m_writer.StartArray();
        for (FakeProcess& process : m_table.processes) {
            Process(process);
        }
        System();
        m_writer.EndArray();
        m_writer.EndObject();
        return std::string(m_text.GetString(), m_text.GetSize());
    }

  private:
    void Process(const FakeProcess& p) {
        m_writer.StartObject();
        Int("pid", p.pid);
        Int("ppid", p.ppid);
        String("proc_name", p.name);
        String("proc_path", p.path);
        String("cmd_line", p.cmdLine);
        String("user", p.user);
        String("start_time", Time(p.startTime));
        Int("cpu_time", p.cpuTime);
        Int("elapsed_time", p.elapsedTime);
        Tcp(m_table.tcp.GetConnectInfo(p.pid));
        Int("file_size", p.fileSize);
        String("file_create_time", Time(p.createTime));
        String("file_modify_time", Time(p.modifyTime));
        String("file_md5", CProcMd5Cache::GetInstance()->Get(p.pid, p.path, p.modifyTime));
        const LinkedPtr<FilePropertyRecord> record =
            CFilePropertyCache::GetInstance()->Get(p.path, p.modifyTime);
        String("description", record ? record->description : "");
        String("company", record ? record->company : "");
        String("app_sign", record ? SignerText(*record) : "");
        m_writer.EndObject();
    }

    void System() {
        m_writer.StartObject();
        Int("pid", 4);
        Int("ppid", -1);
        String("proc_name", "System");
        String("proc_path", "");
        String("cmd_line", "");
        String("user", "SYSTEM");
        String("start_time", "");
        Int("cpu_time", -1);
        Int("elapsed_time", -1);
        String("description", "");
        String("company", "");
        Tcp(m_table.tcp.GetConnectInfo(4));
        Int("file_size", -1);
        String("file_create_time", "");
        String("file_modify_time", "");
        String("file_md5", "");
        String("app_sign", "");
        m_writer.EndObject();
    }

    void Tcp(const TcpConnectInfo& tcp) {
        String("listen_port", CKorvaProcInterfaceImp::FormatPortList(tcp.listen_ports));
        String("establish_port", CKorvaProcInterfaceImp::FormatPortList(tcp.establish_ports));
        Int("connect_count", tcp.connect_count);
    }

    static std::string SignerText(const FilePropertyRecord& record) {
        std::string text;
        if (!record.signCompany.empty()) {
            text += "SignCompany: " + record.signCompany;
        }
        if (!record.signDate.empty()) {
            text += " SignDate: " + record.signDate;
        }
        return text;
    }
    static std::string Time(int64_t seconds) {
        return ryn::CTimeUtil(seconds).ToString("%Y%m%d%H%M%S");
    }
    void Int(const char* key, int64_t value) {
        m_writer.Key(key);
        m_writer.Int64(value);
    }
    void String(const char* key, const std::string& value) {
        m_writer.Key(key);
        m_writer.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
    }

    Table& m_table;
    rapidjson::StringBuffer m_text;
    rapidjson::Writer<rapidjson::StringBuffer> m_writer;
};

void BM_Report(benchmark::State& state) {
    Table table = MakeTable(static_cast<int>(state.range(0)));
    const std::string warm = BuildReport(table);  // fills the caches
    if (DirectReport(table).Write() != warm) {
        state.SkipWithError("the direct writer's bytes differ from the report's");
        return;
    }
    heap::ResetPeak();
    const int64_t before = heap::Current();
    BuildReport(table);
    const int64_t peak = heap::Peak() - before;
    heap::SetCounting(false);  // the timed reports, like the baseline's, count nothing
    for (auto _ : state) {
        std::string text = BuildReport(table);
        benchmark::DoNotOptimize(text);
    }
    heap::SetCounting(true);
    state.counters["json_bytes"] = static_cast<double>(warm.size());
    state.counters["peak_heap_per_json"] = static_cast<double>(peak) / warm.size();
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_ReportDirectWriter(benchmark::State& state) {
    Table table = MakeTable(static_cast<int>(state.range(0)));
    const std::string warm = BuildReport(table);
    heap::SetCounting(false);
    for (auto _ : state) {
        std::string text = DirectReport(table).Write();
        benchmark::DoNotOptimize(text);
    }
    heap::SetCounting(true);
    state.counters["json_bytes"] = static_cast<double>(warm.size());
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void ReportSizes(benchmark::internal::Benchmark* b) {
    for (int64_t size : bench::Sizes({100, 1000, 10000})) {
        b->Arg(size);
    }
    b->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_Report)->Apply(ReportSizes);
BENCHMARK(BM_ReportDirectWriter)->Apply(ReportSizes);

}  // namespace
