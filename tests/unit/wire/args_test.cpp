// Typed access to a request's `args` with the defaults handlers rely on.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "unit_helpers.h"
#include "wire/args.h"
#include "wire/jsmn.h"
#include "wire/json.h"

namespace {

// A request tokenized as dispatch does it; the accessors call arg_get_* on its args tokens.
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
    long long i(const char* k, long long d) const { return arg_get_int(js.c_str(), args, avail, k, d); }
    int b(const char* k, int d) const { return arg_get_bool(js.c_str(), args, avail, k, d); }
    int s(const char* k, char* out, size_t cap) const { return arg_get_str(js.c_str(), args, avail, k, out, cap); }
    int a(const char* k, char o[][256], int max) const { return arg_array_strs(js.c_str(), args, avail, k, o, max); }
    int sf(const char* k, char* out, size_t cap) const { return arg_get_str_fit(js.c_str(), args, avail, k, out, cap); }
    int af(const char* k, char o[][256], int max) const {
        return arg_array_strs_fit(js.c_str(), args, avail, k, o, max);
    }
};

}  // namespace

TEST(ArgInt, DefaultsAndConversions) {
    Request r(R"({"n":-5,"s":"12","t":true,"o":{"n":9},"big":99999999999999999999,"n":7})");
    // The first duplicate wins; any kind converts from its raw text ("{..." gives 0).
    const std::pair<const char*, long long> rows[] = {{"n", -5}, {"s", 12},          {"t", 0},
                                                      {"o", 0},  {"big", LLONG_MAX}, {"missing", 42}};
    for (auto [key, want] : rows) EXPECT_EQ(r.i(key, 42), want) << key;
    EXPECT_EQ(arg_get_int(r.js.c_str(), nullptr, 0, "n", 42), 42);
    for (const char* not_object : {R"(["n",3])", "5"}) EXPECT_EQ(Request(not_object).i("n", 42), 42) << not_object;
}

TEST(ArgStr, CopiesRawScalarTextOrLeavesOutputAlone) {
    Request r(R"({"num":42,"s":"a\"b\u0041","nul":null,"obj":{"x":1},"arr":["s"],"long":"abcdefghij"})");
    const std::tuple<const char*, size_t, const char*> rows[] = {
        {"num", 8, "42"}, {"s", 32, R"(a\"b\u0041)"}, {"nul", 8, "null"}, {"long", 8, "abcdefg"}};  // never unescaped
    char out[32];
    for (auto [key, cap, want] : rows) {
        ASSERT_EQ(r.s(key, out, cap), 0) << key;
        EXPECT_STREQ(out, want);
    }
    for (const char* key : {"obj", "arr", "missing", "x"}) {
        strcpy(out, "dflt");
        EXPECT_EQ(r.s(key, out, sizeof out), -1) << key;
        EXPECT_STREQ(out, "dflt") << key;
    }
    EXPECT_EQ(arg_get_str(r.js.c_str(), nullptr, 0, "num", out, sizeof out), -1);
    EXPECT_STREQ(out, "dflt");
}

TEST(ArgBool, OnlyTrueOrFalseTextCounts) {
    Request r(R"({"t":true,"f":false,"st":"true","one":1,"T":"True","z":0})");
    for (auto [key, want] : {std::pair{"t", 1}, {"f", 0}, {"st", 1}}) EXPECT_EQ(r.b(key, !want), want) << key;
    for (const char* key : {"one", "T", "z", "missing"}) EXPECT_TRUE(r.b(key, 1) == 1 && r.b(key, 0) == 0) << key;
    EXPECT_EQ(Request("[true]").b("t", 7), 7);
}

TEST(ArgArray, FillsUpToMaxEntriesFromScalarsWithinAvail) {
    Request r(R"({"a":["x",2,null,{"k":1},"e","f"],"empty":[],"s":"x"})");
    char out[6][256];
    memset(out, '?', sizeof out);
    ASSERT_EQ(r.a("a", out, 4), 4);
    EXPECT_EQ(strings(out, out + 4), (strings{"x", "2", "null", ""}));  // an object element gives an empty entry
    EXPECT_EQ(out[4][0], '?');                                          // nothing beyond max is touched
    EXPECT_EQ(r.a("empty", out, 4), 0);
    for (const char* key : {"s", "missing"}) EXPECT_EQ(r.a(key, out, 4), -1) << key;
    EXPECT_EQ(arg_array_strs(r.js.c_str(), nullptr, 0, "a", out, 4), -1);
    EXPECT_EQ(Request(R"([["x"]])").a("a", out, 4), -1);

    std::string lng(300, 'w');
    Request l(R"({"a":[")" + lng + R"(","b","c"]})");
    ASSERT_EQ(l.a("a", out, 3), 3);
    EXPECT_EQ(std::string(out[0]), lng.substr(0, 255));
    EXPECT_STREQ(out[2], "c");
    // With fewer tokens available than the array claims, no token past the bound is read.
    std::vector<jsmntok_t> cut(l.args, l.args + 4);  // args, key, array, first element
    EXPECT_LE(arg_array_strs(l.js.c_str(), cut.data(), 4, "a", out, 3), 1);
}

// Values used whole are refused where the plain accessors would cut them.
TEST(ArgFit, RefusesWhatWouldBeCutAndOtherwiseCopiesAsThePlainAccessors) {
    const std::string e255(255, 'e'), e256(256, 'e');
    Request r(R"({"s":"abcdefg","n":12345678,"o":{},"a3":["x",2,{}],"a4":["1","2","3","4"],)"
              R"("ok":[")" +
              e255 + R"("],"long":["x",")" + e256 + R"("]})");
    char out[8] = "dflt";
    const std::pair<const char*, int> strs[] = {{"s", 0}, {"n", ARG_TOO_LONG}, {"o", -1}, {"missing", -1}};
    for (auto [key, want] : strs) {
        strcpy(out, "dflt");
        EXPECT_EQ(r.sf(key, out, sizeof out), want) << key;
        EXPECT_STREQ(out, want == 0 ? "abcdefg" : "dflt") << key;
    }
    char arr[3][256];
    const std::pair<const char*, int> arrays[] = {{"a3", 3}, {"a4", ARG_TOO_MANY}, {"ok", 1}, {"long", ARG_TOO_LONG},
                                                  {"s", -1}, {"missing", -1}};
    for (auto [key, want] : arrays) EXPECT_EQ(r.af(key, arr, 3), want) << key;
    EXPECT_EQ(r.af("a3", arr, 3), 3);
    EXPECT_EQ(strings(arr, arr + 3), (strings{"x", "2", ""}));
}
