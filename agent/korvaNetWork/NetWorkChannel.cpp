#include "agent/korvaNetWork/NetWorkChannel.h"

namespace {

// Sink calls in progress on this thread: a sink that installs another sink must not wait
// for its own call to end.
thread_local int t_deliveries = 0;

}  // namespace

NetWorkChannel& NetWorkChannel::Instance() {
    static NetWorkChannel channel;
    return channel;
}

void NetWorkChannel::SetSink(NetWorkSink sink, void* context) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_sink = sink;
    m_context = context;
    m_idle.wait(lock, [this] { return m_deliveries == t_deliveries; });
}

bool NetWorkChannel::Deliver(const std::string& type, const std::string& body) noexcept {
    try {
        return CallSink(type, body);
    } catch (...) {
        return false;  // the sender is someone else's thread: nothing may reach it
    }
}

bool NetWorkChannel::CallSink(const std::string& type, const std::string& body) {
    // The caller's strings may go as soon as SendNetMessage returns: the sink gets copies.
    const std::string typeCopy(type);
    const std::string bodyCopy(body);
    NetWorkSink sink = nullptr;
    void* context = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        sink = m_sink;
        context = m_context;
        if (sink == nullptr) {
            return false;
        }
        ++m_deliveries;
        ++t_deliveries;
    }
    bool delivered = true;
    try {
        sink(context, typeCopy, bodyCopy);
    } catch (...) {
        delivered = false;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        --m_deliveries;
        --t_deliveries;
    }
    m_idle.notify_all();
    return delivered;
}

void SetNetWorkSink(NetWorkSink sink, void* context) {
    NetWorkChannel::Instance().SetSink(sink, context);
}
