// Dispatch owns a stream's job slot: a request refused for its arguments never takes one (its
// error event still carries an id, which names no slot), and every way a stream can end gives
// its slot back before the stream's last event goes out.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "daemon/dispatch.h"
#include "daemon/optable.h"
#include "jobs/jobs.h"
#include "unit_helpers.h"
#include "wire/reply.h"
#include "wire/request.h"

namespace {

int slots_taken() {
    int n = 0;
    for (const job_t& j : g_jobs) n += j.id[0] != '\0';
    return n;
}

// The frame bodies one request makes, dispatched in process through `table`.
strings dispatch(const op_def_t* table, const std::string& body) {
    SocketPair sp;
    std::vector<jsmntok_t> toks(CONN_MAX_TOKENS);
    conn_dispatch(table, sp.near(), body.c_str(), body.size(), toks.data());
    return waiting_frames(sp.far());
}

}  // namespace

TEST(DispatchJobs, ARefusedArgumentOfEveryStreamingRowClaimsNoSlot) {
    const std::string too_long(5000, 'x');
    const std::map<std::string, std::string> refused = {
        {"memprowl_run", "{}"},
        {"fio_run", "{}"},
        {"iperf3_client", "{}"},
        {"zpool_iostat_stream", R"({"pool":"-v"})"},
        {"dump_logs", R"({"output_dir":")" + too_long + "\"}"},
        {"exec", "{}"},
        {"pty", R"({"cmd":")" + too_long + "\"}"},
        {"pty_attach", R"({"job_id":"0000000000000000"})"},
        {"log_tail", R"({"path":"relative"})"},
        {"strace_attach", R"({"pid":1})"},
        {"pcap_stream", "{}"},
    };
    // Without an argument that could be refused: a stream that always starts.
    const std::set<std::string> always_start = {"iostat_stream", "iperf3_server"};
    for (const op_def_t* op = g_ops; op->name; op++) {
        if (!op->streaming || always_start.count(op->name)) continue;
        auto it = refused.find(op->name);
        ASSERT_NE(it, refused.end()) << op->name << " has no refused request here";
        job_claim_reset();  // dispatch runs on this thread: any claim, even one given back, shows
        strings got = dispatch(g_ops,
                               R"({"id":"r","op":")" + std::string(op->name) + R"(","args":)" + it->second + "}");
        ASSERT_EQ(got.size(), 1u) << op->name;
        EXPECT_NE(got[0].find(R"("ok":false)"), std::string::npos) << got[0];
        EXPECT_STREQ(job_last_claimed(), "") << op->name;
    }
}

namespace {

op_result fails_inside(const op_req_t& r) {
    return r.stream([](op_stream_t& s) {
        emit_log(&s.emit, 1, "started");
        return op_err{ERR_ESPAWN, "spawn failed"};
    });
}
op_result fails_at_once(const op_req_t& r) {
    return r.stream([](op_stream_t&) { return op_err{ERR_ENOENT, "tool not found"}; });
}
op_result ends_done(const op_req_t& r) {
    return r.stream([](op_stream_t&) { return op_result::done(3); });
}
op_result ends_itself(const op_req_t& r) {
    return r.stream([](op_stream_t& s) {
        emit_done(&s.emit, 0, nullptr);
        return op_result::sent();
    });
}

const op_def_t STREAMS[] = {
    {.name = "inside",
     .streaming = 1,
     .needs_root = 0,
     .cls = OP_CONTROL,
     .job = op_job_t::optional,
     .fn = fails_inside},
    {.name = "at_once",
     .streaming = 1,
     .needs_root = 0,
     .cls = OP_CONTROL,
     .job = op_job_t::optional,
     .fn = fails_at_once},
    {.name = "done", .streaming = 1, .needs_root = 0, .cls = OP_CONTROL, .job = op_job_t::optional, .fn = ends_done},
    {.name = "itself",
     .streaming = 1,
     .needs_root = 0,
     .cls = OP_CONTROL,
     .job = op_job_t::optional,
     .fn = ends_itself},
    {.name = "needs_slot",
     .streaming = 1,
     .needs_root = 0,
     .cls = OP_CONTROL,
     .job = op_job_t::required,
     .fn = ends_done},
    {.name = nullptr, .streaming = 0, .needs_root = 0, .cls = OP_CLASS_UNSET, .job = op_job_t::none, .fn = nullptr},
};

}  // namespace

TEST(DispatchJobs, EveryEndOfAStreamGivesItsSlotBackAndAFullTableIsTheRowsChoice) {
    const struct {
        const char* op;
        bool full;
        strings frames;  // with the job id replaced by J
    } cases[] = {
        {"inside",
         false,
         {R"({"id":"r","event":"log","job_id":"J","stream":1,"msg":"started"})",
          R"({"id":"r","event":"error","ok":false,"code":"ESPAWN","error":"spawn failed"})"}},
        {"at_once",
         false,
         {R"({"id":"r","event":"error","job_id":"J","ok":false,"code":"ENOENT","error":"tool not found"})"}},
        {"done", false, {R"({"id":"r","event":"done","job_id":"J","ok":true,"exit_code":3})"}},
        {"itself", false, {R"({"id":"r","event":"done","job_id":"J","ok":true,"exit_code":0})"}},
        {"done", true, {R"({"id":"r","event":"done","ok":true,"exit_code":3})"}},
        {"needs_slot", true, {R"({"id":"r","event":"error","ok":false,"code":"EBUSY","error":"job table full"})"}},
    };
    for (const auto& c : cases) {
        std::vector<job_t*> held;
        while (c.full && slots_taken() < JOB_SLOTS) held.push_back(job_alloc());
        int before = slots_taken();
        strings got = dispatch(STREAMS, R"({"id":"r","op":")" + std::string(c.op) + R"("})");
        for (std::string& f : got)
            f = std::regex_replace(f, std::regex(R"("job_id":"[0-9a-f]{16}")"), R"("job_id":"J")");
        EXPECT_EQ(got, c.frames) << c.op;
        EXPECT_EQ(slots_taken(), before) << c.op;
        for (job_t* j : held) job_release(j);
    }
}
