#include "ProcessUsage.h"

#include <psapi.h>

#include <cstring>
#include <vector>

namespace acceptance {

namespace {

typedef LONG(WINAPI* QuerySystemInformationFn)(ULONG, PVOID, ULONG, PULONG);

// SYSTEM_HANDLE_TABLE_ENTRY_INFO_EX, one per open handle in the system.
struct HandleEntry {
    PVOID object;
    ULONG_PTR processId;
    ULONG_PTR handle;
    ULONG grantedAccess;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG attributes;
    ULONG reserved;
};

}  // namespace

DWORD HandlesInSystemList() {
    constexpr ULONG kSystemExtendedHandleInformation = 64;
    const auto query = reinterpret_cast<QuerySystemInformationFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    std::vector<char> buffer(1 << 20);
    ULONG needed = 0;
    while (query(kSystemExtendedHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()),
                 &needed) < 0) {
        if (buffer.size() >= (64u << 20)) {
            return 0;
        }
        buffer.resize(buffer.size() * 2);
    }
    ULONG_PTR count = 0;
    std::memcpy(&count, buffer.data(), sizeof(count));
    const HandleEntry* entries =
        reinterpret_cast<const HandleEntry*>(buffer.data() + 2 * sizeof(ULONG_PTR));
    DWORD ours = 0;
    for (ULONG_PTR i = 0; i < count; ++i) {
        ours += entries[i].processId == GetCurrentProcessId() ? 1 : 0;
    }
    return ours;
}

SIZE_T CommittedPrivateBytes() {
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION region = {};
    for (const char* address = nullptr;
         VirtualQuery(address, &region, sizeof(region)) == sizeof(region);
         address = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) {
            total += region.RegionSize;
        }
    }
    return total;
}

DWORD ReportedHandleCount() {
    DWORD count = 0;
    return GetProcessHandleCount(GetCurrentProcess(), &count) ? count : 0;
}

SIZE_T ReportedPrivateUsage() {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    return GetProcessMemoryInfo(GetCurrentProcess(),
                                reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                sizeof(counters))
               ? counters.PrivateUsage
               : 0;
}

Usage MeasureUsage() {
    Usage usage;
    usage.handles = ReportedHandleCount();
    if (usage.handles == 0) {
        usage.handles = HandlesInSystemList();
    }
    usage.privateBytes = ReportedPrivateUsage();
    if (usage.privateBytes == 0) {
        usage.privateBytes = CommittedPrivateBytes();
    }
    return usage;
}

}  // namespace acceptance
