// CTimeUtil renders in UTC: the report carries no zone, and UTC is the one reading
// the management side can interpret for every endpoint alike.

#include <ctime>

#include "host/RynUtil.h"

namespace ryn {

namespace {

// Civil date of a day count since 1970-01-01 (proleptic Gregorian, any sign).
void CivilFromDays(int64_t days, int64_t* year, int* month, int* day) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t doe = days - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    *day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    *year = yoe + era * 400 + (*month <= 2 ? 1 : 0);
}

// Years strftime can print as %Y on every CRT we build for.
constexpr int64_t kFirstYear = 1;
constexpr int64_t kLastYear = 9999;

}  // namespace

CTimeUtil::CTimeUtil(int64_t secondsSince1970) : m_time(secondsSince1970) {}

std::string CTimeUtil::ToString(const char* format) const {
    int64_t days = m_time / 86400;
    int64_t rest = m_time % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    int64_t year = 0;
    int month = 0;
    int day = 0;
    CivilFromDays(days, &year, &month, &day);
    if (format == nullptr || year < kFirstYear || year > kLastYear) {
        return std::string();
    }
    std::tm fields = {};
    fields.tm_year = static_cast<int>(year - 1900);
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = static_cast<int>(rest / 3600);
    fields.tm_min = static_cast<int>(rest / 60 % 60);
    fields.tm_sec = static_cast<int>(rest % 60);
    fields.tm_wday = static_cast<int>(((days % 7) + 11) % 7);
    fields.tm_isdst = 0;
    char text[256];
    const size_t length = std::strftime(text, sizeof(text), format, &fields);
    return std::string(text, length);
}

}  // namespace ryn
