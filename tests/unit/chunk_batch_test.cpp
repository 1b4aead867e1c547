// Gathered chunk frames carry exactly the bytes emit_chunk would write, one frame each.
#include <gtest/gtest.h>

#include <string>

#include "jobs.h"
#include "ops.h"
#include "unit_helpers.h"

TEST(ChunkAppend, SameBytesAsSeparateWritesAndJobIdOnlyInTheFirst) {
    job_t* job = job_alloc();
    ASSERT_NE(job, nullptr);
    SocketPair sp;
    op_emit_t written = {sp.near(), "b1", job, 0};
    ASSERT_EQ(emit_chunk(&written, "{\"n\":1}", 7), 0);
    ASSERT_EQ(emit_chunk(&written, "[\"two\"]", 7), 0);
    std::string expect = sp.read_frame();
    expect += sp.read_frame();

    op_emit_t gathered = {sp.near(), "b1", job, 0};
    sb_t out;
    ASSERT_EQ(emit_chunk_append(&out, &gathered, "{\"n\":1}trailing", 7), 0);
    ASSERT_EQ(emit_chunk_append(&out, &gathered, "[\"two\"]", 7), 0);
    EXPECT_EQ(std::string(out.buf, out.len), expect);
    EXPECT_EQ(gathered.job_id_sent, 1);
    EXPECT_NE(expect.find(std::string("\"job_id\":\"") + job->id + "\""), std::string::npos);
    job_release(job);
}
