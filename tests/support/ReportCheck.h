#pragma once

// Reading the reports the module handed to the network channel.

#include <gtest/gtest.h>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <string>
#include <vector>

#include "layer/Control.h"

// Parses a report as strict JSON: one value, nothing after it. Every report a
// test sees goes through here, so an escaping slip cannot hide.
inline void ParseStrict(const std::string& text, rapidjson::Document* document) {
    document->Parse(text.data(), text.size());
    ASSERT_FALSE(document->HasParseError())
        << rapidjson::GetParseError_En(document->GetParseError()) << " at "
        << document->GetErrorOffset() << " in " << text;
    ASSERT_TRUE(document->IsObject());
}

// Bodies of every message sent, each checked for its type and strict syntax.
inline std::vector<std::string> SentReports() {
    std::vector<std::string> bodies;
    for (const auto& message : layer::SentMessages()) {
        EXPECT_EQ(message.first, "T_PROCESS_LIST_INFO_RSP");
        rapidjson::Document document;
        ParseStrict(message.second, &document);
        bodies.push_back(message.second);
    }
    return bodies;
}

// Pids of the "process" array of a report, in order.
inline std::vector<int64_t> ReportedPids(const std::string& body) {
    rapidjson::Document document;
    document.Parse(body.data(), body.size());
    std::vector<int64_t> pids;
    for (const auto& record : document["process"].GetArray()) {
        pids.push_back(record["pid"].GetInt64());
    }
    return pids;
}
