#pragma once

// Fault injection, resource counters and the journal of the scripted layer.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "layer/WinTypes.h"

namespace layer {

// --- Faults: the nth use (1-based) of a call fails with the given error code.
void FailCall(const std::string& call, int nth, DWORD error);
// Every use of the call from the nth on fails.
void FailCallFrom(const std::string& call, int nth, DWORD error);
// For implementations: counts one use and tells whether it must fail (and with what).
// Pass a literal where you can: its address finds the call's plan fast.
bool ShouldFail(const char* call, DWORD* error);
bool ShouldFail(const std::string& call, DWORD* error);
int CallCount(const std::string& call);
// Runs action on the nth use of a call (0: every use), before the call does its
// work; lets a test act at an exact point of a pass (e.g. Stop during a pause).
// "msleep" and "EnumProcesses" count as calls too.
void OnCall(const std::string& call, int nth, std::function<void()> action);

// --- For explorers that draw faults over every scripted call.
// Every call consulted so far ("msleep" and the other counted-only names included),
// with its number of uses.
std::map<std::string, int> CallCounts();
// While on, every consulted use journals "call <name> #<use>" before its OnCall
// actions run, so failures and log records can be placed against the calls.
void TraceCalls(bool on);
// While not 0, every consulted call first sets the thread's last error to this code,
// as a Windows call that succeeds may: a record that then logs it read a stale
// GetLastError instead of the code of a call that failed.
void ClobberLastError(DWORD code);

// --- Resources that must balance: "handle", "heap", "local", "certContext", ...
void Acquire(const std::string& kind);
void Release(const std::string& kind);
// A release of something that was never acquired (a bad handle, a double free).
void BadRelease(const std::string& what);
// Kinds whose acquisitions and releases differ, as "kind: +n" lines; "" when balanced.
std::string Outstanding();
const std::vector<std::string>& BadReleases();

// --- Calls the machine refuses because Windows would treat them differently from
// what the double models (flags, encodings, types the module must not pass). Each
// is recorded as "<call>: <why>" and the fixture reports it.
void BadCall(const std::string& call, const std::string& why);
std::vector<std::string> BadCalls();
// Returns the refused calls and forgets them: for a test that makes them on purpose.
std::vector<std::string> TakeBadCalls();
// "0x" and the value in hexadecimal, for the reasons of refused calls.
std::string Hex(uint64_t value);

// Handles of the scripted machine; kind is "process", "file", "snapshot", ...
HANDLE NewHandle(const std::string& kind, uint64_t payload);
// Payload of a live handle of that kind, or false.
bool LookupHandle(HANDLE handle, const std::string& kind, uint64_t* payload);
bool CloseLayerHandle(HANDLE handle);

// --- Journal: log records and pauses in the order they happened.
struct LogRecord {
    int level = 0;
    std::string source;  // "" for WriteLogMessage
    int line = 0;        // 0 for WriteLogMessage
    std::string text;
};
std::vector<LogRecord> LogRecords();
std::vector<uint64_t> Sleeps();
// One line per event: "log <level> <source>:<line> <text>", "log <level> <text>"
// for plain texts, "sleep <ms>".
std::vector<std::string> Journal();
void Note(const std::string& event);
// Blocks until the journal holds event at least count times; false after timeoutMs.
bool WaitForJournal(const std::string& event, int count, int timeoutMs);
// Empties the journal, the log and sleep records and the sent messages, and keeps
// the machine, the faults, the counters and the handles: lets a benchmark run pass
// after pass without its records growing.
void ClearRecords();

// --- The network channel double.
std::vector<std::pair<std::string, std::string>> SentMessages();
void SetSendResult(bool result);

// --- The thread base double: the next n startThread() calls fail.
void FailStartThread(int count);

}  // namespace layer
