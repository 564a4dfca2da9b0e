#include "layer/Control.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstring>
#include <sstream>
#include <unordered_map>

#include "LayerState.h"

namespace layer {

namespace {

struct FaultPlan {
    int uses = 0;
    std::map<int, DWORD> once;  // use number -> error
    int from = 0;               // 0: none
    DWORD fromError = 0;
    std::map<int, std::vector<std::function<void()>>> actions;  // use number (0: all)
};

// A live handle: its kind, its payload and the balance it counts in.
struct HandleEntry {
    std::string kind;
    uint64_t payload = 0;
    int64_t* balance = nullptr;
};

// The layer is called a dozen times per process of a pass: its bookkeeping must not
// cost more than the module's own work. Plans and balances are found by the name's
// address first (a literal at every call site), checked against the name itself.
struct KnownPlan {
    const std::string* name = nullptr;
    FaultPlan* plan = nullptr;
};

struct ControlState {
    std::mutex mutex;
    std::condition_variable journalGrew;
    std::map<std::string, FaultPlan, std::less<>> faults;
    std::unordered_map<const char*, KnownPlan> plansByAddress;
    std::map<std::string, int64_t> balance;
    std::map<std::string, int64_t*, std::less<>> handleBalances;  // kind -> its balance
    std::vector<std::string> badReleases;
    std::vector<std::string> badCalls;
    std::unordered_map<uintptr_t, HandleEntry> handles;
    uintptr_t nextHandle = 0x1000;
    std::vector<std::string> journal;
    std::vector<LogRecord> logs;
    std::vector<uint64_t> sleeps;
    bool traceCalls = false;
    DWORD clobberLastError = 0;
};

ControlState& state() {
    static ControlState s;
    return s;
}

}  // namespace

void ResetControl() {
    ControlState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.faults.clear();
    s.plansByAddress.clear();
    s.balance.clear();
    s.handleBalances.clear();
    s.badReleases.clear();
    s.badCalls.clear();
    s.handles.clear();
    s.nextHandle = 0x1000;
    s.journal.clear();
    s.logs.clear();
    s.sleeps.clear();
    s.traceCalls = false;
    s.clobberLastError = 0;
}

void FailCall(const std::string& call, int nth, DWORD error) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().faults[call].once[nth] = error;
}

void FailCallFrom(const std::string& call, int nth, DWORD error) {
    std::lock_guard<std::mutex> lock(state().mutex);
    FaultPlan& plan = state().faults[call];
    plan.from = nth;
    plan.fromError = error;
}

void OnCall(const std::string& call, int nth, std::function<void()> action) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().faults[call].actions[nth].push_back(std::move(action));
}

namespace {

// The plan of a call, made on its first use.
FaultPlan& PlanOf(const char* call, bool literal) {
    ControlState& s = state();
    auto known = literal ? s.plansByAddress.find(call) : s.plansByAddress.end();
    if (known != s.plansByAddress.end() && std::strcmp(known->second.name->c_str(), call) == 0) {
        return *known->second.plan;
    }
    auto it = s.faults.find(call);
    if (it == s.faults.end()) {
        it = s.faults.emplace(call, FaultPlan()).first;
    }
    if (literal) {
        s.plansByAddress[call] = KnownPlan{&it->first, &it->second};
    }
    return it->second;
}

bool Decide(const FaultPlan& plan, int use, DWORD* error) {
    auto it = plan.once.find(use);
    if (it != plan.once.end()) {
        *error = it->second;
        return true;
    }
    if (plan.from != 0 && use >= plan.from) {
        *error = plan.fromError;
        return true;
    }
    return false;
}

// literal: the name is a literal of the caller, whose address may stand for it.
bool Consult(const char* call, bool literal, DWORD* error) {
    std::vector<std::function<void()>> due;
    int use = 0;
    {
        ControlState& s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        FaultPlan& plan = PlanOf(call, literal);
        use = ++plan.uses;
        if (s.clobberLastError != 0) {
            FailWith(s.clobberLastError);
        }
        if (s.traceCalls) {  // nobody waits for these: no wake-up
            s.journal.push_back(std::string("call ") + call + " #" + std::to_string(use));
        }
        if (plan.actions.empty()) {
            return Decide(plan, use, error);
        }
        for (int key : {0, use}) {
            auto it = plan.actions.find(key);
            if (it != plan.actions.end()) {
                due.insert(due.end(), it->second.begin(), it->second.end());
            }
        }
    }
    for (const auto& action : due) {
        action();  // outside the lock: actions may call into the layer
    }
    std::lock_guard<std::mutex> lock(state().mutex);
    return Decide(PlanOf(call, literal), use, error);
}

}  // namespace

bool ShouldFail(const char* call, DWORD* error) { return Consult(call, true, error); }

bool ShouldFail(const std::string& call, DWORD* error) {
    return Consult(call.c_str(), false, error);
}

std::map<std::string, int> CallCounts() {
    std::lock_guard<std::mutex> lock(state().mutex);
    std::map<std::string, int> counts;
    for (const auto& entry : state().faults) {
        if (entry.second.uses > 0) {
            counts[entry.first] = entry.second.uses;
        }
    }
    return counts;
}

void TraceCalls(bool on) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().traceCalls = on;
}

void ClobberLastError(DWORD code) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().clobberLastError = code;
}

int CallCount(const std::string& call) {
    std::lock_guard<std::mutex> lock(state().mutex);
    auto it = state().faults.find(call);
    return it == state().faults.end() ? 0 : it->second.uses;
}

void Acquire(const std::string& kind) {
    std::lock_guard<std::mutex> lock(state().mutex);
    ++state().balance[kind];
}

void Release(const std::string& kind) {
    std::lock_guard<std::mutex> lock(state().mutex);
    --state().balance[kind];
}

void BadRelease(const std::string& what) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().badReleases.push_back(what);
}

std::string Outstanding() {
    std::lock_guard<std::mutex> lock(state().mutex);
    std::ostringstream out;
    for (const auto& entry : state().balance) {
        if (entry.second != 0) {
            out << entry.first << ": " << (entry.second > 0 ? "+" : "") << entry.second << "\n";
        }
    }
    return out.str();
}

const std::vector<std::string>& BadReleases() { return state().badReleases; }

void BadCall(const std::string& call, const std::string& why) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().badCalls.push_back(call + ": " + why);
}

std::vector<std::string> BadCalls() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().badCalls;
}

std::vector<std::string> TakeBadCalls() {
    std::lock_guard<std::mutex> lock(state().mutex);
    std::vector<std::string> taken;
    taken.swap(state().badCalls);
    return taken;
}

std::string Hex(uint64_t value) {
    std::ostringstream text;
    text << "0x" << std::hex << value;
    return text.str();
}

HANDLE NewHandle(const std::string& kind, uint64_t payload) {
    ControlState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    const uintptr_t value = s.nextHandle;
    s.nextHandle += 4;
    auto known = s.handleBalances.find(kind);
    if (known == s.handleBalances.end()) {
        known = s.handleBalances.emplace(kind, &s.balance["handle:" + kind]).first;
    }
    ++*known->second;
    s.handles[value] = HandleEntry{kind, payload, known->second};
    return reinterpret_cast<HANDLE>(value);
}

bool LookupHandle(HANDLE handle, const std::string& kind, uint64_t* payload) {
    ControlState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == s.handles.end() || it->second.kind != kind) {
        return false;
    }
    *payload = it->second.payload;
    return true;
}

bool CloseLayerHandle(HANDLE handle) {
    ControlState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == s.handles.end()) {
        std::ostringstream what;
        what << "CloseHandle(" << handle << ")";
        s.badReleases.push_back(what.str());
        return false;
    }
    --*it->second.balance;
    s.handles.erase(it);
    return true;
}

std::vector<LogRecord> LogRecords() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().logs;
}

std::vector<uint64_t> Sleeps() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().sleeps;
}

std::vector<std::string> Journal() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().journal;
}

void Note(const std::string& event) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().journal.push_back(event);
    state().journalGrew.notify_all();
}

bool WaitForJournal(const std::string& event, int count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(state().mutex);
    // Each wake-up looks at the new entries only: a long pass wakes the waiter once
    // per journal entry.
    size_t scanned = 0;
    int seen = 0;
    return state().journalGrew.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        const std::vector<std::string>& journal = state().journal;
        if (journal.size() < scanned) {  // cleared meanwhile
            scanned = 0;
            seen = 0;
        }
        seen += static_cast<int>(std::count(journal.begin() + scanned, journal.end(), event));
        scanned = journal.size();
        return seen >= count;
    });
}

void ClearRecords() {
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        state().journal.clear();
        state().logs.clear();
        state().sleeps.clear();
    }
    ClearSentMessages();
}

void RecordLog(const LogRecord& record) {
    std::ostringstream event;
    event << "log " << record.level << " ";
    if (!record.source.empty()) {
        event << record.source << ":" << record.line << " ";
    }
    event << record.text;
    std::lock_guard<std::mutex> lock(state().mutex);
    state().logs.push_back(record);
    state().journal.push_back(event.str());
    state().journalGrew.notify_all();
}

void RecordSleep(uint64_t milliseconds) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().sleeps.push_back(milliseconds);
    state().journal.push_back("sleep " + std::to_string(milliseconds));
    state().journalGrew.notify_all();
}

}  // namespace layer
