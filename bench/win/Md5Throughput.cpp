// Times rynUtil.dll's CAlgorithmUtil::GetFileMD5 over one file:
//   korva_md5_throughput.exe PATH [REPETITIONS]
// prints the digest, the file size, the seconds of each run and the peak memory of
// this process, one "key value" line each, for bench/md5-bench.sh to read. GetFileMD5
// remembers the digests of unchanged files, so each run first moves the file's
// last-write time on by a second: every run reads and hashes the whole file.

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/RynUtil.h"

namespace {

bool Touch(const std::string& path) {
    const HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    FILETIME written = {};
    bool touched = GetFileTime(file, nullptr, nullptr, &written) != 0;
    if (touched) {
        ULARGE_INTEGER value = {{written.dwLowDateTime, written.dwHighDateTime}};
        value.QuadPart += 10000000ULL;
        written.dwLowDateTime = value.LowPart;
        written.dwHighDateTime = value.HighPart;
        touched = SetFileTime(file, nullptr, nullptr, &written) != 0;
    }
    CloseHandle(file);
    return touched;
}

double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: korva_md5_throughput PATH [REPETITIONS]\n");
        return 2;
    }
    const std::string path = argv[1];
    const int repetitions = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    std::string digest;
    for (int i = 0; i < repetitions; ++i) {
        if (!Touch(path)) {
            std::fprintf(stderr, "cannot move the last-write time of %s on\n", path.c_str());
            return 1;
        }
        LARGE_INTEGER start;
        LARGE_INTEGER end;
        QueryPerformanceCounter(&start);
        digest = ryn::CAlgorithmUtil::GetFileMD5(path);
        QueryPerformanceCounter(&end);
        std::printf("seconds %.6f\n", Seconds(start, end));
    }
    if (digest.empty()) {
        std::fprintf(stderr, "GetFileMD5 failed for %s\n", path.c_str());
        return 1;
    }
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    std::printf("md5 %s\n", ryn::CAlgorithmUtil::toHex(digest).c_str());
    std::printf("bytes %llu\n", static_cast<unsigned long long>(ryn::CFileUtil::GetFileSize(path)));
    std::printf("peak_working_set %llu\n",
                static_cast<unsigned long long>(counters.PeakWorkingSetSize));
    std::printf("peak_pagefile %llu\n",
                static_cast<unsigned long long>(counters.PeakPagefileUsage));
    return 0;
}
