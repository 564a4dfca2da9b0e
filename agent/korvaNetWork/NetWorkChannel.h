#pragma once

#include <condition_variable>
#include <mutex>
#include <string>

#include "agent/korvaNetWork/NetWorkSink.h"

// The channel's state behind CNetWork: the host's sink. The sink is called outside the
// channel's lock, so a sink that sends again or installs another sink does not block,
// and whatever it throws stays in the channel.
class NetWorkChannel {
  public:
    static NetWorkChannel& Instance();

    // Waits until no other thread still runs the previous sink.
    void SetSink(NetWorkSink sink, void* context);
    // False when no sink is installed, or when copying or delivering failed.
    bool Deliver(const std::string& type, const std::string& body) noexcept;

  private:
    NetWorkChannel() = default;

    bool CallSink(const std::string& type, const std::string& body);

    std::mutex m_mutex;
    std::condition_variable m_idle;
    NetWorkSink m_sink = nullptr;
    void* m_context = nullptr;
    int m_deliveries = 0;  // sink calls in progress, on any thread
};
