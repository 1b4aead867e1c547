#include <gtest/gtest.h>

#include "harness.h"

TEST(Ping, AnswersWithExactBytes) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    EXPECT_EQ(d.call(R"({"id":"r1","op":"ping"})"), R"({"id":"r1","ok":true,"result":{"pong":true}})");
    EXPECT_EQ(d.stop(), 0);
}
