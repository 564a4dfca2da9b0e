#pragma once

// A process list report as the campaign reads it, and the rules of its format that
// hold whatever failed: members in their order and count, their types, 14-digit
// times, port lists, ascending pids and the fixed System record last.

#include <cstdint>
#include <string>
#include <vector>

namespace campaign {

// A member as the checks see it: numbers as decimal text.
struct Member {
    std::string key;
    std::string value;
};
typedef std::vector<Member> Record;

struct Report {
    std::string cmdIdx;
    std::string triggerType;
    std::string scanTime;
    std::vector<Record> processes;  // the records before the System record
    Record system;
};

// Reads a report; false, with each broken rule in problems, when it breaks any.
bool ReadReport(const std::string& text, Report* report, std::vector<std::string>* problems);

// The member's value, or null (Find) or "" (Value) when the record has none.
const std::string* Find(const Record& record, const std::string& key);
std::string Value(const Record& record, const std::string& key);

}  // namespace campaign
