#pragma once

#include <windows.h>

// Move-only owner of a kernel handle. NULL and INVALID_HANDLE_VALUE both mean
// "nothing owned", since the Win32 calls use either to report failure.
class CWinHandle {
  public:
    CWinHandle() = default;
    explicit CWinHandle(HANDLE handle) : m_handle(handle) {}
    ~CWinHandle();

    CWinHandle(CWinHandle&& other) noexcept;
    CWinHandle& operator=(CWinHandle&& other) noexcept;
    CWinHandle(const CWinHandle&) = delete;
    CWinHandle& operator=(const CWinHandle&) = delete;

    HANDLE get() const { return m_handle; }
    bool valid() const { return m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE; }
    // Closes what is owned; the caller's last error survives for its log record.
    void reset(HANDLE handle = nullptr);

  private:
    HANDLE m_handle = nullptr;
};
