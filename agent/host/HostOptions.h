#pragma once

#include <cstdint>
#include <string>

// The host program's command line.
class CHostOptions {
  public:
    std::string cmdIdx = "1";
    std::string triggerType = "manual";
    int passes = 1;
    uint64_t pauseMs = 1000;     // between two passes
    uint64_t timeoutMs = 60000;  // for one pass to deliver its report
    std::string logFile;         // system code page; empty: stderr
    bool help = false;

    // False, with the reason in *error, for an unknown option or a bad value.
    // Values follow their option as the next argument or after "=".
    bool Parse(int argc, char** argv, std::string* error);
    static const char* Usage();

  private:
    static bool IsKnown(const std::string& name);
    static bool IsNumeric(const std::string& name);
    bool Apply(const std::string& name, const std::string& value, std::string* error);
};
