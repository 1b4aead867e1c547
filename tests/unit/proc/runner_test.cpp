// The child runner with small /bin/sh children: lines, streams, exits, stops and inheritance
// (base/clock's too, through the grace timings).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "jobs/jobs.h"
#include "proc/runner.h"
#include "proc/runner_helpers.h"

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
        {"echo 1; echo 2 >&2; echo 3", {"1", "2", "3"}},             // merged stderr keeps write order
        {"cat; echo end", {"end"}},                                  // standard input is /dev/null
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

namespace {

// Gone, or a zombie its new parent has yet to reap, within a second (a SIGKILL takes a moment).
bool ended(pid_t pid) {
    for (int i = 0; i < 100; i++) {
        std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        size_t close = stat.rfind(')');
        if (close == std::string::npos || stat.compare(close, 4, ") Z ") == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace

// The token's three causes (the job's cancel from another thread, the client's hang-up, the
// deadline) end a run as the callbacks' stop requests do.
TEST(ExecRunner, StopByCallbackPassEndOrEachCauseOfTheTokenSendsTermThenKillAfterTheGrace) {
    enum { BY_LINE, BY_PASS_END, BY_JOB, BY_HANGUP, BY_DEADLINE };  // the first two at the first line
    constexpr int DEADLINE_MS = 300;
    // Upper bounds are loose (a loaded machine is slow) but well below the child's own end
    // (5 s, 30 s): a run inside them was ended by the runner.
    const struct {
        const char* script;
        int grace_ms, by, sig;
        uint64_t min_ms, max_ms;
    } cases[] = {
        {"echo first; exec sleep 30", 0, BY_LINE, SIGTERM, 0, 2500},
        {"trap '' TERM; echo ready; exec sleep 30", 300, BY_LINE, SIGKILL, 300, 3000},
        {"echo first; exec sleep 30", 0, BY_PASS_END, SIGTERM, 0, 2500},
        // Only the runner's own check of the cancel can end this one: a poll cycle, then the grace.
        {"trap '' TERM; exec sleep 30", 100, BY_JOB, SIGKILL, 150, 2500},
        // A background grandchild holding the pipe goes with its group.
        {"sleep 5 & echo $!; sleep 5", 0, BY_JOB, SIGTERM, 0, 2500},
        {"trap '' TERM; sleep 5 & echo $!; sleep 5", 100, BY_JOB, SIGKILL, 150, 2500},
        // A child that closed its output is still watched while it is waited for.
        {"exec >&- 2>&-; exec sleep 5", 0, BY_JOB, SIGTERM, 0, 2500},
        {"exec >&- 2>&-; trap '' TERM; exec sleep 5", 100, BY_JOB, SIGKILL, 150, 2500},
        {"echo first; exec sleep 30", 0, BY_HANGUP, SIGTERM, 0, 2500},
        {"exec >&- 2>&-; trap '' TERM; exec sleep 30", 100, BY_HANGUP, SIGKILL, 150, 2500},
        {"echo first; exec sleep 30", 0, BY_DEADLINE, SIGTERM, DEADLINE_MS, DEADLINE_MS + 2500},
        {"exec >&- 2>&-; trap '' TERM; exec sleep 30", 100, BY_DEADLINE, SIGKILL, DEADLINE_MS + 100,
         DEADLINE_MS + 2500},
    };
    for (const auto& c : cases) {
        job_t* job = c.by == BY_JOB ? job_alloc() : nullptr;
        ASSERT_TRUE(job || c.by != BY_JOB);
        int client[2] = {-1, -1};  // the daemon's end is watched; the client's end goes away
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, client), 0);
        cancel_token_t token = job_token(job, c.by == BY_HANGUP ? client[0] : -1);
        if (c.by == BY_DEADLINE) token.deadline_ms = DEADLINE_MS;
        std::thread stopper;
        if (job) {  // by the job's id from another thread, 50 ms after the child started
            stopper = std::thread([job, id = std::string(job->id)] {
                for (int i = 0; i < 200 && job->pid.load() == 0; i++)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                job_cancel(id.c_str());
            });
        } else if (c.by == BY_HANGUP) {
            stopper = std::thread([fd = client[1]] {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                close(fd);
            });
        }
        // A batched run stops at the pass end that follows the first line, entry 2 of its log.
        int stop_after = c.by == BY_LINE ? 1 : c.by == BY_PASS_END ? 2 : -1;
        run_t r = run(cmd_t({"/bin/sh", "-c", c.script}, 1, c.grace_ms), token, stop_after, c.by == BY_PASS_END);
        if (stopper.joinable()) stopper.join();
        close(client[0]);
        if (c.by != BY_HANGUP) close(client[1]);
        if (job) {
            job_release(job);
            pid_t grandchild = r.lines.empty() ? 0 : atoi(r.lines[0].second.c_str());
            if (grandchild > 1) {
                EXPECT_TRUE(ended(grandchild)) << c.script;
                kill(grandchild, SIGKILL);
            }
        }
        EXPECT_EQ(std::tuple(r.res.exit_code, r.res.term_signal, r.res.timed_out),
                  std::tuple(-1, c.sig, c.by == BY_DEADLINE))
            << c.script;
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
    ASSERT_EQ(exec_stream_raw(&c.spec, cb, &got, cancel_token_t{}, &res), 0);
    EXPECT_EQ(res.exit_code, 0);
    EXPECT_EQ(got, std::string("a\0b\r\n", 5) + std::string(40000, '\0'));
}
