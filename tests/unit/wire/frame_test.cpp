// Frames on a socket (limits, pieces and peers closing mid-frame are covered over the real socket
// in the integration Frames tests).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>

#include "base/fdio.h"
#include "base/sb.h"
#include "unit_helpers.h"
#include "wire/frame.h"

using namespace std::string_literals;

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
