#include "WineTestSupport.h"

#include "host/RynUtil.h"

namespace winetest {

namespace {

constexpr size_t kLongestReadyLine = 64;

std::string ReadLine(HANDLE pipe) {
    std::string line;
    char c = 0;
    DWORD read = 0;
    while (line.size() < kLongestReadyLine && ReadFile(pipe, &c, 1, &read, nullptr) && read == 1 &&
           c != '\n') {
        line.push_back(c);
    }
    return line;
}

}  // namespace

bool RunningUnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::string ProgramFolder() {
    char path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
    std::string folder(path, length);
    return folder.substr(0, folder.find_last_of('\\') + 1);
}

std::string ScratchFolder(const std::string& name) {
    wchar_t full[MAX_PATH * 4];
    const std::wstring relative = L"scratch\\" + ryn::CStringUtil::utf8_2ws(name);
    CreateDirectoryW(L"scratch", nullptr);
    GetFullPathNameW(relative.c_str(), MAX_PATH * 4, full, nullptr);
    // Leftovers of an earlier run: remove plain files, then the folder itself is reused.
    WIN32_FIND_DATAW entry;
    const std::wstring pattern = std::wstring(full) + L"\\*";
    const HANDLE find = FindFirstFileW(pattern.c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                DeleteFileW((std::wstring(full) + L"\\" + entry.cFileName).c_str());
            }
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    CreateDirectoryW(full, nullptr);
    return ryn::CStringUtil::ws2s_utf8(full);
}

std::string ReadWholeFile(const std::string& utf8Path) {
    ryn::UniqueHandle file(CreateFileW(ryn::CStringUtil::utf8_2ws(utf8Path).c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, 0, nullptr));
    std::string content;
    char buffer[65536];
    DWORD read = 0;
    while (file.valid() && ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) &&
           read != 0) {
        content.append(buffer, read);
    }
    return content;
}

ChildProcess::ChildProcess(const std::string& utf8Program, const std::string& utf8CommandLine) {
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE stdinRead = nullptr;
    HANDLE stdinWrite = nullptr;
    HANDLE stdoutRead = nullptr;
    HANDLE stdoutWrite = nullptr;
    if (!CreatePipe(&stdinRead, &stdinWrite, &inherit, 0)) {
        return;
    }
    ryn::UniqueHandle childIn(stdinRead);
    m_stdinWrite = ryn::UniqueHandle(stdinWrite);
    if (!CreatePipe(&stdoutRead, &stdoutWrite, &inherit, 0)) {
        return;
    }
    ryn::UniqueHandle parentOut(stdoutRead);
    ryn::UniqueHandle childOut(stdoutWrite);
    SetHandleInformation(stdinWrite, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(stdoutRead, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn.get();
    startup.hStdOutput = childOut.get();
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info = {};
    std::wstring line = ryn::CStringUtil::utf8_2ws(utf8CommandLine);
    line.push_back(L'\0');
    if (!CreateProcessW(ryn::CStringUtil::utf8_2ws(utf8Program).c_str(), &line[0], nullptr, nullptr,
                        TRUE, 0, nullptr, nullptr, &startup, &info)) {
        return;
    }
    const ryn::UniqueHandle thread(info.hThread);
    m_process = ryn::UniqueHandle(info.hProcess);
    m_pid = info.dwProcessId;
    childOut.reset();
    // Its parameters are complete, and its sockets or child exist, once it says so.
    m_readyLine = ReadLine(parentOut.get());
}

ChildProcess::~ChildProcess() {
    m_stdinWrite.reset();
    if (m_process.valid() && WaitForSingleObject(m_process.get(), 10000) != WAIT_OBJECT_0) {
        TerminateProcess(m_process.get(), 1);
    }
}

}  // namespace winetest
