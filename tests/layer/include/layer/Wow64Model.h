#pragma once

#include <string>

namespace layer {

// File-system redirection of a 32-bit process on 64-bit Windows. While active, a
// path into the system directory reaches the same name in SysWOW64, and a path
// into <Windows>\Sysnative reaches the system directory. Paths are UTF-8; the
// folders compare without regard to ASCII case.
struct Wow64View {
    bool active = false;  // IsWow64Process answers TRUE for the current process
    std::string systemDir = "C:\\Windows\\System32";
    std::string wow64Dir = "C:\\Windows\\SysWOW64";
    std::string windowsDir = "C:\\Windows";
};

// The file a path reaches under the machine's redirection.
std::string RedirectedPath(const std::string& utf8Path);

}  // namespace layer
