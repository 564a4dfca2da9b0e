#pragma once

#include <windows.h>

#include <utility>

// Move-only owner of one Win32 resource. Traits gives its Handle type, Valid (which
// values own something) and Free (how it is released). Every release keeps the
// caller's last error, which is what its log record prints.
template <typename Traits>
class CWinOwner {
  public:
    using Handle = typename Traits::Handle;

    CWinOwner() = default;
    explicit CWinOwner(Handle handle) : m_handle(handle) {}
    ~CWinOwner() { reset(); }

    CWinOwner(CWinOwner&& other) noexcept : m_handle(std::exchange(other.m_handle, Handle())) {}
    CWinOwner& operator=(CWinOwner&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.m_handle, Handle()));
        }
        return *this;
    }
    CWinOwner(const CWinOwner&) = delete;
    CWinOwner& operator=(const CWinOwner&) = delete;

    Handle get() const { return m_handle; }
    bool valid() const { return Traits::Valid(m_handle); }
    explicit operator bool() const { return valid(); }

    // Releases what is owned, then owns `handle`.
    void reset(Handle handle = Handle()) {
        if (valid()) {
            const DWORD error = GetLastError();
            Traits::Free(m_handle);
            SetLastError(error);
        }
        m_handle = handle;
    }
    // For calls that hand out a new object through a pointer.
    Handle* out() {
        reset();
        return &m_handle;
    }

  private:
    Handle m_handle = Handle();
};

// Traits base for the resources whose only "none" is null.
template <typename H>
struct NullMeansNone {
    using Handle = H;
    static bool Valid(Handle handle) { return handle != nullptr; }
};
