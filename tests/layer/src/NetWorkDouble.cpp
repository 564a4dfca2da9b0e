// The agent network channel, played by a recorder.

#include <mutex>

#include "LayerState.h"
#include "host/NetWork.h"

namespace layer {

namespace {

struct Channel {
    std::mutex mutex;
    CNetWork* instance = nullptr;
    std::vector<std::pair<std::string, std::string>> sent;
    bool result = true;
};

Channel& channel() {
    static Channel c;
    return c;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> SentMessages() {
    std::lock_guard<std::mutex> lock(channel().mutex);
    return channel().sent;
}

void SetSendResult(bool result) {
    std::lock_guard<std::mutex> lock(channel().mutex);
    channel().result = result;
}

void ClearSentMessages() {
    std::lock_guard<std::mutex> lock(channel().mutex);
    channel().sent.clear();
}

void ResetNetWorkDouble() {
    std::lock_guard<std::mutex> lock(channel().mutex);
    channel().sent.clear();
    channel().result = true;
}

}  // namespace layer

CNetWork* CSingleton<CNetWork>::GetInstance() {
    static CNetWork network;
    return &network;
}

CNetWork* CSingleton<CNetWork>::CreateInstance() { return GetInstance(); }

void CSingleton<CNetWork>::DestroyInstance() {}

bool CNetWork::SendNetMessage(const std::string& type, const std::string& body) {
    std::lock_guard<std::mutex> lock(layer::channel().mutex);
    layer::channel().sent.emplace_back(type, body);
    layer::Note("send " + type);
    return layer::channel().result;
}
