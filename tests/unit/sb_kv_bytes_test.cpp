// The member builders every reply and event is made of: exact bytes, commas, extremes.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "util.h"

namespace {

std::string text(const sb_t& s) { return s.buf ? std::string(s.buf, s.len) : std::string(); }

TEST(SbKv, MembersHaveExactBytesWithAndWithoutComma) {
    sb_t s;
    EXPECT_EQ(sb_kv_str(&s, "id", "r\"1\n", 1), 0);
    EXPECT_EQ(sb_kv_bool(&s, "ok", 1, 1), 0);
    EXPECT_EQ(sb_kv_bool(&s, "off", 0, 1), 0);
    EXPECT_EQ(sb_kv_int(&s, "n", -42, 1), 0);
    EXPECT_EQ(sb_kv_raw(&s, "result", "{\"pong\":true}", 0), 0);
    EXPECT_EQ(text(s), "\"id\":\"r\\\"1\\n\",\"ok\":true,\"off\":false,\"n\":-42,\"result\":{\"pong\":true}");
    EXPECT_EQ(s.buf[s.len], '\0');
}

TEST(SbKv, IntegerExtremesAndNullValues) {
    sb_t s;
    sb_kv_int(&s, "min", LLONG_MIN, 1);
    sb_kv_int(&s, "max", LLONG_MAX, 1);
    sb_kv_str(&s, "s", nullptr, 1);
    sb_kv_raw(&s, "r", nullptr, 0);
    EXPECT_EQ(text(s), "\"min\":-9223372036854775808,\"max\":9223372036854775807,\"s\":\"\",\"r\":null");
}

TEST(SbKv, AppendsAfterExistingContentAcrossGrowth) {
    sb_t s;
    std::string big(300, 'x');
    sb_appendz(&s, "{");
    sb_kv_str(&s, "a", big.c_str(), 1);
    sb_kv_raw(&s, "b", big.c_str(), 0);
    sb_appendz(&s, "}");
    EXPECT_EQ(text(s), "{\"a\":\"" + big + "\",\"b\":" + big + "}");
    EXPECT_EQ(s.cap, 1024u);
}

}  // namespace
