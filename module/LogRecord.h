#pragma once

#include <array>
#include <cstddef>
#include <cstdio>
#include <string>
#include <type_traits>

#include "host/RynUtil.h"

// One record the module can write: where it comes from, how grave, and its text. A record
// without a source is composed whole and written as a finished message ("-:0" in the log).
// Formats know %d (int), %u and %X (unsigned int, with flags and width), %lld (long long)
// and %s (text); WriteLog refuses at compile time any argument list that does not fit its
// record's format, on every compiler, since the format is not a literal at the call.
struct LogRecord {
    const char* source;
    int line;
    int level;
    const char* format;
};

namespace log_record_detail {

enum Kind { kInt, kUnsigned, kLongLong, kText, kNone };

template <typename T>
constexpr Kind KindOf() {
    if (std::is_same<T, int>::value) {
        return kInt;
    }
    if (std::is_same<T, unsigned int>::value) {
        return kUnsigned;
    }
    if (std::is_same<T, long long>::value) {
        return kLongLong;
    }
    return std::is_same<T, const char*>::value ? kText : kNone;
}

// The kind of the conversion that starts after a '%'; *at moves past it.
constexpr Kind ConversionAt(const char* format, size_t* at) {
    while (format[*at] == '0' || format[*at] == '-' || (format[*at] >= '1' && format[*at] <= '9')) {
        ++*at;
    }
    if (format[*at] == 'l' && format[*at + 1] == 'l' && format[*at + 2] == 'd') {
        *at += 3;
        return kLongLong;
    }
    const char conversion = format[(*at)++];
    if (conversion == 'd') {
        return kInt;
    }
    if (conversion == 'u' || conversion == 'X') {
        return kUnsigned;
    }
    return conversion == 's' ? kText : kNone;
}

template <size_t N>
constexpr bool Fits(const char* format, const std::array<Kind, N>& kinds) {
    size_t used = 0;
    for (size_t at = 0; format[at] != '\0';) {
        if (format[at++] != '%') {
            continue;
        }
        if (format[at] == '%') {
            ++at;
            continue;
        }
        const Kind kind = ConversionAt(format, &at);
        if (kind == kNone || used == N || kinds[used++] != kind) {
            return false;
        }
    }
    return used == N;
}

// The record's text with these arguments, as the logger would format it.
template <const LogRecord& R, typename... Args>
std::string Compose(Args... args) {
    if constexpr (sizeof...(Args) == 0) {
        return R.format;
    } else {
        const int length = std::snprintf(nullptr, 0, R.format, args...);
        std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
        std::snprintf(&text[0], text.size() + 1, R.format, args...);
        return text;
    }
}

}  // namespace log_record_detail

template <const LogRecord& R, typename... Args>
void WriteLog(Args... args) {
    static_assert(log_record_detail::Fits(R.format,
                                          std::array<log_record_detail::Kind, sizeof...(Args)>{
                                              {log_record_detail::KindOf<Args>()...}}),
                  "the arguments do not fit the record's format");
    if constexpr (R.source == nullptr) {
        ryn::CLogMessage::GetInstance()->WriteLogMessage(log_record_detail::Compose<R>(args...),
                                                         R.level);
    } else {
        // The logger's callers end the arguments with an empty text.
        ryn::CLogMessage::GetInstance()->log(R.level, R.source, R.line, R.format, args..., "");
    }
}
