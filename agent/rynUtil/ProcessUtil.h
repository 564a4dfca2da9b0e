#pragma once

#include "host/RynUtil.h"

namespace ryn {

// The real IProcessUtil: toolhelp enumeration and per-process queries.
class CProcessUtil final : public IProcessUtil {
  public:
    ProcessIdMap EnumProcesses() override;
    std::string GetProcessPath(int64_t pid, bool nativeName) override;
    std::string GetProcessCommandLine(int64_t pid) override;
    std::wstring GetProcessPathW(int64_t pid, bool nativeName) override;
    std::wstring GetProcessCommandLineW(int64_t pid) override;
};

}  // namespace ryn
