// Base64: padding, every byte value, tolerant decoding and its refusals.
#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>
#include <utility>

#include "base/b64.h"

using namespace std::string_literals;

namespace {

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

TEST(Base64, EncodesWithPaddingAndEveryByteValueRoundTrips) {
    const std::pair<std::string, std::string> rows[] = {{"", ""},
                                                        {"a", "YQ=="},
                                                        {"ab", "YWI="},
                                                        {"abc", "YWJj"},
                                                        {"abcd", "YWJjZA=="},
                                                        {"\0\0\0"s, "AAAA"},
                                                        {"\xfb\xff\xbf", "+/+/"}};
    for (const auto& [in, out] : rows) EXPECT_EQ(b64(in), out) << out;
    std::string all;
    for (int i = 0; i < 256; i++) all += static_cast<char>(i);
    for (size_t cut : {256u, 255u, 254u}) EXPECT_EQ(unb64(b64(all.substr(0, cut)), 256), all.substr(0, cut)) << cut;
}

TEST(Base64, DecodesTolerantlyButRefusesForeignBytesAndOverflow) {
    // Blanks are skipped, the first '=' ends the text, a missing pad is fine.
    const std::pair<std::string, std::string> rows[] = {
        {"YWJj", "abc"},    {"YW Jj\n\r\t", "abc"}, {"YQ==garbage-_!", "a"},  {"QQ", "A"},      {"QQ==", "A"},
        {"", ""},           {"=QUFB", ""},          {"+/+/", "\xfb\xff\xbf"}, {"YW-j", "<-1>"}, {"YW_j", "<-1>"},
        {"YW\0j"s, "<-1>"}, {"YW\xc3\xa9", "<-1>"}, {"YW.j", "<-1>"}};
    for (const auto& [in, out] : rows) EXPECT_EQ(unb64(in), out) << in;
    EXPECT_EQ(unb64("YWJj", 2), "<-1>");
    EXPECT_EQ(unb64("YWJj", 3), "abc");
    EXPECT_EQ(unb64("YQ==", 1), "a");
    EXPECT_EQ(unb64("YQ", 0), "<-1>");
}
