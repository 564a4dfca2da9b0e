// Pins what RapidJSON's compact writer does with every byte value, since the
// report relies on it for its escaping rules.

#include <gtest/gtest.h>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdio>
#include <string>

namespace {

std::string WriteString(const std::string& value) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
    return std::string(buffer.GetString(), buffer.GetSize());
}

// The report's rule: \" \\ \b \t \n \f \r, \u00XX (upper-case hex) for the
// other bytes below 0x20, every other byte copied unchanged.
std::string Expected(unsigned char byte) {
    switch (byte) {
        case '"':
            return "\\\"";
        case '\\':
            return "\\\\";
        case 0x08:
            return "\\b";
        case 0x09:
            return "\\t";
        case 0x0A:
            return "\\n";
        case 0x0C:
            return "\\f";
        case 0x0D:
            return "\\r";
        default:
            break;
    }
    if (byte < 0x20) {
        char text[8];
        std::snprintf(text, sizeof(text), "\\u%04X", byte);
        return text;
    }
    return std::string(1, static_cast<char>(byte));
}

TEST(JsonEscapingTest, EveryByteValueIsWrittenByTheReportRule) {
    for (int byte = 0; byte < 256; ++byte) {
        const std::string value(1, static_cast<char>(byte));
        EXPECT_EQ(WriteString(value), "\"" + Expected(static_cast<unsigned char>(byte)) + "\"")
            << "byte " << byte;
    }
}

TEST(JsonEscapingTest, EmbeddedNulAndInvalidUtf8SurviveUnchanged) {
    const std::string value("a\0b\xC3\x28\xFF/", 7);
    EXPECT_EQ(WriteString(value), std::string("\"a\\u0000b\xC3\x28\xFF/\""));
}

}  // namespace
