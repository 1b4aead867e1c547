// The child runner with small /bin/sh children: lines, streams, exits, stops and inheritance.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "proc/runner.h"
#include "proc/spawn.h"
#include "proc/procfs.h"
#include "jobs/jobs.h"
#include "jobs/pty_session.h"
#include "base/sb.h"
#include "base/fdio.h"
#include "base/clock.h"

namespace {

using strings = std::vector<std::string>;

// A command line and the child description that runs it; argv points into `words`, so it is never copied.
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
    std::vector<std::pair<int, std::string>> lines;  // stream number (0: a pass end, "|"), text
    int stop_after = -1;                             // ask for a stop once this many entries arrived
    bool batched = false;                            // ... and then only at a pass end
    int rc = 0;
    exec_result_t res{};
    uint64_t elapsed_ms = 0;
    strings texts() const {  // the lines, without the pass ends
        strings v;
        for (auto& l : lines)
            if (l.first != 0) v.push_back(l.second);
        return v;
    }
};

int collect(void* ctx, int which, const char* line) {
    auto* r = static_cast<run_t*>(ctx);
    r->lines.emplace_back(which, line);
    bool may_stop = !r->batched || which == 0;
    return may_stop && r->stop_after >= 0 && static_cast<int>(r->lines.size()) >= r->stop_after ? 1 : 0;
}

// The batched runner's callback also gets the length, which must be the line's own.
int collect_len(void* ctx, int which, const char* line, size_t len) {
    EXPECT_EQ(strlen(line), len);
    return collect(ctx, which, line);
}

int pass_end(void* ctx) { return collect(ctx, 0, "|"); }

run_t run(const cmd_t& c, job_t* job = nullptr, int stop_after = -1, bool batched = false) {
    run_t r;
    r.stop_after = stop_after;
    r.batched = batched;
    uint64_t t0 = now_ms();
    r.rc = batched ? exec_stream_batched(&c.spec, collect_len, pass_end, &r, job, &r.res)
                   : exec_stream(&c.spec, collect, &r, job, &r.res);
    r.elapsed_ms = now_ms() - t0;
    return r;
}

run_t sh(const std::string& script, int merge = 1, bool batched = false) {
    return run(cmd_t({"/bin/sh", "-c", script}, merge), nullptr, -1, batched);
}

}  // namespace

TEST(ExecRunner, LinesStreamsAndExitStatuses) {
    const std::string x8191(8191, 'x');
    const struct {
        const char* script;
        strings want;
        int code = 0, sig = 0;
    } cases[] = {
        // One CR before the line feed is stripped; the unterminated tail is delivered.
        {"printf 'a\\r\\nb'", {"a", "b"}},
        {"printf 'x\\n\\n\\ny\\r\\r\\n'", {"x", "", "", "y\r"}},
        {"head -c 20000 /dev/zero | tr '\\0' x", {x8191, x8191, std::string(3618, 'x')}},
        {"head -c 8191 /dev/zero | tr '\\0' x; echo; echo z", {x8191, "z"}},
        {"echo 1; echo 2 >&2; echo 3", {"1", "2", "3"}},   // merged stderr keeps write order
        {"cat; echo end", {"end"}},                        // standard input is /dev/null
        {"(sleep 0.3; echo late) & echo early", {"early", "late"}},  // read to end of file
        {"exit 42", {}, 42},
        {"kill -9 $$", {}, -1, SIGKILL},
    };
    for (const auto& c : cases) {
        for (bool batched : {false, true}) {
            run_t r = sh(c.script, 1, batched);
            EXPECT_EQ(r.texts(), c.want) << c.script;
            EXPECT_EQ(std::tuple(r.rc, r.res.exit_code, r.res.term_signal), std::tuple(0, c.code, c.sig)) << c.script;
            for (auto& l : r.lines) EXPECT_EQ(l.first, batched && l.second == "|" ? 0 : 1) << c.script;
        }
    }
    run_t s = sh("echo out; echo err >&2", 0);
    std::set<std::pair<int, std::string>> got(s.lines.begin(), s.lines.end());
    EXPECT_EQ(got, (std::set<std::pair<int, std::string>>{{1, "out"}, {2, "err"}}));

    // A program missing or not executable, or a working directory that does not exist: 127.
    cmd_t missing({"/nonexistent/program"}), not_exec({"/"}), bad_cwd({"/bin/true"}, 1, 0, "/nonexistent/dir");
    for (const cmd_t* c : {&missing, &not_exec, &bad_cwd}) {
        run_t r = run(*c);
        EXPECT_EQ(std::pair(r.rc, r.res.exit_code), std::pair(0, 127)) << c->spec.argv[0];
    }
}

TEST(ExecRunner, StopByCallbackPassEndOrJobCancelSendsTermThenKillAfterTheGrace) {
    enum { BY_LINE, BY_PASS_END, BY_JOB };  // who asks for the stop; the first two at the first line
    const struct {
        const char* script;
        int grace_ms, by, sig;
        uint64_t min_ms, max_ms;
    } cases[] = {
        {"echo first; exec sleep 30", 0, BY_LINE, SIGTERM, 0, 1000},
        {"trap '' TERM; echo ready; exec sleep 30", 300, BY_LINE, SIGKILL, 300, 1500},
        {"echo first; exec sleep 30", 0, BY_PASS_END, SIGTERM, 0, 1000},
        // Only the runner's own check of the cancel can end this one: a poll cycle, then the grace.
        {"trap '' TERM; exec sleep 30", 100, BY_JOB, SIGKILL, 150, 750},
        // A background grandchild holds the pipe; the run still ends once the grace has passed.
        {"sleep 5 & echo $!; sleep 5", 0, BY_JOB, SIGTERM, 0, 1200},
        // A child that closed its output is waited for without checks; the cancel's own signal ends it.
        {"exec >&- 2>&-; exec sleep 5", 0, BY_JOB, SIGTERM, 0, 1000},
    };
    for (const auto& c : cases) {
        job_t* job = c.by == BY_JOB ? job_alloc() : nullptr;
        ASSERT_TRUE(job || c.by != BY_JOB);
        std::thread canceller;
        if (job) {  // by the job's id from another thread, 50 ms after the child started
            canceller = std::thread([job, id = std::string(job->id)] {
                for (int i = 0; i < 200 && job->pid.load() == 0; i++)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                job_cancel(id.c_str());
            });
        }
        // A batched run stops at the pass end that follows the first line, entry 2 of its log.
        int stop_after = c.by == BY_JOB ? -1 : c.by == BY_LINE ? 1 : 2;
        run_t r = run(cmd_t({"/bin/sh", "-c", c.script}, 1, c.grace_ms), job, stop_after, c.by == BY_PASS_END);
        if (job) {
            canceller.join();
            job_release(job);
            pid_t grandchild = r.lines.empty() ? 0 : atoi(r.lines[0].second.c_str());
            if (grandchild > 1) kill(grandchild, SIGKILL);
        }
        EXPECT_EQ(std::pair(r.res.exit_code, r.res.term_signal), std::pair(-1, c.sig)) << c.script;
        EXPECT_TRUE(r.elapsed_ms >= c.min_ms && r.elapsed_ms < c.max_ms) << c.script << ": " << r.elapsed_ms << " ms";
    }
}

// With 2,000 descriptors of the caller open (none close-on-exec, one far above the rest), a
// signal blocked and one ignored, the child holds 0-2 only and no signal ignored or blocked.
TEST(ExecRunner, ChildGetsTheStandardDescriptorsOnlyDefaultSignalsAndAnEmptyMask) {
    struct rlimit rl;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
    if (rl.rlim_cur < 4096 && rl.rlim_max >= 4096) {
        rl.rlim_cur = 4096;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    std::vector<int> open_fds;
    for (int i = 0; i < 2000; i++) {
        int fd = open("/dev/null", O_RDONLY);
        if (fd < 0) break;
        open_fds.push_back(fd);
    }
    int high = dup2(open_fds.at(0), 4000);
    sigset_t usr1, old_mask;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, &old_mask);
    struct sigaction ign = {}, old_pipe;
    ign.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ign, &old_pipe);

    // ls holds the directory it lists as descriptor 3; grep reports its own state.
    strings got = run(cmd_t({"/bin/sh", "-c", "ls /proc/self/fd; grep -E '^Sig(Blk|Ign)' /proc/self/status"})).texts();
    sigaction(SIGPIPE, &old_pipe, nullptr);
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    for (int fd : open_fds) close(fd);
    if (high >= 0) close(high);
    EXPECT_EQ(got, (strings{"0", "1", "2", "3", "SigBlk:\t0000000000000000", "SigIgn:\t0000000000000000"}));
    EXPECT_EQ(open_fds.size(), 2000u);
    if (high < 0) GTEST_SKIP() << "could not place a descriptor at 4000; only the 2,000 below were checked";
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
    pid_t direct = fork();
    if (direct == 0) {
        execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
        _exit(127);
    }
    // A process of the same name, through a shell that reports its pid and exits: not our child.
    run_t out = sh("sleep 30 >/dev/null 2>&1 & echo $!");
    ASSERT_FALSE(out.lines.empty());
    pid_t grandchild = atoi(out.lines[0].second.c_str());
    ASSERT_GT(grandchild, 1);

    // Let the direct child reach its exec, so its command name is the program's.
    std::string comm;
    for (int i = 0; i < 100 && comm != "sleep"; i++, std::this_thread::sleep_for(std::chrono::milliseconds(10)))
        std::ifstream("/proc/" + std::to_string(direct) + "/comm") >> comm;
    exec_kill_own_children_named("sleep");
    int st = 0;
    ASSERT_EQ(waitpid(direct, &st, 0), direct);
    EXPECT_TRUE(WIFSIGNALED(st));
    EXPECT_EQ(kill(grandchild, 0), 0) << "a process whose parent is not us was signalled";
    kill(grandchild, SIGKILL);
}
