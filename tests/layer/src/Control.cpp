#include "layer/Control.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sstream>

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

struct ControlState {
    std::mutex mutex;
    std::condition_variable journalGrew;
    std::map<std::string, FaultPlan> faults;
    std::map<std::string, int64_t> balance;
    std::vector<std::string> badReleases;
    std::map<uintptr_t, std::pair<std::string, uint64_t>> handles;
    uintptr_t nextHandle = 0x1000;
    std::vector<std::string> journal;
    std::vector<LogRecord> logs;
    std::vector<uint64_t> sleeps;
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
    s.balance.clear();
    s.badReleases.clear();
    s.handles.clear();
    s.nextHandle = 0x1000;
    s.journal.clear();
    s.logs.clear();
    s.sleeps.clear();
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

bool ShouldFail(const std::string& call, DWORD* error) {
    std::vector<std::function<void()>> due;
    int use = 0;
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        FaultPlan& plan = state().faults[call];
        use = ++plan.uses;
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
    FaultPlan& plan = state().faults[call];
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

HANDLE NewHandle(const std::string& kind, uint64_t payload) {
    ControlState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    const uintptr_t value = s.nextHandle;
    s.nextHandle += 4;
    s.handles[value] = {kind, payload};
    ++s.balance["handle:" + kind];
    return reinterpret_cast<HANDLE>(value);
}

bool LookupHandle(HANDLE handle, const std::string& kind, uint64_t* payload) {
    ControlState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == s.handles.end() || it->second.first != kind) {
        return false;
    }
    *payload = it->second.second;
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
    --s.balance["handle:" + it->second.first];
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
    return state().journalGrew.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return std::count(state().journal.begin(), state().journal.end(), event) >= count;
    });
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
