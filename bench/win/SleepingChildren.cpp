#include "SleepingChildren.h"

#include <cstdio>

namespace passcost {

namespace {

// A child that has not said it runs by then is counted as not started.
constexpr DWORD kReadyTimeoutMs = 300000;
constexpr DWORD kEndTimeoutMs = 60000;

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

}  // namespace

CSleepingChildren::CSleepingChildren(size_t count, size_t commandLineChars, size_t executables) {
    m_semaphoreName = L"Local\\korva-pass-cost-" + std::to_wstring(GetCurrentProcessId());
    m_ready = ryn::UniqueHandle(
        CreateSemaphoreW(nullptr, 0, static_cast<LONG>(count + 1), m_semaphoreName.c_str()));
    wchar_t program[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
    if (!m_ready.valid() || length == 0 || length >= MAX_PATH || !Copy(program, executables)) {
        return;
    }
    for (size_t index = 0; index < count; ++index) {
        const std::wstring image = m_copies.empty() ? program : m_copies[index % m_copies.size()];
        std::wstring commandLine = CommandLine(image, index, commandLineChars);
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        if (!CreateProcessW(image.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                            nullptr, &startup, &info)) {
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
    for (const std::wstring& copy : m_copies) {
        DeleteFileW(copy.c_str());
    }
}

// Copies with a few bytes of their own behind the image, so that each has its own digest.
bool CSleepingChildren::Copy(const std::wstring& program, size_t executables) {
    for (size_t index = 0; index < executables; ++index) {
        const std::wstring copy =
            program.substr(0, program.size() - 4) + L"-copy" + std::to_wstring(index) + L".exe";
        m_copies.push_back(copy);
        const std::string tail = "copy " + std::to_string(index);
        DWORD written = 0;
        if (!CopyFileW(program.c_str(), copy.c_str(), FALSE)) {
            return false;
        }
        const ryn::UniqueHandle file(
            CreateFileW(copy.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!file.valid() || !WriteFile(file.get(), tail.data(), static_cast<DWORD>(tail.size()),
                                        &written, nullptr)) {
            return false;
        }
    }
    return true;
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
