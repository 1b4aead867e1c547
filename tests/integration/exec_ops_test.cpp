// exec and exec_detached over the socket.

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "stream_util.h"

namespace {

// Replaces the job id's 16 hex digits with X so whole frames can be compared.
std::string mask_job(const std::string& f) {
    return std::regex_replace(f, std::regex("\"job_id\":\"[0-9a-f]{16}\""), "\"job_id\":\"X\"");
}

std::vector<std::string> exec_stream_frames(const TestDaemon& d, const std::string& args,
                                            const char* op = "exec") {
    unique_fd fd = d.connect();
    if (!fd || vc_send(fd.get(), vc_request("r1", op, args)) != 0) return {};
    std::vector<std::string> frames = recv_stream(fd.get());
    for (auto& f : frames) f = mask_job(f);
    return frames;
}

std::string error_frame(const char* code, const char* msg) {
    return std::string("{\"id\":\"r1\",\"event\":\"error\",\"job_id\":\"X\",\"ok\":false,\"code\":\"") + code +
           "\",\"error\":\"" + msg + "\"}";
}

std::string line_chunk(const std::string& text, int stream = 1, bool first = false) {
    return std::string("{\"id\":\"r1\",\"event\":\"chunk\",") + (first ? "\"job_id\":\"X\"," : "") +
           "\"data\":{\"type\":\"line\",\"stream\":" + std::to_string(stream) + ",\"text\":\"" + text + "\"}}";
}

std::string done_frame(int code) {
    return "{\"id\":\"r1\",\"event\":\"done\",\"ok\":true,\"exit_code\":" + std::to_string(code) + "}";
}

}  // namespace

TEST(ExecOp, StreamsNonEmptyLinesEscapedWithTheJobIdOnlyFirst) {
    TestDaemon d;
    std::string script = d.dir() + "/lines.sh";
    ASSERT_TRUE(write_file(script, "#!/bin/sh\necho one\necho\nprintf 't\\tq\"x\\\\y\\r\\n'\necho two\nexit 5\n", 0755));
    ASSERT_TRUE(d.start());
    std::vector<std::string> f = exec_stream_frames(d, "{\"cmd\":\"" + script + "\"}");
    EXPECT_EQ(f, (std::vector<std::string>{line_chunk("one", 1, true), line_chunk("t\\tq\\\"x\\\\y"),
                                           line_chunk("two"), done_frame(5)}));

    // Separate standard error is stream 2; merged (the default) it is stream 1.
    std::string args = R"({"cmd":"sh","argv":["-c","echo err >&2"])";
    EXPECT_EQ(exec_stream_frames(d, args + R"(,"merge_stderr":false})"),
              (std::vector<std::string>{line_chunk("err", 2, true), done_frame(0)}));
    EXPECT_EQ(exec_stream_frames(d, args + "}"), (std::vector<std::string>{line_chunk("err", 1, true), done_frame(0)}));
}

TEST(ExecOp, LinesReachTheClientWhileTheProgramRuns) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    unique_fd fd = d.connect();
    ASSERT_EQ(vc_send(fd.get(), vc_request("r1", "exec", R"({"cmd":"sh","argv":["-c","echo 1; echo 2; sleep 3; echo 3"]})")), 0);
    std::string f1, f2, more;
    ASSERT_TRUE(recv_within(fd.get(), &f1, 1500));
    ASSERT_TRUE(recv_within(fd.get(), &f2, 500));
    EXPECT_EQ(mask_job(f1), line_chunk("1", 1, true));
    EXPECT_EQ(f2, line_chunk("2"));
    EXPECT_FALSE(recv_within(fd.get(), &more, 500)) << more;
    EXPECT_EQ(recv_stream(fd.get()), (std::vector<std::string>{line_chunk("3"), done_frame(0)}));
}

TEST(ExecOp, AllowListComparesTheCommandExactlyAsSent) {
    TestDaemon d;
    d.write_config("[exec]\nallow = sh, /usr/bin/printf\n");
    ASSERT_TRUE(d.start());
    const std::string forbidden = error_frame("EFORBIDDEN", "cmd not in exec allowlist");
    EXPECT_EQ(exec_stream_frames(d, R"({"cmd":"sh","argv":["-c","exit 0"]})"),
              (std::vector<std::string>{"{\"id\":\"r1\",\"event\":\"done\",\"job_id\":\"X\",\"ok\":true,\"exit_code\":0}"}));
    EXPECT_EQ(exec_stream_frames(d, R"({"cmd":"/usr/bin/sh"})"), (std::vector<std::string>{forbidden}));
    EXPECT_EQ(exec_stream_frames(d, R"({"cmd":"sh "})"), (std::vector<std::string>{forbidden}));
    EXPECT_EQ(exec_stream_frames(d, R"({"cmd":"printf"})"), (std::vector<std::string>{forbidden}));
    EXPECT_EQ(exec_stream_frames(d, R"({"cmd":"/usr/bin/printf","argv":["ok"]})"),
              (std::vector<std::string>{line_chunk("ok", 1, true), done_frame(0)}));
    EXPECT_EQ(d.call(R"({"id":"r1","op":"exec_detached","args":{"cmd":"/usr/bin/sh","log_path":"/dev/null"}})"),
              R"({"id":"r1","ok":false,"code":"EFORBIDDEN","error":"cmd not in exec allowlist"})");
}

TEST(ExecOp, ErrorEventsAndUnexecutablePrograms) {
    TestDaemon d;
    std::string bad_interp = d.dir() + "/bad.sh";
    ASSERT_TRUE(write_file(bad_interp, "#!/nonexistent/interpreter\n", 0755));
    ASSERT_TRUE(d.start());
    EXPECT_EQ(exec_stream_frames(d, "{}"), (std::vector<std::string>{error_frame("EREQ", "cmd required")}));
    EXPECT_EQ(exec_stream_frames(d, R"({"cmd":""})"), (std::vector<std::string>{error_frame("EREQ", "cmd required")}));
    EXPECT_EQ(exec_stream_frames(d, R"({"cmd":"/nonexistent/prog"})"),
              (std::vector<std::string>{error_frame("ENOENT", "cmd not executable")}));
    EXPECT_EQ(exec_stream_frames(d, R"({"cmd":"no-such-tool-anywhere"})"),
              (std::vector<std::string>{error_frame("ENOENT", "cmd not found")}));
    EXPECT_EQ(exec_stream_frames(d, "{\"cmd\":\"" + bad_interp + "\"}"),
              (std::vector<std::string>{"{\"id\":\"r1\",\"event\":\"done\",\"job_id\":\"X\",\"ok\":true,\"exit_code\":127}"}));

    EXPECT_EQ(d.call(R"({"id":"r1","op":"exec_detached","args":{"cmd":"sh"}})"),
              R"({"id":"r1","ok":false,"code":"EREQ","error":"log_path required"})");
    EXPECT_EQ(d.call(R"({"id":"r1","op":"exec_detached","args":{"log_path":"/dev/null"}})"),
              R"({"id":"r1","ok":false,"code":"EREQ","error":"cmd required"})");
    EXPECT_EQ(d.call(R"({"id":"r1","op":"exec_detached","args":{"cmd":"no-such-tool-anywhere","log_path":"/x"}})"),
              R"({"id":"r1","ok":false,"code":"ENOENT","error":"cmd not found"})");
}

TEST(ExecOp, OnlyTheFirst31ArgumentsArePassed) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    std::string args = R"({"cmd":"printf","argv":["%s,")";
    std::string expect;
    for (int i = 1; i <= 39; i++) {
        args += ",\"a" + std::to_string(i) + "\"";
        if (i <= 30) expect += "a" + std::to_string(i) + ",";
    }
    args += "]}";
    EXPECT_EQ(exec_stream_frames(d, args), (std::vector<std::string>{line_chunk(expect, 1, true), done_frame(0)}));
}

TEST(ExecOp, CancelFromASecondConnectionEndsWithDoneMinusOne) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    unique_fd a = d.connect();
    ASSERT_EQ(vc_send(a.get(), vc_request("r1", "exec", R"({"cmd":"sh","argv":["-c","echo started; exec sleep 30"]})")), 0);
    std::string first;
    ASSERT_TRUE(recv_within(a.get(), &first, 5000));
    std::string job_id;
    ASSERT_TRUE(vc_json_str(first, "job_id", &job_id)) << first;

    std::string cancel = vc_request("c1", "_cancel", "{\"job_id\":\"" + job_id + "\"}");
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(d.call(cancel), R"({"id":"c1","ok":true,"result":{"cancelled":true}})");
    std::vector<std::string> rest = recv_stream(a.get(), 3000);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(rest, (std::vector<std::string>{done_frame(-1)}));
    EXPECT_LT(ms, 1500);
    // The slot is given back right after "done" is written.
    std::string again;
    for (int i = 0; i < 100; i++) {
        again = d.call(cancel);
        if (again.find("ENOENT") != std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(again, R"({"id":"c1","ok":false,"code":"ENOENT","error":"no such job"})");
}

TEST(ExecOp, RunsWithoutJobIdWhenAll256SlotsAreTaken) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    std::vector<unique_fd> holders;
    for (int i = 0; i < 256; i++) {
        unique_fd fd = d.connect();
        ASSERT_TRUE(fd);
        ASSERT_EQ(vc_send(fd.get(), vc_request("h", "exec", R"({"cmd":"sh","argv":["-c","echo x; exec sleep 60"]})")), 0);
        holders.push_back(std::move(fd));
    }
    for (auto& fd : holders) {
        std::string first;
        ASSERT_TRUE(recv_within(fd.get(), &first, 10000));
        ASSERT_NE(first.find("\"job_id\""), std::string::npos) << first;
    }
    std::vector<std::string> f = exec_stream_frames(d, R"({"cmd":"sh","argv":["-c","echo hi"]})");
    EXPECT_EQ(f, (std::vector<std::string>{line_chunk("hi"), done_frame(0)}));
    EXPECT_EQ(d.stop(), 0);  // shutdown ends the 256 sleeping children
}

TEST(ExecDetachedOp, StartsTheProgramInItsOwnSessionAndReturnsAtOnce) {
    TestDaemon d;
    std::string script = d.dir() + "/detached.sh";
    std::string log = d.dir() + "/out.log";
    ASSERT_TRUE(write_file(script,
                           "#!/bin/sh\n"
                           "pwd\n"
                           "ls /proc/self/fd\n"
                           "cat /proc/$$/stat\n"
                           "echo args \"$@\"\n"
                           "echo end\n",
                           0755));
    ASSERT_TRUE(d.start());
    std::string reply = d.call("{\"id\":\"r1\",\"op\":\"exec_detached\",\"args\":{\"cmd\":\"" + script +
                               "\",\"log_path\":\"" + log + "\",\"cwd\":\"/usr\",\"argv\":[\"a b\",\"c\"]}}");
    long long mid = 0;
    ASSERT_TRUE(vc_json_int(json_member(reply, "result"), "intermediate_pid", &mid)) << reply;
    EXPECT_EQ(reply, "{\"id\":\"r1\",\"ok\":true,\"result\":{\"resolved\":\"" + script + "\",\"log_path\":\"" + log +
                         "\",\"intermediate_pid\":" + std::to_string(mid) + "}}");
    EXPECT_EQ(kill(static_cast<pid_t>(mid), 0), -1) << "the intermediate child is gone";
    EXPECT_EQ(errno, ESRCH);

    std::string out;
    for (int i = 0; i < 500 && out.find("end\n") == std::string::npos; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        out = read_text(log);
    }
    ASSERT_NE(out.find("end\n"), std::string::npos) << out;
    // pwd, then what a child of the program inherits (the standard three; ls holds 3 itself),
    // then the program's stat line.
    const std::string head = "/usr\n0\n1\n2\n3\n";
    ASSERT_EQ(out.compare(0, head.size(), head), 0) << out;
    std::string next_line = out.substr(head.size(), out.find('\n', head.size()) - head.size());
    EXPECT_NE(next_line.find(" ("), std::string::npos) << "a descriptor beyond 3 was listed: " << out;
    EXPECT_NE(out.find("\nargs a b c\n"), std::string::npos) << out;
    // stat: "pid (comm) state ppid pgrp session ..."
    size_t close_paren = out.rfind(')');
    ASSERT_NE(close_paren, std::string::npos);
    char state = 0;
    int ppid = 0, pgrp = 0, session = 0;
    ASSERT_EQ(sscanf(out.c_str() + close_paren + 1, " %c %d %d %d", &state, &ppid, &pgrp, &session), 4);
    EXPECT_EQ(session, mid) << "a new session led by the intermediate child";
    EXPECT_NE(ppid, d.pid()) << "not a child of the daemon";

    // An unwritable log path still starts the program (its output goes to the daemon's own).
    std::string marker = d.dir() + "/ran";
    reply = d.call(R"({"id":"r2","op":"exec_detached","args":{"cmd":"sh","argv":["-c","touch )" + marker +
                   R"("],"log_path":"/nonexistent/dir/log"}})");
    EXPECT_NE(reply.find("\"ok\":true"), std::string::npos) << reply;
    bool ran = false;
    for (int i = 0; i < 300 && !ran; i++) {
        ran = access(marker.c_str(), F_OK) == 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(ran);
}
