#include "agent/rynUtil/LogWriter.h"

#include <windows.h>

#include "agent/rynUtil/LogDestination.h"
#include "host/RynUtil.h"

namespace ryn {

LogWriter& LogWriter::Instance() {
    static LogWriter writer;
    return writer;
}

bool LogWriter::SetFile(const std::string& utf8Path) {
    UniqueHandle file;
    if (!utf8Path.empty()) {
        const std::wstring path = CStringUtil::utf8_2ws(utf8Path);
        file = UniqueHandle(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid()) {
            return false;
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_file = std::move(file);
    return true;
}

void LogWriter::Write(const std::string& line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    // stderr is looked up per record: the host may redirect it after start-up.
    const HANDLE target = m_file.valid() ? m_file.get() : GetStdHandle(STD_ERROR_HANDLE);
    if (target == nullptr || target == INVALID_HANDLE_VALUE) {
        return;
    }
    const char* data = line.data();
    size_t left = line.size();
    while (left > 0) {
        // Pipes may take a write in parts; a failed write drops the rest of the record.
        const DWORD chunk = left > 0x10000000u ? 0x10000000u : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!WriteFile(target, data, chunk, &written, nullptr) || written == 0) {
            return;
        }
        data += written;
        left -= written;
    }
}

bool SetLogFile(const std::string& utf8Path) { return LogWriter::Instance().SetFile(utf8Path); }

}  // namespace ryn
