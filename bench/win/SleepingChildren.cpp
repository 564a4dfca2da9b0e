#include "SleepingChildren.h"

#include <cstdio>

namespace passcost {

namespace {

// A child that has not said it runs by then is counted as not started.
constexpr DWORD kReadyTimeoutMs = 300000;
constexpr DWORD kEndTimeoutMs = 60000;

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

}  // namespace

CSleepingChildren::CSleepingChildren(size_t count, size_t commandLineChars) {
    m_semaphoreName = L"Local\\korva-pass-cost-" + std::to_wstring(GetCurrentProcessId());
    m_ready = ryn::UniqueHandle(
        CreateSemaphoreW(nullptr, 0, static_cast<LONG>(count + 1), m_semaphoreName.c_str()));
    wchar_t program[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
    if (!m_ready.valid() || length == 0 || length >= MAX_PATH) {
        return;
    }
    for (size_t index = 0; index < count; ++index) {
        std::wstring commandLine = CommandLine(program, index, commandLineChars);
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        if (!CreateProcessW(program, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                            &startup, &info)) {
            std::fprintf(stderr, "pass-cost: child %zu did not start (error %lu)\n", index,
                         GetLastError());
            break;
        }
        CloseHandle(info.hThread);
        m_children.emplace_back(info.hProcess);
    }
    const ULONGLONG deadline = GetTickCount64() + kReadyTimeoutMs;
    while (m_started < m_children.size()) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline ||
            WaitForSingleObject(m_ready.get(), static_cast<DWORD>(deadline - now)) !=
                WAIT_OBJECT_0) {
            break;
        }
        ++m_started;
    }
}

CSleepingChildren::~CSleepingChildren() {
    for (const ryn::UniqueHandle& child : m_children) {
        TerminateProcess(child.get(), 0);
    }
    for (const ryn::UniqueHandle& child : m_children) {
        WaitForSingleObject(child.get(), kEndTimeoutMs);
    }
}

// Distinct and long: the index, then a filler up to the wanted length.
std::wstring CSleepingChildren::CommandLine(const std::wstring& program, size_t index,
                                            size_t chars) const {
    std::wstring line = L"\"" + program + L"\" " + Widen(ChildFlag()) + L" " +
                        std::to_wstring(GetCurrentProcessId()) + L" " + m_semaphoreName + L" " +
                        std::to_wstring(index) + L" child-" + std::to_wstring(index) + L"-";
    while (line.size() < chars) {
        line.push_back(static_cast<wchar_t>(L'a' + (line.size() + index) % 26));
    }
    return line;
}

}  // namespace passcost
