// Helper process for the TCP Wine test: listens on a loopback port, connects to
// it and holds the connection. Writes "<listen port> <client port>\n" on stdout
// and lives until its stdin closes. With "--untouched" it makes no call on the
// listening or the client socket after setting them up.

#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

// Wine attributes a socket to a process only once that process has used it
// directly; these calls are harmless on Windows.
void TouchSocket(SOCKET socket) {
    u_long pending = 0;
    ioctlsocket(socket, FIONREAD, &pending);
}

unsigned short LocalPort(SOCKET socket) {
    sockaddr_in address = {};
    int length = sizeof(address);
    getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

int Fail(const char* what) {
    std::fprintf(stderr, "tcp helper: %s failed: %d\n", what, WSAGetLastError());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const bool touch = !(argc > 1 && std::strcmp(argv[1], "--untouched") == 0);
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
    address.sin_port = htons(LocalPort(listener));
    if (touch) {
        TouchSocket(listener);
    }
    SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (connect(client, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        return Fail("connect");
    }
    if (touch && send(client, "x", 1, 0) != 1) {
        return Fail("send");
    }
    SOCKET accepted = accept(listener, nullptr, nullptr);
    if (accepted == INVALID_SOCKET) {
        return Fail("accept");
    }
    std::printf("%u %u\n", LocalPort(listener), LocalPort(client));
    std::fflush(stdout);

    char byte;
    while (std::fread(&byte, 1, 1, stdin) == 1) {
    }
    closesocket(accepted);
    closesocket(client);
    closesocket(listener);
    WSACleanup();
    return 0;
}
