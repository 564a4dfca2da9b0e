#pragma once

// Agent-only: how the host receives what the module sends through korvaNetWork.dll.

#include <string>

#include "host/NetWork.h"

// Called once per message on the sending thread, with the channel's own copies of
// the two texts; they live until the call returns. Messages sent from several threads
// reach the sink at the same time. The sink may send again or install another sink; if
// it throws, SendNetMessage returns false and the exception goes no further.
typedef void (*NetWorkSink)(void* context, const std::string& type, const std::string& body);

// Installs the sink (null removes it). Once this returns, the previous sink is not
// running on any other thread and is never called again.
KORVANET_API void SetNetWorkSink(NetWorkSink sink, void* context);
