// The channel object has no state of its own (the sink lives in NetWorkChannel), so
// one static object serves every caller and GetInstance is never null: the module
// uses the pointer without a test.

#include "host/NetWork.h"

#include "agent/korvaNetWork/NetWorkChannel.h"

namespace {

CNetWork g_network;

}  // namespace

CNetWork* CSingleton<CNetWork>::GetInstance() { return &g_network; }

CNetWork* CSingleton<CNetWork>::CreateInstance() { return &g_network; }

// Takes the channel down: later messages are refused until a sink is installed again.
void CSingleton<CNetWork>::DestroyInstance() { SetNetWorkSink(nullptr, nullptr); }

bool CNetWork::SendNetMessage(const std::string& type, const std::string& body) {
    return NetWorkChannel::Instance().Deliver(type, body);
}
