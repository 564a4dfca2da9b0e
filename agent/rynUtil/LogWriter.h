#pragma once

#include <mutex>
#include <string>

#include "agent/rynUtil/UniqueHandle.h"

namespace ryn {

// The logger's single destination: stderr or an appended file. One lock around
// each whole record, so records from several threads never interleave.
class LogWriter {
  public:
    static LogWriter& Instance();

    bool SetFile(const std::string& utf8Path);
    // Writes the finished line (newline included) in one piece.
    void Write(const std::string& line);

  private:
    LogWriter() = default;

    std::mutex m_mutex;
    UniqueHandle m_file;
};

}  // namespace ryn
