// kernel32 basics of the scripted machine: errors, handles, heaps, time.

#include <windows.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "LayerState.h"
#include "layer/Machine.h"

namespace {

thread_local DWORD t_lastError = 0;

const HANDLE kProcessHeap = reinterpret_cast<HANDLE>(0x7E0000);

// The module passes HeapAlloc and HeapFree flags 0 and LocalAlloc LPTR; other flags
// make Windows zero, serialise or move a block differently, so they are refused.
// A block Windows does not zero holds what was there before: here this pattern, so
// that code that counts on zeroes it never asked for reads garbage.
constexpr unsigned char kNotZeroed = 0xCD;

void* Allocate(SIZE_T bytes, bool zeroed) {
    const size_t size = bytes != 0 ? bytes : 1;
    void* memory = std::malloc(size);
    if (memory != nullptr) {
        std::memset(memory, zeroed ? 0 : kNotZeroed, size);
    }
    return memory;
}

// Live blocks of the process heap and of LocalAlloc, to catch foreign or double frees.
struct Blocks {
    std::mutex mutex;
    std::set<void*> heap;
    std::set<void*> local;
};

Blocks& blocks() {
    static Blocks b;
    return b;
}

uint64_t ToCount(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FILETIME ToFileTime(uint64_t count) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(count & 0xFFFFFFFFu);
    time.dwHighDateTime = static_cast<DWORD>(count >> 32);
    return time;
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void CivilFromDays(int64_t days, int64_t* year, unsigned* month, unsigned* day) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *day = doy - (153 * mp + 2) / 5 + 1;
    *month = mp < 10 ? mp + 3 : mp - 9;
    *year = static_cast<int64_t>(yoe) + era * 400 + (*month <= 2 ? 1 : 0);
}

}  // namespace

namespace layer {

void FailWith(DWORD error) { t_lastError = error; }

}  // namespace layer

DWORD GetLastError() { return t_lastError; }

void SetLastError(DWORD error) { t_lastError = error; }

BOOL CloseHandle(HANDLE handle) {
    if (!layer::CloseLayerHandle(handle)) {
        t_lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    return TRUE;
}

HANDLE GetProcessHeap() { return kProcessHeap; }

LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    if (flags != 0) {
        layer::BadCall("HeapAlloc", "flags " + layer::Hex(flags));
    }
    DWORD error = 0;
    if (heap != kProcessHeap || layer::ShouldFail("HeapAlloc", &error)) {
        t_lastError = error != 0 ? error : ERROR_INVALID_HANDLE;
        return nullptr;
    }
    void* memory = Allocate(bytes, (flags & HEAP_ZERO_MEMORY) != 0);
    std::lock_guard<std::mutex> lock(blocks().mutex);
    blocks().heap.insert(memory);
    layer::Acquire("heap");
    return memory;
}

BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID memory) {
    if (flags != 0) {
        layer::BadCall("HeapFree", "flags " + layer::Hex(flags));
    }
    if (memory == nullptr) {
        return TRUE;
    }
    std::lock_guard<std::mutex> lock(blocks().mutex);
    if (heap != kProcessHeap || blocks().heap.erase(memory) == 0) {
        layer::BadRelease("HeapFree");
        t_lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    std::free(memory);
    layer::Release("heap");
    return TRUE;
}

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
    if (flags != LPTR) {
        layer::BadCall("LocalAlloc", "flags " + layer::Hex(flags));
        if ((flags & LMEM_MOVEABLE) != 0) {
            t_lastError = ERROR_INVALID_PARAMETER;  // a handle to lock, not a pointer
            return nullptr;
        }
    }
    DWORD error = 0;
    if (layer::ShouldFail("LocalAlloc", &error)) {
        t_lastError = error;
        return nullptr;
    }
    void* memory = Allocate(bytes, (flags & LMEM_ZEROINIT) != 0);
    std::lock_guard<std::mutex> lock(blocks().mutex);
    blocks().local.insert(memory);
    layer::Acquire("local");
    return memory;
}

HLOCAL LocalFree(HLOCAL memory) {
    if (memory == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(blocks().mutex);
    if (blocks().local.erase(memory) == 0) {
        layer::BadRelease("LocalFree");
        t_lastError = ERROR_INVALID_HANDLE;
        return memory;
    }
    std::free(memory);
    layer::Release("local");
    return nullptr;
}

void GetSystemTimeAsFileTime(LPFILETIME now) { *now = ToFileTime(layer::machine().systemTime); }

void GetSystemInfo(LPSYSTEM_INFO info) {
    std::memset(info, 0, sizeof(*info));
    info->dwPageSize = 4096;
    info->dwNumberOfProcessors = layer::machine().processorCount;
    info->dwAllocationGranularity = 65536;
}

BOOL FileTimeToLocalFileTime(const FILETIME* utc, LPFILETIME local) {
    DWORD error = 0;
    if (layer::ShouldFail("FileTimeToLocalFileTime", &error)) {
        t_lastError = error;
        return FALSE;
    }
    const int64_t offset = layer::machine().timeZoneOffsetSeconds * 10000000LL;
    *local = ToFileTime(static_cast<uint64_t>(static_cast<int64_t>(ToCount(*utc)) + offset));
    return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME* time, LPSYSTEMTIME fields) {
    DWORD error = 0;
    const uint64_t count = ToCount(*time);
    if (layer::ShouldFail("FileTimeToSystemTime", &error) || count >= 0x8000000000000000ULL) {
        t_lastError = error != 0 ? error : ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    const int64_t seconds = static_cast<int64_t>(count / 10000000ULL) - 11644473600LL;
    int64_t days = seconds / 86400;
    int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    int64_t year = 0;
    unsigned month = 0;
    unsigned day = 0;
    CivilFromDays(days, &year, &month, &day);
    fields->wYear = static_cast<WORD>(year);
    fields->wMonth = static_cast<WORD>(month);
    fields->wDay = static_cast<WORD>(day);
    fields->wDayOfWeek = static_cast<WORD>(((days % 7) + 11) % 7);  // 1970-01-01 was Thursday
    fields->wHour = static_cast<WORD>(rest / 3600);
    fields->wMinute = static_cast<WORD>(rest / 60 % 60);
    fields->wSecond = static_cast<WORD>(rest % 60);
    fields->wMilliseconds = static_cast<WORD>(count / 10000ULL % 1000ULL);
    return TRUE;
}

BOOL GetFileTime(HANDLE file, LPFILETIME creation, LPFILETIME lastAccess, LPFILETIME lastWrite) {
    uint64_t payload = 0;
    DWORD error = 0;
    if (!layer::LookupHandle(file, "file", &payload)) {
        t_lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (layer::ShouldFail("GetFileTime", &error)) {
        t_lastError = error;
        return FALSE;
    }
    const layer::File* model = reinterpret_cast<const layer::File*>(payload);
    if (creation != nullptr) *creation = ToFileTime(model->creationTime);
    if (lastAccess != nullptr) *lastAccess = ToFileTime(model->lastWriteTime);
    if (lastWrite != nullptr) *lastWrite = ToFileTime(model->lastWriteTime);
    return TRUE;
}

int lstrcmpA(LPCSTR a, LPCSTR b) {
    const int result = std::strcmp(a ? a : "", b ? b : "");
    return result < 0 ? -1 : result > 0 ? 1 : 0;
}

int64_t _time64(int64_t* out) {
    const int64_t now = static_cast<int64_t>(
        (layer::machine().systemTime - layer::kUnixEpochAsFileTime) / 10000000ULL);
    if (out != nullptr) {
        *out = now;
    }
    return now;
}

int swprintf_s(wchar_t* buffer, size_t count, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const int written = std::vswprintf(buffer, count, format, args);
    va_end(args);
    if (written < 0 && count > 0) {
        buffer[0] = L'\0';  // the secure CRT empties the buffer on overflow
    }
    return written;
}
