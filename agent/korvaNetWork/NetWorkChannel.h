#pragma once

#include <mutex>
#include <string>

#include "agent/korvaNetWork/NetWorkSink.h"

// The channel's state behind CNetWork: the host's sink, one delivery at a time.
class NetWorkChannel {
  public:
    static NetWorkChannel& Instance();

    void SetSink(NetWorkSink sink, void* context);
    // False when no sink is installed.
    bool Deliver(const std::string& type, const std::string& body);

  private:
    NetWorkChannel() = default;

    std::mutex m_mutex;
    NetWorkSink m_sink = nullptr;
    void* m_context = nullptr;
};
