// Reply and event frames byte for byte (whole replies and streams are compared over the socket):
// defaults for absent members, id escaping, the job id of a stream's first event, gathered chunks.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <utility>
#include <vector>

#include "base/sb.h"
#include "jobs/jobs.h"
#include "unit_helpers.h"
#include "wire/reply.h"

namespace {

class Envelope : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(job, nullptr); }
    void TearDown() override { job_release(job); }
    // Each write, made in order, returned 0 and put exactly one frame carrying its body.
    void expect_sent(const std::vector<std::pair<int, std::string>>& writes) {
        for (const auto& [rc, body] : writes) {
            ASSERT_EQ(rc, 0) << body;  // nothing to read after a failed write
            EXPECT_EQ(sp.read_frame(), frame_of(body));
        }
    }

    SocketPair sp;
    job_t* job = job_alloc();
    std::string jid = job ? job->id : "";
};

}  // namespace

TEST_F(Envelope, RepliesAndJoblessEventsFillAbsentMembersAndEscape) {
    op_emit_t e = job_emit(sp.near(), nullptr, nullptr);
    expect_sent({
        {reply_ok(sp.near(), nullptr, nullptr), R"({"id":"","ok":true,"result":null})"},
        {reply_err(sp.near(), nullptr, nullptr, nullptr), R"({"id":"","ok":false,"code":"ERR","error":""})"},
        {reply_err(sp.near(), "a\"b\\n\x01", "E", "bad \"x\"\n"),
         R"({"id":"a\"b\\n\u0001","ok":false,"code":"E","error":"bad \"x\"\n"})"},
        {emit_chunk(&e, "{\"ts\":1}", 8), R"({"id":"","event":"chunk","data":{"ts":1}})"},
        {emit_log(&e, 1, nullptr), R"({"id":"","event":"log","stream":1,"msg":""})"},
        {emit_done(&e, -15, "{\"bytes\":3}"),
         R"({"id":"","event":"done","ok":true,"exit_code":-15,"result":{"bytes":3}})"},
        {emit_stream_error(&e, nullptr, nullptr), R"({"id":"","event":"error","ok":false,"code":"ERR","error":""})"},
        {emit_stream_error(&e, "ESPAWN", "cannot start \"x\""),
         R"({"id":"","event":"error","ok":false,"code":"ESPAWN","error":"cannot start \"x\""})"},
    });
    EXPECT_EQ(e.job_id_sent, 0);
}

TEST_F(Envelope, OnlyTheFirstEventCarriesTheJobId) {
    op_emit_t e = job_emit(sp.near(), "s1", job);
    op_emit_t tick = job_emit(sp.near(), "i", job);  // an empty body still closes the object cleanly
    expect_sent({
        {emit_chunk(&e, "[1,2]trailing", 5), R"({"id":"s1","event":"chunk","job_id":")" + jid + R"(","data":[1,2]})"},
        {emit_log(&e, 2, "a\tb\"c"), R"({"id":"s1","event":"log","stream":2,"msg":"a\tb\"c"})"},
        {emit_frame_with_jobid(&tick, "tick", nullptr), R"({"id":"i","event":"tick","job_id":")" + jid + R"("})"},
        {emit_frame_with_jobid(&tick, "tick", ""), R"({"id":"i","event":"tick"})"},
    });
    EXPECT_EQ(e.job_id_sent, 1);
}

TEST_F(Envelope, WritesToAClosedPeerFailYetTheJobIdCountsAsSent) {
    signal(SIGPIPE, SIG_IGN);  // the daemon ignores it too
    SocketPair gone;
    gone.close_far();
    EXPECT_EQ(reply_ok(gone.near(), "r", nullptr), -1);
    EXPECT_EQ(reply_err(gone.near(), "r", "E", "m"), -1);
    op_emit_t e = job_emit(gone.near(), "r", job);
    EXPECT_EQ(emit_log(&e, 1, "x"), -1);
    EXPECT_EQ(e.job_id_sent, 1);
    e.fd = sp.near();
    expect_sent({{emit_done(&e, 1, nullptr), R"({"id":"r","event":"done","ok":true,"exit_code":1})"}});
}

// Gathered chunk frames carry exactly the bytes emit_chunk would write, one frame each.
TEST_F(Envelope, GatheredChunksAreTheBytesOfSeparateWrites) {
    op_emit_t written = job_emit(sp.near(), "b1", job), gathered = written;
    ASSERT_EQ(emit_chunk(&written, "{\"n\":1}", 7), 0);
    ASSERT_EQ(emit_chunk(&written, "[\"two\"]", 7), 0);
    std::string expect = sp.read_frame();
    expect += sp.read_frame();
    sb_t out;
    ASSERT_EQ(emit_chunk_append(&out, &gathered, "{\"n\":1}trailing", 7), 0);
    ASSERT_EQ(emit_chunk_append(&out, &gathered, "[\"two\"]", 7), 0);
    EXPECT_EQ(std::string(out.buf, out.len), expect);
    EXPECT_EQ(gathered.job_id_sent, 1);
}
