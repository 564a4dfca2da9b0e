// The report alone: the product's CProcessListReport over N table entries, against a
// writer that streams the same bytes without an in-memory document.

#include <benchmark/benchmark.h>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdlib>
#include <iterator>
#include <string>

#include "bench/BenchMachine.h"
#include "bench/HeapCounter.h"
#include "fileprops/FilePropertyCache.h"
#include "fileprops/ProcMd5Cache.h"
#include "layer/Machine.h"
#include "module/ProcessListReport.h"
#include "module/ReportShape.h"
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

// The same bytes, streamed: what the document costs on top of the writing. Names,
// order and the System record come from the report shape; BM_Report checks the bytes
// against the real report's before it times anything.
class DirectReport {
  public:
    explicit DirectReport(Table& table) : m_table(table), m_writer(m_text) {}

    std::string Write() {
        m_writer.StartObject();
        const std::string_view* name = std::begin(reportshape::kReportMembers);
        Key(*name++);
        m_writer.StartObject();
        for (std::string_view key : reportshape::kPackageMembers) {
            Key(key);
            m_writer.Int(1);
        }
        m_writer.EndObject();
        for (const std::string& text :
             {std::string("cmd-1"), std::string("timer"), Time(kScanTime)}) {
            Key(*name++);
            m_writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
        }
        Key(*name);
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
        m_next = std::begin(reportshape::kProcessMembers);
        Int(p.pid);
        Int(p.ppid);
        String(p.name);
        String(p.path);
        String(p.cmdLine);
        String(p.user);
        String(Time(p.startTime));
        Int(p.cpuTime);
        Int(p.elapsedTime);
        Tcp(m_table.tcp.GetConnectInfo(p.pid));
        Int(p.fileSize);
        String(Time(p.createTime));
        String(Time(p.modifyTime));
        String(CProcMd5Cache::GetInstance()->Get(p.pid, p.path, p.modifyTime));
        const LinkedPtr<FilePropertyRecord> record =
            CFilePropertyCache::GetInstance()->Get(p.path, p.modifyTime);
        String(record ? record->description : "");
        String(record ? record->company : "");
        String(record ? reportshape::SignerText(record->signCompany, record->signDate) : "");
        m_writer.EndObject();
    }

    void System() {
        m_writer.StartObject();
        m_next = std::begin(reportshape::kSystemMembers);
        while (m_next != std::end(reportshape::kSystemMembers)) {
            if (m_next->fixed == nullptr) {
                Tcp(m_table.tcp.GetConnectInfo(reportshape::kSystemPid));
            } else if (reportshape::IsNumber(m_next->key)) {
                Int(std::strtoll(m_next->fixed, nullptr, 10));
            } else {
                String(m_next->fixed);
            }
        }
        m_writer.EndObject();
    }

    void Tcp(const TcpConnectInfo& tcp) {
        String(reportshape::PortListText(tcp.listen_ports));
        String(reportshape::PortListText(tcp.establish_ports));
        Int(tcp.connect_count);
    }

    static std::string Time(int64_t seconds) {
        return ryn::CTimeUtil(seconds).ToString("%Y%m%d%H%M%S");
    }
    // By its terminating NUL (the shape's names are literals), as this baseline has
    // always passed them: its timings stay comparable run to run.
    void Key(std::string_view key) { m_writer.Key(key.data()); }
    // The next member of the record's shape.
    void Int(int64_t value) {
        Key((m_next++)->key);
        m_writer.Int64(value);
    }
    void String(const std::string& value) {
        Key((m_next++)->key);
        m_writer.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
    }

    Table& m_table;
    rapidjson::StringBuffer m_text;
    rapidjson::Writer<rapidjson::StringBuffer> m_writer;
    const reportshape::Member* m_next = nullptr;
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
