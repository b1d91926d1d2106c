#include <gtest/gtest.h>
#include "app/Log.h"
TEST(Log, Tags) { EXPECT_STREQ(CLog::TagFor(2), "[WARN] "); }
