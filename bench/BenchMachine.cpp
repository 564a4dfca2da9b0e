#include "bench/BenchMachine.h"

#include <iphlpapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "layer/Machine.h"

namespace bench {

namespace {

constexpr size_t kExecutableBytes = 4096;
constexpr int kMaxExecutables = 900;
constexpr uint32_t kFirstPid = 1000;
const WORD kEnglish = 0x0409;
const WORD kUnicode = 0x04b0;

uint32_t PidOf(int index) { return kFirstPid + 4 * static_cast<uint32_t>(index); }

// Bytes that differ per file, so every digest is computed over its own content.
std::string Content(int index) {
    std::string content(kExecutableBytes, '\0');
    uint32_t state = 2166136261u ^ static_cast<uint32_t>(index);
    for (char& byte : content) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    content[0] = 'M';
    content[1] = 'Z';
    return content;
}

layer::TcpRow Row(DWORD state, uint32_t pid, uint16_t localPort, uint16_t remotePort) {
    layer::TcpRow row;
    row.state = state;
    row.pid = pid;
    row.localAddr = state == MIB_TCP_STATE_LISTEN ? 0 : 0x0A000005;
    row.localPort = localPort;
    row.remoteAddr = state == MIB_TCP_STATE_LISTEN ? 0 : 0x0A000102;
    row.remotePort = remotePort;
    return row;
}

}  // namespace

bool Smoke() { return std::getenv("KORVA_BENCH_SMOKE") != nullptr; }

std::vector<int64_t> Sizes(const std::vector<int64_t>& sizes) {
    return Smoke() ? std::vector<int64_t>(sizes.begin(), sizes.begin() + 1) : sizes;
}

double ProcessCpuSeconds() {
    timespec now = {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

int ExecutableCount(int processes) { return std::min(kMaxExecutables, (processes + 3) / 4); }

std::string ExecutablePath(int index) {
    // Zero-padded, so that byte order of the paths is index order.
    char path[96];
    std::snprintf(path, sizeof(path),
                  "C:\\Program Files\\Vendor Suite %05d\\bin\\application%05d.exe", index, index);
    return path;
}

void AddExecutable(int index) {
    layer::File& file = layer::machine().files[ExecutablePath(index)];
    file.content = Content(index);
    file.creationTime = layer::FileTimeFromUnix(kNow - 86400 * 90);
    file.lastWriteTime = layer::FileTimeFromUnix(kNow - 86400 * (1 + index % 30));
    if (index % 2 == 0) {
        const std::string vendor = "Vendor " + std::to_string(index % 50);
        file.version.SetString(kEnglish, kUnicode, "FileDescription",
                               vendor + " Application " + std::to_string(index));
        file.version.SetString(kEnglish, kUnicode, "CompanyName", vendor + " Corporation");
    }
    if (index % 3 == 0) {
        layer::CertName signer;
        signer.commonName = "Vendor " + std::to_string(index % 50) + " Code Signing";
        file.signature = layer::MakeSignature(signer, "Benchmark Code Signing CA");
        layer::AddCounterSignature(file.signature, "Benchmark TSA",
                                   layer::FileTimeFromUnix(kNow - 86400 * 120));
    }
}

void AddProcesses(int count) {
    const int executables = ExecutableCount(count);
    for (int i = 0; i < executables; ++i) {
        AddExecutable(i);
    }
    for (int i = 0; i < count; ++i) {
        layer::Process process;
        process.pid = PidOf(i);
        process.ppid = i == 0 ? 4 : PidOf(i / 8);
        process.imagePath = ExecutablePath(i % executables);
        process.cmdLine = "\"" + process.imagePath + "\" --service --instance " +
                          std::to_string(i) + " --config \"C:\\ProgramData\\Vendor\\app.ini\"";
        process.user = i % 5 == 0 ? "SYSTEM" : "alice";
        process.creationTime = layer::FileTimeFromUnix(kNow - 3600 - i);
        process.kernelTime = 20000000ULL + static_cast<uint64_t>(i);
        process.userTime = 30000000ULL;
        process.workingSetBytes = 12ULL << 20;
        layer::machine().processes.push_back(process);
    }
    // A third of the processes listen on one port and hold two connections.
    for (int i = 0; i < count; i += 3) {
        const uint16_t port = static_cast<uint16_t>(1024 + i % 60000);
        layer::machine().tcpRows.push_back(Row(MIB_TCP_STATE_LISTEN, PidOf(i), port, 0));
        for (int k = 0; k < 2; ++k) {
            layer::machine().tcpRows.push_back(Row(MIB_TCP_STATE_ESTAB, PidOf(i),
                                                   static_cast<uint16_t>(49152 + (i + k) % 16000),
                                                   443));
        }
    }
}

std::vector<layer::TcpRow> MakeTcpRows(int rows, int pids) {
    std::vector<layer::TcpRow> table;
    table.reserve(static_cast<size_t>(rows));
    for (int i = 0; i < rows; ++i) {
        const uint32_t pid = PidOf((i * 7919) % pids);
        const int kind = i % 10;
        const DWORD state = kind == 0   ? MIB_TCP_STATE_LISTEN
                            : kind <= 6 ? MIB_TCP_STATE_ESTAB
                            : kind <= 8 ? MIB_TCP_STATE_TIME_WAIT
                                        : MIB_TCP_STATE_CLOSE_WAIT;
        table.push_back(Row(state, pid, static_cast<uint16_t>(1024 + (i * 31) % 64000),
                            static_cast<uint16_t>(443 + i % 3)));
    }
    return table;
}

}  // namespace bench
