#include "campaign/ReportFormat.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

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

// Members in order, as "key" or "key=value"; the numbers are those of kNumberMembers.
const char kProcessMembers[] =
    "pid ppid proc_name proc_path cmd_line user start_time cpu_time elapsed_time listen_port "
    "establish_port connect_count file_size file_create_time file_modify_time file_md5 "
    "description company app_sign";
// Present only together, when the executable's times could be read.
const char kFileMembers[] = "file_size file_create_time file_modify_time file_md5";
const char kNumberMembers[] = "pid ppid cpu_time elapsed_time connect_count file_size";
// Fixed values but for the three TCP members, which carry pid 4's summary.
const char kSystemMembers[] =
    "pid=4 ppid=-1 proc_name=System proc_path= cmd_line= user=SYSTEM start_time= cpu_time=-1 "
    "elapsed_time=-1 description= company= listen_port establish_port connect_count "
    "file_size=-1 file_create_time= file_modify_time= file_md5= app_sign=";

std::vector<std::string> Words(const char* text) {
    std::vector<std::string> words;
    for (const char* at = text; *at != '\0';) {
        const char* end = std::strchr(at, ' ');
        end = end != nullptr ? end : at + std::strlen(at);
        words.emplace_back(at, end);
        at = *end == ' ' ? end + 1 : end;
    }
    return words;
}

std::string KeyOf(const std::string& word) { return word.substr(0, word.find('=')); }

bool Contains(const char* words, const std::string& key) {
    const std::vector<std::string> all = Words(words);
    return std::find(all.begin(), all.end(), key) != all.end();
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
        if (!Members(document, Words("package_info cmd_idx trigger_type scan_time process"), "root",
                     &root)) {
            return false;
        }
        const rapidjson::Value& package = document["package_info"];
        if (!package.IsObject() || package.MemberCount() != 2 ||
            package.MemberBegin()->name != "total_package" || package.MemberBegin()->value != 1 ||
            (package.MemberBegin() + 1)->name != "current_package" ||
            (package.MemberBegin() + 1)->value != 1) {
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

    // The object's members, in exactly the order of words ("key" or "key=value"), each
    // with the type its key has.
    bool Members(const rapidjson::Value& object, const std::vector<std::string>& words,
                 const std::string& where, Record* record) {
        if (!object.IsObject()) {
            return Problem(where + " is not an object");
        }
        std::string names;
        for (auto it = object.MemberBegin(); it != object.MemberEnd(); ++it) {
            names += std::string(names.empty() ? "" : " ") + it->name.GetString();
        }
        std::string wanted;
        for (const std::string& word : words) {
            wanted += (wanted.empty() ? "" : " ") + KeyOf(word);
        }
        if (names != wanted) {
            return Problem(where + " has the members " + names);
        }
        for (auto it = object.MemberBegin(); it != object.MemberEnd(); ++it) {
            const std::string key = it->name.GetString();
            const bool number = Contains(kNumberMembers, key);
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
        std::vector<std::string> keys = Words(kProcessMembers);
        if (value.IsObject() && value.MemberCount() == 15) {
            keys.erase(
                std::remove_if(keys.begin(), keys.end(),
                               [](const std::string& key) { return Contains(kFileMembers, key); }),
                keys.end());
        }
        const std::string where =
            "record" + (value.IsObject() && value.HasMember("pid") && value["pid"].IsInt64()
                            ? " of pid " + std::to_string(value["pid"].GetInt64())
                            : std::string());
        if (!Members(value, keys, where, record)) {
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
        const std::vector<std::string> words = Words(kSystemMembers);
        if (!Members(value, words, "System record", record)) {
            return;
        }
        for (size_t i = 0; i < words.size(); ++i) {
            const size_t equals = words[i].find('=');
            if (equals != std::string::npos && words[i].substr(equals + 1) != (*record)[i].value) {
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
