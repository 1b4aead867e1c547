// Frames on a socket and read access to tokenized requests.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <string>
#include <thread>

#include "proto.h"
#include "unit_helpers.h"

using namespace std::string_literals;

TEST(ObjIdx, SkipsNestedValuesAndComparesOnlyOwnKeys) {
    Parsed p(R"({"a":{"k":1,"x":[2]},"b":[1,[2,{"k":3}],{"k":4}],"s":"k","k":5})");
    ASSERT_GT(p.rc, 0);
    int k = json_obj_idx(p.js.c_str(), p.toks.data(), p.n(), "k");
    ASSERT_GT(k, 0);
    EXPECT_EQ(p.text(k), "5");
    EXPECT_EQ(p.text(json_obj_idx(p.js.c_str(), p.toks.data(), p.n(), "s")), "k");
    EXPECT_EQ(p.toks[json_obj_idx(p.js.c_str(), p.toks.data(), p.n(), "b")].type, JSMN_ARRAY);
    EXPECT_EQ(json_obj_idx(p.js.c_str(), p.toks.data(), p.n(), "x"), -1);  // nested only
    EXPECT_EQ(json_obj_idx(p.js.c_str(), p.toks.data(), p.n(), "kk"), -1);
    EXPECT_EQ(json_obj_idx(p.js.c_str(), p.toks.data(), p.n(), ""), -1);
}

TEST(ObjIdx, FirstDuplicateWinsAndKeysAreRawBytes) {
    Parsed p(R"({"k":1,"k":2,"a\"b":3,"\u0063":4})");
    ASSERT_GT(p.rc, 0);
    const char* js = p.js.c_str();
    EXPECT_EQ(p.text(json_obj_idx(js, p.toks.data(), p.n(), "k")), "1");
    EXPECT_EQ(p.text(json_obj_idx(js, p.toks.data(), p.n(), "a\\\"b")), "3");
    EXPECT_EQ(json_obj_idx(js, p.toks.data(), p.n(), "a\"b"), -1);
    EXPECT_EQ(json_obj_idx(js, p.toks.data(), p.n(), "c"), -1);
}

TEST(ObjIdx, NonObjectsEmptyObjectsAndShortTokenCountsGiveMinusOne) {
    Parsed arr(R"(["k",1])");
    EXPECT_EQ(json_obj_idx(arr.js.c_str(), arr.toks.data(), arr.n(), "k"), -1);
    Parsed empty("{}");
    EXPECT_EQ(json_obj_idx(empty.js.c_str(), empty.toks.data(), empty.n(), "k"), -1);
    Parsed p(R"({"a":[1,2,3],"k":1})");
    const char* js = p.js.c_str();
    EXPECT_EQ(json_obj_idx(js, p.toks.data(), 0, "a"), -1);
    EXPECT_EQ(json_obj_idx(js, p.toks.data(), 1, "a"), -1);
    EXPECT_EQ(json_obj_idx(js, p.toks.data(), 2, "a"), -1);  // a key without its value is absent
    EXPECT_EQ(json_obj_idx(js, p.toks.data(), 3, "a"), 2);
    // The bound is respected while skipping a subtree (the vector ends at ntoks).
    std::vector<jsmntok_t> cut(p.toks.begin(), p.toks.begin() + 4);
    EXPECT_EQ(json_obj_idx(js, cut.data(), 4, "k"), -1);
}

TEST(TokInt, ConvertsRawTextLikeStrtoll) {
    Parsed p(R"([-12,"7x","x"," +5","0x10",1.9e3,true])");
    ASSERT_EQ(p.rc, 8);
    const char* js = p.js.c_str();
    const long long want[] = {-12, 7, 0, 5, 0, 1, 0};
    for (int i = 0; i < 7; i++) EXPECT_EQ(json_tok_int(js, &p.toks[i + 1]), want[i]) << p.text(i + 1);
}

TEST(TokInt, SaturatesAndReadsOnlyThirtyOneBytes) {
    Parsed p("[" + std::string(40, '9') + ",-" + std::string(40, '9') + ",\"" + std::string(30, '0') +
             "5123\"]");
    ASSERT_EQ(p.rc, 4);
    EXPECT_EQ(json_tok_int(p.js.c_str(), &p.toks[1]), LLONG_MAX);
    EXPECT_EQ(json_tok_int(p.js.c_str(), &p.toks[2]), LLONG_MIN);
    EXPECT_EQ(json_tok_int(p.js.c_str(), &p.toks[3]), 5);  // digits past byte 31 are not seen
}

TEST(TokBool, ExactlyTrueOrFalseOfAnyKind) {
    Parsed p(R"([true,false,"true","false","True",tru,truex,1,"",null])");
    ASSERT_EQ(p.rc, 11);
    const int want[] = {1, 0, 1, 0, -1, -1, -1, -1, -1, -1};
    for (int i = 0; i < 10; i++) EXPECT_EQ(json_tok_bool(p.js.c_str(), &p.toks[i + 1]), want[i]) << i;
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
    sb_t s;
    sb_appendz(&s, "{\"pong\":true}");
    ASSERT_EQ(proto_write_frame_sb(sp.near(), &s), 0);
    EXPECT_EQ(sp.read_frame(), "\x00\x00\x00\x0d{\"pong\":true}"s);
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

TEST(Frame, ReadAcceptsOnlyOneToOneMebibyte) {
    SocketPair at_limit;
    std::string body(FRAME_MAX_BYTES, 'm');
    std::thread writer([&] { write_full(at_limit.far(), frame_of(body).data(), body.size() + 4); });
    sb_t got;
    EXPECT_EQ(proto_read_frame(at_limit.near(), &got), 0);
    EXPECT_EQ(got.len, FRAME_MAX_BYTES);
    writer.join();
    for (uint32_t bad : {0u, static_cast<uint32_t>(FRAME_MAX_BYTES + 1), 0xffffffffu}) {
        SocketPair sp;
        std::string hdr = be32(bad) + "{}";
        write_full(sp.far(), hdr.data(), hdr.size());
        sb_t out;
        EXPECT_EQ(proto_read_frame(sp.near(), &out), -1) << bad;
        EXPECT_EQ(out.cap, 0u) << "nothing is allocated for a refused length";
    }
}

TEST(Frame, ReadAssemblesPiecesAndFailsOnEarlyClose) {
    SocketPair sp;
    std::thread writer([&] {
        std::string f = frame_of("{\"id\":\"r\"}");
        for (char c : f) {
            write_full(sp.far(), &c, 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        write_full(sp.far(), "\0\0\0\x08{\"a\"", 8);  // header plus 4 of 8 body bytes
        sp.close_far();
    });
    sb_t out;
    ASSERT_EQ(proto_read_frame(sp.near(), &out), 0);
    EXPECT_EQ(std::string(out.buf, out.len), "{\"id\":\"r\"}");
    EXPECT_EQ(proto_read_frame(sp.near(), &out), -1);
    writer.join();
    SocketPair half;
    write_full(half.far(), "\0\0", 2);
    half.close_far();
    EXPECT_EQ(proto_read_frame(half.near(), &out), -1);
}
