// Reply and event frames, byte for byte as they leave the socket.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "jobs.h"
#include "ops.h"
#include "unit_helpers.h"

TEST(Reply, OkCarriesIdAndRawResult) {
    SocketPair sp;
    ASSERT_EQ(reply_ok(sp.near(), "r1", "{\"pong\":true}"), 0);
    EXPECT_EQ(sp.read_frame(), frame_of(R"({"id":"r1","ok":true,"result":{"pong":true}})"));
    ASSERT_EQ(reply_ok(sp.near(), nullptr, nullptr), 0);
    EXPECT_EQ(sp.read_frame(), frame_of(R"({"id":"","ok":true,"result":null})"));
}

TEST(Reply, ErrorCarriesCodeAndMessageWithDefaults) {
    SocketPair sp;
    ASSERT_EQ(reply_err(sp.near(), "7", "ENOOP", "unknown op"), 0);
    EXPECT_EQ(sp.read_frame(), frame_of(R"({"id":"7","ok":false,"code":"ENOOP","error":"unknown op"})"));
    ASSERT_EQ(reply_err(sp.near(), nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(sp.read_frame(), frame_of(R"({"id":"","ok":false,"code":"ERR","error":""})"));
}

TEST(Reply, IdIsAlwaysEscaped) {
    SocketPair sp;
    ASSERT_EQ(reply_err(sp.near(), "a\"b\\n\x01", "E", "bad \"x\"\n"), 0);
    EXPECT_EQ(sp.read_frame(),
              frame_of(R"({"id":"a\"b\\n\u0001","ok":false,"code":"E","error":"bad \"x\"\n"})"));
}

TEST(Reply, WriteToClosedPeerFails) {
    signal(SIGPIPE, SIG_IGN);  // the daemon ignores it too
    SocketPair sp;
    sp.close_far();
    EXPECT_EQ(reply_ok(sp.near(), "r", nullptr), -1);
    EXPECT_EQ(reply_err(sp.near(), "r", "E", "m"), -1);
}

class Events : public ::testing::Test {
protected:
    void SetUp() override {
        job = job_alloc();
        ASSERT_NE(job, nullptr);
        jid = job->id;
    }
    void TearDown() override { job_release(job); }

    SocketPair sp;
    job_t* job = nullptr;
    std::string jid;
};

TEST_F(Events, OnlyTheFirstEventCarriesTheJobId) {
    op_emit_t e = {sp.near(), "s1", job, 0};
    ASSERT_EQ(emit_chunk(&e, "[1,2]trailing", 5), 0);
    EXPECT_EQ(sp.read_frame(),
              frame_of(R"({"id":"s1","event":"chunk","job_id":")" + jid + R"(","data":[1,2]})"));
    EXPECT_EQ(e.job_id_sent, 1);
    ASSERT_EQ(emit_log(&e, 2, "a\tb\"c"), 0);
    EXPECT_EQ(sp.read_frame(), frame_of(R"({"id":"s1","event":"log","stream":2,"msg":"a\tb\"c"})"));
    ASSERT_EQ(emit_done(&e, 0, nullptr), 0);
    EXPECT_EQ(sp.read_frame(), frame_of(R"({"id":"s1","event":"done","ok":true,"exit_code":0})"));
}

TEST_F(Events, EachEventBodyWithoutAJob) {
    op_emit_t e = {sp.near(), nullptr, nullptr, 0};
    ASSERT_EQ(emit_chunk(&e, "{\"ts\":1}", 8), 0);
    EXPECT_EQ(sp.read_frame(), frame_of(R"({"id":"","event":"chunk","data":{"ts":1}})"));
    ASSERT_EQ(emit_log(&e, 1, nullptr), 0);
    EXPECT_EQ(sp.read_frame(), frame_of(R"({"id":"","event":"log","stream":1,"msg":""})"));
    ASSERT_EQ(emit_done(&e, -15, "{\"bytes\":3}"), 0);
    EXPECT_EQ(sp.read_frame(),
              frame_of(R"({"id":"","event":"done","ok":true,"exit_code":-15,"result":{"bytes":3}})"));
    ASSERT_EQ(emit_stream_error(&e, nullptr, nullptr), 0);
    EXPECT_EQ(sp.read_frame(), frame_of(R"({"id":"","event":"error","ok":false,"code":"ERR","error":""})"));
    ASSERT_EQ(emit_stream_error(&e, "ESPAWN", "cannot start \"x\""), 0);
    EXPECT_EQ(sp.read_frame(),
              frame_of(R"({"id":"","event":"error","ok":false,"code":"ESPAWN","error":"cannot start \"x\""})"));
    EXPECT_EQ(e.job_id_sent, 0);
}

TEST_F(Events, ErrorAsFirstEventCarriesTheJobId) {
    op_emit_t e = {sp.near(), "q", job, 0};
    ASSERT_EQ(emit_stream_error(&e, "ENOENT", "iostat not found"), 0);
    EXPECT_EQ(sp.read_frame(), frame_of(R"({"id":"q","event":"error","job_id":")" + jid +
                                        R"(","ok":false,"code":"ENOENT","error":"iostat not found"})"));
}

TEST_F(Events, EmptyBodyClosesTheObjectCleanly) {
    op_emit_t with = {sp.near(), "i", job, 0};
    ASSERT_EQ(emit_frame_with_jobid(&with, "tick", nullptr), 0);
    EXPECT_EQ(sp.read_frame(), frame_of(R"({"id":"i","event":"tick","job_id":")" + jid + R"("})"));
    ASSERT_EQ(emit_frame_with_jobid(&with, "tick", ""), 0);
    EXPECT_EQ(sp.read_frame(), frame_of(R"({"id":"i","event":"tick"})"));
}

TEST_F(Events, JobIdCountsAsSentEvenWhenTheWriteFails) {
    signal(SIGPIPE, SIG_IGN);
    SocketPair gone;
    gone.close_far();
    op_emit_t e = {gone.near(), "r", job, 0};
    EXPECT_EQ(emit_log(&e, 1, "x"), -1);
    EXPECT_EQ(e.job_id_sent, 1);
    e.fd = sp.near();
    ASSERT_EQ(emit_done(&e, 1, nullptr), 0);
    EXPECT_EQ(sp.read_frame(), frame_of(R"({"id":"r","event":"done","ok":true,"exit_code":1})"));
}
