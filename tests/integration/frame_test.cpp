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

// A ping request of exactly `size` bytes, padded with an ignored member.
std::string ping_of_size(size_t size) {
    const std::string head = R"({"id":"big","op":"ping","pad":")";
    const std::string tail = R"("})";
    return head + std::string(size - head.size() - tail.size(), 'a') + tail;
}

}  // namespace

TEST(Frames, ReplyBytesOnTheWire) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    unique_fd c = d.connect();
    ASSERT_TRUE(c);
    ASSERT_TRUE(send_raw(c.get(), frame_header(23) + R"({"id":"r1","op":"ping"})"));
    const std::string want = std::string("\0\0\0\x2c", 4) + PONG_R1;  // 44 body bytes
    std::string got(want.size(), '\0');
    ASSERT_EQ(read_full(c.get(), got.data(), got.size()), 0);
    EXPECT_EQ(got, want);
}

TEST(Frames, LargestBodyIsAnswered) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    unique_fd c = d.connect();
    ASSERT_TRUE(c);
    std::string body = ping_of_size(FRAME_MAX_BYTES);
    ASSERT_EQ(body.size(), 1048576u);
    EXPECT_EQ(roundtrip(c.get(), body), R"({"id":"big","ok":true,"result":{"pong":true}})");
    // The whole body was consumed: the next frame on the connection parses from its start.
    EXPECT_EQ(roundtrip(c.get(), R"({"id":"r1","op":"ping"})"), PONG_R1);
}

TEST(Frames, BadLengthClosesSilently) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    for (uint32_t len : {0u, static_cast<uint32_t>(FRAME_MAX_BYTES + 1), 0xffffffffu}) {
        unique_fd c = d.connect();
        ASSERT_TRUE(c);
        ASSERT_TRUE(send_raw(c.get(), frame_header(len)));
        // End of stream with no byte before it: no reply was written.
        EXPECT_TRUE(peer_closed(c.get())) << "length " << len;
    }
    // Earlier requests on a connection are answered before the bad frame ends it.
    unique_fd c = d.connect();
    ASSERT_TRUE(c);
    EXPECT_EQ(roundtrip(c.get(), R"({"id":"r1","op":"ping"})"), PONG_R1);
    ASSERT_TRUE(send_raw(c.get(), frame_header(0)));
    EXPECT_TRUE(peer_closed(c.get()));
}

TEST(Frames, PiecesMakeOneFrame) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    unique_fd c = d.connect();
    ASSERT_TRUE(c);
    const std::string body = R"({"id":"r1","op":"ping"})";
    // Each piece is read by the daemon before the next one is sent.
    for (char b : frame_header(static_cast<uint32_t>(body.size()))) {
        ASSERT_TRUE(send_raw(c.get(), std::string(1, b)));
        ASSERT_TRUE(wait_consumed(c.get()));
    }
    for (size_t off = 0; off < body.size(); off += 8) {
        ASSERT_TRUE(send_raw(c.get(), body.substr(off, 8)));
        ASSERT_TRUE(wait_consumed(c.get()));
    }
    std::string reply;
    ASSERT_EQ(vc_recv(c.get(), &reply), 0);
    EXPECT_EQ(reply, PONG_R1);
    // Nothing was left over to be taken for another frame.
    EXPECT_EQ(roundtrip(c.get(), R"({"id":"r2","op":"ping"})"), R"({"id":"r2","ok":true,"result":{"pong":true}})");
}

TEST(Frames, PeerClosingMidFrameGetsNoReply) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    const std::string body = R"({"id":"r1","op":"ping"})";
    const std::string partials[] = {
        frame_header(static_cast<uint32_t>(body.size())).substr(0, 2),
        frame_header(static_cast<uint32_t>(body.size())) + body.substr(0, body.size() - 1),
    };
    for (const std::string& partial : partials) {
        unique_fd c = d.connect();
        ASSERT_TRUE(c);
        ASSERT_TRUE(send_raw(c.get(), partial));
        // Half-close: the daemon sees end of stream inside the frame, we can still read.
        ASSERT_EQ(shutdown(c.get(), SHUT_WR), 0);
        EXPECT_TRUE(peer_closed(c.get())) << partial.size() << " bytes sent";
    }
    EXPECT_EQ(d.call(body), PONG_R1);
}
