#pragma once

// The "T_PROCESS_LIST_INFO_RSP" report's members in the order written, and the two
// texts it composes. The writer takes its member names from here and the tests read
// reports against it, so the two cannot drift apart; docs/process-list.schema.json
// states the same for the management side.

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

namespace reportshape {

// A record member, with the value it always has where it has one (numbers in decimal).
struct Member {
    std::string_view key;
    const char* fixed = nullptr;
};

constexpr std::string_view kReportMembers[] = {"package_info", "cmd_idx", "trigger_type",
                                               "scan_time", "process"};
// Both 1: the whole list goes in one message.
constexpr std::string_view kPackageMembers[] = {"total_package", "current_package"};

constexpr size_t kRecordMembers = 19;

// One record per process whose times are known.
constexpr Member kProcessMembers[kRecordMembers] = {{"pid"},
                                                    {"ppid"},
                                                    {"proc_name"},
                                                    {"proc_path"},
                                                    {"cmd_line"},
                                                    {"user"},
                                                    {"start_time"},
                                                    {"cpu_time"},
                                                    {"elapsed_time"},
                                                    {"listen_port"},
                                                    {"establish_port"},
                                                    {"connect_count"},
                                                    {"file_size"},
                                                    {"file_create_time"},
                                                    {"file_modify_time"},
                                                    {"file_md5"},
                                                    {"description"},
                                                    {"company"},
                                                    {"app_sign"}};
// file_size to file_md5: all four, or none when the executable's times cannot be read.
constexpr size_t kFirstFileMember = 12;
constexpr size_t kFileMembers = 4;

// The record that closes the list, in an order of its own: fixed but for the TCP
// members, which carry this pid's summary.
constexpr int64_t kSystemPid = 4;
constexpr Member kSystemMembers[kRecordMembers] = {{"pid", "4"},
                                                   {"ppid", "-1"},
                                                   {"proc_name", "System"},
                                                   {"proc_path", ""},
                                                   {"cmd_line", ""},
                                                   {"user", "SYSTEM"},
                                                   {"start_time", ""},
                                                   {"cpu_time", "-1"},
                                                   {"elapsed_time", "-1"},
                                                   {"description", ""},
                                                   {"company", ""},
                                                   {"listen_port"},
                                                   {"establish_port"},
                                                   {"connect_count"},
                                                   {"file_size", "-1"},
                                                   {"file_create_time", ""},
                                                   {"file_modify_time", ""},
                                                   {"file_md5", ""},
                                                   {"app_sign", ""}};

// Integers; every other record member is a string.
constexpr std::string_view kNumberMembers[] = {"pid",          "ppid",          "cpu_time",
                                               "elapsed_time", "connect_count", "file_size"};

constexpr bool IsNumber(std::string_view key) {
    for (std::string_view number : kNumberMembers) {
        if (number == key) {
            return true;
        }
    }
    return false;
}

constexpr bool IsFileMember(size_t index) {
    return index >= kFirstFileMember && index < kFirstFileMember + kFileMembers;
}

// "app_sign": "SignCompany: <signer>", " SignDate: <date>", both, or "".
std::string SignerText(const std::string& signCompany, const std::string& signDate);

// "listen_port" and "establish_port": "80,443,8080", ascending, "" for no ports.
std::string PortListText(const std::set<uint16_t>& ports);

}  // namespace reportshape
