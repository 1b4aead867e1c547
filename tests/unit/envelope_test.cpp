// Reply and event frames, byte for byte as they leave the socket.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "jobs.h"
#include "ops.h"
#include "unit_helpers.h"

namespace {

class Envelope : public ::testing::Test {
protected:
    void SetUp() override {
        job = job_alloc();
        ASSERT_NE(job, nullptr);
        jid = job->id;
    }
    void TearDown() override { job_release(job); }
    // The write returned 0 and put exactly one frame carrying `body` on the socket.
    void expect_sent(int rc, const std::string& body) {
        ASSERT_EQ(rc, 0) << body;  // nothing to read after a failed write
        EXPECT_EQ(sp.read_frame(), frame_of(body));
    }

    SocketPair sp;
    job_t* job = nullptr;
    std::string jid;
};

}  // namespace

// Replies with every member given are checked byte for byte over the socket (Ping, Frames
// and Dispatch integration tests); here the defaults for absent members and id escaping.
TEST_F(Envelope, RepliesFillAbsentMembersAndEscapeTheId) {
    expect_sent(reply_ok(sp.near(), nullptr, nullptr), R"({"id":"","ok":true,"result":null})");
    expect_sent(reply_err(sp.near(), nullptr, nullptr, nullptr), R"({"id":"","ok":false,"code":"ERR","error":""})");
    expect_sent(reply_err(sp.near(), "a\"b\\n\x01", "E", "bad \"x\"\n"),
                R"({"id":"a\"b\\n\u0001","ok":false,"code":"E","error":"bad \"x\"\n"})");
}

TEST_F(Envelope, OnlyTheFirstEventCarriesTheJobId) {
    op_emit_t e = {sp.near(), "s1", job, 0};
    expect_sent(emit_chunk(&e, "[1,2]trailing", 5),
                R"({"id":"s1","event":"chunk","job_id":")" + jid + R"(","data":[1,2]})");
    EXPECT_EQ(e.job_id_sent, 1);
    expect_sent(emit_log(&e, 2, "a\tb\"c"), R"({"id":"s1","event":"log","stream":2,"msg":"a\tb\"c"})");
    expect_sent(emit_done(&e, 0, nullptr), R"({"id":"s1","event":"done","ok":true,"exit_code":0})");
    op_emit_t err = {sp.near(), "q", job, 0};  // an error may be the first event too
    expect_sent(emit_stream_error(&err, "ENOENT", "iostat not found"),
                R"({"id":"q","event":"error","job_id":")" + jid +
                    R"(","ok":false,"code":"ENOENT","error":"iostat not found"})");
}

TEST_F(Envelope, EachEventBodyWithoutAJob) {
    op_emit_t e = {sp.near(), nullptr, nullptr, 0};
    expect_sent(emit_chunk(&e, "{\"ts\":1}", 8), R"({"id":"","event":"chunk","data":{"ts":1}})");
    expect_sent(emit_log(&e, 1, nullptr), R"({"id":"","event":"log","stream":1,"msg":""})");
    expect_sent(emit_done(&e, -15, "{\"bytes\":3}"),
                R"({"id":"","event":"done","ok":true,"exit_code":-15,"result":{"bytes":3}})");
    expect_sent(emit_stream_error(&e, nullptr, nullptr),
                R"({"id":"","event":"error","ok":false,"code":"ERR","error":""})");
    expect_sent(emit_stream_error(&e, "ESPAWN", "cannot start \"x\""),
                R"({"id":"","event":"error","ok":false,"code":"ESPAWN","error":"cannot start \"x\""})");
    EXPECT_EQ(e.job_id_sent, 0);
}

TEST_F(Envelope, EmptyBodyClosesTheObjectCleanly) {
    op_emit_t e = {sp.near(), "i", job, 0};
    expect_sent(emit_frame_with_jobid(&e, "tick", nullptr), R"({"id":"i","event":"tick","job_id":")" + jid + R"("})");
    expect_sent(emit_frame_with_jobid(&e, "tick", ""), R"({"id":"i","event":"tick"})");
}

TEST_F(Envelope, WritesToAClosedPeerFailYetTheJobIdCountsAsSent) {
    signal(SIGPIPE, SIG_IGN);  // the daemon ignores it too
    SocketPair gone;
    gone.close_far();
    EXPECT_EQ(reply_ok(gone.near(), "r", nullptr), -1);
    EXPECT_EQ(reply_err(gone.near(), "r", "E", "m"), -1);
    op_emit_t e = {gone.near(), "r", job, 0};
    EXPECT_EQ(emit_log(&e, 1, "x"), -1);
    EXPECT_EQ(e.job_id_sent, 1);
    e.fd = sp.near();
    expect_sent(emit_done(&e, 1, nullptr), R"({"id":"r","event":"done","ok":true,"exit_code":1})");
}
