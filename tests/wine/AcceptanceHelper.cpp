// Helper process of the acceptance tests. Says "ready ..." on stdout once it has
// done its part, then lives until its stdin closes.
//   AcceptanceHelper tcp            listens on a loopback port and holds one
//                                   connection to it: "ready <listen> <client>"
//   AcceptanceHelper spawn PROGRAM  starts PROGRAM as its own child and keeps it
//                                   alive as long as itself: "ready <child pid>"

#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

namespace {

void SayReady(const std::string& values) {
    const std::string line = "ready " + values + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()),
              &written, nullptr);
}

void WaitForStdinToClose() {
    char byte;
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &read, nullptr) && read != 0) {
    }
}

int Fail(const char* what) {
    std::fprintf(stderr, "acceptance helper: %s failed: %lu\n", what, GetLastError());
    return 1;
}

unsigned short LocalPort(SOCKET socket) {
    sockaddr_in address = {};
    int length = sizeof(address);
    getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

int ListenAndConnect() {
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        return Fail("WSAStartup");
    }
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener, 1) != 0) {
        return Fail("listen");
    }
    // Wine 8 puts a socket under its process only after that process called on it
    // directly; on Windows the call changes nothing.
    u_long pending = 0;
    ioctlsocket(listener, FIONREAD, &pending);
    address.sin_port = htons(LocalPort(listener));
    SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (connect(client, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        send(client, "x", 1, 0) != 1) {
        return Fail("connect");
    }
    SOCKET accepted = accept(listener, nullptr, nullptr);
    if (accepted == INVALID_SOCKET) {
        return Fail("accept");
    }
    SayReady(std::to_string(LocalPort(listener)) + " " + std::to_string(LocalPort(client)));
    WaitForStdinToClose();
    closesocket(accepted);
    closesocket(client);
    closesocket(listener);
    WSACleanup();
    return 0;
}

// The child gets a pipe as stdin whose closing ends it, and our stdout until it
// has said ready.
int SpawnChild(const std::wstring& program) {
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE childIn = nullptr;
    HANDLE keepAlive = nullptr;
    HANDLE readyRead = nullptr;
    HANDLE readyWrite = nullptr;
    if (!CreatePipe(&childIn, &keepAlive, &inherit, 0) ||
        !CreatePipe(&readyRead, &readyWrite, &inherit, 0)) {
        return Fail("CreatePipe");
    }
    SetHandleInformation(keepAlive, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(readyRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn;
    startup.hStdOutput = readyWrite;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::wstring commandLine = L"\"" + program + L"\" spawned";
    PROCESS_INFORMATION child = {};
    if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &startup, &child)) {
        return Fail("CreateProcessW");
    }
    CloseHandle(childIn);
    CloseHandle(readyWrite);
    char ready[6];
    DWORD read = 0;
    ReadFile(readyRead, ready, sizeof(ready), &read, nullptr);
    SayReady(std::to_string(child.dwProcessId));
    WaitForStdinToClose();
    CloseHandle(keepAlive);
    WaitForSingleObject(child.hProcess, 10000);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    CloseHandle(readyRead);
    return 0;
}

}  // namespace

int main() {
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr || count < 2) {
        return Fail("arguments");
    }
    const std::wstring role = arguments[1];
    const std::wstring program = count > 2 ? arguments[2] : L"";
    LocalFree(arguments);
    if (role == L"tcp") {
        return ListenAndConnect();
    }
    if (role == L"spawn" && !program.empty()) {
        return SpawnChild(program);
    }
    return Fail("role");
}
