#include "campaign/FaultSchedule.h"

#include <cstdio>

#include "layer/Control.h"

namespace campaign {

namespace {

// Win32 and HRESULT codes the calls give on real systems.
constexpr DWORD kAccessDenied = 5;
constexpr DWORD kInvalidHandle = 6;
constexpr DWORD kNotEnoughMemory = 8;
constexpr DWORD kNoMoreFiles = 18;
constexpr DWORD kBadLength = 24;
constexpr DWORD kPathNotFound = 3;
constexpr DWORD kCrcError = 23;
constexpr DWORD kGenFailure = 31;
constexpr DWORD kSharingViolation = 32;
constexpr DWORD kLockViolation = 33;
constexpr DWORD kNotSupported = 50;
constexpr DWORD kInvalidParameter = 87;
constexpr DWORD kInsufficientBuffer = 122;
constexpr DWORD kMoreData = 234;
constexpr DWORD kPartialCopy = 299;
constexpr DWORD kNoAccess = 998;
constexpr DWORD kNoneMapped = 1332;
constexpr DWORD kResourceDataNotFound = 1812;
constexpr DWORD kResourceTypeNotFound = 1813;
constexpr DWORD kResourceNameNotFound = 1814;
constexpr DWORD kTrustFailure = 1789;
constexpr DWORD kIoDevice = 1117;
constexpr DWORD kOutOfMemory = 0x8007000E;
constexpr DWORD kCryptNotFound = 0x80092004;
constexpr DWORD kCryptNoMatch = 0x80092009;
constexpr DWORD kBadDigest = 0x80096010;
constexpr DWORD kNoSignature = 0x800B0100;
constexpr DWORD kBadSignature = 0x80090006;

const std::map<std::string, std::vector<DWORD>>& Table() {
    static const std::map<std::string, std::vector<DWORD>> table = {
        // processes, tokens, psapi
        {"OpenProcess", {kAccessDenied, kInvalidParameter}},
        {"GetProcessTimes", {kAccessDenied, kInvalidHandle}},
        {"GetProcessIoCounters", {kAccessDenied, kInvalidHandle}},
        {"GetProcessMemoryInfo", {kAccessDenied, kPartialCopy}},
        {"OpenProcessToken", {kAccessDenied, kInvalidHandle}},
        {"GetTokenInformation", {kAccessDenied, kInsufficientBuffer, kBadLength}},
        {"LookupAccountSidW", {kNoneMapped, kInsufficientBuffer, kTrustFailure}},
        // toolhelp and the utility library's process calls
        {"CreateToolhelp32Snapshot", {kNotEnoughMemory, kAccessDenied, kPartialCopy}},
        {"Process32FirstW", {kNoMoreFiles, kBadLength}},
        {"Process32NextW", {kNoMoreFiles}},
        {"EnumProcesses", {kNotEnoughMemory, kAccessDenied}},
        {"GetProcessPathW", {kAccessDenied, kPartialCopy, kGenFailure}},
        {"GetProcessCommandLineW", {kAccessDenied, kPartialCopy, kNoAccess}},
        // kernel32: heap, local memory, times, files
        {"HeapAlloc", {kNotEnoughMemory}},
        {"LocalAlloc", {kNotEnoughMemory}},
        {"FileTimeToLocalFileTime", {kInvalidParameter}},
        {"FileTimeToSystemTime", {kInvalidParameter}},
        {"GetFileTime", {kAccessDenied, kInvalidHandle, kSharingViolation}},
        {"IsWow64Process", {kInvalidHandle, kAccessDenied}},
        {"CreateFileW", {kPathNotFound, kAccessDenied, kSharingViolation}},
        {"GetFileSizeEx", {kAccessDenied, kIoDevice}},
        {"SetFilePointerEx", {kIoDevice}},
        {"ReadFile", {kLockViolation, kCrcError, kIoDevice}},
        // version
        {"VerQueryValueA", {kResourceTypeNotFound, kResourceNameNotFound, kResourceDataNotFound}},
        // crypt32; the same bytes decode the same way every time, so a decoder fails
        // for want of memory: malformed data is the machine's shape, not a fault
        {"CryptQueryObject", {kCryptNoMatch, kSharingViolation, kAccessDenied}},
        {"CryptMsgGetParam", {kOutOfMemory, kMoreData}},
        {"CertFindCertificateInStore", {kCryptNotFound, kOutOfMemory}},
        {"CertGetNameStringW", {kOutOfMemory, kInvalidParameter}},
        {"CryptDecodeObject", {kOutOfMemory}},
        {"CryptMsgVerifyCountersignatureEncodedEx", {kBadSignature, kOutOfMemory}},
        {"CertGetCertificateChain", {kOutOfMemory}},
        {"CertVerifyCertificateChainPolicy", {kOutOfMemory}},
        // wintrust answers with its verdict: a file changed after signing, or unsigned
        {"WinVerifyTrust", {kBadDigest, kNoSignature}},
        {"ImageGetCertificateHeader", {kIoDevice, kInvalidParameter}},
        // iphlpapi
        {"GetExtendedTcpTable",
         {kInsufficientBuffer, kNotSupported, kInvalidParameter, kNotEnoughMemory}},
        // counted only: a failure would change nothing, a Stop may land there
        {"GetPathName", {}},
        {"msleep", {}},
    };
    return table;
}

// splitmix64: the same sequence for a seed on every machine and library.
class Random {
  public:
    explicit Random(uint64_t seed) : m_state(seed) {}

    uint64_t Next() {
        uint64_t z = (m_state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    int Below(size_t n) { return static_cast<int>(Next() % n); }
    bool Chance(int percent) { return Below(100) < percent; }

  private:
    uint64_t m_state;
};

// The layer keeps one failure per use and one onward failure per call.
bool Clashes(const Schedule& schedule, const Fault& fault) {
    for (const Fault& other : schedule.faults) {
        if (other.call == fault.call &&
            (other.onward ? fault.onward : !fault.onward && other.nth == fault.nth)) {
            return true;
        }
    }
    return false;
}

std::string Code(DWORD error) {
    char text[16];
    std::snprintf(text, sizeof(text), error >= 0x80000000u ? "0x%08X" : "%u", error);
    return text;
}

}  // namespace

const std::vector<DWORD>* PlausibleErrors(const std::string& call) {
    auto it = Table().find(call);
    return it == Table().end() ? nullptr : &it->second;
}

bool IsTestSeam(const std::string& call) { return call == "waitForThreadFinish"; }

Schedule DrawSchedule(uint64_t seed, const std::map<std::string, int>& callCounts) {
    Schedule schedule;
    schedule.seed = seed;
    if (seed == 0) {
        return schedule;
    }
    Random random(seed);
    std::vector<std::pair<std::string, int>> failable;
    std::vector<std::pair<std::string, int>> all;
    for (const auto& entry : callCounts) {
        if (IsTestSeam(entry.first)) {
            continue;
        }
        const std::vector<DWORD>* errors = PlausibleErrors(entry.first);
        if (errors != nullptr && !errors->empty()) {
            failable.push_back(entry);
        }
        all.push_back(entry);
    }
    const int faults = failable.empty() || random.Chance(10) ? 0 : 1 + random.Below(4);
    for (int i = 0; i < faults; ++i) {
        const auto& call = failable[random.Below(failable.size())];
        const std::vector<DWORD>& errors = *PlausibleErrors(call.first);
        Fault fault;
        fault.call = call.first;
        fault.nth = 1 + random.Below(static_cast<size_t>(call.second));
        fault.onward = random.Chance(10);
        fault.error = errors[random.Below(errors.size())];
        if (!Clashes(schedule, fault)) {
            schedule.faults.push_back(fault);
        }
    }
    if (!all.empty() && (schedule.faults.empty() || random.Chance(30))) {
        const auto& call = all[random.Below(all.size())];
        schedule.stopCall = call.first;
        schedule.stopUse = 1 + random.Below(static_cast<size_t>(call.second));
    }
    if (random.Chance(5)) {
        schedule.failedStartPass = 1 + random.Below(2);
    }
    if (random.Chance(5)) {
        schedule.failedSendPass = 1 + random.Below(2);
    }
    schedule.destroyBetween = random.Chance(50);
    return schedule;
}

bool ScheduledFailure(const Schedule& schedule, const std::string& call, int use, DWORD* error) {
    const Fault* onward = nullptr;
    for (const Fault& fault : schedule.faults) {
        if (fault.call != call) {
            continue;
        }
        if (!fault.onward && fault.nth == use) {
            *error = fault.error;
            return true;
        }
        if (fault.onward && use >= fault.nth) {
            onward = &fault;
        }
    }
    if (onward != nullptr) {
        *error = onward->error;
    }
    return onward != nullptr;
}

void InstallFaults(const Schedule& schedule) {
    for (const Fault& fault : schedule.faults) {
        if (fault.onward) {
            layer::FailCallFrom(fault.call, fault.nth, fault.error);
        } else {
            layer::FailCall(fault.call, fault.nth, fault.error);
        }
    }
}

std::string Describe(const Schedule& schedule) {
    std::string text;
    for (const Fault& fault : schedule.faults) {
        text += fault.call + "#" + std::to_string(fault.nth) + (fault.onward ? ".." : "") + "=" +
                Code(fault.error) + " ";
    }
    if (!schedule.stopCall.empty()) {
        text += "stop@" + schedule.stopCall + "#" + std::to_string(schedule.stopUse) + " ";
    }
    if (schedule.failedStartPass != 0) {
        text += "no-thread-in-pass-" + std::to_string(schedule.failedStartPass) + " ";
    }
    if (schedule.failedSendPass != 0) {
        text += "send-refused-in-pass-" + std::to_string(schedule.failedSendPass) + " ";
    }
    if (schedule.destroyBetween) {
        text += "new-object-for-pass-2 ";
    }
    if (text.empty()) {
        return "no faults";
    }
    text.pop_back();
    return text;
}

}  // namespace campaign
