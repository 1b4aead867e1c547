// The request tokenizer, read access to its tokens, and frames on a socket (limits, pieces and
// peers closing mid-frame are covered over the real socket in the integration Frames tests).
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "wire/jsmn.h"
#include "wire/frame.h"
#include "wire/json.h"
#include "unit_helpers.h"
#include "base/fdio.h"
#include "base/sb.h"

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
        {R"({"a":1,"b":[true,"x\n"],"c":{}})", "O3 S1 P0 S1 A2 P0 S0 S1 O0",
         {{0, R"({"a":1,"b":[true,"x\n"],"c":{}})"}, {1, "a"}, {4, R"([true,"x\n"])"}, {6, R"(x\n)"}, {8, "{}"}}},
        {"[-,0,tx,nope,fals3,1e+9]", "A6 P0 P0 P0 P0 P0 P0", {{3, "tx"}, {6, "1e+9"}}},
        {R"({"op":"ping"} 7 "x" [])", "O1 S1 S0 P0 S0 A0", {}},  // values after the first are tokenized too
        {"123", "P0", {{0, "123"}}},                              // a primitive may end the input
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

TEST(Tokenizer, ExactlyTheTokenCapacityIsAccepted) {
    std::string arr = "[0";
    for (int i = 1; i < 1023; i++) arr += ",0";
    EXPECT_EQ(parse(arr + "]"), 1024);  // the array and 1023 elements
    for (const char* one_more : {",0]", ",\"s\"]", ",{}]"}) EXPECT_EQ(parse(arr + one_more), JSMN_ERROR_NOMEM);
}

// The text of the value json_obj_idx finds for each key, or the negative result; `ntoks` -1 means all.
TEST(ObjIdx, SkipsNestedValuesFirstDuplicateWinsAndKeysAreRawBytes) {
    const std::string nested = R"({"a":{"k":1,"x":[2]},"b":[1,[2,{"k":3}],{"k":4}],"s":"k","k":5})";
    const std::string dup = R"({"k":1,"k":2,"a\"b":3,"\u0063":4})", arr = R"({"a":[1,2,3],"k":1})";
    const std::tuple<std::string, const char*, int, std::string> rows[] = {
        {nested, "k", -1, "5"}, {nested, "s", -1, "k"}, {nested, "b", -1, R"([1,[2,{"k":3}],{"k":4}])"},
        {nested, "x", -1, "-1"}, {nested, "kk", -1, "-1"}, {nested, "", -1, "-1"},  // x is nested only
        {dup, "k", -1, "1"},    {dup, R"(a\"b)", -1, "3"}, {dup, "a\"b", -1, "-1"}, {dup, "c", -1, "-1"},
        {R"(["k",1])", "k", -1, "-1"}, {"{}", "k", -1, "-1"},
        {arr, "a", 0, "-1"}, {arr, "a", 1, "-1"}, {arr, "a", 2, "-1"},  // a key without its value is absent
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

TEST(Frame, WriteSendsBigEndianLengthThenBody) {
    SocketPair sp;
    sb_t empty;
    ASSERT_EQ(proto_write_frame_sb(sp.near(), &empty), 0);
    EXPECT_EQ(sp.read_frame(), "\0\0\0\0"s);
    // Larger than the socket buffer: the body leaves in several writes after the header.
    std::string body(FRAME_MAX_BYTES + 0x2345, 'b');
    sb_t big;
    sb_append(&big, body.data(), body.size());
    std::thread reader([&] { EXPECT_EQ(sp.read_frame(), "\x00\x10\x23\x45"s + body); });
    EXPECT_EQ(proto_write_frame_sb(sp.near(), &big), 0);
    reader.join();
}

TEST(Frame, ReadReplacesContentAndKeepsTheBuffer) {
    SocketPair sp;
    std::string f = frame_of(std::string(600, 'z')) + frame_of("1");
    write_full(sp.far(), f.data(), f.size());
    sb_t out;
    sb_appendz(&out, "old content");
    ASSERT_EQ(proto_read_frame(sp.near(), &out), 0);
    EXPECT_EQ(std::string(out.buf, out.len), std::string(600, 'z'));
    ASSERT_EQ(proto_read_frame(sp.near(), &out), 0);
    EXPECT_EQ(out.len, 1u);
    EXPECT_STREQ(out.buf, "1");
    EXPECT_EQ(out.cap, 1024u);  // reused for the next frame, never shrunk
}

// Nothing is allocated by a refused length the peer announced (its reply is tested over the socket).
TEST(Frame, RefusedLengthAllocatesNothing) {
    for (uint32_t bad : {0u, static_cast<uint32_t>(FRAME_MAX_BYTES + 1), 0xffffffffu}) {
        SocketPair sp;
        std::string hdr = be32(bad) + "{}";
        write_full(sp.far(), hdr.data(), hdr.size());
        sb_t out;
        EXPECT_EQ(proto_read_frame(sp.near(), &out), -1) << bad;
        EXPECT_EQ(out.cap, 0u) << bad;
    }
}
