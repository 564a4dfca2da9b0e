// One line per record: "<UTC time> <level> <source>:<line> <text>". Line breaks
// inside a text are escaped, so a record never spans two lines.

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "agent/rynUtil/LogWriter.h"
#include "host/RynUtil.h"

namespace ryn {

namespace {

// "2024-05-01T10:20:30.123Z": UTC, like every time this agent writes.
std::string TimeStamp() {
    SYSTEMTIME now;
    GetSystemTime(&now);
    char text[32];
    std::snprintf(text, sizeof(text), "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", now.wYear, now.wMonth,
                  now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    return text;
}

void AppendEscaped(std::string& line, const std::string& text) {
    for (char c : text) {
        if (c == '\n') {
            line += "\\n";
        } else if (c == '\r') {
            line += "\\r";
        } else if (c == '\0') {
            line += "\\0";
        } else {
            line += c;
        }
    }
}

void WriteRecord(int level, const char* source, int line, const std::string& text) {
    std::string record = TimeStamp();
    record += ' ';
    record += std::to_string(level);
    record += ' ';
    record += (source != nullptr && source[0] != '\0') ? source : "-";
    record += ':';
    record += std::to_string(line);
    record += ' ';
    AppendEscaped(record, text);
    record += '\n';
    LogWriter::Instance().Write(record);
}

// printf-style text of any length; a format the C runtime rejects is logged as is.
std::string Format(const char* format, va_list args) {
    if (format == nullptr) {
        return std::string();
    }
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length < 0) {
        return format;
    }
    std::vector<char> text(static_cast<size_t>(length) + 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    return std::string(text.data(), static_cast<size_t>(length));
}

}  // namespace

CLogMessage* CLogMessage::GetInstance() {
    static CLogMessage logger;
    return &logger;
}

// The callers' trailing empty-string argument is simply never consumed by the format.
void CLogMessage::log(int level, const char* source, int line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = Format(format, args);
    va_end(args);
    WriteRecord(level, source, line, text);
}

void CLogMessage::WriteLogMessage(const std::string& text, int level) {
    WriteRecord(level, nullptr, 0, text);
}

}  // namespace ryn
