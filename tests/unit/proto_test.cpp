// Frames on a socket and read access to tokenized requests. Frame limits, frames in pieces and
// peers closing mid-frame are covered over the real socket in the integration Frames tests.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <thread>
#include <tuple>

#include "proto.h"
#include "unit_helpers.h"

using namespace std::string_literals;

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

TEST(TokScalars, IntLikeStrtollSaturatingAndBoolExactlyTrueOrFalse) {
    Parsed p(R"([-12,"7x","x"," +5","0x10",1.9e3,true])");
    ASSERT_EQ(p.rc, 8);
    const long long ints[] = {-12, 7, 0, 5, 0, 1, 0};
    for (int i = 0; i < 7; i++) EXPECT_EQ(json_tok_int(p.js.c_str(), &p.toks[i + 1]), ints[i]) << p.text(i + 1);
    Parsed big("[" + std::string(40, '9') + ",-" + std::string(40, '9') + ",\"" + std::string(30, '0') + "5123\"]");
    ASSERT_EQ(big.rc, 4);
    EXPECT_EQ(json_tok_int(big.js.c_str(), &big.toks[1]), LLONG_MAX);
    EXPECT_EQ(json_tok_int(big.js.c_str(), &big.toks[2]), LLONG_MIN);
    EXPECT_EQ(json_tok_int(big.js.c_str(), &big.toks[3]), 5);  // digits past byte 31 are not seen
    Parsed b(R"([true,false,"true","false","True",tru,truex,1,"",null])");
    ASSERT_EQ(b.rc, 11);
    const int bools[] = {1, 0, 1, 0, -1, -1, -1, -1, -1, -1};
    for (int i = 0; i < 10; i++) EXPECT_EQ(json_tok_bool(b.js.c_str(), &b.toks[i + 1]), bools[i]) << b.text(i + 1);
}

TEST(TokCopy, CutsToCapacityAndNeverWritesWithZeroCap) {
    Parsed p(R"(["abcdef"])");
    char out[4] = {'x', 'x', 'x', 'x'};
    json_tok_copy(p.js.c_str(), &p.toks[1], out, 0);
    EXPECT_EQ(out[0], 'x');
    json_tok_copy(p.js.c_str(), &p.toks[1], out, sizeof out);
    EXPECT_STREQ(out, "abc");
    json_tok_copy(p.js.c_str(), &p.toks[0], out, 1);
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

// What a peer sees of a refused length is tested over the socket; here, that nothing is
// allocated by the size the peer announced.
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
