#pragma once

#include <windows.h>

#include <string>

namespace ryn {

// Another process's command line, read by one of two routes. The handle needs
// PROCESS_QUERY_LIMITED_INFORMATION for the query and additionally
// PROCESS_QUERY_INFORMATION | PROCESS_VM_READ for the PEB.
class ProcessCommandLine {
  public:
    // The query first, the PEB when the query is not available; "" when neither works.
    static std::wstring Read(HANDLE process);
    // NtQueryInformationProcess(ProcessCommandLineInformation): Windows 8.1 and later.
    static std::wstring FromQuery(HANDLE process);
    // RTL_USER_PROCESS_PARAMETERS.CommandLine from the target's PEB. A 32-bit
    // reader cannot reach a 64-bit target's PEB and gives "".
    static std::wstring FromPeb(HANDLE process);
};

}  // namespace ryn
