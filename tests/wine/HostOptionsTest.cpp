// The host program's command line: what an operator types, and what it is told.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/host/HostOptions.h"

namespace {

struct Case {
    std::vector<std::string> args;
    const char* error;  // "" when the line is accepted
};

TEST(HostOptionsTest, ValuesFollowAsNextArgumentOrAfterEqualsAndErrorsSayWhatIsWrong) {
    const Case cases[] = {
        {{"--passes", "3", "--cmd-idx=17", "--trigger-type=a=b", "--log=x.log"}, ""},
        {{"--passes=3", "--pause-ms=0", "--timeout-ms", "5"}, ""},
        {{"--foo"}, "unknown option --foo"},
        {{"--foo=1"}, "unknown option --foo"},
        {{"--passes"}, "--passes needs a number"},
        {{"--log"}, "--log needs a value"},
        {{"--passes", "x"}, "--passes needs a number from 1 to 1000000, not \"x\""},
        {{"--passes="}, "--passes needs a number from 1 to 1000000, not \"\""},
        {{"--pause-ms=-1"}, "--pause-ms needs a number from 0 to 86400000, not \"-1\""},
        {{"--timeout-ms", "0"}, "--timeout-ms needs a number from 1 to 86400000, not \"0\""},
    };
    for (const Case& c : cases) {
        std::vector<char*> argv = {const_cast<char*>("korvaAgentHost")};
        for (const std::string& arg : c.args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        CHostOptions options;
        std::string error;
        const bool accepted = options.Parse(static_cast<int>(argv.size()), argv.data(), &error);
        EXPECT_EQ(error, c.error) << c.args[0];
        EXPECT_EQ(accepted, error.empty()) << c.args[0];
    }
    CHostOptions options;
    char* line[] = {const_cast<char*>("host"), const_cast<char*>("--passes=3"),
                    const_cast<char*>("--trigger-type=a=b")};
    std::string error;
    ASSERT_TRUE(options.Parse(3, line, &error));
    EXPECT_EQ(options.passes, 3);
    EXPECT_EQ(options.triggerType, "a=b");
}

}  // namespace
