// The request tokenizer: token shapes and every acceptance rule.
#include <gtest/gtest.h>

#include <string>

#include "jsmn.h"
#include "unit_helpers.h"

using namespace std::string_literals;

namespace {

int parse(const std::string& s, unsigned cap = 1024) { return Parsed(s, cap).rc; }

}  // namespace

TEST(Tokenizer, TokensArePreOrderWithRawRangesAndSizes) {
    Parsed p(R"({"a":1,"b":[true,"x\n"],"c":{}})");
    ASSERT_EQ(p.rc, 9);
    const jsmntype_t kinds[] = {JSMN_OBJECT, JSMN_STRING, JSMN_PRIMITIVE, JSMN_STRING, JSMN_ARRAY,
                                JSMN_PRIMITIVE, JSMN_STRING, JSMN_STRING, JSMN_OBJECT};
    const int sizes[] = {3, 1, 0, 1, 2, 0, 0, 1, 0};
    for (int i = 0; i < 9; i++) {
        EXPECT_EQ(p.toks[i].type, kinds[i]) << i;
        EXPECT_EQ(p.toks[i].size, sizes[i]) << i;
    }
    EXPECT_EQ(p.toks[0].start, 0);
    EXPECT_EQ(p.toks[0].end, static_cast<int>(p.js.size()));
    EXPECT_EQ(p.text(1), "a");       // strings exclude their quotes
    EXPECT_EQ(p.text(6), "x\\n");    // and are never unescaped
    EXPECT_EQ(p.text(4), "[true,\"x\\n\"]");
    EXPECT_EQ(p.text(8), "{}");
}

TEST(Tokenizer, EmptyOrBlankInputGivesNoToken) {
    EXPECT_EQ(parse(""), 0);
    EXPECT_EQ(parse(" \t\r\n"), 0);
    EXPECT_EQ(parse("\0{}"s), 0);
}

TEST(Tokenizer, InputEndsAtFirstNulOutsideAString) {
    EXPECT_EQ(parse("{\"a\":1}\0garbage{"s), 3);
    EXPECT_EQ(parse("{\"a\":1\0}"s), JSMN_ERROR_PART);  // the closer lies beyond the end
    EXPECT_EQ(parse("[12\0x]"s), JSMN_ERROR_PART);
    EXPECT_LT(parse("{\"a\":\"x\0y\"}"s), 0);       // a NUL inside a string is an error
    // The given length ends the input as well.
    jsmntok_t t[4];
    jsmn_parser pr;
    jsmn_init(&pr);
    EXPECT_EQ(jsmn_parse(&pr, "[1,2]", 4, t, 4), JSMN_ERROR_PART);
}

TEST(Tokenizer, OnlyFourBlanksSeparateTokens) {
    EXPECT_EQ(parse(" \t\r\n{ \"a\" :\t1 \r\n}\n"), 3);
    for (const char* bad : {"\v{}", "{}\f", "{};", "{'a':1}", "x", "{} x", "{}=", "+1", ".5", "T"})
        EXPECT_EQ(parse(bad), JSMN_ERROR_INVAL) << bad;
}

TEST(Tokenizer, PrimitivesStartWithSignDigitOrTfnAndAreNotValidated) {
    Parsed p("[-,0,tx,nope,fals3,1e+9]");
    ASSERT_EQ(p.rc, 7);
    for (int i = 1; i < 7; i++) EXPECT_EQ(p.toks[i].type, JSMN_PRIMITIVE);
    EXPECT_EQ(p.text(3), "tx");
    EXPECT_EQ(p.text(6), "1e+9");
    // A quote or a brace does not end a primitive.
    Parsed q("[tru\"e,1{]");
    ASSERT_EQ(q.rc, 3);
    EXPECT_EQ(q.text(1), "tru\"e");
    EXPECT_EQ(q.text(2), "1{");
}

TEST(Tokenizer, PrimitiveEndsAtSeparatorOrEndOfInput) {
    Parsed p("123");
    ASSERT_EQ(p.rc, 1);
    EXPECT_EQ(p.text(0), "123");
    EXPECT_EQ(parse("1 2\t3\r4\n5"), 5);
    Parsed q("{\"a\":-7}");
    ASSERT_EQ(q.rc, 3);
    EXPECT_EQ(q.text(2), "-7");
}

TEST(Tokenizer, ControlOrHighByteInsidePrimitiveIsRefused) {
    for (const std::string& bad : {"[12\x01]"s, "[tr\x7f]"s, "[1\x80]"s, "[n\x1b]"s, "1\x0b"s})
        EXPECT_EQ(parse(bad), JSMN_ERROR_INVAL);
}

TEST(Tokenizer, PrimitiveCannotBeKeyNorSecondValue) {
    EXPECT_EQ(parse("{1:2}"), JSMN_ERROR_INVAL);
    EXPECT_EQ(parse("{\"a\":1,2:3}"), JSMN_ERROR_INVAL);
    EXPECT_EQ(parse("{\"a\":{\"b\":1},true:3}"), JSMN_ERROR_INVAL);
    EXPECT_EQ(parse("{\"a\" 1}"), JSMN_ERROR_INVAL);
    EXPECT_EQ(parse("{\"a\":1 2}"), JSMN_ERROR_INVAL);
    EXPECT_EQ(parse("{\"a\":\"s\" 2}"), JSMN_ERROR_INVAL);
    EXPECT_EQ(parse("{\"a\":[1] 2}"), JSMN_ERROR_INVAL);
    // Elsewhere primitives may follow each other.
    EXPECT_EQ(parse("[1 2]"), 3);
    EXPECT_EQ(parse("{\"a\":[1,2],\"b\":3}"), 7);
}

TEST(Tokenizer, StringEscapesAreCheckedButKeptRaw) {
    Parsed p(R"(["\"\\\/\b\f\n\r\t\u00aF\uBEEF"])");
    ASSERT_EQ(p.rc, 2);
    EXPECT_EQ(p.text(1), R"(\"\\\/\b\f\n\r\t\u00aF\uBEEF)");
    for (const char* bad : {R"(["\x"])", R"(["\a"])", R"(["\'"])", R"(["\U0041"])", R"(["\u12G4"])",
                            R"(["\u12"])", R"(["\u"])"})
        EXPECT_EQ(parse(bad), JSMN_ERROR_INVAL) << bad;
}

TEST(Tokenizer, StringTakesControlAndHighBytesAsTheyAre) {
    Parsed p("[\"a\x01\tb\x7f\xc3\xa9\xff\"]"s);
    ASSERT_EQ(p.rc, 2);
    EXPECT_EQ(p.text(1), "a\x01\tb\x7f\xc3\xa9\xff"s);
}

TEST(Tokenizer, UnterminatedStringIsRefused) {
    for (const char* bad : {"\"abc", "[\"abc", "\"ab\\", "\"ab\\\"", "[\"\\u12"})
        EXPECT_LT(parse(bad), 0) << bad;
}

TEST(Tokenizer, CloserMustMatchInnermostOpenContainer) {
    for (const char* bad : {"}", "]", "[}", "{]", "[[]]]", "{}}", "{\"a\":[}", "[{]}"})
        EXPECT_EQ(parse(bad), JSMN_ERROR_INVAL) << bad;
    EXPECT_EQ(parse("[{},[[]],{\"a\":[{}]}]"), 8);
}

TEST(Tokenizer, ContainerOpenAtEndIsRefused) {
    for (const char* bad : {"{", "[", "{\"a\":[1,2]", "[{}", "{\"a\":{\"b\":1}"})
        EXPECT_EQ(parse(bad), JSMN_ERROR_PART) << bad;
}

TEST(Tokenizer, ExactlyTheTokenCapacityIsAccepted) {
    std::string arr = "[0";
    for (int i = 1; i < 1023; i++) arr += ",0";
    arr += "]";
    EXPECT_EQ(parse(arr), 1024);  // the array and 1023 elements
    EXPECT_EQ(parse(arr.substr(0, arr.size() - 1) + ",0]"), JSMN_ERROR_NOMEM);
    EXPECT_EQ(parse(arr.substr(0, arr.size() - 1) + ",\"s\"]"), JSMN_ERROR_NOMEM);
    EXPECT_EQ(parse(arr.substr(0, arr.size() - 1) + ",{}]"), JSMN_ERROR_NOMEM);
}

TEST(Tokenizer, ValuesAfterTheFirstAreTokenizedToo) {
    Parsed p(R"({"op":"ping"} 7 "x" [])");
    ASSERT_EQ(p.rc, 6);
    EXPECT_EQ(p.toks[0].type, JSMN_OBJECT);
    EXPECT_EQ(p.toks[0].size, 1);
    EXPECT_EQ(p.toks[3].type, JSMN_PRIMITIVE);
    EXPECT_EQ(p.toks[5].type, JSMN_ARRAY);
    EXPECT_EQ(parse("{} {"), JSMN_ERROR_PART);  // but they still follow the rules
}
