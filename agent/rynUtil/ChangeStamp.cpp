#include "agent/rynUtil/ChangeStamp.h"

#include <winioctl.h>

#include <array>
#include <cstddef>
#include <cstring>

namespace ryn {

namespace {

// The fixed part of a version 2 record and a name of up to 255 characters.
constexpr size_t kRecordBytes = 1024;
constexpr WORD kRecordVersion = 2;

void Append(std::string* stamp, uint64_t value) {
    stamp->append(reinterpret_cast<const char*>(&value), sizeof(value));
}

}  // namespace

std::string ChangeStampOf(HANDLE file) {
    USN_JOURNAL_DATA journal = {};
    DWORD bytes = 0;
    // A journal that is not active leaves the file's last USN standing while it changes.
    if (!DeviceIoControl(file, FSCTL_QUERY_USN_JOURNAL, nullptr, 0, &journal, sizeof(journal),
                         &bytes, nullptr) ||
        bytes < sizeof(journal)) {
        return std::string();
    }
    std::array<ULONGLONG, kRecordBytes / sizeof(ULONGLONG)> buffer = {};
    USN_RECORD record = {};
    if (!DeviceIoControl(file, FSCTL_READ_FILE_USN_DATA, nullptr, 0, buffer.data(), kRecordBytes,
                         &bytes, nullptr) ||
        bytes < offsetof(USN_RECORD, FileName)) {
        return std::string();
    }
    std::memcpy(&record, buffer.data(), offsetof(USN_RECORD, FileName));
    if (record.MajorVersion != kRecordVersion || record.Usn <= 0) {
        return std::string();
    }
    std::string stamp;
    Append(&stamp, journal.UsnJournalID);
    Append(&stamp, record.FileReferenceNumber);
    Append(&stamp, static_cast<uint64_t>(record.Usn));
    return stamp;
}

}  // namespace ryn
