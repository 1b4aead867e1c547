// Byte strings, JSON escaping, base64, ids, whole-file reads (the clock: exec_test's grace timings).
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "unit_helpers.h"
#include "base/sb.h"
#include "base/fdio.h"
#include "base/b64.h"
#include "base/ids.h"

using namespace std::string_literals;

namespace {

std::string str(const sb_t& s) { return s.buf ? std::string(s.buf, s.len) : std::string(); }

std::string escaped(const std::string& in) {
    sb_t s;
    EXPECT_EQ(sb_json_escape(&s, in.data(), in.size()), 0);
    EXPECT_TRUE(s.len == 0 || s.buf[s.len] == '\0');
    return str(s);
}

std::string b64(const std::string& in) {
    std::string out(b64_encoded_len(in.size()) + 1, '?');
    size_t n = b64_encode(reinterpret_cast<const unsigned char*>(in.data()), in.size(), out.data());
    EXPECT_EQ(n, b64_encoded_len(in.size()));
    EXPECT_EQ(out[n], '\0');
    out.resize(n);
    return out;
}

// The decoded bytes, or "<rc>" for a negative result.
std::string unb64(const std::string& in, size_t cap = 64) {
    std::string out(cap, '\0');
    ssize_t n = b64_decode(in.data(), in.size(), reinterpret_cast<unsigned char*>(out.data()), cap);
    return n < 0 ? "<" + std::to_string(n) + ">" : out.substr(0, static_cast<size_t>(n));
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

TEST(Base64, EncodesWithPaddingAndEveryByteValueRoundTrips) {
    const std::pair<std::string, std::string> rows[] = {{"", ""},         {"a", "YQ=="},         {"ab", "YWI="},
                                                        {"abc", "YWJj"},  {"abcd", "YWJjZA=="},  {"\0\0\0"s, "AAAA"},
                                                        {"\xfb\xff\xbf", "+/+/"}};
    for (const auto& [in, out] : rows) EXPECT_EQ(b64(in), out) << out;
    std::string all;
    for (int i = 0; i < 256; i++) all += static_cast<char>(i);
    for (size_t cut : {256u, 255u, 254u}) EXPECT_EQ(unb64(b64(all.substr(0, cut)), 256), all.substr(0, cut)) << cut;
}

TEST(Base64, DecodesTolerantlyButRefusesForeignBytesAndOverflow) {
    // Blanks are skipped, the first '=' ends the text, a missing pad is fine.
    const std::pair<std::string, std::string> rows[] = {
        {"YWJj", "abc"}, {"YW Jj\n\r\t", "abc"}, {"YQ==garbage-_!", "a"}, {"QQ", "A"},        {"QQ==", "A"},
        {"", ""},        {"=QUFB", ""},          {"+/+/", "\xfb\xff\xbf"}, {"YW-j", "<-1>"},  {"YW_j", "<-1>"},
        {"YW\0j"s, "<-1>"}, {"YW\xc3\xa9", "<-1>"}, {"YW.j", "<-1>"}};
    for (const auto& [in, out] : rows) EXPECT_EQ(unb64(in), out) << in;
    EXPECT_EQ(unb64("YWJj", 2), "<-1>");
    EXPECT_EQ(unb64("YWJj", 3), "abc");
    EXPECT_EQ(unb64("YQ==", 1), "a");
    EXPECT_EQ(unb64("YQ", 0), "<-1>");
}

TEST(GenId, SixteenLowerHexDigitsAndDistinct) {
    std::set<std::string> seen;
    for (char id[17]; seen.size() < 1000; seen.insert(id)) {
        memset(id, 'X', sizeof id);
        gen_id(id);
        ASSERT_TRUE(id[16] == '\0' && strspn(id, "0123456789abcdef") == 16) << std::string(id, sizeof id);
        ASSERT_EQ(seen.count(id), 0u) << id;
    }
}

TEST(ReadFileAll, LimitEmptyAndMissingFiles) {
    TempDir d;
    std::string content;
    for (int i = 0; i < 65537; i++) content += static_cast<char>('a' + i % 26);
    std::string exact = d.write("exact", content.substr(0, 65536)), over = d.write("over", content);
    sb_t out;
    sb_appendz(&out, "pre:");
    ASSERT_EQ(read_file_all(exact.c_str(), &out, 65536), 0);
    EXPECT_EQ(str(out), "pre:" + content.substr(0, 65536));
    sb_t part;
    EXPECT_EQ(read_file_all(over.c_str(), &part, 65536), -1);
    EXPECT_EQ(str(part), content.substr(0, 65536));  // the sixteen whole chunks read before the limit
    sb_t none;
    EXPECT_EQ(read_file_all(over.c_str(), &none, 0), -1);
    EXPECT_EQ(none.len, 0u);

    std::string empty = d.write("empty", "");
    sb_t kept;
    EXPECT_EQ(read_file_all(empty.c_str(), &kept, 10), 0);
    EXPECT_EQ(kept.buf, nullptr);
    sb_appendz(&kept, "kept");
    EXPECT_EQ(read_file_all((d.path + "/missing").c_str(), &kept, 10), -1);
    EXPECT_EQ(read_file_all(empty.c_str(), &kept, 0), 0);
    EXPECT_EQ(str(kept), "kept");
}
