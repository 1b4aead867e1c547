// Framing over the socket: exact reply bytes, the 1 MiB limit, frames that arrive in pieces,
// and peers that go away in the middle of a frame.
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <string>

#include "base/fdio.h"
#include "harness.h"
#include "spawn.h"
#include "wire/frame.h"

namespace {

const std::string PING_R1 = R"({"id":"r1","op":"ping"})";
const std::string PONG_R1 = R"({"id":"r1","ok":true,"result":{"pong":true}})";

// Waits until the daemon has read all sent on `fd`: a Unix socket counts what its peer has not read.
bool wait_consumed(int fd) {
    return eventually([fd] {
        int queued = -1;
        return ioctl(fd, SIOCOUTQ, &queued) == 0 && queued == 0;
    });
}

}  // namespace

// On one connection each frame must be consumed whole, so the next one parses from its start.
TEST(Frames, ExactBytesLargestBodyPiecesAndSilentCloses) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    unique_fd c = d.connect();
    ASSERT_TRUE(c);
    const std::string frame = frame_header(23) + PING_R1;
    ASSERT_TRUE(send_raw(c.get(), frame));
    const std::string want = std::string("\0\0\0\x2c", 4) + PONG_R1;  // 44 body bytes
    std::string got(want.size(), '\0');
    ASSERT_EQ(read_full(c.get(), got.data(), got.size()), 0);
    EXPECT_EQ(got, want);

    // A ping of exactly 1 MiB, padded with an ignored member.
    std::string body = R"({"id":"big","op":"ping","pad":")" + std::string(FRAME_MAX_BYTES - 33, 'a') + R"("})";
    ASSERT_EQ(body.size(), 1048576u);
    EXPECT_EQ(roundtrip(c.get(), body), R"({"id":"big","ok":true,"result":{"pong":true}})");

    // The header byte by byte, then the body 8 bytes at a time, each piece read before the next is sent.
    for (size_t off = 0; off < frame.size(); off += off < 4 ? 1 : 8) {
        ASSERT_TRUE(send_raw(c.get(), frame.substr(off, off < 4 ? 1 : 8)));
        ASSERT_TRUE(wait_consumed(c.get()));
    }
    std::string reply;
    ASSERT_EQ(vc_recv(c.get(), &reply), 0);
    EXPECT_EQ(reply, PONG_R1);
    EXPECT_EQ(roundtrip(c.get(), R"({"id":"r2","op":"ping"})"), R"({"id":"r2","ok":true,"result":{"pong":true}})");

    // A bad length, or end of stream inside a frame (a half-close: we can still read), ends the connection
    // with no byte written, after earlier requests on it were answered; the daemon serves on.
    const std::pair<std::string, bool> cases[] = {{frame_header(0), false},
                                                  {frame_header(FRAME_MAX_BYTES + 1), false},
                                                  {frame_header(0xffffffffu), false},
                                                  {frame.substr(0, 2), true},
                                                  {frame.substr(0, frame.size() - 1), true}};
    for (const auto& [bytes, half_close] : cases) {
        if (!c) c = d.connect();
        ASSERT_TRUE(c);
        ASSERT_TRUE(send_raw(c.get(), bytes));
        ASSERT_TRUE(!half_close || shutdown(c.get(), SHUT_WR) == 0);
        EXPECT_TRUE(peer_closed(c.get())) << bytes.size() << " bytes sent";
        c.reset();
    }
    EXPECT_EQ(d.call(PING_R1), PONG_R1);
}
