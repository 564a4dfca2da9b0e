// Runs with TZ=Asia/Tokyo: the time text must not follow the machine's zone.

#include <windows.h>

#include <gtest/gtest.h>

#include "host/RynUtil.h"

namespace {

TEST(TimeZoneTest, TimeTextIsUtcInAZoneNineHoursAhead) {
    TIME_ZONE_INFORMATION zone;
    GetTimeZoneInformation(&zone);
    ASSERT_EQ(zone.Bias, -540) << "the test runs with TZ=Asia/Tokyo";
    EXPECT_EQ(ryn::CTimeUtil(0).ToString("%Y%m%d%H%M%S"), "19700101000000");
    EXPECT_EQ(ryn::CTimeUtil(1700000000).ToString("%H:%M"), "22:13");
}

}  // namespace
