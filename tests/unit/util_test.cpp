// The byte string, its JSON escaping, base64, identifiers, the clock and whole-file reading.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "unit_helpers.h"
#include "util.h"

using namespace std::string_literals;

namespace {

std::string str(const sb_t& s) { return s.buf ? std::string(s.buf, s.len) : std::string(); }

std::string escaped(const std::string& in) {
    sb_t s;
    EXPECT_EQ(sb_json_escape(&s, in.data(), in.size()), 0);
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

TEST(StringBuilder, GrowsFrom256ByDoublingToExactCapacity) {
    sb_t a;
    sb_append(&a, "0123456789", 10);
    EXPECT_EQ(a.cap, 256u);
    sb_t b;
    sb_append(&b, std::string(300, 'x').data(), 300);
    EXPECT_EQ(b.cap, 512u);
    sb_t c;
    sb_append(&c, std::string(255, 'x').data(), 255);  // 255 + terminator fit exactly
    EXPECT_EQ(c.cap, 256u);
    sb_append(&c, "y", 1);
    EXPECT_EQ(c.cap, 512u);
    sb_append(&c, std::string(600, 'z').data(), 600);  // 857 bytes: 1024 after one more doubling
    EXPECT_EQ(c.cap, 1024u);
    EXPECT_EQ(c.len, 856u);
    ASSERT_EQ(sb_reserve(&c, 10), 0);
    EXPECT_EQ(c.cap, 1024u);  // room already there
    c.len = 0;                 // owners may reuse the buffer; capacity never shrinks
    sb_append(&c, "q", 1);
    EXPECT_EQ(c.cap, 1024u);
    EXPECT_STREQ(c.buf, "q");
}

TEST(StringBuilder, KeepsNulBytesAndTerminatesEveryAppend) {
    sb_t s;
    EXPECT_EQ(s.buf, nullptr);
    sb_append(&s, "a\0b", 3);
    EXPECT_EQ(s.len, 3u);
    EXPECT_EQ(str(s), "a\0b"s);
    EXPECT_EQ(s.buf[3], '\0');
    sb_append(&s, "", 0);
    EXPECT_EQ(s.len, 3u);
    sb_appendz(&s, "cd");
    EXPECT_EQ(str(s), "a\0bcd"s);
    EXPECT_EQ(s.buf[5], '\0');
    sb_free(&s);
    EXPECT_EQ(s.buf, nullptr);
    EXPECT_EQ(s.len, 0u);
    EXPECT_EQ(s.cap, 0u);
    sb_free(&s);
    sb_free(nullptr);
}

TEST(StringBuilder, MovesTransferTheBufferAndEmptyTheSource) {
    sb_t a;
    sb_appendz(&a, "hello");
    char* buf = a.buf;
    sb_t b(std::move(a));
    EXPECT_EQ(b.buf, buf);
    EXPECT_EQ(str(b), "hello");
    EXPECT_EQ(a.buf, nullptr);
    EXPECT_EQ(a.len, 0u);
    EXPECT_EQ(a.cap, 0u);
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

TEST(StringBuilder, PrintfAppendsAndGrows) {
    sb_t s;
    ASSERT_EQ(sb_printf(&s, "%s=%d", "n", -3), 0);
    std::string longer(400, 'L');
    ASSERT_EQ(sb_printf(&s, "[%s|%05.1f]", longer.c_str(), 2.5), 0);
    EXPECT_EQ(str(s), "n=-3[" + longer + "|002.5]");
    EXPECT_EQ(s.cap, 512u);
    ASSERT_EQ(sb_printf(&s, "%s", ""), 0);
    EXPECT_EQ(s.len, 4u + 1 + 400 + 7);
}

TEST(JsonEscape, EscapesControlQuoteBackslashAndPassesTheRest) {
    EXPECT_EQ(escaped("\t\"\\\x01\x7f/\xc3\xa9"), "\\t\\\"\\\\\\u0001\x7f/\xc3\xa9");
    EXPECT_EQ(escaped("\b\f\n\r\x1b\x1f\x0b"), "\\b\\f\\n\\r\\u001b\\u001f\\u000b");
    EXPECT_EQ(escaped("a\0b"s), "a\\u0000b");
    EXPECT_EQ(escaped("\xff\xfe invalid UTF-8 \x80"), "\xff\xfe invalid UTF-8 \x80");
    EXPECT_EQ(escaped(" ~'<>&"), " ~'<>&");
    EXPECT_EQ(escaped(""), "");
}

TEST(JsonEscape, AppendsAndReservesPlainTextInOneStep) {
    sb_t s;
    sb_appendz(&s, "x");
    std::string plain(300, 'p');
    ASSERT_EQ(sb_json_escape(&s, plain.data(), plain.size()), 0);
    EXPECT_EQ(str(s), "x" + plain);
    EXPECT_EQ(s.cap, 512u);
    std::string quotes(200, '"');  // every byte doubles: growth while escaping
    ASSERT_EQ(sb_json_escape(&s, quotes.data(), quotes.size()), 0);
    EXPECT_EQ(s.len, 301u + 400u);
    EXPECT_EQ(s.buf[s.len], '\0');
}

TEST(KeyValue, FormatsMembersWithOptionalCommas) {
    sb_t s;
    sb_kv_str(&s, "a", "x\"y", 1);
    sb_kv_str(&s, "z", nullptr, 1);
    sb_kv_int(&s, "n", LLONG_MIN, 1);
    sb_kv_bool(&s, "t", 7, 1);
    sb_kv_bool(&s, "f", 0, 1);
    sb_kv_raw(&s, "r", "[1,{}]", 0);
    EXPECT_EQ(str(s), R"("a":"x\"y","z":"","n":-9223372036854775808,"t":true,"f":false,"r":[1,{}])");
}

TEST(Base64, EncodesWithPadding) {
    const size_t lens[] = {0, 4, 4, 4, 8};
    for (size_t n = 0; n < 5; n++) EXPECT_EQ(b64_encoded_len(n), lens[n]);
    EXPECT_EQ(b64(""), "");
    EXPECT_EQ(b64("a"), "YQ==");
    EXPECT_EQ(b64("ab"), "YWI=");
    EXPECT_EQ(b64("abc"), "YWJj");
    EXPECT_EQ(b64("abcd"), "YWJjZA==");
    EXPECT_EQ(b64("\xfb\xff\xbf"), "+/+/");
    EXPECT_EQ(b64("\0\0\0"s), "AAAA");
}

TEST(Base64, DecodesTolerantly) {
    EXPECT_EQ(unb64("YWJj"), "abc");
    EXPECT_EQ(unb64("YW Jj\n\r\t"), "abc");
    EXPECT_EQ(unb64("YQ==garbage-_!"), "a");
    EXPECT_EQ(unb64("QQ"), "A");
    EXPECT_EQ(unb64("QQ=="), "A");
    EXPECT_EQ(unb64(""), "");
    EXPECT_EQ(unb64("=QUFB"), "");
    EXPECT_EQ(unb64("+/+/"), "\xfb\xff\xbf");
    for (const std::string& bad : {"YW-j"s, "YW_j"s, "YW\0j"s, "YW\xc3\xa9"s, "YW.j"s})
        EXPECT_EQ(unb64(bad), "<-1>");
}

TEST(Base64, DecodeRefusesOutputBeyondCapacity) {
    EXPECT_EQ(unb64("YWJj", 2), "<-1>");
    EXPECT_EQ(unb64("YWJj", 3), "abc");
    EXPECT_EQ(unb64("YQ==", 1), "a");
    EXPECT_EQ(unb64("YQ", 0), "<-1>");
}

TEST(Base64, EveryByteValueRoundTrips) {
    std::string all;
    for (int i = 0; i < 256; i++) all += static_cast<char>(i);
    for (size_t cut : {256u, 255u, 254u}) {
        std::string in = all.substr(0, cut);
        EXPECT_EQ(unb64(b64(in), 256), in) << cut;
    }
}

TEST(GenId, SixteenLowerHexDigitsAndDistinct) {
    std::set<std::string> seen;
    for (int i = 0; i < 1000; i++) {
        char id[17];
        memset(id, 'X', sizeof id);
        gen_id(id);
        ASSERT_EQ(id[16], '\0');
        std::string s(id);
        ASSERT_EQ(s.size(), 16u);
        ASSERT_EQ(s.find_first_not_of("0123456789abcdef"), std::string::npos) << s;
        seen.insert(s);
    }
    EXPECT_EQ(seen.size(), 1000u);
}

TEST(NowMs, CountsMonotonicMilliseconds) {
    uint64_t a = now_ms();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    uint64_t b = now_ms();
    EXPECT_GE(b - a, 30u);
    EXPECT_LT(b - a, 30000u);
}

TEST(ReadFileAll, ExactLimitLoadsAndOneOverKeepsLeadingChunks) {
    TempDir d;
    std::string content;
    for (int i = 0; i < 65537; i++) content += static_cast<char>('a' + i % 26);
    std::string exact = d.write("exact", content.substr(0, 65536));
    std::string over = d.write("over", content);
    sb_t out;
    sb_appendz(&out, "pre:");
    ASSERT_EQ(read_file_all(exact.c_str(), &out, 65536), 0);
    EXPECT_EQ(str(out), "pre:" + content.substr(0, 65536));
    sb_t part;
    EXPECT_EQ(read_file_all(over.c_str(), &part, 65536), -1);
    EXPECT_EQ(part.len, 65536u);  // the sixteen whole chunks read before the limit was passed
    EXPECT_EQ(str(part), content.substr(0, part.len));
    EXPECT_EQ(part.buf[part.len], '\0');
    sb_t none;
    EXPECT_EQ(read_file_all(over.c_str(), &none, 0), -1);
    EXPECT_EQ(none.len, 0u);
}

TEST(ReadFileAll, EmptyFileAndMissingFile) {
    TempDir d;
    std::string empty = d.write("empty", "");
    sb_t out;
    EXPECT_EQ(read_file_all(empty.c_str(), &out, 10), 0);
    EXPECT_EQ(out.buf, nullptr);
    sb_appendz(&out, "kept");
    EXPECT_EQ(read_file_all((d.path + "/missing").c_str(), &out, 10), -1);
    EXPECT_EQ(read_file_all(empty.c_str(), &out, 0), 0);
    EXPECT_EQ(str(out), "kept");
}
