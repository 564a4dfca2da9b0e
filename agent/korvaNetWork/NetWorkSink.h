#pragma once

// Agent-only: how the host receives what the module sends through korvaNetWork.dll.

#include <string>

#include "host/NetWork.h"

// Called once per message on the sending thread, with the channel's own copies of
// the two texts; they live until the call returns. Calls never overlap.
typedef void (*NetWorkSink)(void* context, const std::string& type, const std::string& body);

// Installs the sink (null removes it). Once this returns, the previous sink is not
// running and is never called again.
KORVANET_API void SetNetWorkSink(NetWorkSink sink, void* context);
