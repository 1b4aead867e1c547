// Clients that leave, stall or flood: every stream ends when its client is gone, a stalled
// reader is cut after the send timeout, the accept loop survives descriptor exhaustion,
// connections and partial frames are bounded, and reloads never race config_apply.
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "base/fdio.h"
#include "host_util.h"
#include "jobs/jobs.h"
#include "proc/tools.h"
#include "spawn.h"
#include "wire/frame.h"

namespace {

constexpr int SETTLE_MS = 3000;        // children reaped, threads and descriptors back: ~0.7 s idle
constexpr int TEST_TIMEOUT_MS = 1000;  // the send and frame timeouts of the daemons below
const std::string SHORT_TIMEOUTS = "--send-timeout-ms " + std::to_string(TEST_TIMEOUT_MS) + " --frame-timeout-ms " +
                                   std::to_string(TEST_TIMEOUT_MS);

#if defined(__SANITIZE_THREAD__)
constexpr bool UNDER_TSAN = true;  // its shadow and history grow with every thread: RSS says nothing
#else
constexpr bool UNDER_TSAN = false;
#endif
constexpr long IDLE_THREADS = UNDER_TSAN ? 2 : 1;  // ThreadSanitizer starts its own with the first thread
#if defined(__SANITIZE_ADDRESS__)
constexpr long ASAN_KIB_PER_THREAD = 1;  // kept for every thread it has seen (~0.5 KiB measured)
#else
constexpr long ASAN_KIB_PER_THREAD = 0;
#endif

const char* const UP_THEN_SLEEP = R"({"cmd":"/bin/sh","argv":["-c","echo up; exec sleep 300"]})";
const char* const SLEEP_300 = R"({"cmd":"/bin/sleep","argv":["300"]})";

// A number from /proc/PID/status ("Threads", "VmRSS" in KiB); -1 when missing.
long status_field(pid_t pid, const std::string& key) {
    std::istringstream in(read_text("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key + ":", 0) == 0) return std::stol(line.substr(key.size() + 1));
    return -1;
}

// What a client may leave behind in the daemon.
struct usage_t {
    long threads, fds;
    size_t children;
    bool operator==(const usage_t&) const = default;
};

usage_t usage_of(pid_t pid) {
    long fds = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         it != std::filesystem::directory_iterator(); it.increment(ec))
        fds++;
    return {status_field(pid, "Threads"), fds, children_of(pid).size()};
}

std::ostream& operator<<(std::ostream& os, const usage_t& u) {
    return os << u.threads << " threads, " << u.fds << " fds, " << u.children << " children";
}

// The daemon's usage with only the test's `held` connections open, after one more came and went.
usage_t idle_usage(const TestDaemon& d, long held = 0) {
    d.call(R"({"id":"p","op":"ping"})");
    eventually([&] { return status_field(d.pid(), "Threads") == IDLE_THREADS + held; });
    return usage_of(d.pid());
}

// Waits until the daemon is back to `base`; on failure says where it stands.
::testing::AssertionResult settles_to(pid_t pid, const usage_t& base, int timeout_ms = SETTLE_MS) {
    if (eventually([&] { return usage_of(pid) == base; }, timeout_ms)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "now " << usage_of(pid) << ", was " << base;
}

// The daemon's RSS is below `base_kib` + `limit_kib` (always true under ThreadSanitizer).
::testing::AssertionResult rss_grew_less(pid_t pid, long base_kib, long limit_kib) {
    long now = status_field(pid, "VmRSS");
    if (UNDER_TSAN || now - base_kib < limit_kib) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "RSS grew by " << now - base_kib << " KiB";
}

std::string job_id_of(const std::string& frame) {
    std::string id;
    vc_json_str(frame, "job_id", &id);
    return id;
}

std::string cancel(const TestDaemon& d, const std::string& job_id) {
    return d.call(vc_request("c", "_cancel", R"({"job_id":")" + job_id + "\"}"));
}

const std::string CANCELLED = R"({"id":"c","ok":true,"result":{"cancelled":true}})";
const std::string NO_SUCH_JOB = R"({"id":"c","ok":false,"code":"ENOENT","error":"no such job"})";

const std::string PONG = R"({"id":"p","ok":true,"result":{"pong":true}})";
bool pong(int fd) { return roundtrip(fd, R"({"id":"p","op":"ping"})") == PONG; }

// True once a new connection is answered again.
bool serves_again(const TestDaemon& d) {
    return eventually([&] { return pong(d.connect().get()); });
}

// True once the daemon has closed its end of `fd`: hang-up, whatever is still unread.
bool hung_up(int fd, int timeout_ms) {
    return eventually(
        [&] {
            struct pollfd p = {fd, 0, 0};
            return poll(&p, 1, 0) == 1 && (p.revents & POLLHUP);
        },
        timeout_ms);
}

// Daemons started while it lives free memory at once under AddressSanitizer: their RSS compares.
struct NoQuarantine {
    const bool had = getenv("ASAN_OPTIONS") != nullptr;
    const std::string old = had ? getenv("ASAN_OPTIONS") : "";
    NoQuarantine() { setenv("ASAN_OPTIONS", (old + (old.empty() ? "" : ":") + "quarantine_size_mb=0").c_str(), 1); }
    ~NoQuarantine() { had ? setenv("ASAN_OPTIONS", old.c_str(), 1) : unsetenv("ASAN_OPTIONS"); }
};

// A stream that has delivered its first frame; job_id is empty when the frame carries none.
struct live_stream_t {
    unique_fd fd;
    std::string job_id;
};

live_stream_t start_stream(const TestDaemon& d, std::string_view op, std::string_view args) {
    live_stream_t s{open_stream(d, vc_request("s", op, args)), ""};
    s.job_id = job_id_of(next_frame(s.fd.get()));
    return s;
}

// A daemon each test starts as it needs.
class Faults : public ::testing::Test {
protected:
    TestDaemon d;
};

}  // namespace

// A client that leaves a silent stream: child stopped, job slot freed (a cancel finds nothing), thread
// and descriptors gone. A shell session outlives its tails and a close finds none left. A client that
// only shut down its sending side still gets the whole stream.
TEST_F(Faults, SilentStreamsEndWhenTheirClientLeaves) {
    ASSERT_TRUE(d.start());
    const std::string log = d.dir() + "/quiet.log";  // under /tmp/, an allowed log location
    ASSERT_TRUE(write_file(log, "one line\n"));
    usage_t base = idle_usage(d);

    {
        unique_fd fd = open_stream(d, vc_request("s", "exec", SLEEP_300));  // prints nothing: no job id
        ASSERT_TRUE(eventually([&] { return children_of(d.pid()).size() == 1; }));
    }
    EXPECT_TRUE(settles_to(d.pid(), base)) << "exec sleep 300";

    std::string id = start_stream(d, "log_tail", R"({"path":")" + log + "\"}").job_id;
    ASSERT_FALSE(id.empty());
    EXPECT_TRUE(settles_to(d.pid(), base)) << "log_tail";
    EXPECT_EQ(cancel(d, id), NO_SUCH_JOB);

    // The creating stream is a tail too: it leaves when its client does.
    std::string pty = start_stream(d, "pty", R"({"cmd":"/bin/sh"})").job_id;
    ASSERT_FALSE(pty.empty());
    base = {base.threads + 1, base.fds + 1, base.children + 1};  // the session's reader, terminal and shell
    EXPECT_TRUE(settles_to(d.pid(), base)) << "pty";
    EXPECT_FALSE(start_stream(d, "pty_attach", R"({"job_id":")" + pty + "\"}").job_id.empty());
    EXPECT_TRUE(settles_to(d.pid(), base)) << "pty_attach";
    unique_fd closer = d.connect();
    vc_send(closer.get(), vc_request("x", "pty_close", R"({"job_id":")" + pty + "\"}"));
    EXPECT_EQ(next_frame(closer.get(), SETTLE_MS), R"({"id":"x","ok":true,"result":{"closed":true}})");

    unique_fd half = open_stream(d,
                                 vc_request("s", "exec", R"({"cmd":"/bin/sh","argv":["-c","sleep 0.5; echo late"]})"));
    ASSERT_EQ(shutdown(half.get(), SHUT_WR), 0);
    std::vector<std::string> frames = recv_stream(half.get());
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_NE(frames[0].find(R"("text":"late")"), std::string::npos) << frames[0];
    EXPECT_EQ(frames[1], R"({"id":"s","event":"done","ok":true,"exit_code":0})");
}

// A cancelled, abandoned or stopped job leaves nothing of its process group, background programs
// included; a program that closed its output and ignores SIGTERM is still stopped (SIGKILL after the
// grace), and its job slot, thread and descriptors are given back.
TEST_F(Faults, CancelHangUpAndStopEndTheWholeGroupAfterTheOutputToo) {
    constexpr int EXEC_GRACE_MS = 500;
    const char* const background = R"({"cmd":"/bin/sh","argv":["-c","echo up; sleep 1001 & sleep 1002"]})";
    const char* const deaf = R"({"cmd":"/bin/sh","argv":["-c","trap '' TERM; echo hi; exec >&- 2>&-; sleep 8"]})";
    ASSERT_TRUE(d.start());
    const usage_t base = idle_usage(d);
    auto start = [&](const char* args, pid_t* leader) {
        live_stream_t s = start_stream(d, "exec", args);
        std::vector<pid_t> kids = children_of(d.pid());
        *leader = kids.size() == 1 ? kids[0] : 0;
        // the shell and its two sleeps, or the shell and its one
        EXPECT_TRUE(eventually([&] { return group_alive(*leader) == (args == background ? 3 : 2); })) << args;
        return s;
    };
    for (const char* args : {background, deaf}) {
        for (bool by_cancel : {true, false}) {
            pid_t leader = 0;
            live_stream_t s = start(args, &leader);
            ASSERT_FALSE(s.job_id.empty());
            ASSERT_GT(leader, 1);
            if (by_cancel) {
                EXPECT_EQ(cancel(d, s.job_id), CANCELLED);
                EXPECT_FALSE(stream_end(s.fd.get(), EXEC_GRACE_MS + 1000).empty()) << args;
            }
            s.fd.reset();
            EXPECT_TRUE(eventually([&] { return group_alive(leader) == 0; }, EXEC_GRACE_MS + 1000)) << args;
            EXPECT_TRUE(settles_to(d.pid(), base, EXEC_GRACE_MS + 1000)) << args << " cancel " << by_cancel;
            EXPECT_EQ(cancel(d, s.job_id), NO_SUCH_JOB);
            kill(-leader, SIGKILL);  // whatever is left
        }
    }
    pid_t leader = 0;
    live_stream_t s = start(background, &leader);
    EXPECT_EQ(d.stop(SIGTERM), 0);
    EXPECT_TRUE(eventually([&] { return group_alive(leader) == 0; }, 1000));
    kill(-leader, SIGKILL);
}

class FaultsFakeIostat : public FakeToolsTest {};

// The same for an iostat that prints nothing: no job id is ever sent, the child still goes.
TEST_F(FaultsFakeIostat, SilentIostatEndsWhenItsClientLeaves) {
    disable({"/sbin/iostat", "/usr/sbin/iostat", "/usr/bin/iostat", "/usr/local/bin/iostat", "/bin/iostat"});
    ASSERT_TRUE(write_file(std::string("/opt/vorn/bin/iostat-") + binfind_arch(), "#!/bin/sh\nexec sleep 300\n", 0755));
    ASSERT_TRUE(d.start());
    const usage_t base = idle_usage(d);
    {
        unique_fd fd = open_stream(d, vc_request("s", "iostat_stream", "{}"));
        ASSERT_TRUE(eventually([&] { return children_of(d.pid()).size() == 1; }));
    }
    EXPECT_TRUE(settles_to(d.pid(), base));
}

// 1,006 streams, each dropped or cancelled after its first frame: 750 in batches of 50 leave nothing
// behind and no memory grown, then 256 at once (the whole job table: no slot may have been lost).
TEST_F(Faults, ThousandDropOrCancelCyclesLeaveNothingBehind) {
    NoQuarantine nq;
    ASSERT_TRUE(d.start());
    unique_fd ctl = d.connect();
    ASSERT_TRUE(pong(ctl.get()));
    const usage_t base = idle_usage(d, 1);
    // `n` streams at once; every other one is cancelled (and left unread), the rest dropped.
    auto batch = [&](int n) {
        std::vector<live_stream_t> streams(static_cast<size_t>(n));
        for (auto& s : streams) s.fd = open_stream(d, vc_request("s", "exec", UP_THEN_SLEEP));
        for (auto& s : streams) s.job_id = job_id_of(next_frame(s.fd.get()));
        for (int i = 0; i < n; i++) {
            if (streams[i].job_id.empty()) return ::testing::AssertionFailure() << "no job id for stream " << i;
            if (i % 2 == 0) streams[i].fd.reset();
            else if (roundtrip(ctl.get(), vc_request("c", "_cancel", R"({"job_id":")" + streams[i].job_id + "\"}")) !=
                     CANCELLED)
                return ::testing::AssertionFailure() << "cancel " << i;
        }
        return ::testing::AssertionSuccess();
    };
    // Two batches first: the allocators' and thread caches reach their working size.
    ASSERT_TRUE(batch(50) && batch(50));
    ASSERT_TRUE(settles_to(d.pid(), base, 10000));
    const long rss = status_field(d.pid(), "VmRSS");
    for (int b = 0; b < 13; b++) ASSERT_TRUE(batch(50)) << "batch " << b;
    EXPECT_TRUE(settles_to(d.pid(), base, 10000));
    EXPECT_TRUE(rss_grew_less(d.pid(), rss, 1024 + 13 * 50 * ASAN_KIB_PER_THREAD));
    EXPECT_TRUE(batch(JOB_SLOTS));
    EXPECT_TRUE(settles_to(d.pid(), base, 10000));
}

// One client never reads a large stream, another stalls after its first frame and is cancelled: pings
// are answered meanwhile; after the send timeout both end, children reaped, the cancelled slot free.
// A third shuts down its receiving side: the failed write alone ends its stream.
TEST_F(Faults, StalledReadersAreCutAfterTheSendTimeout) {
    ASSERT_TRUE(d.start(SHORT_TIMEOUTS));
    const usage_t base = idle_usage(d);
    live_stream_t deaf = start_stream(d, "exec", R"({"cmd":"/usr/bin/yes"})");
    ASSERT_EQ(shutdown(deaf.fd.get(), SHUT_RD), 0);
    EXPECT_TRUE(hung_up(deaf.fd.get(), SETTLE_MS));
    unique_fd never = open_stream(d, vc_request("s", "exec", R"({"cmd":"/usr/bin/yes"})"));
    live_stream_t stalled = start_stream(d, "exec", R"({"cmd":"/usr/bin/yes"})");
    ASSERT_FALSE(stalled.job_id.empty());
    unique_fd other = d.connect();
    for (int i = 0; i < 20; i++) ASSERT_TRUE(pong(other.get())) << i;
    EXPECT_EQ(cancel(d, stalled.job_id), CANCELLED);
    EXPECT_TRUE(hung_up(never.get(), TEST_TIMEOUT_MS + SETTLE_MS));
    EXPECT_TRUE(hung_up(stalled.fd.get(), TEST_TIMEOUT_MS + SETTLE_MS));
    for (unique_fd* fd : {&never, &stalled.fd, &deaf.fd, &other}) fd->reset();
    EXPECT_TRUE(settles_to(d.pid(), base));
    EXPECT_EQ(cancel(d, stalled.job_id), NO_SUCH_JOB);
}

// pty_close answers while the session's one tail has stopped reading a flood, once its write times out.
TEST_F(Faults, PtyCloseBehindAStalledTailAnswers) {
    ASSERT_TRUE(d.start(SHORT_TIMEOUTS));
    live_stream_t tail = start_stream(d, "pty", R"({"cmd":"/bin/sh","argv":["-c","yes"]})");
    ASSERT_FALSE(tail.job_id.empty());
    // The tail is stuck in a write once our receive queue stops growing.
    int last = -1;
    ASSERT_TRUE(eventually([&] {
        int queued = 0;
        ioctl(tail.fd.get(), FIONREAD, &queued);
        bool stuck = queued > 0 && queued == last;
        last = queued;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return stuck;
    }));
    unique_fd closer = d.connect();
    vc_send(closer.get(), vc_request("x", "pty_close", R"({"job_id":")" + tail.job_id + "\"}"));
    EXPECT_EQ(next_frame(closer.get(), TEST_TIMEOUT_MS + SETTLE_MS),
              R"({"id":"x","ok":true,"result":{"closed":true}})");
}

// With no descriptor left, pending connections keep the listening socket readable: the loop
// backs off instead of spinning, folds its log lines, and serves again once descriptors free.
TEST_F(Faults, DescriptorExhaustionNeitherSpinsNorFloodsTheLog) {
    ASSERT_TRUE(d.start());
    unique_fd held = d.connect();
    ASSERT_TRUE(pong(held.get()));
    ASSERT_TRUE(starve_fds(d.pid()));
    std::vector<unique_fd> pending;
    for (int i = 0; i < 5; i++) pending.push_back(d.connect());
    ASSERT_TRUE(d.wait_log(" WRN vornd accept: Too many open files"));
    // utime and stime of the main thread, in clock ticks, over two seconds.
    auto main_ticks = [&] {
        std::string stat = read_text("/proc/" + std::to_string(d.pid()) + "/task/" + std::to_string(d.pid()) + "/stat");
        unsigned long ut = 0, st = 0;
        sscanf(stat.c_str() + stat.rfind(')') + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &ut, &st);
        return ut + st;
    };
    unsigned long t0 = main_ticks();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_LT((main_ticks() - t0) * 1000 / static_cast<unsigned long>(sysconf(_SC_CLK_TCK)), 200u) << "ms of CPU";
    std::string log = d.log();
    size_t lines = 0;
    for (size_t at = 0; (at = log.find(" vornd accept: ", at)) != std::string::npos; at++) lines++;
    EXPECT_LE(lines, 3u) << log;

    pending.clear();
    held.reset();
    EXPECT_TRUE(serves_again(d));
}

// 600 connections: the first 512 are served, every later one is closed as soon as accepted.
TEST_F(Faults, ConnectionsBeyondTheLimitAreClosedAtOnce) {
    ASSERT_TRUE(d.start());
    std::vector<unique_fd> conns;
    for (int i = 0; i < 600; i++) ASSERT_TRUE(conns.emplace_back(d.connect())) << i;
    for (int i = 512; i < 600; i++) EXPECT_TRUE(peer_closed(conns[i].get(), SETTLE_MS)) << i;
    for (int i = 0; i < 512; i++) ASSERT_TRUE(pong(conns[i].get())) << i;
    EXPECT_TRUE(d.wait_log(" WRN vornd connection limit 512 reached: "));
    conns.clear();
    EXPECT_TRUE(serves_again(d));
}

// 50 connections send a header and half of a 1 MiB frame and stop: each is closed after the
// frame timeout and the memory their frames took goes back. An idle connection stays.
TEST_F(Faults, HalfFramesAreCutAfterTheFrameTimeout) {
    NoQuarantine nq;
    ASSERT_TRUE(d.start(SHORT_TIMEOUTS));
    unique_fd idle = d.connect();
    const std::string half = frame_header(FRAME_MAX_BYTES) + std::string(FRAME_MAX_BYTES / 2, 'x');
    auto half_frames = [&] {
        std::vector<unique_fd> conns;
        for (int i = 0; i < 50; i++)
            if (!send_raw(conns.emplace_back(d.connect()).get(), half))
                return ::testing::AssertionFailure() << "send " << i;
        for (int i = 0; i < 50; i++)
            if (!peer_closed(conns[i].get(), TEST_TIMEOUT_MS + SETTLE_MS))
                return ::testing::AssertionFailure() << "still open: " << i;
        return ::testing::AssertionSuccess();
    };
    ASSERT_TRUE(half_frames());  // the first round sets up the allocator's and threads' caches
    const usage_t base = idle_usage(d, 1);
    const long rss = status_field(d.pid(), "VmRSS");
    EXPECT_TRUE(half_frames());
    EXPECT_TRUE(settles_to(d.pid(), base));
    EXPECT_TRUE(rss_grew_less(d.pid(), rss, 2048));
    EXPECT_TRUE(pong(idle.get()));
}

// 200 SIGHUPs 5 ms apart during 50 config_apply: after each the live record is the one just written (no
// reload of the older file published after it), and pings with the token never fail meanwhile.
TEST_F(Faults, ReloadStormDuringConfigApplyLeavesTheFileLive) {
    const std::string token = "s3cret-token";
    ASSERT_TRUE(write_file(d.dir() + "/token", token + "\n"));
    d.write_config("[security]\nauth_token_file = " + d.dir() + "/token\n");
    ASSERT_TRUE(d.start());
    std::atomic<bool> done{false};
    std::atomic<int> failures{0}, pings{0};
    std::vector<std::thread> pingers;
    for (int t = 0; t < 4; t++)
        pingers.emplace_back([&] {
            unique_fd c = d.connect();
            while (!done) {
                if (roundtrip(c.get(), vc_request("p", "ping", "", token)) != PONG) failures++;
                pings++;
            }
        });
    std::thread hups([&] {
        for (int i = 0; i < 200; i++) {
            kill(d.pid(), SIGHUP);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    unique_fd c = d.connect();
    std::vector<std::string> wrong;
    for (int i = 0; i < 50; i++) {
        const std::string level = i % 2 ? "dev" : "safe";
        std::string applied = roundtrip(c.get(),
                                        vc_request("a", "config_apply", R"({"level":")" + level + "\"}", token));
        std::string live = json_member(roundtrip(c.get(), vc_request("g", "config_get", "", token)), "result");
        if (json_member(json_member(applied, "result"), "config") != live ||
            json_member(live, "level") != '"' + level + '"')
            wrong.push_back(std::to_string(i) + ": applied " + level + ", live " + json_member(live, "level"));
    }
    hups.join();
    done = true;
    for (auto& t : pingers) t.join();
    EXPECT_EQ(failures, 0) << "of " << pings;
    EXPECT_TRUE(wrong.empty()) << wrong.size() << " stale, first " << wrong.front();
}

// Ctrl-C before a program printed anything (no job id yet): vornctl closes, which stops the program.
TEST_F(Faults, VornctlCtrlCBeforeAJobIdStopsTheProgram) {
    ASSERT_TRUE(d.start());
    spawned_t ctl = spawn_program({VORNCTL_BIN, "-s", d.socket_path(), "exec", "cmd=/bin/sleep", "argv=[\"300\"]"});
    ASSERT_GT(ctl.pid, 0);
    ASSERT_TRUE(eventually([&] { return children_of(d.pid()).size() == 1; }));
    kill(ctl.pid, SIGINT);
    EXPECT_EQ(wait_exit(ctl.pid), 130);
    EXPECT_EQ(read_to_end(ctl.err.get()),
              "vornctl: interrupted before a job id arrived; connection closed to stop the stream\n");
    EXPECT_TRUE(eventually([&] { return children_of(d.pid()).empty(); }, SETTLE_MS));
}

// SIGTERM with streams running and a session tailed: every thread ends (exit 0), no child outlives it.
TEST_F(Faults, StopEndsStreamsAndSessions) {
    ASSERT_TRUE(d.start());
    unique_fd silent = open_stream(d, vc_request("s", "exec", SLEEP_300));
    live_stream_t shell = start_stream(d, "pty", R"({"cmd":"/bin/sh"})");
    ASSERT_FALSE(shell.job_id.empty());
    ASSERT_TRUE(eventually([&] { return children_of(d.pid()).size() == 2; }));
    std::vector<pid_t> kids = children_of(d.pid());
    EXPECT_EQ(d.stop(SIGTERM), 0);
    for (pid_t k : kids) EXPECT_NE(kill(k, 0), 0) << k;
    EXPECT_EQ(d.log().find("still busy at stop"), std::string::npos) << d.log();
}
