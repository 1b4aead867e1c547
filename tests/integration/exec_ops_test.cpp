// exec and exec_detached over the socket.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <regex>
#include <string>
#include <vector>

#include "base/clock.h"
#include "host_util.h"
#include "spawn.h"
#include "stranger.h"

namespace {

using strings = std::vector<std::string>;

// Replaces the job id's 16 hex digits with X so whole frames can be compared.
std::string mask_job(const std::string& f) {
    return std::regex_replace(f, std::regex("\"job_id\":\"[0-9a-f]{16}\""), "\"job_id\":\"X\"");
}

// Every frame of one exec request on its own connection, job ids masked.
strings exec_frames(const TestDaemon& d, const std::string& args) {
    strings frames = StreamReader(d, vc_request("r", "exec", args)).until_end();
    for (auto& f : frames) f = mask_job(f);
    return frames;
}

// An error event of a stream (a plain error reply is err()).
std::string error_frame(const char* code, const char* msg) {
    return std::string(R"({"id":"r","event":"error","job_id":"X","ok":false,"code":")") + code + R"(","error":")" +
           msg + "\"}";
}

// `first`: the stream's first event, the one that carries the job id.
std::string line_chunk(const std::string& text, int stream = 1, bool first = false) {
    return std::string("{\"id\":\"r\",\"event\":\"chunk\",") + (first ? "\"job_id\":\"X\"," : "") +
           "\"data\":{\"type\":\"line\",\"stream\":" + std::to_string(stream) + ",\"text\":\"" + text + "\"}}";
}

std::string done_frame(int code, bool first = false) {
    return std::string("{\"id\":\"r\",\"event\":\"done\",") + (first ? "\"job_id\":\"X\"," : "") +
           "\"ok\":true,\"exit_code\":" + std::to_string(code) + "}";
}

}  // namespace

// Lines and their escaping, stderr, the argument limits, refusals, request errors, programs that cannot start.
TEST(ExecOp, FramesOfEachRequest) {
    TestDaemon d;
    std::string lines = d.dir() + "/lines.sh", bad_interp = d.dir() + "/bad.sh", garbage = d.dir() + "/garbage";
    ASSERT_TRUE(write_file(lines, "#!/bin/sh\necho one\necho\nprintf 't\\tq\"x\\\\y\\r\\n'\necho two\nexit 5\n", 0755));
    ASSERT_TRUE(write_file(bad_interp, "#!/nonexistent/interpreter\n", 0755));
    ASSERT_TRUE(write_file(garbage, "\x7f\x01\x02 not a program", 0755));
    d.write_config("[exec]\nallow = sh, /usr/bin/printf, /nonexistent/prog, no-such-tool-anywhere, " + lines + ", " +
                   bad_interp + ", " + garbage + "\n");
    ASSERT_TRUE(d.start());
    // 31 arguments are passed whole: the format and a1..a30; one more is refused, not dropped.
    std::string many = R"({"cmd":"/usr/bin/printf","argv":["%s,")", printed;
    for (int i = 1; i <= 30; i++) {
        many += ",\"a" + std::to_string(i) + "\"";
        printed += "a" + std::to_string(i) + ",";
    }
    const std::string long_arg = "\"" + std::string(256, 'x') + "\"";
    const char* forbidden_msg = "cmd not in exec allowlist";
    const std::string forbidden = error_frame("EFORBIDDEN", forbidden_msg);
    const std::string err_to = R"({"cmd":"sh","argv":["-c","echo err >&2; echo again >&2"])";
    const struct {
        std::string args;
        strings want;
    } cases[] = {
        // Empty lines are dropped, text is escaped, the job id comes with the first event only.
        {"{\"cmd\":\"" + lines + "\"}",
         {line_chunk("one", 1, true), line_chunk("t\\tq\\\"x\\\\y"), line_chunk("two"), done_frame(5)}},
        {err_to + R"(,"merge_stderr":false})", {line_chunk("err", 2, true), line_chunk("again", 2), done_frame(0)}},
        {err_to + "}", {line_chunk("err", 1, true), line_chunk("again", 1), done_frame(0)}},  // merged by default
        {many + "]}", {line_chunk(printed, 1, true), done_frame(0)}},
        {many + ",\"a31\"]}", {error_frame("EBADREQ", "too many arguments")}},
        {R"({"cmd":"sh","argv":["-c",)" + long_arg + "]}", {error_frame("EBADREQ", "argv too long")}},
        {"{\"cmd\":\"" + std::string(300, 'c') + "\"}", {error_frame("EBADREQ", "cmd too long")}},
        // The child does not inherit the daemon's ignored SIGPIPE: yes ends quietly on it.
        {R"({"cmd":"sh","argv":["-c","yes | head -1"]})", {line_chunk("y", 1, true), done_frame(0)}},
        {R"({"cmd":"sh","argv":["-c","exit 0"]})", {done_frame(0, true)}},
        {R"({"cmd":"/usr/bin/sh"})", {forbidden}},
        {R"({"cmd":"sh "})", {forbidden}},
        {R"({"cmd":"printf"})", {forbidden}},
        {"{}", {error_frame("EREQ", "cmd required")}},
        {R"({"cmd":""})", {error_frame("EREQ", "cmd required")}},
        {R"({"cmd":"/nonexistent/prog"})", {error_frame("ENOENT", "cmd not executable")}},
        {R"({"cmd":"no-such-tool-anywhere"})", {error_frame("ENOENT", "cmd not found")}},
        {"{\"cmd\":\"" + bad_interp + "\"}", {done_frame(127, true)}},
    };
    for (const auto& c : cases) EXPECT_EQ(exec_frames(d, c.args), c.want) << c.args;

    const std::string log = d.dir() + "/detached.log";
    const std::pair<std::string, std::string> detached[] = {
        {R"({"cmd":"/usr/bin/sh","log_path":"/dev/null"})", err("EFORBIDDEN", forbidden_msg)},
        {R"({"cmd":"sh"})", err("EREQ", "log_path required")},
        {R"({"log_path":"/dev/null"})", err("EREQ", "cmd required")},
        {R"({"cmd":"no-such-tool-anywhere","log_path":"/x"})", err("ENOENT", "cmd not found")},
        // Programs that cannot start are reported, not answered as started.
        {"{\"cmd\":\"sh\",\"log_path\":\"" + log + "\",\"cwd\":\"/nonexistent/dir\"}",
         err("ESPAWN", "No such file or directory")},
        {"{\"cmd\":\"" + garbage + "\",\"log_path\":\"" + log + "\"}", err("ESPAWN", "Exec format error")},
        {R"({"cmd":"sh","log_path":"/dev/null","cwd":")" + std::string(512, 'd') + "\"}",
         err("EBADREQ", "cwd too long")},
        {R"({"cmd":"sh","log_path":")" + std::string(512, 'l') + "\"}", err("EBADREQ", "log_path too long")},
        {R"({"cmd":"sh","log_path":"/dev/null","argv":[)" + long_arg + "]}", err("EBADREQ", "argv too long")},
    };
    for (const auto& [args, want] : detached) EXPECT_EQ(d.call(vc_request("r", "exec_detached", args)), want) << args;
}

// Lines come while the program runs; a cancel from a second connection ends the stream with done -1
// at once and frees the job slot. With all slots taken exec still runs, without a job id.
TEST(ExecOp, LiveLinesCancelFromASecondConnectionAndAllSlotsTaken) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    StreamReader s(d, vc_request("r", "exec", R"({"cmd":"sh","argv":["-c","echo 1; echo 2; exec sleep 30"]})"));
    std::string first = s.next(1500), job_id;
    EXPECT_EQ(mask_job(first), line_chunk("1", 1, true));
    EXPECT_EQ(s.next(500), line_chunk("2"));
    EXPECT_EQ(s.next(500), "") << "nothing more while the program sleeps";
    ASSERT_TRUE(vc_json_str(first, "job_id", &job_id)) << first;

    std::string cancel = vc_request("c1", "_cancel", "{\"job_id\":\"" + job_id + "\"}");
    uint64_t t0 = now_ms();
    EXPECT_EQ(d.call(cancel), R"({"id":"c1","ok":true,"result":{"cancelled":true}})");
    EXPECT_EQ(s.until_end(3000), (strings{done_frame(-1)}));
    EXPECT_LT(now_ms() - t0, 1500u);
    const std::string gone = R"({"id":"c1","ok":false,"code":"ENOENT","error":"no such job"})";
    EXPECT_TRUE(eventually([&] { return d.call(cancel) == gone; }, 1000));

    std::vector<StreamReader> holders;
    for (int i = 0; i < 256; i++)
        holders.emplace_back(d, vc_request("h", "exec", R"({"cmd":"sh","argv":["-c","echo x; exec sleep 60"]})"));
    for (auto& h : holders) {
        std::string first = h.next(10000);
        ASSERT_NE(first.find("\"job_id\""), std::string::npos) << first;
    }
    EXPECT_EQ(exec_frames(d, R"({"cmd":"sh","argv":["-c","echo hi"]})"), (strings{line_chunk("hi"), done_frame(0)}));
    EXPECT_EQ(d.stop(), 0);  // shutdown ends the 256 sleeping children
}

TEST(ExecDetachedOp, StartsTheProgramInItsOwnSessionAndReturnsAtOnce) {
    TestDaemon d;
    std::string script = d.dir() + "/detached.sh", log = d.dir() + "/out.log";
    ASSERT_TRUE(write_file(script,
                           "#!/bin/sh\npwd\nls /proc/self/fd\ncat /proc/$$/stat\necho args \"$@\"\n"
                           "grep -E '^Sig(Blk|Ign)' /proc/self/status\necho end\n",
                           0755));
    ASSERT_TRUE(d.start());
    std::string reply = d.call("{\"id\":\"r\",\"op\":\"exec_detached\",\"args\":{\"cmd\":\"" + script +
                               "\",\"log_path\":\"" + log + "\",\"cwd\":\"/usr\",\"argv\":[\"a b\",\"c\"]}}");
    long long mid = 0;
    ASSERT_TRUE(vc_json_int(json_member(reply, "result"), "intermediate_pid", &mid)) << reply;
    EXPECT_EQ(reply, "{\"id\":\"r\",\"ok\":true,\"result\":{\"resolved\":\"" + script + "\",\"log_path\":\"" + log +
                         "\",\"intermediate_pid\":" + std::to_string(mid) + "}}");
    EXPECT_TRUE(kill(static_cast<pid_t>(mid), 0) == -1 && errno == ESRCH) << "the intermediate child is gone";

    std::string out;
    ASSERT_TRUE(eventually([&] { return (out = read_text(log)).find("end\n") != std::string::npos; })) << out;
    // pwd, what a child of the program inherits (the standard three; ls holds 3 itself), then
    // the program's stat line: "pid (comm) state ppid pgrp session ...".
    std::smatch m;
    const std::regex head("^/usr\n0\n1\n2\n3\n[0-9]+ \\(detached.sh\\) . ([0-9]+) [0-9]+ ([0-9]+) ");
    ASSERT_TRUE(std::regex_search(out, m, head)) << out;
    EXPECT_NE(std::stoi(m[1]), d.pid()) << "not a child of the daemon";
    EXPECT_EQ(std::stoll(m[2]), mid) << "a new session led by the intermediate child";
    EXPECT_NE(out.find("\nargs a b c\n"), std::string::npos) << out;
    // What the program hands on (grep's own state): nothing blocked, only SIGHUP ignored, not
    // the daemon's SIGPIPE. The shell's own status may show signals blocked around a fork.
    EXPECT_NE(out.find("\nSigBlk:\t0000000000000000\nSigIgn:\t0000000000000001\n"), std::string::npos) << out;

    // An unwritable log path still starts the program (its output goes to the daemon's own).
    std::string marker = d.dir() + "/ran";
    reply = d.call(R"({"id":"r2","op":"exec_detached","args":{"cmd":"sh","argv":["-c","touch )" + marker +
                   R"("],"log_path":"/nonexistent/dir/log"}})");
    EXPECT_NE(reply.find("\"ok\":true"), std::string::npos) << reply;
    EXPECT_TRUE(eventually([&] { return access(marker.c_str(), F_OK) == 0; }, 3000));
}

// Root appends to the log: a name another user put there (a link to a root-only file, a FIFO),
// a device, or a path that climbs is refused at once, and nothing starts.
TEST(ExecDetachedOp, RefusesALogPathThatIsNoPlainFile) {
    TestDaemon d;
    const std::string share = d.dir() + "/share", victim = d.dir() + "/victim", marker = d.dir() + "/ran";
    ASSERT_EQ(chmod(d.dir().c_str(), 0711), 0);
    ASSERT_TRUE(stranger_dir(share, 0777));
    ASSERT_TRUE(write_file(victim, "root only\n", 0600));
    ASSERT_TRUE(as_stranger([&] {
        return symlink(victim.c_str(), (share + "/job.log").c_str()) == 0 &&
               mkfifo((share + "/fifo").c_str(), 0666) == 0;
    }));
    ASSERT_TRUE(d.start());
    const std::string not_regular = err("EFORBIDDEN", "log_path is not a regular file");
    const std::pair<std::string, std::string> cases[] = {{share + "/job.log", not_regular},
                                                         {share + "/fifo", not_regular},
                                                         {"/dev/null", not_regular},
                                                         {share + "/../victim", err("EREQ", "invalid log_path")}};
    for (const auto& [log, want] : cases) {
        StreamReader r(d, vc_request("r", "exec_detached",
                                     R"({"cmd":"sh","argv":["-c","echo ran; touch )" + marker + "\"],\"log_path\":\"" +
                                         log + "\"}"));
        EXPECT_EQ(r.next(3000), want) << log;
    }
    EXPECT_EQ(read_text(victim), "root only\n");
    EXPECT_NE(access(marker.c_str(), F_OK), 0);
}
