// Read access to the tokens (a key's value, scalars, copies) and the check for exactly one JSON value.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <tuple>
#include <vector>

#include "ops/hardware.h"
#include "unit_helpers.h"
#include "wire/json.h"

// The text of the value json_obj_idx finds for each key, or the negative result; `ntoks` -1 means all.
TEST(ObjIdx, SkipsNestedValuesFirstDuplicateWinsAndKeysAreRawBytes) {
    const std::string nested = R"({"a":{"k":1,"x":[2]},"b":[1,[2,{"k":3}],{"k":4}],"s":"k","k":5})";
    const std::string dup = R"({"k":1,"k":2,"a\"b":3,"\u0063":4})", arr = R"({"a":[1,2,3],"k":1})";
    const std::tuple<std::string, const char*, int, std::string> rows[] = {
        {nested, "k", -1, "5"},
        {nested, "s", -1, "k"},
        {nested, "b", -1, R"([1,[2,{"k":3}],{"k":4}])"},
        {nested, "x", -1, "-1"},
        {nested, "kk", -1, "-1"},
        {nested, "", -1, "-1"},  // x is nested only
        {dup, "k", -1, "1"},
        {dup, R"(a\"b)", -1, "3"},
        {dup, "a\"b", -1, "-1"},
        {dup, "c", -1, "-1"},
        {R"(["k",1])", "k", -1, "-1"},
        {"{}", "k", -1, "-1"},
        {R"({"a":{"x" "y"},"k":5})", "k", -1, "5"},  // a lax object (keys without values) is skipped whole
        {arr, "a", 0, "-1"},
        {arr, "a", 1, "-1"},
        {arr, "a", 2, "-1"},  // a key without its value is absent
        {arr, "a", 3, "[1,2,3]"}};
    for (const auto& [js, key, ntoks, want] : rows) {
        Parsed p(js);
        ASSERT_GT(p.rc, 0) << js;
        int i = json_obj_idx(p.js.c_str(), p.toks.data(), ntoks < 0 ? p.n() : ntoks, key);
        EXPECT_EQ(i < 0 ? std::to_string(i) : p.text(i), want) << js << " " << key << " " << ntoks;
    }
    // The bound is respected while skipping a subtree (the vector ends at ntoks).
    Parsed p(arr);
    std::vector<jsmntok_t> cut(p.toks.begin(), p.toks.begin() + 4);
    EXPECT_EQ(json_obj_idx(p.js.c_str(), cut.data(), 4, "k"), -1);
}

TEST(TokScalars, IntLikeStrtollSaturatingBoolExactlyTrueOrFalseAndCopiesCut) {
    // Digits past byte 31 of a token are not seen.
    const std::string n40(40, '9');
    Parsed p(R"([-12,"7x","x"," +5","0x10",1.9e3,true,)" + n40 + ",-" + n40 + ",\"" + std::string(30, '0') + "5123\"]");
    ASSERT_EQ(p.rc, 11);
    const long long ints[] = {-12, 7, 0, 5, 0, 1, 0, LLONG_MAX, LLONG_MIN, 5};
    for (int i = 0; i < 10; i++) EXPECT_EQ(json_tok_int(p.js.c_str(), &p.toks[i + 1]), ints[i]) << p.text(i + 1);
    Parsed b(R"([true,false,"true","false","True",tru,truex,1,"",null])");
    ASSERT_EQ(b.rc, 11);
    const int bools[] = {1, 0, 1, 0, -1, -1, -1, -1, -1, -1};
    for (int i = 0; i < 10; i++) EXPECT_EQ(json_tok_bool(b.js.c_str(), &b.toks[i + 1]), bools[i]) << b.text(i + 1);
    // A copy is cut to the capacity and never written with none.
    char out[4] = {'x', 'x', 'x', 'x'};
    json_tok_copy(b.js.c_str(), &b.toks[3], out, 0);
    EXPECT_EQ(out[0], 'x');
    json_tok_copy(b.js.c_str(), &b.toks[4], out, sizeof out);
    EXPECT_STREQ(out, "fal");
    json_tok_copy(b.js.c_str(), &b.toks[0], out, 1);
    EXPECT_STREQ(out, "");
}

TEST(JsonCheck, ExactlyOneCompleteValueAndOnlyAnObjectPassesThrough) {
    for (const char* good : {"{}", "{\"a\":1}", " {\"a\":[1,-2.5e+3,0.1,true,false,null,\"\\u00e9\\n\"]}\n", "[]",
                             "\"s\"", "0", "{\"a\":{\"b\":{}}}"})
        EXPECT_TRUE(json_is_one_value(good)) << good;
    for (const char* bad : {"", "{", "{\"a\":1", "{\"a\":1}{}", "{\"a\":1} x", "{\"a\" 1}", "{\"a\":1 \"b\":2}",
                            "{\"a\":nul}", "{\"a\":01}", "{\"a\":1.}", "{\"a\":-}", "{a:1}", "{\"a\":1,}", "[1,]",
                            "{\"a\":\"x\ty\"}", "{\"a\":\"\\x\"}", "{\"a\":\"\\u12\"}", "{\"a\":1}\x01"})
        EXPECT_FALSE(json_is_one_value(bad)) << bad;
    EXPECT_FALSE(json_is_one_value(std::string("{\"a\":1}\0", 8)));
    const size_t too_deep = JSON_CHECK_MAX_DEPTH + 1;
    EXPECT_FALSE(json_is_one_value(std::string(too_deep, '[') + std::string(too_deep, ']')));
    EXPECT_TRUE(json_is_one_value(std::string(100, '[') + std::string(100, ']')));
    // smartctl's output passes through only as an object (shown over the socket); the rest is text.
    EXPECT_EQ(built(smart_result_json, "[1]\n"), R"({"text":"[1]\n"})");
    EXPECT_EQ(built(smart_result_json, "{\"x\":\"\x7f\"} \""), "{\"text\":\"{\\\"x\\\":\\\"\x7f\\\"} \\\"\"}");
}
