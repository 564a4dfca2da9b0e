// The toolhelp process snapshot of the scripted machine.

#include <windows.h>
#include <tlhelp32.h>

#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "LayerState.h"
#include "layer/Machine.h"

namespace {

struct Entry {
    uint32_t pid = 0;
    uint32_t ppid = 0;
    std::wstring exeName;
};

// What the machine looked like when the snapshot was taken, and the read position.
struct Snapshot {
    std::vector<Entry> entries;
    size_t next = 0;
};

struct Snapshots {
    std::mutex mutex;
    std::map<HANDLE, Snapshot> byHandle;  // stale entries go when the next snapshot is taken
};

Snapshots& snapshots() {
    static Snapshots s;
    return s;
}

std::wstring ExeName(const std::string& utf8Path) {
    const size_t separator = utf8Path.find_last_of("\\/");
    return layer::Utf8ToWide(separator == std::string::npos ? utf8Path
                                                            : utf8Path.substr(separator + 1));
}

bool IsSnapshot(HANDLE handle) {
    uint64_t payload = 0;
    return layer::LookupHandle(handle, "snapshot", &payload);
}

BOOL Fail(DWORD error) {
    layer::FailWith(error);
    return FALSE;
}

BOOL NextEntry(HANDLE handle, LPPROCESSENTRY32W record, const char* call, bool first) {
    DWORD error = 0;
    if (!IsSnapshot(handle)) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (layer::ShouldFail(call, &error)) {
        return Fail(error);
    }
    if (record->dwSize < sizeof(PROCESSENTRY32W)) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);  // Wine's code; Windows documents none
    }
    std::lock_guard<std::mutex> lock(snapshots().mutex);
    Snapshot& snapshot = snapshots().byHandle[handle];
    if (first) {
        snapshot.next = 0;
    }
    if (snapshot.next >= snapshot.entries.size()) {
        return Fail(ERROR_NO_MORE_FILES);
    }
    const Entry& entry = snapshot.entries[snapshot.next++];
    const DWORD size = record->dwSize;
    std::memset(record, 0, sizeof(*record));
    record->dwSize = size;
    record->th32ProcessID = entry.pid;
    record->th32ParentProcessID = entry.ppid;
    record->cntThreads = 1;
    record->pcPriClassBase = 8;
    for (size_t i = 0; i < entry.exeName.size() && i + 1 < MAX_PATH; ++i) {
        const uint32_t unit = static_cast<uint32_t>(entry.exeName[i]);
        record->szExeFile[i] = static_cast<uint16_t>(unit <= 0xFFFF ? unit : '?');
    }
    return TRUE;
}

}  // namespace

HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD) {
    DWORD error = 0;
    if (layer::ShouldFail("CreateToolhelp32Snapshot", &error)) {
        layer::FailWith(error);
        return INVALID_HANDLE_VALUE;
    }
    Snapshot snapshot;
    if (flags & TH32CS_SNAPPROCESS) {
        for (const layer::Process& process : layer::machine().processes) {
            if (process.inSnapshot) {
                snapshot.entries.push_back({process.pid, process.ppid, ExeName(process.imagePath)});
            }
        }
    }
    const HANDLE handle = layer::NewHandle("snapshot", 0);
    std::lock_guard<std::mutex> lock(snapshots().mutex);
    for (auto it = snapshots().byHandle.begin(); it != snapshots().byHandle.end();) {
        it = IsSnapshot(it->first) ? std::next(it) : snapshots().byHandle.erase(it);
    }
    snapshots().byHandle[handle] = std::move(snapshot);
    return handle;
}

BOOL Process32FirstW(HANDLE snapshot, LPPROCESSENTRY32W entry) {
    return NextEntry(snapshot, entry, "Process32FirstW", true);
}

BOOL Process32NextW(HANDLE snapshot, LPPROCESSENTRY32W entry) {
    return NextEntry(snapshot, entry, "Process32NextW", false);
}
