// The request tokenizer: token shapes and every acceptance rule.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "jsmn.h"
#include "unit_helpers.h"

using namespace std::string_literals;

namespace {

int parse(const std::string& s, unsigned cap = 1024) { return Parsed(s, cap).rc; }

// Each token as the letter of its kind (Object, Array, String, Primitive) and its size.
std::string shape(const Parsed& p) {
    std::string s;
    for (const jsmntok_t& t : p.toks) s += (s.empty() ? "" : " ") + ("?OASP"[t.type] + std::to_string(t.size));
    return s;
}

constexpr int INVAL = JSMN_ERROR_INVAL, PART = JSMN_ERROR_PART, ANY_ERROR = -100;

}  // namespace

TEST(Tokenizer, TokensArePreOrderWithRawRangesAndSizes) {
    Parsed p(R"({"a":1,"b":[true,"x\n"],"c":{}})");
    EXPECT_EQ(shape(p), "O3 S1 P0 S1 A2 P0 S0 S1 O0");
    EXPECT_EQ(p.toks[0].start, 0);
    EXPECT_EQ(p.toks[0].end, static_cast<int>(p.js.size()));
    EXPECT_EQ(p.text(1), "a");     // strings exclude their quotes
    EXPECT_EQ(p.text(6), "x\\n");  // and are never unescaped
    EXPECT_EQ(p.text(4), "[true,\"x\\n\"]");
    EXPECT_EQ(p.text(8), "{}");
    EXPECT_EQ(shape(Parsed("[-,0,tx,nope,fals3,1e+9]")), "A6 P0 P0 P0 P0 P0 P0");  // primitives unvalidated
    // Values after the first are tokenized too.
    EXPECT_EQ(shape(Parsed(R"({"op":"ping"} 7 "x" [])")), "O1 S1 S0 P0 S0 A0");
}

// The token count, or the error, for inputs that each exercise one acceptance rule.
TEST(Tokenizer, AcceptanceRules) {
    const std::pair<std::string, int> rows[] = {
        // Empty or blank input gives no token; input ends at the first NUL outside a string.
        {"", 0}, {" \t\r\n", 0}, {"\0{}"s, 0}, {"{\"a\":1}\0garbage{"s, 3}, {"{\"a\":1\0}"s, PART},
        {"[12\0x]"s, PART}, {"{\"a\":\"x\0y\"}"s, ANY_ERROR},
        // Only four blanks separate tokens; anything else outside a token is refused.
        {" \t\r\n{ \"a\" :\t1 \r\n}\n", 3}, {"\v{}", INVAL}, {"{}\f", INVAL}, {"{};", INVAL},
        {"{'a':1}", INVAL}, {"x", INVAL}, {"{} x", INVAL}, {"{}=", INVAL}, {"+1", INVAL}, {".5", INVAL},
        {"T", INVAL},
        // A primitive ends at a separator; a control or high byte inside one is refused.
        {"1 2\t3\r4\n5", 5}, {"[12\x01]", INVAL}, {"[tr\x7f]", INVAL}, {"[1\x80]", INVAL},
        {"[n\x1b]", INVAL}, {"1\x0b", INVAL},
        // In an object a primitive is neither a key nor a second value; elsewhere they may follow.
        {"{1:2}", INVAL}, {"{\"a\":1,2:3}", INVAL}, {"{\"a\":{\"b\":1},true:3}", INVAL}, {"{\"a\" 1}", INVAL},
        {"{\"a\":1 2}", INVAL}, {"{\"a\":\"s\" 2}", INVAL}, {"{\"a\":[1] 2}", INVAL}, {"[1 2]", 3},
        {"{\"a\":[1,2],\"b\":3}", 7},
        // String escapes are checked; an unterminated string is refused.
        {R"(["\x"])", INVAL}, {R"(["\a"])", INVAL}, {R"(["\'"])", INVAL}, {R"(["\U0041"])", INVAL},
        {R"(["\u12G4"])", INVAL}, {R"(["\u12"])", INVAL}, {R"(["\u"])", INVAL}, {"\"abc", ANY_ERROR},
        {"[\"abc", ANY_ERROR}, {"\"ab\\", ANY_ERROR}, {"\"ab\\\"", ANY_ERROR}, {"[\"\\u12", ANY_ERROR},
        // A closer must match the innermost open container; none may be open at the end.
        {"}", INVAL}, {"]", INVAL}, {"[}", INVAL}, {"{]", INVAL}, {"[[]]]", INVAL}, {"{}}", INVAL},
        {"{\"a\":[}", INVAL}, {"[{]}", INVAL}, {"[{},[[]],{\"a\":[{}]}]", 8}, {"{", PART}, {"[", PART},
        {"{\"a\":[1,2]", PART}, {"[{}", PART}, {"{\"a\":{\"b\":1}", PART}, {"{} {", PART}};
    for (const auto& [in, want] : rows) {
        if (want == ANY_ERROR) EXPECT_LT(parse(in), 0) << in;
        else EXPECT_EQ(parse(in), want) << in;
    }
    // The given length ends the input as well.
    jsmntok_t t[4];
    jsmn_parser pr;
    jsmn_init(&pr);
    EXPECT_EQ(jsmn_parse(&pr, "[1,2]", 4, t, 4), PART);
}

// The text and kind of one token: primitives are not validated, strings are kept raw.
TEST(Tokenizer, TokenTextIsRawAndUnvalidated) {
    // {input, token count, index, kind, text}
    const std::tuple<std::string, int, int, jsmntype_t, std::string> rows[] = {
        {"123", 1, 0, JSMN_PRIMITIVE, "123"},  // a primitive may end the input
        {"{\"a\":-7}", 3, 2, JSMN_PRIMITIVE, "-7"},
        {"[-,0,tx,nope,fals3,1e+9]", 7, 3, JSMN_PRIMITIVE, "tx"},
        {"[-,0,tx,nope,fals3,1e+9]", 7, 6, JSMN_PRIMITIVE, "1e+9"},
        {"[tru\"e,1{]", 3, 1, JSMN_PRIMITIVE, "tru\"e"},  // a quote or a brace does not end a primitive
        {"[tru\"e,1{]", 3, 2, JSMN_PRIMITIVE, "1{"},
        {R"(["\"\\\/\b\f\n\r\t\u00aF\uBEEF"])", 2, 1, JSMN_STRING, R"(\"\\\/\b\f\n\r\t\u00aF\uBEEF)"},
        {"[\"a\x01\tb\x7f\xc3\xa9\xff\"]", 2, 1, JSMN_STRING, "a\x01\tb\x7f\xc3\xa9\xff"},
    };
    for (const auto& [js, rc, i, type, text] : rows) {
        Parsed p(js);
        ASSERT_EQ(p.rc, rc) << js;
        EXPECT_EQ(p.toks[i].type, type) << js;
        EXPECT_EQ(p.text(i), text) << js;
    }
}

TEST(Tokenizer, ExactlyTheTokenCapacityIsAccepted) {
    std::string arr = "[0";
    for (int i = 1; i < 1023; i++) arr += ",0";
    EXPECT_EQ(parse(arr + "]"), 1024);  // the array and 1023 elements
    for (const char* one_more : {",0]", ",\"s\"]", ",{}]"}) EXPECT_EQ(parse(arr + one_more), JSMN_ERROR_NOMEM);
}
