#pragma once

// Internal hooks between the layer's parts.

#include <cstdint>

#include "layer/Control.h"

namespace layer {

void ResetControl();
void ResetDoubles();
// Forgets what the process asked of the system about WOW64 (Wow64PathMap).
void ResetWow64PathMap();
void ResetFileApi();
void RecordLog(const LogRecord& record);
void RecordSleep(uint64_t milliseconds);
void ClearSentMessages();
// Sets the thread's last error; used by every scripted call that fails.
void FailWith(DWORD error);

}  // namespace layer
