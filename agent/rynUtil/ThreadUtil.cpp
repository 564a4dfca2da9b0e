#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>

#include "host/RynUtil.h"

namespace ryn {

struct CThreadUtil::Impl {
    std::mutex mutex;  // guards the thread object between start and join
    std::thread thread;
    std::atomic<bool> running{false};
};

CThreadUtil::CThreadUtil() : m_impl(new Impl) {}

CThreadUtil::~CThreadUtil() {
    waitForThreadFinish();
    delete m_impl;
}

bool CThreadUtil::startThread() {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    if (m_impl->running) {
        return false;
    }
    // A finished earlier thread is joined before the next one starts.
    if (m_impl->thread.joinable()) {
        m_impl->thread.join();
    }
    m_impl->running = true;
    try {
        m_impl->thread = std::thread([this] {
            RunContained();
            m_impl->running = false;
        });
    } catch (const std::system_error&) {
        m_impl->running = false;
        return false;
    }
    return true;
}

bool CThreadUtil::IsThreadRunning() { return m_impl->running; }

// An exception that escapes run() would end the whole host process; it ends the thread.
void CThreadUtil::RunContained() noexcept {
    try {
        run();
    } catch (...) {
        try {
            CLogMessage::GetInstance()->WriteLogMessage("worker thread ended by an exception",
                                                        RYN_LOG_ERROR);
        } catch (...) {
        }
    }
}

int CThreadUtil::waitForThreadFinish() {
    std::thread finishing;
    {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        // A thread cannot wait for itself: joining would throw, or deadlock elsewhere.
        if (!m_impl->thread.joinable() || m_impl->thread.get_id() == std::this_thread::get_id()) {
            return -1;
        }
        finishing = std::move(m_impl->thread);
    }
    // Joined outside the lock, so the thread itself may still call into this object.
    finishing.join();
    return 0;
}

}  // namespace ryn
