#pragma once

#include <cstdint>
#include <string>

// Properties of one executable file, filled once and never changed afterwards.
struct FilePropertyRecord {
    int64_t modifyTime = 0;   // the last-write time the record was made for
    std::string description;  // version resource FileDescription, UTF-8
    std::string company;      // version resource CompanyName, UTF-8
    std::string signCompany;  // name of the signing certificate, UTF-8
    std::string signDate;     // 14 digits of local time, or empty
};
