#pragma once

// Process calls of kernel32 and advapi32 (OpenProcess, GetProcessTimes, tokens, ...).
#include "layer/WinTypes.h"
