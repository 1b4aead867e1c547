// Typed access to a request's `args`, with the defaults handlers rely on.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "ops.h"
#include "proto.h"
#include "unit_helpers.h"

namespace {

// A request frame tokenized the way dispatch does it, with args_tok/args_n as handed over.
struct Request : Parsed {
    const jsmntok_t* args = nullptr;
    int avail = 0;
    explicit Request(const std::string& args_json) : Parsed(R"({"id":"r","args":)" + args_json + "}") {
        EXPECT_GT(rc, 0) << args_json;
        int a = json_obj_idx(js.c_str(), toks.data(), n(), "args");
        if (a >= 0) {
            args = &toks[a];
            avail = n() - a;
        }
    }
    const char* c() const { return js.c_str(); }
};

}  // namespace

TEST(ArgInt, DefaultsAndConversions) {
    Request r(R"({"n":-5,"s":"12","t":true,"o":{"n":9},"big":99999999999999999999,"n":7})");
    EXPECT_EQ(arg_get_int(r.c(), r.args, r.avail, "n", 1), -5);  // first duplicate wins
    EXPECT_EQ(arg_get_int(r.c(), r.args, r.avail, "s", 1), 12);
    EXPECT_EQ(arg_get_int(r.c(), r.args, r.avail, "t", 1), 0);
    EXPECT_EQ(arg_get_int(r.c(), r.args, r.avail, "o", 1), 0);  // any kind: the raw text "{..."
    EXPECT_EQ(arg_get_int(r.c(), r.args, r.avail, "big", 1), LLONG_MAX);
    EXPECT_EQ(arg_get_int(r.c(), r.args, r.avail, "missing", 42), 42);
    EXPECT_EQ(arg_get_int(r.c(), nullptr, 0, "n", 42), 42);
    Request arr(R"(["n",3])");
    EXPECT_EQ(arg_get_int(arr.c(), arr.args, arr.avail, "n", 42), 42);
    Request prim("5");
    EXPECT_EQ(arg_get_int(prim.c(), prim.args, prim.avail, "n", 42), 42);
}

TEST(ArgStr, CopiesRawScalarTextOrLeavesOutputAlone) {
    Request r(R"({"num":42,"s":"a\"b\u0041","nul":null,"obj":{"x":1},"arr":["s"],"long":"abcdefghij"})");
    char out[8];
    ASSERT_EQ(arg_get_str(r.c(), r.args, r.avail, "num", out, sizeof out), 0);
    EXPECT_STREQ(out, "42");
    char wide[32];
    ASSERT_EQ(arg_get_str(r.c(), r.args, r.avail, "s", wide, sizeof wide), 0);
    EXPECT_STREQ(wide, "a\\\"b\\u0041");  // never unescaped
    ASSERT_EQ(arg_get_str(r.c(), r.args, r.avail, "nul", out, sizeof out), 0);
    EXPECT_STREQ(out, "null");
    ASSERT_EQ(arg_get_str(r.c(), r.args, r.avail, "long", out, sizeof out), 0);
    EXPECT_STREQ(out, "abcdefg");
    for (const char* key : {"obj", "arr", "missing", "x"}) {
        strcpy(out, "dflt");
        EXPECT_EQ(arg_get_str(r.c(), r.args, r.avail, key, out, sizeof out), -1) << key;
        EXPECT_STREQ(out, "dflt") << key;
    }
    strcpy(out, "dflt");
    EXPECT_EQ(arg_get_str(r.c(), nullptr, 0, "num", out, sizeof out), -1);
    EXPECT_STREQ(out, "dflt");
}

TEST(ArgBool, OnlyTrueOrFalseTextCounts) {
    Request r(R"({"t":true,"f":false,"st":"true","one":1,"T":"True","z":0})");
    EXPECT_EQ(arg_get_bool(r.c(), r.args, r.avail, "t", 0), 1);
    EXPECT_EQ(arg_get_bool(r.c(), r.args, r.avail, "f", 1), 0);
    EXPECT_EQ(arg_get_bool(r.c(), r.args, r.avail, "st", 0), 1);
    for (const char* key : {"one", "T", "z", "missing"}) {
        EXPECT_EQ(arg_get_bool(r.c(), r.args, r.avail, key, 1), 1) << key;
        EXPECT_EQ(arg_get_bool(r.c(), r.args, r.avail, key, 0), 0) << key;
    }
    Request arr("[true]");
    EXPECT_EQ(arg_get_bool(arr.c(), arr.args, arr.avail, "t", 7), 7);
}

TEST(ArgArray, FillsUpToMaxEntriesFromScalars) {
    Request r(R"({"a":["x",2,null,{"k":1},"e","f"],"empty":[],"s":"x"})");
    char out[6][256];
    memset(out, '?', sizeof out);
    ASSERT_EQ(arg_array_strs(r.c(), r.args, r.avail, "a", out, 4), 4);
    EXPECT_STREQ(out[0], "x");
    EXPECT_STREQ(out[1], "2");
    EXPECT_STREQ(out[2], "null");
    EXPECT_STREQ(out[3], "");  // an object element gives an empty entry
    EXPECT_EQ(out[4][0], '?');  // nothing beyond max is touched
    EXPECT_EQ(arg_array_strs(r.c(), r.args, r.avail, "empty", out, 4), 0);
    EXPECT_EQ(arg_array_strs(r.c(), r.args, r.avail, "s", out, 4), -1);
    EXPECT_EQ(arg_array_strs(r.c(), r.args, r.avail, "missing", out, 4), -1);
    EXPECT_EQ(arg_array_strs(r.c(), nullptr, 0, "a", out, 4), -1);
    Request arr(R"([["x"]])");
    EXPECT_EQ(arg_array_strs(arr.c(), arr.args, arr.avail, "a", out, 4), -1);
}

TEST(ArgArray, CutsLongEntriesAndStaysWithinAvail) {
    std::string lng(300, 'w');
    Request r(R"({"a":[")" + lng + R"(","b","c"]})");
    char out[3][256];
    ASSERT_EQ(arg_array_strs(r.c(), r.args, r.avail, "a", out, 3), 3);
    EXPECT_EQ(std::string(out[0]), lng.substr(0, 255));
    EXPECT_STREQ(out[2], "c");
    // With fewer tokens available than the array claims, no token past the bound is read.
    std::vector<jsmntok_t> cut(r.args, r.args + 4);  // args, key, array, first element
    EXPECT_LE(arg_array_strs(r.c(), cut.data(), 4, "a", out, 3), 1);
}
