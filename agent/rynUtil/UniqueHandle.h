#pragma once

#include <windows.h>

namespace ryn {

// Owns a kernel handle. NULL and INVALID_HANDLE_VALUE both mean "none", since the
// Win32 calls disagree on which one they return for a failure.
class UniqueHandle {
  public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : m_handle(handle) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(UniqueHandle&& other) noexcept : m_handle(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    HANDLE get() const { return m_handle; }
    bool valid() const { return m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE; }

    HANDLE release() {
        HANDLE handle = m_handle;
        m_handle = nullptr;
        return handle;
    }

    // Closes the owned handle; the caller's GetLastError survives for its log record.
    void reset(HANDLE handle = nullptr) {
        if (valid()) {
            const DWORD saved = GetLastError();
            CloseHandle(m_handle);
            SetLastError(saved);
        }
        m_handle = handle;
    }

  private:
    HANDLE m_handle = nullptr;
};

}  // namespace ryn
