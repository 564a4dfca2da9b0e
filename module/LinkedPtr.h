#pragma once

// Shared owning handle without a counter: all handles to one object form a ring
// through m_next, and the last handle to leave the ring deletes the object.
// Nothing here is atomic; all handles of one ring must live on one thread.
template <typename T>
class LinkedPtr {
  public:
    LinkedPtr() : m_ptr(nullptr), m_next(this) {}
    explicit LinkedPtr(T* object) : m_ptr(object), m_next(this) {}
    LinkedPtr(const LinkedPtr& other) : m_ptr(nullptr), m_next(this) { Join(other); }
    ~LinkedPtr() { Leave(); }

    LinkedPtr& operator=(const LinkedPtr& other) {
        // Same handle, or another handle of the same ring: nothing changes.
        if (&other == this || other.m_ptr == m_ptr) {
            return *this;
        }
        Leave();
        Join(other);
        return *this;
    }

    T* get() const { return m_ptr; }
    T* operator->() const { return m_ptr; }
    T& operator*() const { return *m_ptr; }
    explicit operator bool() const { return m_ptr != nullptr; }

    void reset() { *this = LinkedPtr(); }

  private:
    // Inserts this (alone) right after other in other's ring.
    void Join(const LinkedPtr& other) {
        m_ptr = other.m_ptr;
        if (m_ptr == nullptr) {
            return;
        }
        m_next = other.m_next;
        other.m_next = this;
    }

    // Unlinks this; deletes the object when this was its last handle.
    void Leave() {
        if (m_next == this) {
            delete m_ptr;
        } else {
            const LinkedPtr* prev = m_next;
            while (prev->m_next != this) {
                prev = prev->m_next;
            }
            prev->m_next = m_next;
        }
        m_ptr = nullptr;
        m_next = this;
    }

    T* m_ptr;
    mutable const LinkedPtr* m_next;
};
