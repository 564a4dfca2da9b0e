#pragma once

// Stand-in for <winsock2.h> in the native build: the few winsock pieces the
// module uses, with Windows' values. Windows is little-endian, so network byte
// order is always the swapped order there.

#include <windows.h>

#define AF_UNSPEC 0
#define AF_INET 2
#define AF_INET6 23

u_short htons(u_short hostshort);
u_short ntohs(u_short netshort);
// Windows' u_long is 32 bits wide (glibc already names u_long otherwise).
ULONG htonl(ULONG hostlong);
ULONG ntohl(ULONG netlong);
