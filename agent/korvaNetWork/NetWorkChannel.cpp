#include "agent/korvaNetWork/NetWorkChannel.h"

NetWorkChannel& NetWorkChannel::Instance() {
    static NetWorkChannel channel;
    return channel;
}

void NetWorkChannel::SetSink(NetWorkSink sink, void* context) {
    std::lock_guard<std::mutex> lock(m_mutex);  // waits for a delivery in progress
    m_sink = sink;
    m_context = context;
}

bool NetWorkChannel::Deliver(const std::string& type, const std::string& body) {
    // The caller's strings may go as soon as SendNetMessage returns: the sink gets copies.
    const std::string typeCopy(type);
    const std::string bodyCopy(body);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_sink == nullptr) {
        return false;
    }
    m_sink(m_context, typeCopy, bodyCopy);
    return true;
}

void SetNetWorkSink(NetWorkSink sink, void* context) {
    NetWorkChannel::Instance().SetSink(sink, context);
}
