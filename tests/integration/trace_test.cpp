// strace_attach end to end with the real tracer on a process this test started: its lines as
// chunks, the syscall filter, a cancel that leaves the traced process running, and the
// refusals (process 1, the daemon, a vanished process, bad filters; the daemon's threads are
// in procs_test).

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "base/fdio.h"
#include "host_util.h"
#include "spawn.h"

namespace {

// A shell that opens a file ten times a second until it is killed.
class busy_loop {
public:
    busy_loop() : child_(spawn_program({"/bin/sh", "-c", "while :; do read x < /etc/hostname; sleep 0.1; done"})) {}
    ~busy_loop() {
        if (child_.pid > 0) {
            kill(child_.pid, SIGKILL);
            wait_exit(child_.pid, 5000);
        }
    }
    pid_t pid() const { return child_.pid; }
    bool traced() const { return !has(read_text("/proc/" + std::to_string(pid()) + "/status"), "TracerPid:\t0\n"); }
    bool running() const {
        return kill(pid(), 0) == 0 && !has(read_text("/proc/" + std::to_string(pid()) + "/stat"), ") Z");
    }

private:
    spawned_t child_;
};

// Reads a trace's chunks until `enough` of them arrived, cancels it and returns every
// line; the stream's last frame goes into *end.
std::vector<std::string> trace_lines(const TestDaemon& d, const std::string& args, size_t enough, std::string* end) {
    StreamReader s(d, req("strace_attach", args));
    std::vector<std::string> lines;
    std::string frame = s.next(10000), job_id;
    vc_json_str(frame, "job_id", &job_id);
    for (; json_event(frame) == "chunk"; frame = lines.size() < enough ? s.next(10000) : std::string()) {
        std::string data, line;
        vc_json_raw(frame, "data", &data);
        EXPECT_TRUE(std::regex_match(data, std::regex(R"(\{"t":[0-9]+,"line":".*"\})"))) << data;
        vc_json_str(data, "line", &line);
        lines.push_back(vc_json_unescape(line));
    }
    EXPECT_EQ(d.call(vc_request("c", "_cancel", R"({"job_id":")" + job_id + "\"}")),
              R"({"id":"c","ok":true,"result":{"cancelled":true}})");
    std::vector<std::string> rest = s.until_end(10000);
    *end = rest.empty() ? frame : rest.back();
    return lines;
}

}  // namespace

TEST(StraceAttach, LinesStreamFilterLimitsThemAndCancelLeavesTheProcessRunning) {
    busy_loop loop;
    ASSERT_GT(loop.pid(), 0);
    TestDaemon d;
    ASSERT_TRUE(d.start());
    std::string end;
    std::vector<std::string> all = trace_lines(d, "{\"pid\":" + std::to_string(loop.pid()) + "}", 30, &end);
    EXPECT_EQ(json_event(end), "done") << end;  // the tracer ends on SIGTERM by raising it again
    EXPECT_GE(all.size(), 30u);

    std::vector<std::string> open_only =
        trace_lines(d, "{\"pid\":" + std::to_string(loop.pid()) + ",\"filter\":\"openat\"}", 12, &end);
    EXPECT_EQ(json_event(end), "done") << end;
    int opens = 0;
    for (const std::string& l : open_only) {
        // Signals, exits and the tracer's own notes are printed whatever the filter.
        if (has(l, "openat(")) opens++;
        else EXPECT_TRUE(std::regex_search(l, std::regex(R"(strace: |--- SIG|\+\+\+ exited)"))) << l;
    }
    EXPECT_GE(opens, 2);

    EXPECT_TRUE(eventually([&] { return !loop.traced(); }));
    EXPECT_TRUE(loop.running());
}

TEST(StraceAttach, Refusals) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    spawned_t gone = spawn_program({"/bin/true"});
    ASSERT_EQ(wait_exit(gone.pid), 0);
    const std::string self = std::to_string(getpid());
    const std::pair<std::string, std::string> rows[] = {
        {"{}", err("EREQ", "pid must be > 1")},
        {R"({"pid":1})", err("EREQ", "pid must be > 1")},
        {"{\"pid\":" + std::to_string(d.pid()) + "}", err("EFORBIDDEN", "refusing to trace the daemon")},
        {"{\"pid\":" + self + R"(,"filter":"open read"})", err("EREQ", "invalid trace filter")},
        {"{\"pid\":" + self + R"(,"filter":"open;read"})", err("EREQ", "invalid trace filter")},
    };
    for (const auto& [args, want] : rows) EXPECT_EQ(d.call(req("strace_attach", args)), want) << args;

    std::string end =
        stream_end(open_stream(d, req("strace_attach", "{\"pid\":" + std::to_string(gone.pid) + "}")).get());
    EXPECT_TRUE(std::regex_match(
        end,
        std::regex(
            R"(\{"id":"r","event":"error","job_id":"[0-9a-f]{16}","ok":false,"code":"ESRCH","error":"no such process"\})")))
        << end;
}
