#pragma once

#include <windows.h>

#include <string>

namespace ryn {

// Under WOW64 a 32-bit process that opens a file in the 64-bit system directory is
// silently handed the 32-bit copy in SysWOW64. An image path of a 64-bit process
// names the real file, so every file access by such a path goes through the
// Sysnative alias, which the redirector leaves alone. Only the access changes: the
// path that is reported stays as the system gave it. Redirection is never switched
// off for the thread, since the loader and crypt32 would then load wrong DLLs.
class Wow64PathMap {
  public:
    // The calling process's mapping, asked of the system on first use only: a process
    // keeps its bitness, and the system its folders, while it runs. Defined in a unit of
    // its own, Wow64PathMapOnce.cpp, which a build over a scripted system replaces.
    static const Wow64PathMap& ForThisProcess();
    // What the system says now: active only when the process runs under WOW64.
    static Wow64PathMap QuerySystem();
    // A UTF-8 path as this process must open it (wide).
    static std::wstring AccessPath(const std::string& utf8Path);

    // Inactive: every path stays as it is.
    Wow64PathMap() = default;
    // Active: paths below systemDir go to <windowsDir>\Sysnative.
    Wow64PathMap(const std::wstring& systemDir, const std::wstring& windowsDir);

    std::wstring Map(const std::wstring& path) const;

  private:
    std::wstring m_systemDir;
    std::wstring m_sysnativeDir;
};

}  // namespace ryn
