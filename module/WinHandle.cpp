#include "module/WinHandle.h"

#include <utility>

CWinHandle::~CWinHandle() { reset(); }

CWinHandle::CWinHandle(CWinHandle&& other) noexcept
    : m_handle(std::exchange(other.m_handle, nullptr)) {}

CWinHandle& CWinHandle::operator=(CWinHandle&& other) noexcept {
    if (this != &other) {
        reset(std::exchange(other.m_handle, nullptr));
    }
    return *this;
}

void CWinHandle::reset(HANDLE handle) {
    if (valid()) {
        const DWORD error = GetLastError();
        CloseHandle(m_handle);
        SetLastError(error);
    }
    m_handle = handle;
}
