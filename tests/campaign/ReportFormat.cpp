#include "campaign/ReportFormat.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>

#include "module/ReportShape.h"

namespace campaign {

const std::string* Find(const Record& record, const std::string& key) {
    for (const Member& member : record) {
        if (member.key == key) {
            return &member.value;
        }
    }
    return nullptr;
}

std::string Value(const Record& record, const std::string& key) {
    const std::string* value = Find(record, key);
    return value != nullptr ? *value : std::string();
}

namespace {

namespace shape = reportshape;
typedef std::vector<shape::Member> Shape;

// A process record's members: with the file members, or without them.
Shape ProcessMembers(bool fileMembers) {
    Shape members;
    for (size_t i = 0; i < shape::kRecordMembers; ++i) {
        if (fileMembers || !shape::IsFileMember(i)) {
            members.push_back(shape::kProcessMembers[i]);
        }
    }
    return members;
}

int64_t Number(const Record& record, const std::string& key) {
    return std::strtoll(Value(record, key).c_str(), nullptr, 10);
}

bool AllOf(const std::string& text, const char* characters) {
    return text.find_first_not_of(characters) == std::string::npos;
}

bool IsTimeText(const std::string& text) { return text.size() == 14 && AllOf(text, "0123456789"); }

// Ascending unsigned 16-bit ports in plain decimal, joined by ","; counts them.
bool IsPortList(const std::string& text, size_t* ports) {
    *ports = 0;
    long previous = -1;
    for (size_t start = 0; !text.empty() && start <= text.size();) {
        const size_t end = std::min(text.find(',', start), text.size());
        const std::string port = text.substr(start, end - start);
        if (port.empty() || port.size() > 5 || !AllOf(port, "0123456789") ||
            (port.size() > 1 && port[0] == '0') || std::stol(port) > 65535 ||
            std::stol(port) <= previous) {
            return false;
        }
        previous = std::stol(port);
        ++*ports;
        start = end + 1;
    }
    return true;
}
// ---- Format: what any report must be, whatever failed.

class FormatCheck {
  public:
    explicit FormatCheck(std::vector<std::string>* problems) : m_problems(problems) {}

    bool Read(const std::string& text, Report* report) {
        rapidjson::Document document;
        document.Parse(text.data(), text.size());
        if (document.HasParseError() || !document.IsObject()) {
            return Problem("not one JSON object: error " +
                           std::to_string(document.GetParseError()) + " at " +
                           std::to_string(document.GetErrorOffset()));
        }
        rapidjson::StringBuffer compact;
        rapidjson::Writer<rapidjson::StringBuffer> writer(compact);
        document.Accept(writer);
        if (std::string(compact.GetString(), compact.GetSize()) != text) {
            Problem("not compact or not canonically escaped");
        }
        Record root;
        Shape members;
        for (std::string_view key : shape::kReportMembers) {
            members.push_back({key});
        }
        if (!Members(document, members, "root", &root)) {
            return false;
        }
        const rapidjson::Value& package = document["package_info"];
        bool ones =
            package.IsObject() && package.MemberCount() == std::size(shape::kPackageMembers);
        for (size_t i = 0; ones && i < std::size(shape::kPackageMembers); ++i) {
            const auto& member = package.MemberBegin()[i];
            ones = member.name.GetString() == shape::kPackageMembers[i] && member.value == 1;
        }
        if (!ones) {
            Problem("package_info is not {total_package:1,current_package:1}");
        }
        report->cmdIdx = Value(root, "cmd_idx");
        report->triggerType = Value(root, "trigger_type");
        report->scanTime = Value(root, "scan_time");
        if (!IsTimeText(report->scanTime)) {
            Problem("scan_time \"" + report->scanTime + "\"");
        }
        const rapidjson::Value& records = document["process"];
        if (!records.IsArray() || records.Empty()) {
            return Problem("process is not an array that ends with the System record");
        }
        for (rapidjson::SizeType i = 0; i + 1 < records.Size(); ++i) {
            Record record;
            if (ProcessRecord(records[i], &record)) {
                if (!report->processes.empty() &&
                    Number(record, "pid") <= Number(report->processes.back(), "pid")) {
                    Problem("pid " + Value(record, "pid") + " after pid " +
                            Value(report->processes.back(), "pid"));
                }
                report->processes.push_back(record);
            }
        }
        SystemRecord(records[records.Size() - 1], &report->system);
        return m_problems->empty();
    }

  private:
    bool Problem(const std::string& what) {
        m_problems->push_back(what);
        return false;
    }

    // The object's members, in exactly the order given, each with the type its key has.
    bool Members(const rapidjson::Value& object, const Shape& members, const std::string& where,
                 Record* record) {
        if (!object.IsObject()) {
            return Problem(where + " is not an object");
        }
        std::string names;
        for (auto it = object.MemberBegin(); it != object.MemberEnd(); ++it) {
            names += std::string(names.empty() ? "" : " ") + it->name.GetString();
        }
        std::string wanted;
        for (const shape::Member& member : members) {
            wanted += (wanted.empty() ? "" : " ") + std::string(member.key);
        }
        if (names != wanted) {
            return Problem(where + " has the members " + names);
        }
        for (auto it = object.MemberBegin(); it != object.MemberEnd(); ++it) {
            const std::string key = it->name.GetString();
            const bool number = shape::IsNumber(key);
            const bool nested = key == "package_info" || key == "process";
            if (!nested && (number ? !it->value.IsInt64() : !it->value.IsString())) {
                return Problem(where + ": " + key + " has the wrong type");
            }
            Member member;
            member.key = key;
            if (number) {
                member.value = std::to_string(it->value.GetInt64());
            } else if (!nested) {
                member.value.assign(it->value.GetString(), it->value.GetStringLength());
            }
            record->push_back(member);
        }
        return true;
    }

    bool ProcessRecord(const rapidjson::Value& value, Record* record) {
        const Shape members =
            ProcessMembers(!value.IsObject() ||
                           value.MemberCount() != shape::kRecordMembers - shape::kFileMembers);
        const std::string where =
            "record" + (value.IsObject() && value.HasMember("pid") && value["pid"].IsInt64()
                            ? " of pid " + std::to_string(value["pid"].GetInt64())
                            : std::string());
        if (!Members(value, members, where, record)) {
            return false;
        }
        const int64_t pid = Number(*record, "pid");
        const int64_t ppid = Number(*record, "ppid");
        if (pid < 0 || pid > 0xFFFFFFFFLL || ppid < -1 || ppid > 0xFFFFFFFFLL) {
            Problem(where + ": pid or ppid out of range");
        }
        if (!IsTimeText(Value(*record, "start_time")) || Number(*record, "cpu_time") < 0) {
            Problem(where + ": process times");
        }
        TcpMembers(*record, where);
        if (Find(*record, "file_size") != nullptr) {
            const std::string md5 = Value(*record, "file_md5");
            if (!IsTimeText(Value(*record, "file_create_time")) ||
                !IsTimeText(Value(*record, "file_modify_time")) ||
                (Number(*record, "file_size") <= 0 && Value(*record, "file_size") != "-1") ||
                !(md5.empty() || (md5.size() == 32 && AllOf(md5, "0123456789abcdef")))) {
                Problem(where + ": file members");
            }
        }
        return true;
    }

    void SystemRecord(const rapidjson::Value& value, Record* record) {
        const Shape members(std::begin(shape::kSystemMembers), std::end(shape::kSystemMembers));
        if (!Members(value, members, "System record", record)) {
            return;
        }
        for (size_t i = 0; i < members.size(); ++i) {
            if (members[i].fixed != nullptr && members[i].fixed != (*record)[i].value) {
                Problem("System record: " + (*record)[i].key + " \"" + (*record)[i].value + "\"");
            }
        }
        TcpMembers(*record, "System record");
    }

    // An established port is one connection at least; no port, no connection.
    void TcpMembers(const Record& record, const std::string& where) {
        size_t listening = 0;
        size_t established = 0;
        const int64_t count = Number(record, "connect_count");
        if (!IsPortList(Value(record, "listen_port"), &listening) ||
            !IsPortList(Value(record, "establish_port"), &established) ||
            count < static_cast<int64_t>(established) || (established == 0) != (count == 0)) {
            Problem(where + ": ports \"" + Value(record, "listen_port") + "\" \"" +
                    Value(record, "establish_port") + "\" " + Value(record, "connect_count"));
        }
    }

    std::vector<std::string>* m_problems;
};

}  // namespace

bool ReadReport(const std::string& text, Report* report, std::vector<std::string>* problems) {
    return FormatCheck(problems).Read(text, report);
}

}  // namespace campaign
