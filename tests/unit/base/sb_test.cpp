// Byte strings: appends, moves, JSON escaping and object members.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <utility>

#include "base/sb.h"
#include "unit_helpers.h"

using namespace std::string_literals;

namespace {

std::string escaped(const std::string& in) {
    sb_t s;
    EXPECT_EQ(sb_json_escape(&s, in.data(), in.size()), 0);
    EXPECT_TRUE(s.len == 0 || s.buf[s.len] == '\0');
    return str(s);
}

}  // namespace

// Appends keep NUL bytes and terminate; capacity doubles from 256 and the terminator needs room.
TEST(StringBuilder, AppendsKeepNulBytesTerminateAndDoubleTheCapacity) {
    sb_t g;
    for (auto [n, cap] : {std::pair<size_t, size_t>{255, 256}, {1, 512}, {600, 1024}}) {
        sb_append(&g, std::string(n, 'x').data(), n);
        EXPECT_EQ(g.cap, cap) << n;
    }
    sb_t s;
    EXPECT_EQ(s.buf, nullptr);
    sb_append(&s, "a\0b", 3);
    sb_append(&s, "", 0);
    EXPECT_EQ(str(s), "a\0b"s);
    EXPECT_EQ(s.buf[3], '\0');
    sb_appendz(&s, "cd");
    EXPECT_EQ(s.buf[5], '\0');
    ASSERT_EQ(sb_printf(&s, "%s=%d", "n", -3), 0);
    std::string longer(400, 'L');  // printf grows the buffer
    ASSERT_EQ(sb_printf(&s, "[%s|%05.1f]", longer.c_str(), 2.5), 0);
    ASSERT_EQ(sb_printf(&s, "%s", ""), 0);
    EXPECT_EQ(str(s), "a\0bcdn=-3["s + longer + "|002.5]");
    EXPECT_EQ(s.buf[s.len], '\0');
    sb_free(&s);
    EXPECT_TRUE(s.buf == nullptr && s.len == 0 && s.cap == 0);
    sb_free(&s);
    sb_free(nullptr);
}

TEST(StringBuilder, MovesTransferTheBufferAndEmptyTheSource) {
    sb_t a;
    sb_appendz(&a, "hello");
    char* buf = a.buf;
    sb_t b(std::move(a));
    EXPECT_EQ(b.buf, buf);
    EXPECT_TRUE(a.buf == nullptr && a.len == 0 && a.cap == 0);
    sb_t c;
    sb_appendz(&c, "old, freed on assignment");
    c = std::move(b);
    EXPECT_EQ(c.buf, buf);
    EXPECT_EQ(b.buf, nullptr);
    sb_t& self = c;
    c = std::move(self);
    EXPECT_EQ(str(c), "hello");
    sb_appendz(&a, "reusable");  // a moved-from string is a fresh one
    EXPECT_EQ(str(a), "reusable");
}

TEST(JsonEscape, EscapesControlQuoteBackslashAndPassesTheRest) {
    EXPECT_EQ(escaped("\t\"\\\x01\x7f/\xc3\xa9"), "\\t\\\"\\\\\\u0001\x7f/\xc3\xa9");
    EXPECT_EQ(escaped("\b\f\n\r\x1b\x1f\x0b"), "\\b\\f\\n\\r\\u001b\\u001f\\u000b");
    EXPECT_EQ(escaped("a\0b"s), "a\\u0000b");
    EXPECT_EQ(escaped("\xff\xfe invalid UTF-8 \x80"), "\xff\xfe invalid UTF-8 \x80");
    EXPECT_EQ(escaped(" ~'<>&"), " ~'<>&");
    EXPECT_EQ(escaped(""), "");
    // A long plain run, then quotes that each double: the string grows while escaping.
    std::string quoted;
    for (int i = 0; i < 200; i++) quoted += "\\\"";
    EXPECT_EQ(escaped(std::string(300, 'p') + std::string(200, '"')), std::string(300, 'p') + quoted);
}

TEST(KeyValue, MembersHaveExactBytesWithAndWithoutComma) {
    sb_t s;
    EXPECT_EQ(sb_kv_str(&s, "a", "x\"y\n", 1), 0);
    EXPECT_EQ(sb_kv_str(&s, "z", nullptr, 1), 0);
    EXPECT_EQ(sb_kv_int(&s, "min", LLONG_MIN, 1), 0);
    EXPECT_EQ(sb_kv_int(&s, "max", LLONG_MAX, 1), 0);
    EXPECT_EQ(sb_kv_bool(&s, "t", 7, 1), 0);
    EXPECT_EQ(sb_kv_bool(&s, "f", 0, 1), 0);
    EXPECT_EQ(sb_kv_raw(&s, "n", nullptr, 1), 0);
    EXPECT_EQ(sb_kv_raw(&s, "r", "[1,{}]", 0), 0);
    EXPECT_EQ(str(s), R"("a":"x\"y\n","z":"","min":-9223372036854775808,"max":9223372036854775807,)"
                      R"("t":true,"f":false,"n":null,"r":[1,{}])");
    EXPECT_EQ(s.buf[s.len], '\0');
}
