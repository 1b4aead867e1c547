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
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "exec.h"
#include "jobs.h"
#include "util.h"

namespace {

using strings = std::vector<std::string>;

// A command line and the spec that runs it; argv points into `words`, so it is never copied.
struct cmd_t {
    strings words;
    std::vector<char*> argv;
    exec_spec_t spec{};
    explicit cmd_t(strings w, int merge = 1, int grace_ms = 0, const char* cwd = nullptr) : words(std::move(w)) {
        for (auto& x : words) argv.push_back(x.data());
        argv.push_back(nullptr);
        spec = {argv.data(), nullptr, cwd, merge, grace_ms};
    }
    cmd_t(const cmd_t&) = delete;
};

struct run_t {
    std::vector<std::pair<int, std::string>> lines;  // stream number, text
    int stop_after = -1;                             // ask for a stop once this many lines arrived
    int rc = 0;
    exec_result_t res{};
    uint64_t elapsed_ms = 0;
    strings texts() const {
        strings v;
        for (auto& l : lines) v.push_back(l.second);
        return v;
    }
};

int collect(void* ctx, int which, const char* line) {
    auto* r = static_cast<run_t*>(ctx);
    r->lines.emplace_back(which, line);
    return r->stop_after >= 0 && static_cast<int>(r->lines.size()) >= r->stop_after ? 1 : 0;
}

run_t run(const cmd_t& c, job_t* job = nullptr, int stop_after = -1) {
    run_t r;
    r.stop_after = stop_after;
    uint64_t t0 = now_ms();
    r.rc = exec_stream(&c.spec, collect, &r, job, &r.res);
    r.elapsed_ms = now_ms() - t0;
    return r;
}

run_t sh(const std::string& script, int merge = 1, int grace_ms = 0, job_t* job = nullptr, int stop_after = -1) {
    return run(cmd_t({"/bin/sh", "-c", script}, merge, grace_ms), job, stop_after);
}

// Cancels `job` by its id from another thread `delay_ms` after its child has started.
std::thread cancel_later(job_t* job, int delay_ms, uint64_t* cancelled_at = nullptr) {
    return std::thread([job, delay_ms, cancelled_at, id = std::string(job->id)] {
        while (job->pid.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        if (cancelled_at) *cancelled_at = now_ms();
        job_cancel(id.c_str());
    });
}

}  // namespace

TEST(ExecRunner, LineSplittingAndMergedStderr) {
    const std::string x8191(8191, 'x');
    const struct {
        const char* script;
        strings want;
    } cases[] = {
        // One CR before the line feed is stripped; the unterminated tail is delivered.
        {"printf 'a\\r\\nb'", {"a", "b"}},
        {"printf 'x\\n\\n\\ny\\r\\r\\n'", {"x", "", "", "y\r"}},
        {"head -c 20000 /dev/zero | tr '\\0' x", {x8191, x8191, std::string(3618, 'x')}},
        {"head -c 8191 /dev/zero | tr '\\0' x; echo; echo z", {x8191, "z"}},
        {"echo 1; echo 2 >&2; echo 3", {"1", "2", "3"}},   // merged stderr keeps write order
        {"cat; echo end", {"end"}},                        // standard input is /dev/null
        {"(sleep 0.3; echo late) & echo early", {"early", "late"}},  // read to end of file
    };
    for (const auto& c : cases) {
        run_t r = sh(c.script);
        EXPECT_EQ(r.rc, 0) << c.script;
        EXPECT_EQ(r.res.exit_code, 0) << c.script;
        EXPECT_EQ(r.texts(), c.want) << c.script;
        for (auto& l : r.lines) EXPECT_EQ(l.first, 1) << c.script;
    }
    run_t s = sh("echo out; echo err >&2", 0);
    std::set<std::pair<int, std::string>> got(s.lines.begin(), s.lines.end());
    EXPECT_EQ(got, (std::set<std::pair<int, std::string>>{{1, "out"}, {2, "err"}}));
}

TEST(ExecRunner, ExitStatusesMissingProgramAndKilledChild) {
    const struct {
        strings words;
        const char* cwd;
        int code, sig;
    } cases[] = {
        {{"/bin/sh", "-c", "exit 42"}, nullptr, 42, 0},
        {{"/nonexistent/program"}, nullptr, 127, 0},
        {{"/bin/true"}, "/nonexistent/dir", 127, 0},
        {{"/bin/sh", "-c", "kill -9 $$"}, nullptr, -1, 9},
    };
    for (const auto& c : cases) {
        run_t r = run(cmd_t(c.words, 1, 0, c.cwd));
        EXPECT_EQ(r.rc, 0) << c.words.back();
        EXPECT_EQ(r.res.exit_code, c.code) << c.words.back();
        EXPECT_EQ(r.res.term_signal, c.sig) << c.words.back();
    }
}

TEST(ExecRunner, CallbackStopSendsTermAndKillsAfterTheGrace) {
    run_t r = sh("echo first; exec sleep 30", 1, 0, nullptr, 1);
    EXPECT_LT(r.elapsed_ms, 1000u);
    EXPECT_EQ(r.res.exit_code, -1);
    EXPECT_EQ(r.res.term_signal, SIGTERM);

    r = sh("trap '' TERM; echo ready; exec sleep 30", 1, 300, nullptr, 1);
    EXPECT_GE(r.elapsed_ms, 300u);
    EXPECT_LT(r.elapsed_ms, 1500u);
    EXPECT_EQ(r.res.term_signal, SIGKILL);
}

TEST(ExecRunner, JobCancelFromAnotherThreadStopsTheRun) {
    job_t* job = job_alloc();
    ASSERT_NE(job, nullptr);
    uint64_t cancelled_at = 0;
    std::thread canceller = cancel_later(job, 50, &cancelled_at);
    // TERM is ignored, so only the runner's own check can end this run: its kill after 100 ms.
    run_t r = sh("trap '' TERM; exec sleep 30", 1, 100, job);
    uint64_t ended_at = now_ms();
    canceller.join();
    job_release(job);
    EXPECT_EQ(r.res.term_signal, SIGKILL);
    EXPECT_LT(ended_at - cancelled_at, 200u + 100u + 250u);  // a poll cycle, the grace, slack
}

TEST(ExecRunner, CancelledRunEndsWhileABackgroundGrandchildHoldsThePipe) {
    job_t* job = job_alloc();
    ASSERT_NE(job, nullptr);
    std::thread canceller = cancel_later(job, 100);
    run_t r = sh("sleep 5 & echo $!; sleep 5", 1, 0, job);
    canceller.join();
    job_release(job);
    EXPECT_LT(r.elapsed_ms, 1200u);
    EXPECT_EQ(r.res.exit_code, -1);
    ASSERT_FALSE(r.lines.empty());
    pid_t grandchild = atoi(r.lines[0].second.c_str());
    if (grandchild > 1) kill(grandchild, SIGKILL);
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
    strings listed = run(cmd_t({"/bin/ls", "/proc/self/fd"})).texts();
    close(low);
    if (high >= 0) close(high);
    // ls itself holds the directory it lists, as descriptor 3.
    EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()), (std::set<std::string>{"0", "1", "2", "3"}));
    if (high < 0) GTEST_SKIP() << "could not place a descriptor at 1500; only the low one was checked";
}

TEST(ExecRunner, PassEndFollowsEachBatchOfLinesAndCanStopTheRun) {
    struct seen_t {
        strings log;  // lines, and "|" for each pass end
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
    cmd_t paused({"/bin/sh", "-c", "echo a; echo b; sleep 0.3; echo c"});
    exec_result_t res;
    ASSERT_EQ(exec_stream_batched(&paused.spec, on_line, on_pass, &seen, nullptr, &res), 0);
    // Every line is followed by a pass end before the runner waits again.
    ASSERT_GE(seen.log.size(), 6u);
    EXPECT_EQ(seen.log.back(), "|");
    EXPECT_EQ(seen.log[0], "a");
    auto c_at = std::find(seen.log.begin(), seen.log.end(), "c");
    ASSERT_NE(c_at, seen.log.end());
    EXPECT_EQ(*(c_at - 1), "|") << "a and b were handed over before the pause";

    seen = {{}, 1};
    cmd_t endless({"/bin/sh", "-c", "echo a; exec sleep 30"});
    uint64_t t0 = now_ms();
    ASSERT_EQ(exec_stream_batched(&endless.spec, on_line, on_pass, &seen, nullptr, &res), 0);
    EXPECT_LT(now_ms() - t0, 1000u);
    EXPECT_EQ(res.term_signal, SIGTERM);
}

TEST(ExecRunnerRaw, DeliversBytesExactlyIncludingNul) {
    std::string got;
    raw_cb_t cb = [](void* ctx, int, const char* buf, size_t len) {
        static_cast<std::string*>(ctx)->append(buf, len);
        return 0;
    };
    cmd_t c({"/bin/sh", "-c", "printf 'a\\000b\\r\\n'; head -c 40000 /dev/zero"});
    exec_result_t res;
    ASSERT_EQ(exec_stream_raw(&c.spec, cb, &got, nullptr, &res), 0);
    EXPECT_EQ(res.exit_code, 0);
    EXPECT_EQ(got, std::string("a\0b\r\n", 5) + std::string(40000, '\0'));
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
    run_t out = sh(prog + " 30 >/dev/null 2>&1 & echo $!");
    ASSERT_FALSE(out.lines.empty());
    pid_t grandchild = atoi(out.lines[0].second.c_str());
    ASSERT_GT(grandchild, 1);

    // Let the direct child reach its exec, so its command name is the program's.
    auto comm = [direct] {
        std::string s;
        std::ifstream("/proc/" + std::to_string(direct) + "/comm") >> s;
        return s;
    };
    for (int i = 0; i < 100 && comm() != "vtestkill"; i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    exec_kill_own_children_named("vtestkill");
    int st = 0;
    ASSERT_EQ(waitpid(direct, &st, 0), direct);
    EXPECT_TRUE(WIFSIGNALED(st));
    EXPECT_EQ(kill(grandchild, 0), 0) << "a process whose parent is not us was signalled";
    kill(grandchild, SIGKILL);
    fs::remove_all(tmpl);
}
