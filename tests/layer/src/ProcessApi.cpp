// Process, token and psapi calls of the scripted machine.

#include <windows.h>
#include <psapi.h>

#include <cstring>
#include <string>

#include "LayerState.h"
#include "layer/Machine.h"

namespace {

constexpr DWORD kQueryRights = PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION;

// The account SID of the model: S-1-5-21-1-2-3-<pid>. Its last sub-authority names
// the process whose account LookupAccountSidW reports.
constexpr BYTE kSidSubAuthorities = 5;
constexpr DWORD kSidBytes = 8 + 4 * kSidSubAuthorities;

FILETIME ToFileTime(uint64_t count) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(count & 0xFFFFFFFFu);
    time.dwHighDateTime = static_cast<DWORD>(count >> 32);
    return time;
}

uint64_t Payload(uint32_t pid, DWORD access) { return (static_cast<uint64_t>(access) << 32) | pid; }

// The handle's pid when it is a live handle of that kind, granted at least one of
// anyOf and all of allOf, and the call is not scripted to fail; 0 with the last
// error set otherwise.
uint32_t Granted(HANDLE handle, const char* kind, DWORD anyOf, DWORD allOf, const char* call) {
    uint64_t payload = 0;
    DWORD error = 0;
    if (!layer::LookupHandle(handle, kind, &payload)) {
        error = ERROR_INVALID_HANDLE;
    } else {
        const DWORD access = static_cast<DWORD>(payload >> 32);
        if ((access & anyOf) == 0 || (access & allOf) != allOf) {
            error = ERROR_ACCESS_DENIED;
        } else if (!layer::ShouldFail(call, &error)) {
            return static_cast<uint32_t>(payload);
        }
    }
    layer::FailWith(error);
    return 0;
}

// The process behind an open process handle; a process that left the machine
// after it was opened reads as an invalid handle.
layer::Process* ProcessOf(HANDLE handle, DWORD allOf, const char* call) {
    const uint32_t pid = Granted(handle, "process", kQueryRights, allOf, call);
    if (pid == 0) {
        return nullptr;
    }
    layer::Process* process = layer::machine().FindProcess(pid);
    if (process == nullptr) {
        layer::FailWith(ERROR_INVALID_HANDLE);
    }
    return process;
}

BOOL Fail(DWORD error) {
    layer::FailWith(error);
    return FALSE;
}

}  // namespace

HANDLE OpenProcess(DWORD desiredAccess, BOOL, DWORD processId) {
    DWORD error = 0;
    const layer::Process* process = layer::machine().FindProcess(processId);
    if (!layer::ShouldFail("OpenProcess", &error)) {
        if (processId == 0 || process == nullptr) {
            error = ERROR_INVALID_PARAMETER;  // the idle process and unknown ids alike
        } else if (process->openError != 0) {
            error = process->openError;
        } else {
            return layer::NewHandle("process", Payload(processId, desiredAccess));
        }
    }
    layer::FailWith(error);
    return nullptr;
}

BOOL GetProcessTimes(HANDLE process, LPFILETIME creation, LPFILETIME exit, LPFILETIME kernel,
                     LPFILETIME user) {
    const layer::Process* model = ProcessOf(process, 0, "GetProcessTimes");
    if (model == nullptr) {
        return FALSE;
    }
    *creation = ToFileTime(model->creationTime);
    *exit = ToFileTime(0);
    *kernel = ToFileTime(model->kernelTime);
    *user = ToFileTime(model->userTime);
    return TRUE;
}

BOOL GetProcessIoCounters(HANDLE process, PIO_COUNTERS counters) {
    const layer::Process* model = ProcessOf(process, 0, "GetProcessIoCounters");
    if (model == nullptr) {
        return FALSE;
    }
    std::memset(counters, 0, sizeof(*counters));
    counters->ReadTransferCount = model->readBytes;
    counters->WriteTransferCount = model->writeBytes;
    return TRUE;
}

BOOL GetProcessMemoryInfo(HANDLE process, PPROCESS_MEMORY_COUNTERS counters, DWORD cb) {
    const layer::Process* model = ProcessOf(process, PROCESS_VM_READ, "GetProcessMemoryInfo");
    if (model == nullptr) {
        return FALSE;
    }
    if (cb < sizeof(PROCESS_MEMORY_COUNTERS)) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memset(counters, 0, sizeof(*counters));
    counters->cb = sizeof(*counters);
    counters->PeakWorkingSetSize = model->workingSetBytes;
    counters->WorkingSetSize = model->workingSetBytes;
    return TRUE;
}

BOOL OpenProcessToken(HANDLE process, DWORD desiredAccess, PHANDLE token) {
    const layer::Process* model = ProcessOf(process, 0, "OpenProcessToken");
    if (model == nullptr) {
        return FALSE;
    }
    *token = layer::NewHandle("token", Payload(model->pid, desiredAccess));
    return TRUE;
}

BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID info, DWORD length,
                         PDWORD returnLength) {
    const uint32_t pid = Granted(token, "token", TOKEN_QUERY, 0, "GetTokenInformation");
    if (pid == 0) {
        return FALSE;
    }
    if (infoClass != TokenUser || returnLength == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    *returnLength = sizeof(TOKEN_USER) + kSidBytes;
    if (info == nullptr || length < *returnLength) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    BYTE* sid = static_cast<BYTE*>(info) + sizeof(TOKEN_USER);
    const BYTE header[8] = {1, kSidSubAuthorities, 0, 0, 0, 0, 0, 5};
    const DWORD subAuthorities[kSidSubAuthorities] = {21, 1, 2, 3, pid};
    std::memcpy(sid, header, sizeof(header));
    std::memcpy(sid + sizeof(header), subAuthorities, sizeof(subAuthorities));
    TOKEN_USER user = {};
    user.User.Sid = sid;
    std::memcpy(info, &user, sizeof(user));
    return TRUE;
}

BOOL LookupAccountSidW(LPCWSTR systemName, PSID sid, LPWSTR name, LPDWORD nameChars, LPWSTR domain,
                       LPDWORD domainChars, PSID_NAME_USE use) {
    DWORD error = 0;
    if (layer::ShouldFail("LookupAccountSidW", &error)) {
        return Fail(error);
    }
    BYTE header[8] = {};
    if (sid != nullptr) {
        std::memcpy(header, sid, sizeof(header));
    }
    if ((systemName != nullptr && *systemName != L'\0') || header[0] != 1 || header[1] == 0) {
        return Fail(ERROR_INVALID_PARAMETER);  // only the local machine's SIDs are known
    }
    DWORD rid = 0;
    std::memcpy(&rid, static_cast<const BYTE*>(sid) + sizeof(header) + 4 * (header[1] - 1), 4);
    const layer::Process* process = layer::machine().FindProcess(rid);
    if (process == nullptr) {
        return Fail(ERROR_NONE_MAPPED);
    }
    const std::wstring account = layer::Utf8ToWide(process->user);
    const std::wstring domainName = layer::Utf8ToWide(process->domain);
    if (name == nullptr || domain == nullptr || *nameChars <= account.size() ||
        *domainChars <= domainName.size()) {
        *nameChars = static_cast<DWORD>(account.size() + 1);
        *domainChars = static_cast<DWORD>(domainName.size() + 1);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(name, account.c_str(), (account.size() + 1) * sizeof(wchar_t));
    std::memcpy(domain, domainName.c_str(), (domainName.size() + 1) * sizeof(wchar_t));
    *nameChars = static_cast<DWORD>(account.size());
    *domainChars = static_cast<DWORD>(domainName.size());
    *use = SidTypeUser;
    return TRUE;
}
