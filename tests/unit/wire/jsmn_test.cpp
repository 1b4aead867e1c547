// The request tokenizer: tokens in pre-order with their raw text, what it accepts, its capacity.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "unit_helpers.h"
#include "wire/jsmn.h"

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

// Tokens in pre-order; texts are raw: strings unquoted, never unescaped, primitives unvalidated.
TEST(Tokenizer, TokensArePreOrderWithRawUnvalidatedText) {
    const struct {
        std::string js, shape;
        std::vector<std::pair<int, std::string>> texts;  // {token index, text}
    } rows[] = {
        {R"({"a":1,"b":[true,"x\n"],"c":{}})",
         "O3 S1 P0 S1 A2 P0 S0 S1 O0",
         {{0, R"({"a":1,"b":[true,"x\n"],"c":{}})"}, {1, "a"}, {4, R"([true,"x\n"])"}, {6, R"(x\n)"}, {8, "{}"}}},
        {"[-,0,tx,nope,fals3,1e+9]", "A6 P0 P0 P0 P0 P0 P0", {{3, "tx"}, {6, "1e+9"}}},
        {R"({"op":"ping"} 7 "x" [])", "O1 S1 S0 P0 S0 A0", {}},  // values after the first are tokenized too
        {"123", "P0", {{0, "123"}}},                             // a primitive may end the input
        {"{\"a\":-7}", "O1 S1 P0", {{2, "-7"}}},
        {"[tru\"e,1{]", "A2 P0 P0", {{1, "tru\"e"}, {2, "1{"}}},  // a quote or a brace does not end a primitive
        {R"(["\"\\\/\b\f\n\r\t\u00aF\uBEEF"])", "A1 S0", {{1, R"(\"\\\/\b\f\n\r\t\u00aF\uBEEF)"}}},
        {"[\"a\x01\tb\x7f\xc3\xa9\xff\"]", "A1 S0", {{1, "a\x01\tb\x7f\xc3\xa9\xff"}}},
    };
    for (const auto& r : rows) {
        Parsed p(r.js);
        EXPECT_EQ(shape(p), r.shape) << r.js;
        for (const auto& [i, text] : r.texts) EXPECT_EQ(i < p.n() ? p.text(i) : "<none>", text) << r.js;
    }
}

// The token count, or the error, for inputs that each exercise one acceptance rule.
TEST(Tokenizer, AcceptanceRules) {
    const std::pair<std::string, int> rows[] = {
        // Empty or blank input gives no token; input ends at the first NUL outside a string.
        {"", 0},
        {" \t\r\n", 0},
        {"\0{}"s, 0},
        {"{\"a\":1}\0garbage{"s, 3},
        {"{\"a\":1\0}"s, PART},
        {"[12\0x]"s, PART},
        {"{\"a\":\"x\0y\"}"s, ANY_ERROR},
        // Only four blanks separate tokens; anything else outside a token is refused.
        {" \t\r\n{ \"a\" :\t1 \r\n}\n", 3},
        {"\v{}", INVAL},
        {"{}\f", INVAL},
        {"{};", INVAL},
        {"{'a':1}", INVAL},
        {"x", INVAL},
        {"{} x", INVAL},
        {"{}=", INVAL},
        {"+1", INVAL},
        {".5", INVAL},
        {"T", INVAL},
        // A primitive ends at a separator; a control or high byte inside one is refused.
        {"1 2\t3\r4\n5", 5},
        {"[12\x01]", INVAL},
        {"[tr\x7f]", INVAL},
        {"[1\x80]", INVAL},
        {"[n\x1b]", INVAL},
        {"1\x0b", INVAL},
        // In an object a primitive is neither a key nor a second value; elsewhere they may follow.
        {"{1:2}", INVAL},
        {"{\"a\":1,2:3}", INVAL},
        {"{\"a\":{\"b\":1},true:3}", INVAL},
        {"{\"a\" 1}", INVAL},
        {"{\"a\":1 2}", INVAL},
        {"{\"a\":\"s\" 2}", INVAL},
        {"{\"a\":[1] 2}", INVAL},
        {"[1 2]", 3},
        {"{\"a\":[1,2],\"b\":3}", 7},
        // String escapes are checked; an unterminated string is refused.
        {R"(["\x"])", INVAL},
        {R"(["\a"])", INVAL},
        {R"(["\'"])", INVAL},
        {R"(["\U0041"])", INVAL},
        {R"(["\u12G4"])", INVAL},
        {R"(["\u12"])", INVAL},
        {R"(["\u"])", INVAL},
        {"\"abc", ANY_ERROR},
        {"[\"abc", ANY_ERROR},
        {"\"ab\\", ANY_ERROR},
        {"\"ab\\\"", ANY_ERROR},
        {"[\"\\u12", ANY_ERROR},
        // A closer must match the innermost open container; none may be open at the end.
        {"}", INVAL},
        {"]", INVAL},
        {"[}", INVAL},
        {"{]", INVAL},
        {"[[]]]", INVAL},
        {"{}}", INVAL},
        {"{\"a\":[}", INVAL},
        {"[{]}", INVAL},
        {"[{},[[]],{\"a\":[{}]}]", 8},
        {"{", PART},
        {"[", PART},
        {"{\"a\":[1,2]", PART},
        {"[{}", PART},
        {"{\"a\":{\"b\":1}", PART},
        {"{} {", PART}};
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

TEST(Tokenizer, ExactlyTheTokenCapacityIsAccepted) {
    std::string arr = "[0";
    for (int i = 1; i < 1023; i++) arr += ",0";
    EXPECT_EQ(parse(arr + "]"), 1024);  // the array and 1023 elements
    for (const char* one_more : {",0]", ",\"s\"]", ",{}]"}) EXPECT_EQ(parse(arr + one_more), JSMN_ERROR_NOMEM);
}
