// Framing over the socket: exact reply bytes, the 1 MiB limit, frames that arrive in pieces,
// and peers that go away in the middle of a frame.
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <string>

#include "harness.h"
#include "proto.h"
#include "spawn.h"

namespace {

const std::string PONG_R1 = R"({"id":"r1","ok":true,"result":{"pong":true}})";

// Waits until the daemon has read everything sent on `fd`: a Unix socket counts the bytes its
// peer has not consumed yet.
bool wait_consumed(int fd) {
    return eventually([fd] {
        int queued = -1;
        return ioctl(fd, SIOCOUTQ, &queued) == 0 && queued == 0;
    });
}

}  // namespace

// Every case runs against a fresh daemon with one connection open.
class Frames : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(d.start());
        c = d.connect();
        ASSERT_TRUE(c);
    }
    TestDaemon d;
    unique_fd c;
};

TEST_F(Frames, ExactReplyBytesAndTheLargestBody) {
    ASSERT_TRUE(send_raw(c.get(), frame_header(23) + R"({"id":"r1","op":"ping"})"));
    const std::string want = std::string("\0\0\0\x2c", 4) + PONG_R1;  // 44 body bytes
    std::string got(want.size(), '\0');
    ASSERT_EQ(read_full(c.get(), got.data(), got.size()), 0);
    EXPECT_EQ(got, want);

    // A ping of exactly 1 MiB, padded with an ignored member.
    std::string body = R"({"id":"big","op":"ping","pad":")" + std::string(FRAME_MAX_BYTES - 33, 'a') + R"("})";
    ASSERT_EQ(body.size(), 1048576u);
    EXPECT_EQ(roundtrip(c.get(), body), R"({"id":"big","ok":true,"result":{"pong":true}})");
    // The whole body was consumed: the next frame on the connection parses from its start.
    EXPECT_EQ(roundtrip(c.get(), R"({"id":"r1","op":"ping"})"), PONG_R1);
}

TEST_F(Frames, BadLengthClosesSilently) {
    // Earlier requests on a connection are answered before the bad frame ends it.
    EXPECT_EQ(roundtrip(c.get(), R"({"id":"r1","op":"ping"})"), PONG_R1);
    for (uint32_t len : {0u, static_cast<uint32_t>(FRAME_MAX_BYTES + 1), 0xffffffffu}) {
        if (!c) c = d.connect();
        ASSERT_TRUE(c);
        ASSERT_TRUE(send_raw(c.get(), frame_header(len)));
        // End of stream with no byte before it: no reply was written.
        EXPECT_TRUE(peer_closed(c.get())) << "length " << len;
        c.reset();
    }
}

TEST_F(Frames, PiecesMakeOneFrame) {
    const std::string body = R"({"id":"r1","op":"ping"})";
    // Each piece is read by the daemon before the next one is sent: the header byte by byte,
    // then the body eight bytes at a time.
    std::string header = frame_header(static_cast<uint32_t>(body.size()));
    for (size_t off = 0, step = 1; off < header.size() + body.size(); off += step) {
        if (off == header.size()) step = 8;
        ASSERT_TRUE(send_raw(c.get(), (header + body).substr(off, step)));
        ASSERT_TRUE(wait_consumed(c.get()));
    }
    std::string reply;
    ASSERT_EQ(vc_recv(c.get(), &reply), 0);
    EXPECT_EQ(reply, PONG_R1);
    // Nothing was left over to be taken for another frame.
    EXPECT_EQ(roundtrip(c.get(), R"({"id":"r2","op":"ping"})"), R"({"id":"r2","ok":true,"result":{"pong":true}})");
}

TEST_F(Frames, PeerClosingMidFrameGetsNoReply) {
    const std::string frame = frame_header(23) + R"({"id":"r1","op":"ping"})";
    for (size_t sent : {size_t{2}, frame.size() - 1}) {
        unique_fd p = d.connect();
        ASSERT_TRUE(p);
        ASSERT_TRUE(send_raw(p.get(), frame.substr(0, sent)));
        // Half-close: the daemon sees end of stream inside the frame, we can still read.
        ASSERT_EQ(shutdown(p.get(), SHUT_WR), 0);
        EXPECT_TRUE(peer_closed(p.get())) << sent << " bytes sent";
    }
    EXPECT_EQ(roundtrip(c.get(), R"({"id":"r1","op":"ping"})"), PONG_R1);
}
