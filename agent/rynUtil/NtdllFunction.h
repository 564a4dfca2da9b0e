#pragma once

#include <windows.h>

namespace ryn {

// NTSTATUS of a query whose buffer is too small for the answer.
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);

// An export of ntdll, looked up at run time: no ntdll import library is linked, and a
// system may lack the function. Null when it is missing.
template <typename Function>
Function NtdllFunction(const char* name) {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const FARPROC address = ntdll != nullptr ? GetProcAddress(ntdll, name) : nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void*>(address));
}

}  // namespace ryn
