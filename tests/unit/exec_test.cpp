// The child runner with small /bin/sh children: line splitting, stream numbering, exit
// statuses, the stop protocol and what a child inherits.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "exec.h"
#include "jobs.h"
#include "util.h"

namespace {

struct line_t {
    int which;
    std::string text;
};

struct collector_t {
    std::vector<line_t> lines;
    int stop_after = -1;  // ask for a stop once this many lines arrived
};

int collect(void* ctx, int which, const char* line) {
    auto* c = static_cast<collector_t*>(ctx);
    c->lines.push_back({which, line});
    return c->stop_after >= 0 && static_cast<int>(c->lines.size()) >= c->stop_after ? 1 : 0;
}

struct run_t {
    int rc;
    exec_result_t res;
    collector_t out;
    uint64_t elapsed_ms;
};

run_t run(std::vector<std::string> words, int merge = 1, int grace_ms = 0, job_t* job = nullptr,
          int stop_after = -1) {
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    exec_spec_t spec = {argv.data(), nullptr, nullptr, merge, grace_ms};
    run_t r{};
    r.out.stop_after = stop_after;
    uint64_t t0 = now_ms();
    r.rc = exec_stream(&spec, collect, &r.out, job, &r.res);
    r.elapsed_ms = now_ms() - t0;
    return r;
}

run_t sh(const std::string& script, int merge = 1, int grace_ms = 0, job_t* job = nullptr, int stop_after = -1) {
    return run({"/bin/sh", "-c", script}, merge, grace_ms, job, stop_after);
}

std::string read_small_comm(pid_t pid) {
    sb_t s;
    read_file_all(("/proc/" + std::to_string(pid) + "/comm").c_str(), &s, 64);
    std::string c = s.buf ? std::string(s.buf, s.len) : std::string();
    if (!c.empty() && c.back() == '\n') c.pop_back();
    return c;
}

std::vector<std::string> texts(const run_t& r) {
    std::vector<std::string> v;
    for (auto& l : r.out.lines) v.push_back(l.text);
    return v;
}

}  // namespace

TEST(ExecRunner, SplitsLinesStripsOneCarriageReturnAndDeliversTheUnterminatedTail) {
    run_t r = sh("printf 'a\\r\\nb'");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(texts(r), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(r.res.exit_code, 0);

    r = sh("printf 'x\\n\\n\\ny\\r\\r\\n'");
    EXPECT_EQ(texts(r), (std::vector<std::string>{"x", "", "", "y\r"}));
}

TEST(ExecRunner, LongLineArrivesInPiecesOf8191Bytes) {
    run_t r = sh("head -c 20000 /dev/zero | tr '\\0' x");
    ASSERT_EQ(r.out.lines.size(), 3u);
    EXPECT_EQ(r.out.lines[0].text.size(), 8191u);
    EXPECT_EQ(r.out.lines[1].text.size(), 8191u);
    EXPECT_EQ(r.out.lines[2].text.size(), 3618u);
    EXPECT_EQ(r.out.lines[2].text, std::string(3618, 'x'));

    // A line of exactly 8191 bytes stays one line, with its line feed or without.
    r = sh("head -c 8191 /dev/zero | tr '\\0' y; echo; echo z");
    EXPECT_EQ(texts(r), (std::vector<std::string>{std::string(8191, 'y'), "z"}));
}

TEST(ExecRunner, MergedStderrIsStreamOneInWriteOrderSeparateIsStreamTwo) {
    run_t m = sh("echo 1; echo 2 >&2; echo 3", 1);
    ASSERT_EQ(m.out.lines.size(), 3u);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(m.out.lines[i].which, 1);
        EXPECT_EQ(m.out.lines[i].text, std::to_string(i + 1));
    }
    run_t s = sh("echo out; echo err >&2", 0);
    std::set<std::pair<int, std::string>> got;
    for (auto& l : s.out.lines) got.insert({l.which, l.text});
    EXPECT_EQ(got, (std::set<std::pair<int, std::string>>{{1, "out"}, {2, "err"}}));
}

TEST(ExecRunner, ExitStatusesMissingProgramAndKilledChild) {
    EXPECT_EQ(sh("exit 42").res.exit_code, 42);

    run_t missing = run({"/nonexistent/program"});
    EXPECT_EQ(missing.rc, 0);
    EXPECT_EQ(missing.res.exit_code, 127);

    std::vector<std::string> words = {"/bin/true"};
    std::vector<char*> argv = {words[0].data(), nullptr};
    exec_spec_t bad_cwd = {argv.data(), nullptr, "/nonexistent/dir", 1, 0};
    exec_result_t res;
    EXPECT_EQ(exec_stream(&bad_cwd, nullptr, nullptr, nullptr, &res), 0);
    EXPECT_EQ(res.exit_code, 127);

    run_t killed = sh("kill -9 $$");
    EXPECT_EQ(killed.res.exit_code, -1);
    EXPECT_EQ(killed.res.term_signal, 9);
}

TEST(ExecRunner, CallbackStopSendsTerm) {
    run_t r = sh("echo first; exec sleep 30", 1, 0, nullptr, 1);
    EXPECT_LT(r.elapsed_ms, 1000u);
    EXPECT_EQ(r.res.exit_code, -1);
    EXPECT_EQ(r.res.term_signal, SIGTERM);
}

TEST(ExecRunner, ChildIgnoringTermIsKilledAfterTheGrace) {
    run_t r = sh("trap '' TERM; echo ready; exec sleep 30", 1, 300, nullptr, 1);
    EXPECT_GE(r.elapsed_ms, 300u);
    EXPECT_LT(r.elapsed_ms, 1500u);
    EXPECT_EQ(r.res.term_signal, SIGKILL);
}

TEST(ExecRunner, JobCancelFromAnotherThreadStopsTheRun) {
    job_t* job = job_alloc();
    ASSERT_NE(job, nullptr);
    std::string id = job->id;
    uint64_t cancelled_at = 0;
    std::thread canceller([&] {
        while (job->pid.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        cancelled_at = now_ms();
        job_cancel(id.c_str());
    });
    // TERM is ignored, so only the runner's own check can end this run: its kill after 100 ms.
    run_t r = sh("trap '' TERM; exec sleep 30", 1, 100, job);
    uint64_t ended_at = now_ms();
    canceller.join();
    EXPECT_EQ(r.res.term_signal, SIGKILL);
    EXPECT_LT(ended_at - cancelled_at, 200u + 100u + 250u);  // a poll cycle, the grace, slack
    job_release(job);
}

TEST(ExecRunner, CancelledRunEndsWhileABackgroundGrandchildHoldsThePipe) {
    job_t* job = job_alloc();
    ASSERT_NE(job, nullptr);
    std::string id = job->id;
    std::thread canceller([&] {
        while (job->pid.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        job_cancel(id.c_str());
    });
    run_t r = sh("sleep 5 & echo $!; sleep 5", 1, 0, job);
    canceller.join();
    job_release(job);
    EXPECT_LT(r.elapsed_ms, 1200u);
    EXPECT_EQ(r.res.exit_code, -1);
    ASSERT_FALSE(r.out.lines.empty());
    pid_t grandchild = atoi(r.out.lines[0].text.c_str());
    if (grandchild > 1) kill(grandchild, SIGKILL);
}

TEST(ExecRunner, WithoutAStopOutputIsReadToEndOfFileAfterTheChildExits) {
    run_t r = sh("(sleep 0.3; echo late) & echo early");
    EXPECT_EQ(texts(r), (std::vector<std::string>{"early", "late"}));
    EXPECT_GE(r.elapsed_ms, 250u);
}

TEST(ExecRunner, ChildInheritsNoDescriptorBeyondTheStandardThree) {
    // Descriptors without close-on-exec, one of them far above 1023.
    struct rlimit rl;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
    if (rl.rlim_cur < 2048 && rl.rlim_max >= 2048) {
        rl.rlim_cur = 2048;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    int low = open("/dev/null", O_RDONLY);
    ASSERT_GE(low, 3);
    int high = dup2(low, 1500);
    run_t r = run({"/bin/ls", "/proc/self/fd"});
    close(low);
    if (high >= 0) close(high);
    std::vector<std::string> listed = texts(r);
    std::set<std::string> fds(listed.begin(), listed.end());
    // ls itself holds the directory it lists, as descriptor 3.
    EXPECT_EQ(fds, (std::set<std::string>{"0", "1", "2", "3"}));
    if (high < 0) GTEST_SKIP() << "could not place a descriptor at 1500; only the low one was checked";
}

TEST(ExecRunner, StdinIsDevNull) {
    run_t r = sh("cat; echo end");
    EXPECT_EQ(texts(r), (std::vector<std::string>{"end"}));
}

TEST(ExecRunner, PassEndFollowsEachBatchOfLinesAndCanStopTheRun) {
    struct seen_t {
        std::vector<std::string> log;  // lines, and "|" for each pass end
        int passes_until_stop = -1;
    } seen;
    line_cb_t on_line = [](void* ctx, int, const char* line) {
        static_cast<seen_t*>(ctx)->log.push_back(line);
        return 0;
    };
    pass_end_cb_t on_pass = [](void* ctx) {
        auto* s = static_cast<seen_t*>(ctx);
        s->log.push_back("|");
        return --s->passes_until_stop == 0 ? 1 : 0;
    };
    std::string a = "/bin/sh", b = "-c", c = "echo a; echo b; sleep 0.3; echo c";
    char* argv[] = {a.data(), b.data(), c.data(), nullptr};
    exec_spec_t spec = {argv, nullptr, nullptr, 1, 0};
    exec_result_t res;
    ASSERT_EQ(exec_stream_batched(&spec, on_line, on_pass, &seen, nullptr, &res), 0);
    // Every line is followed by a pass end before the runner waits again.
    ASSERT_GE(seen.log.size(), 6u);
    EXPECT_EQ(seen.log.back(), "|");
    EXPECT_EQ(seen.log[0], "a");
    auto c_at = std::find(seen.log.begin(), seen.log.end(), "c");
    ASSERT_NE(c_at, seen.log.end());
    EXPECT_EQ(*(c_at - 1), "|") << "a and b were handed over before the pause";

    seen = {};
    seen.passes_until_stop = 1;
    std::string c2 = "echo a; exec sleep 30";
    argv[2] = c2.data();
    uint64_t t0 = now_ms();
    ASSERT_EQ(exec_stream_batched(&spec, on_line, on_pass, &seen, nullptr, &res), 0);
    EXPECT_LT(now_ms() - t0, 1000u);
    EXPECT_EQ(res.term_signal, SIGTERM);
}

TEST(ExecRunnerRaw, DeliversBytesExactlyIncludingNul) {
    std::string got;
    raw_cb_t cb = [](void* ctx, int, const char* buf, size_t len) {
        static_cast<std::string*>(ctx)->append(buf, len);
        return 0;
    };
    std::string a = "/bin/sh", b = "-c", c = "printf 'a\\000b\\r\\n'; head -c 40000 /dev/zero";
    char* argv[] = {a.data(), b.data(), c.data(), nullptr};
    exec_spec_t spec = {argv, nullptr, nullptr, 1, 0};
    exec_result_t res;
    ASSERT_EQ(exec_stream_raw(&spec, cb, &got, nullptr, &res), 0);
    EXPECT_EQ(res.exit_code, 0);
    ASSERT_EQ(got.size(), 5u + 40000u);
    EXPECT_EQ(got.substr(0, 5), std::string("a\0b\r\n", 5));
}

TEST(ExecKillOwnChildren, SignalsOnlyDirectChildrenOfThatName) {
    namespace fs = std::filesystem;
    char tmpl[] = "/tmp/vornd-kill-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string prog = std::string(tmpl) + "/vtestkill";
    fs::copy_file("/bin/sleep", prog);

    pid_t direct = fork();
    if (direct == 0) {
        execl(prog.c_str(), "vtestkill", "30", static_cast<char*>(nullptr));
        _exit(127);
    }
    // A grandchild of the same name, through a shell that reports its pid and then exits.
    collector_t out;
    std::string a = "/bin/sh", b = "-c", c = prog + " 30 >/dev/null 2>&1 & echo $!";
    char* argv[] = {a.data(), b.data(), c.data(), nullptr};
    exec_spec_t spec = {argv, nullptr, nullptr, 1, 0};
    exec_result_t res;
    exec_stream(&spec, collect, &out, nullptr, &res);
    ASSERT_FALSE(out.lines.empty());
    pid_t grandchild = atoi(out.lines[0].text.c_str());
    ASSERT_GT(grandchild, 1);

    // Let the direct child reach its exec, so its command name is the program's.
    for (int i = 0; i < 100; i++) {
        std::string comm = read_small_comm(direct);
        if (comm == "vtestkill") break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    exec_kill_own_children_named("vtestkill");
    int st = 0;
    ASSERT_EQ(waitpid(direct, &st, 0), direct);
    EXPECT_TRUE(WIFSIGNALED(st));
    EXPECT_EQ(kill(grandchild, 0), 0) << "a process whose parent is not us was signalled";
    kill(grandchild, SIGKILL);
    fs::remove_all(tmpl);
}
