// The memory-test operations and the shipped orchestrator with a fake memory test, in a private mount
// namespace (/tmp and /opt on tmpfs); the kill by name also in a private PID namespace.

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <thread>

#include "base/fdio.h"
#include "host_util.h"
#include "proc/tools.h"
#include "spawn.h"
#include "stranger.h"

namespace fs = std::filesystem;
using strings = std::vector<std::string>;

namespace {

const std::string SENTINEL = "/tmp/.vorn_memtest.lock";
const std::string BASE = "/opt/vorn/var/memtest";
const std::string SCRIPT = "/opt/vorn/etc/vornd/mem-suspend.sh";
const std::string SHIPPED = VORND_SOURCE_DIR "/packaging/mem-suspend.sh";
const char* const ARC_ENV = "VORN_MEMTEST_ARC_MAX_FILE";
const std::string RUNNING = err("EBUSY", "a memory-test suspend is already running");

std::string memprowl_path() { return std::string("/opt/vorn/bin/memprowl-") + binfind_arch(); }

std::string without_job_id(const std::string& frame) {
    static const std::regex job(R"(,"job_id":"[0-9a-f]{16}")");
    return std::regex_replace(frame, job, "");
}

// The stream file with every time stamp written as T.
std::string records(const std::string& path) {
    static const std::regex ts(R"("ts":[0-9]+,)");
    return std::regex_replace(read_text(path), ts, "\"ts\":T,");
}

// "name=content" per sentinel file, a "started" within 5 s of now as "fresh"; "none" without one.
std::string sentinel_state() {
    std::error_code ec;
    if (!fs::exists(SENTINEL, ec)) return "none";
    std::map<std::string, std::string> files;
    for (const auto& e : fs::directory_iterator(SENTINEL, ec)) files[e.path().filename()] = read_text(e.path());
    if (files.count("started") && std::labs(std::atol(files["started"].c_str()) - time(nullptr)) <= 5)
        files["started"] = "fresh";
    std::string s;
    for (const auto& [name, text] : files) s += (s.empty() ? "" : " ") + name + "=" + text;
    return s;
}

void make_sentinel(const strings& files) {
    fs::remove_all(SENTINEL);
    fs::create_directory(SENTINEL);
    for (const auto& f : files) write_file(SENTINEL + "/" + f.substr(0, f.find('=')), f.substr(f.find('=') + 1));
}

std::string run_id_of(const std::string& reply) {
    std::string id;
    vc_json_str(json_member(reply, "result"), "run_id", &id);
    return id;
}

size_t run_dirs() {
    std::error_code ec;
    return static_cast<size_t>(std::distance(fs::directory_iterator(BASE, ec), fs::directory_iterator()));
}

// The signal that ended child `pid` within 10 s; 0 when it exited, -1 when it still runs.
int end_signal(pid_t pid) {
    int st = 0;
    return eventually([&] { return waitpid(pid, &st, WNOHANG) == pid; }, 10000) ? WIFSIGNALED(st) * WTERMSIG(st) : -1;
}

// Whether this host lets a root process lower its OOM score.
bool can_lower_oom_score() {
    pid_t p = fork();
    if (p == 0) {
        int fd = open("/proc/self/oom_score_adj", O_WRONLY);
        _exit(fd >= 0 && write(fd, "-1000\n", 6) == 6 ? 0 : 1);
    }
    int st = 0;
    return p > 0 && waitpid(p, &st, 0) == p && WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

// True when `pid` has ended (gone, or a zombie nobody has reaped yet).
bool ended(pid_t pid) { return read_text("/proc/" + std::to_string(pid) + "/cmdline").empty(); }

// `body`'s result, run as process 1 of a new PID namespace (own /proc, /tmp, /opt): all it starts dies with it.
std::string in_pid_namespace(const std::function<std::string()>& body) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return "pipe failed";
    pid_t outer = fork();
    if (outer == 0) {
        if (unshare(CLONE_NEWPID | CLONE_NEWNS) != 0) _exit(2);
        pid_t init = fork();
        if (init == 0) {
            bool mounted = mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                           mount("proc", "/proc", "proc", 0, nullptr) == 0 && mount_tmpfs("/tmp") &&
                           mount_tmpfs("/opt");
            std::string r = mounted ? body() : "mounts failed";
            write_full(p[1], r.data(), r.size());
            _exit(0);
        }
        _exit(init > 0 && waitpid(init, nullptr, 0) == init ? 0 : 3);
    }
    close(p[1]);
    std::string out = read_to_end(p[0], 60000);
    close(p[0]);
    if (outer > 0) waitpid(outer, nullptr, 0);
    return out;
}

std::string start_record(const std::string& id, const std::string& rest) {
    return "{\"ts\":T,\"type\":\"start\",\"run_id\":\"" + id + "\"," + rest + "}\n";
}

class MemtestTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why = enter_private_mount_ns();
        if (!why.empty()) GTEST_SKIP() << why;
        ASSERT_TRUE(mounts.tmpfs("/tmp"));  // before the daemon's directory is made there
        ASSERT_TRUE(mounts.tmpfs("/opt"));
        ASSERT_TRUE(fs::create_directories("/opt/vorn/var"));
        d.emplace();
        hold = d->dir() + "/hold";
        ASSERT_EQ(mkfifo(hold.c_str(), 0600), 0);
    }
    void TearDown() override {
        for (pid_t p : started)
            if (kill(p, SIGKILL) == 0) waitpid(p, nullptr, 0);
        d.reset();
        unsetenv(ARC_ENV);
    }
    // end_signal for a process of `started`, which is then no longer killed at the end.
    int reaped_signal(pid_t pid) {
        std::erase(started, pid);
        return end_signal(pid);
    }

    std::string call(std::string_view op, std::string_view args) { return d->call(req(op, args)); }
    strings stream(std::string_view args) {
        unique_fd s = open_stream(*d, req("memprowl_run", args));
        strings frames = recv_stream(s.get(), 10000);
        for (auto& f : frames) f = without_job_id(f);
        return frames;
    }
    // A fake memory test: `body` after lines that record its arguments and its OOM score.
    void fake_memprowl(const std::string& body, const std::string& path = memprowl_path()) {
        ASSERT_TRUE(write_file(path,
                               "#!/bin/sh\nprintf '%s\\n' \"$@\" >" + d->dir() + "/memprowl.argv\n" +
                                   "cat /proc/self/oom_score_adj >" + d->dir() + "/memprowl.oom\n" + body,
                               0755));
    }
    // A process named as the orchestrator, leading its own group, blocked until killed.
    pid_t live_orchestrator() {
        std::string path = d->dir() + "/mem-suspend.sh";
        write_file(path, "read x <" + hold + "\n");
        pid_t p = spawn_program({"/usr/bin/setsid", "/bin/sh", path}).pid;
        started.push_back(p);
        // setsid runs the shell in its own place once it has made the new group
        eventually([&] { return getpgid(p) == p && read_text("/proc/" + std::to_string(p) + "/comm") == "sh\n"; });
        return p;
    }

    scoped_mounts mounts;
    std::optional<TestDaemon> d;  // after the mounts: gone before they are
    std::string hold;             // a FIFO nobody writes: reading it blocks
    std::vector<pid_t> started;
};

}  // namespace

TEST_F(MemtestTest, MemprowlArgumentVectorsAndRefusals) {
    ASSERT_TRUE(d->start());
    EXPECT_EQ(stream(R"({"confirm":true})"),
              strings{R"({"id":"r","event":"error","ok":false,"code":"ENOENT","error":"memprowl binary not found"})"});
    fake_memprowl("exit 3\n");
    const std::string refused =
        R"({"id":"r","event":"error","ok":false,"code":"EREQ","error":"confirm=true required"})";
    for (const char* args : {"{}", R"({"confirm":1})", R"({"confirm":false})", R"({"confirm":"yes"})"})
        EXPECT_EQ(stream(args), strings{refused}) << args;
    EXPECT_TRUE(recorded_argv(d->dir() + "/memprowl.argv").empty());

    const struct {
        const char* args;
        strings want;
    } cases[] = {
        {R"({"confirm":true})", {"--json", "--passes", "1"}},
        {R"({"confirm":true,"passes":100,"mode":"full","profile":"standard","extended":true,"mem":"2G"})",
         {"--json", "--full", "--standard", "--extended-tests", "--mem", "2G", "--passes", "16"}},
        {R"({"confirm":true,"passes":-3,"profile":"fast","mode":"FULL","extended":false})",
         {"--json", "--passes", "1"}},
        // mode cut to 15 characters is no longer "full"; mem is cut to 31 and passed as it is
        {R"({"confirm":true,"passes":7,"profile":"thorough","mode":"fullfullfullfull","mem":"a b;$(x) 0123456789abcdefghijklmnop"})",
         {"--json", "--thorough", "--mem", "a b;$(x) 0123456789abcdefghijkl", "--passes", "7"}},
        {R"({"confirm":true,"profile":"quick"})", {"--json", "--quick", "--passes", "1"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(stream(c.args), strings{R"({"id":"r","event":"done","ok":true,"exit_code":3})"}) << c.args;
        EXPECT_EQ(recorded_argv(d->dir() + "/memprowl.argv"), c.want) << c.args;
    }
}

// Whole JSON lines of stdout are records; the rest (stderr's "{" lines too) are log lines; a cancel stops it.
TEST_F(MemtestTest, MemprowlRecordsLogsAndCancel) {
    fake_memprowl(
        "echo '{\"pass\":1,\"errors\":0}'\necho 'plain \"text\"'\necho '{\"cut\":'\necho\n"
        "echo '{\"pass\":2} trailing'\necho '{\"err\":1}' >&2\nread x <" +
        hold + "\n");
    ASSERT_TRUE(d->start());
    unique_fd s = open_stream(*d, req("memprowl_run", R"({"confirm":true})"));
    std::string job;
    strings out, err_lines;
    for (std::string f; out.size() < 4 && !(f = next_frame(s.get(), 10000)).empty();) {
        vc_json_str(f, "job_id", &job);
        (has(f, "\"stream\":2") ? err_lines : out).push_back(without_job_id(f));
    }
    EXPECT_EQ(call("_cancel", "{\"job_id\":\"" + job + "\"}"), ok(R"({"cancelled":true})"));
    for (const auto& f : recv_stream(s.get(), 10000)) (has(f, "\"stream\":2") ? err_lines : out).push_back(f);
    EXPECT_EQ(out, (strings{R"({"id":"r","event":"chunk","data":{"pass":1,"errors":0}})",
                            R"({"id":"r","event":"log","stream":1,"msg":"plain \"text\""})",
                            R"({"id":"r","event":"log","stream":1,"msg":"{\"cut\":"})",
                            R"({"id":"r","event":"log","stream":1,"msg":"{\"pass\":2} trailing"})",
                            R"({"id":"r","event":"done","ok":true,"exit_code":-1})"}));
    EXPECT_EQ(err_lines, strings{R"({"id":"r","event":"log","stream":2,"msg":"{\"err\":1}"})"});
}

// Processes named exactly "memprowl" end (a running memprowl_run's tool too); "memprowlx" stays.
TEST(MemprowlKill, EndsExactlyTheProcessesOfThatName) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a private PID namespace";
    std::string report = in_pid_namespace([] {
        TestDaemon d;
        std::string hold = d.dir() + "/hold";
        mkfifo(hold.c_str(), 0600);
        write_file(std::string("/opt/vorn/") + binfind_arch() + "/bin/memprowl",
                   "#!/bin/sh\necho '{\"started\":1}'\nread x <" + hold + "\n", 0755);
        for (const char* name : {"/memprowl", "/memprowlx"}) fs::copy_file("/bin/sleep", d.dir() + name);
        spawned_t exact = spawn_program({d.dir() + "/memprowl", "60"}),
                  longer = spawn_program({d.dir() + "/memprowlx", "60"});
        if (!d.start()) return std::string("daemon did not start");
        unique_fd run = open_stream(d, req("memprowl_run", R"({"confirm":true})"));
        std::string r = without_job_id(next_frame(run.get(), 10000)) + "\n";
        for (pid_t p : {exact.pid, longer.pid})
            eventually([&] { return has(read_text("/proc/" + std::to_string(p) + "/cmdline"), "/memprowl"); });
        r += d.call(req("memprowl_kill", "{}")) + "\n";  // before the stream's end is awaited
        r += stream_end(run.get(), 10000) + "\n";
        r += "memprowl " + std::to_string(end_signal(exact.pid)) + ", memprowlx alive " +
             std::to_string(!ended(longer.pid));
        return r;
    });
    EXPECT_EQ(report, std::string(R"({"id":"r","event":"chunk","data":{"started":1}})") + "\n" + ok(R"({"killed":2})") +
                          "\n" + R"({"id":"r","event":"done","ok":true,"exit_code":-1})" +
                          "\nmemprowl 15, memprowlx alive 1");
}

// The reply, the orchestrator's arguments and the log line per request; the orchestrator runs detached.
TEST_F(MemtestTest, SuspendRunLaunchesADetachedOrchestrator) {
    ASSERT_TRUE(d->start());
    EXPECT_EQ(call("mem_suspend_run", R"({"confirm":true})"), err("ENOENT", "orchestrator mem-suspend.sh not found"));
    // Readable is enough (run through /bin/sh). It records its arguments, has a child gather its /proc
    // facts (redirecting only the child's output), writes to both outputs and ends the run as the real one.
    ASSERT_TRUE(
        write_file(SCRIPT,
                   "printf '%s\\n' \"$@\" >\"$4/argv\"\n"
                   "/bin/sh -c 'exec >\"$2/facts.tmp\"; cd /proc/$1 && cat stat oom_score_adj status fdinfo/1 && "
                   "ls -l fd && mv \"$2/facts.tmp\" \"$2/facts\"' sh $$ \"$4\"\necho out; echo err >&2\nrm -r " +
                       SENTINEL + "\n",
                   0644));
    EXPECT_EQ(call("mem_suspend_run", R"({"confirm":1})"), err("EREQ", "confirm=true required"));
    EXPECT_EQ(call("mem_suspend_run", "{}"), err("EREQ", "confirm=true required"));
    EXPECT_EQ(sentinel_state(), "none");

    // The values of --passes, --arc-floor-mb, --mode and --extended.
    const struct {
        const char* args;
        strings v;
    } cases[] = {
        {R"({"confirm":true})", {"1", "0", "deep", "0"}},
        {R"({"confirm":true,"passes":0,"mode":"Hammer"})", {"1", "0", "deep", "0"}},
        {R"({"confirm":true,"passes":-3,"mode":"quick","arc_floor_mb":-5})", {"1", "-5", "deep", "0"}},
        {R"({"confirm":true,"passes":40,"mode":"hammer","arc_floor_mb":2048,"extended":true})",
         {"16", "2048", "hammer", "1"}},
    };
    std::string wd;
    for (const auto& c : cases) {
        std::string reply = call("mem_suspend_run", c.args), id = run_id_of(reply);
        wd = BASE + "/" + id;
        ASSERT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{16}"))) << reply;
        EXPECT_EQ(reply, ok("{\"run_id\":\"" + id + "\",\"workdir\":\"" + wd + "\",\"stream_file\":\"" + wd +
                            "/stream.ndjson\"}"));
        strings want = {"--run-id",       id,     "--workdir", wd,     "--passes",   c.v[0],
                        "--arc-floor-mb", c.v[1], "--mode",    c.v[2], "--extended", c.v[3]};
        ASSERT_TRUE(eventually([&] { return sentinel_state() == "none"; })) << c.args;
        EXPECT_EQ(recorded_argv(wd + "/argv"), want) << c.args;
        EXPECT_TRUE(d->wait_log("mem_suspend_run launched run_id=" + id + " wd=" + wd));
        EXPECT_EQ(read_text(wd + "/orch.log"), "out\nerr\n") << c.args;
    }
    std::smatch m;
    std::string facts = read_text(wd + "/facts");
    // pid (comm) state ppid pgrp session
    ASSERT_TRUE(std::regex_search(facts, m, std::regex(R"(^([0-9]+) \(sh\) . ([0-9]+) [0-9]+ ([0-9]+) )"))) << facts;
    EXPECT_NE(std::stoi(m[2]), d->pid()) << "not the daemon's child";
    EXPECT_NE(std::stoi(m[3]), getsid(d->pid())) << "a session of its own";
    // Some sandboxes refuse any negative score, even to root: the daemon's own value then.
    std::string oom = can_lower_oom_score() ? "-1000\n"
                                            : read_text("/proc/" + std::to_string(d->pid()) + "/oom_score_adj");
    EXPECT_TRUE(has(facts, "\n" + oom + "Name:")) << facts;
    ASSERT_TRUE(std::regex_search(facts, m, std::regex("SigIgn:\t([0-9a-f]+)")));
    unsigned long long ign = std::stoull(m[1], nullptr, 16);
    EXPECT_EQ(ign & 1u, 1u) << "SIGHUP ignored";
    EXPECT_EQ(ign & (1u << 12), 0u) << "SIGPIPE not ignored";
    // Standard input /dev/null, output the log; beyond them only the shell's own script.
    std::map<int, std::string> fds;
    const std::regex fd_line(R"( ([0-9]+) -> (\S+))");
    for (auto it = std::sregex_iterator(facts.begin(), facts.end(), fd_line); it != std::sregex_iterator(); ++it)
        if ((*it)[2] != SCRIPT) fds[std::stoi((*it)[1])] = (*it)[2];
    EXPECT_EQ(fds, (std::map<int, std::string>{{0, "/dev/null"}, {1, wd + "/orch.log"}, {2, wd + "/orch.log"}}))
        << facts;
    ASSERT_TRUE(std::regex_search(facts, m, std::regex("flags:\t([0-7]+)"))) << facts;
    EXPECT_NE(std::stoul(m[1], nullptr, 8) & O_APPEND, 0u);
}

// Per sentinel state: the reply, the sentinel after it and whether a run directory was made.
TEST_F(MemtestTest, SentinelStates) {
    ASSERT_TRUE(write_file(SCRIPT, "exit 0\n"));
    ASSERT_TRUE(d->start());
    const std::string live = std::to_string(live_orchestrator()), self = std::to_string(getpid());
    const std::string busy = err("EBUSY", "memtest sentinel busy"), claim = "claiming=1\n started=fresh";
    const struct {
        const char* name;
        strings files;
        std::string reply, after;
    } rows[] = {
        {"free", {}, "ok", claim},
        {"claim 10 s old", {"claiming=1\n", "started=" + std::to_string(time(nullptr) - 10) + "\n"}, RUNNING, ""},
        {"claim 30 s old", {"claiming=1\n", "started=" + std::to_string(time(nullptr) - 30) + "\n"}, "ok", claim},
        {"live orchestrator", {"pid=" + live + "\n"}, RUNNING, ""},
        {"live orchestrator, old claim", {"pid=" + live + "\n", "claiming=1\n", "started=1\n"}, RUNNING, ""},
        {"reused pid", {"pid=" + self + "\n", "deadline=9\n"}, "ok", claim},
        {"stale, with a file of someone else", {"claiming=1\n", "started=5\n", "other=x"}, busy, "other=x"},
    };
    for (const auto& r : rows) {
        if (r.files.empty()) fs::remove_all(SENTINEL);
        else make_sentinel(r.files);
        std::string before = sentinel_state();
        size_t dirs = run_dirs();
        std::string reply = call("mem_suspend_run", R"({"confirm":true})");
        bool launched = r.reply == "ok";
        if (launched) EXPECT_EQ(reply, ok(json_member(reply, "result"))) << r.name;
        else EXPECT_EQ(reply, r.reply) << r.name;
        EXPECT_EQ(sentinel_state(), r.after.empty() ? before : r.after) << r.name;
        EXPECT_EQ(run_dirs(), dirs + launched) << r.name;
    }

    // A failure after the claim gives it back.
    fs::remove_all(SENTINEL);
    fs::remove_all("/opt/vorn/var");
    EXPECT_EQ(call("mem_suspend_run", R"({"confirm":true})"), err("EMKDIR", "cannot create workdir"));
    EXPECT_EQ(sentinel_state(), "none");
}

// What a local user plants at the sentinel's path neither blocks every run nor makes root act
// where it points: it is removed (a link itself, never its target) and the claim goes on.
TEST_F(MemtestTest, ForeignSentinelIsRemovedNeverFollowed) {
    ASSERT_TRUE(write_file(SCRIPT, "exit 0\n"));
    ASSERT_TRUE(d->start());
    ASSERT_EQ(chmod("/tmp", 01777), 0);
    const std::string victim = "/opt/victim";  // root's, holding a stale claim's file names
    const std::string now = std::to_string(time(nullptr));
    const char* const s = SENTINEL.c_str();
    const struct {
        const char* name;
        std::function<bool()> plant;
    } rows[] = {
        {"fresh claim in the user's directory",
         [&] {
             return mkdir(s, 0755) == 0 && write_file(SENTINEL + "/claiming", "1\n") &&
                    write_file(SENTINEL + "/started", now + "\n");
         }},
        {"link to root's directory", [&] { return symlink(victim.c_str(), s) == 0; }},
        {"fifo", [&] { return mkfifo(s, 0600) == 0; }},
        {"tree", [&] { return fs::create_directories(SENTINEL + "/a/b/c") && write_file(SENTINEL + "/a/b/c/f", "x"); }},
    };
    for (const auto& r : rows) {
        for (const char* name : {"pid", "deadline", "started", "claiming"})
            ASSERT_TRUE(write_file(victim + "/" + name, std::string(name) == "started" ? "5\n" : "1\n"));
        ASSERT_TRUE(as_stranger(r.plant)) << r.name;
        std::string reply = call("mem_suspend_run", R"({"confirm":true})");
        EXPECT_EQ(reply, ok(json_member(reply, "result"))) << r.name;
        EXPECT_EQ(sentinel_state(), "claiming=1\n started=fresh") << r.name;
        struct stat st {};
        EXPECT_TRUE(lstat(s, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == 0) << r.name;
        EXPECT_EQ(std::distance(fs::directory_iterator(victim), fs::directory_iterator()), 4) << r.name;
        fs::remove_all(SENTINEL);
    }
    EXPECT_TRUE(d->wait_log("WRN vornd mem_suspend_run: /tmp/.vorn_memtest.lock is not a directory of root's"));
}

TEST_F(MemtestTest, ConcurrentRunsExactlyOneWins) {
    ASSERT_TRUE(write_file(SCRIPT, "exit 0\n"));
    ASSERT_TRUE(d->start());
    constexpr int ROUNDS = 200;  // the unguarded window is hit in about one round of 40
    for (int round = 0; round < ROUNDS; round++) {
        fs::remove_all(SENTINEL);
        std::atomic<int> ready{0};
        std::string replies[2];
        auto runner = [&](int i) {
            unique_fd c = d->connect();
            for (ready++; ready.load() < 2;) {
            }
            replies[i] = roundtrip(c.get(), req("mem_suspend_run", R"({"confirm":true})"));
        };
        std::jthread a(runner, 0), b(runner, 1);
        a.join();
        b.join();
        int wins = has(replies[0], "\"ok\":true") + has(replies[1], "\"ok\":true");
        EXPECT_EQ(wins, 1) << replies[0] << "\n" << replies[1];
        EXPECT_TRUE(replies[0] == RUNNING || replies[1] == RUNNING) << replies[0] << "\n" << replies[1];
        EXPECT_EQ(sentinel_state(), "claiming=1\n started=fresh");
    }
    EXPECT_EQ(run_dirs(), static_cast<size_t>(ROUNDS));
}

TEST_F(MemtestTest, CancelRows) {
    ASSERT_TRUE(d->start());
    const std::string bad = err("EREQ", "valid run_id required"), id = "0123456789abcdefABCDEF0123456789";
    for (const char* args : {"{}", R"({"run_id":""})", R"({"run_id":"0123456789abcdeg"})",
                             R"({"run_id":"0123456789abcdef0123456789abcdef0"})", R"({"run_id":"../x"})"})
        EXPECT_EQ(call("mem_suspend_cancel", args), bad) << args;
    const std::string cancel = "{\"run_id\":\"" + id + "\"}", wd = BASE + "/" + id;
    EXPECT_EQ(call("mem_suspend_cancel", cancel), err("ENOENT", "no live orchestrator for run_id"));

    const std::string stale = err("ESTALE", "orchestrator not alive"), done = ok(R"({"cancelled":true})");
    started.push_back(spawn_program({"/usr/bin/setsid", "/bin/sleep", "60"}).pid);
    const std::string idle = std::to_string(started.back());
    // orch.pid and orch.pgid ("orch": a live orchestrator leading its group; null: no file); SIGTERM iff ok.
    const struct {
        const char* name;
        const char* pid;
        const char* pgid;
        std::string reply;
    } rows[] = {
        {"pgid only", nullptr, "orch", done},
        {"pid and pgid", "orch", "orch", done},
        {"pid only, an orchestrator", "orch", nullptr, done},
        {"pid only, not an orchestrator", idle.c_str(), nullptr, stale},
        {"pgid of a group without an orchestrator", nullptr, idle.c_str(), stale},
    };
    for (const auto& r : rows) {
        fs::remove_all(wd);
        pid_t orch = live_orchestrator();
        for (auto [file, value] : {std::pair{"/orch.pid", r.pid}, std::pair{"/orch.pgid", r.pgid}})
            ASSERT_TRUE(!value || write_file(wd + file, (strcmp(value, "orch") ? value : std::to_string(orch)) + "\n"));
        EXPECT_EQ(call("mem_suspend_cancel", cancel), r.reply) << r.name;
        if (r.reply == done) {
            EXPECT_EQ(reaped_signal(orch), SIGTERM) << r.name;
        }
    }
    for (pid_t p : started) EXPECT_FALSE(ended(p)) << p << ": refused rows signal nobody";
}

// Run to the end or cancelled: records in order, the ARC limit lowered and put back, nothing left behind.
TEST_F(MemtestTest, OrchestratorRunsToTheEndOrItsCancel) {
    ASSERT_TRUE(write_file(SCRIPT, read_text(SHIPPED)));
    const std::string arc = d->dir() + "/zfs_arc_max";
    setenv(ARC_ENV, arc.c_str(), 1);
    ASSERT_TRUE(d->start());
    const std::string test_records =
        "echo '{\"test\":\"start\"}'\necho 'progress 50%'\necho '{\"cut\":'\n"
        "printf '{\"test\":\"end\",\"errors\":0}\\r\\n'\n";
    const struct {
        const char* args;
        const char* arc;
        std::string memprowl;
        strings argv;
        std::string stream, log;
    } rows[] = {
        {R"({"confirm":true,"passes":3,"arc_floor_mb":1024,"mode":"hammer","extended":true})",
         "4294967296\n",
         test_records + "exit 0\n",
         {"--json", "--passes", "3", "--extended-tests", "--full"},
         "\"passes\":3,\"mode\":\"hammer\",\"arc_floor_mb\":1024,\"extended\":true}\n"
         "{\"ts\":T,\"type\":\"arc\",\"action\":\"lower\",\"before\":4294967296,\"after\":1073741824}\n"
         "{\"test\":\"start\"}\n{\"test\":\"end\",\"errors\":0}\n"
         "{\"ts\":T,\"type\":\"arc\",\"action\":\"restore\",\"before\":1073741824,\"after\":4294967296}\n"
         "{\"ts\":T,\"type\":\"end\",\"status\":\"passed\",\"exit_code\":0",
         "\nprogress 50%\n{\"cut\":\n"},
        {R"({"confirm":true,"arc_floor_mb":0})",
         "0\n",
         "exit 3\n",
         {"--json", "--passes", "1"},
         "\"passes\":1,\"mode\":\"deep\",\"arc_floor_mb\":0,\"extended\":false}\n"
         "{\"ts\":T,\"type\":\"arc\",\"action\":\"none\",\"reason\":\"no floor requested\"}\n"
         "{\"ts\":T,\"type\":\"end\",\"status\":\"failed\",\"exit_code\":3",
         ""},
        {R"({"confirm":true,"arc_floor_mb":512})",
         nullptr,
         "",
         {},
         "\"passes\":1,\"mode\":\"deep\",\"arc_floor_mb\":512,\"extended\":false}\n"
         "{\"ts\":T,\"type\":\"arc\",\"action\":\"none\",\"reason\":\"no zfs arc limit on this host\"}\n"
         "{\"ts\":T,\"type\":\"error\",\"text\":\"memprowl not found\"}\n"
         "{\"ts\":T,\"type\":\"end\",\"status\":\"error\",\"exit_code\":null",
         ""},
        {R"({"confirm":true,"arc_floor_mb":1024})",
         "0\n",
         "echo '{\"test\":\"start\"}'\nread x <" + hold + "\n",
         {"--json", "--passes", "1"},
         "\"passes\":1,\"mode\":\"deep\",\"arc_floor_mb\":1024,\"extended\":false}\n"
         "{\"ts\":T,\"type\":\"arc\",\"action\":\"lower\",\"before\":0,\"after\":1073741824}\n{\"test\":\"start\"}\n"
         "{\"ts\":T,\"type\":\"arc\",\"action\":\"restore\",\"before\":1073741824,\"after\":0}\n"
         "{\"ts\":T,\"type\":\"end\",\"status\":\"cancelled\",\"exit_code\":143",
         ""},
    };
    for (const auto& r : rows) {
        fs::remove(arc);
        ASSERT_TRUE(!r.arc || write_file(arc, r.arc));
        fs::remove(memprowl_path());
        fs::remove(d->dir() + "/memprowl.argv");
        if (!r.memprowl.empty()) fake_memprowl(r.memprowl);
        std::string id = run_id_of(call("mem_suspend_run", r.args)), wd = BASE + "/" + id;
        const std::string by_id = "{\"run_id\":\"" + id + "\"}", stream = wd + "/stream.ndjson";
        pid_t orch = 0;
        if (has(r.memprowl, hold)) {  // the test never ends by itself: cancelled once it runs
            ASSERT_TRUE(eventually([&] { return has(read_text(stream), "{\"test\":\"start\"}\n"); }, 20000));
            EXPECT_EQ(read_text(arc), "1073741824\n");
            orch = std::stoi(read_text(wd + "/orch.pid"));
            EXPECT_EQ(read_text(wd + "/orch.pgid"), std::to_string(orch) + "\n") << "it leads its own group";
            EXPECT_EQ(read_text(SENTINEL + "/pid"), std::to_string(orch) + "\n");
            EXPECT_EQ(call("mem_suspend_cancel", by_id), ok(R"({"cancelled":true})"));
        }
        ASSERT_TRUE(eventually([&] { return has(read_text(stream), "\"type\":\"end\""); }, 20000)) << r.args;
        EXPECT_EQ(records(stream), start_record(id, r.stream)) << r.args;
        EXPECT_TRUE(eventually([&] { return sentinel_state() == "none" && (!orch || ended(orch)); }, 10000)) << r.args;
        EXPECT_EQ(recorded_argv(d->dir() + "/memprowl.argv"), r.argv) << r.args;
        // Only the orchestrator is out of the OOM killer's reach, never the test it runs.
        EXPECT_EQ(read_text(d->dir() + "/memprowl.oom"), r.argv.empty() ? "" : "0\n") << r.args;
        fs::remove(d->dir() + "/memprowl.oom");
        EXPECT_EQ(r.arc ? read_text(arc) : "", r.arc ? r.arc : "") << r.args;
        EXPECT_FALSE(fs::exists(wd + "/orch.pid") || fs::exists(wd + "/orch.pgid")) << r.args;
        EXPECT_TRUE(has(read_text(wd + "/orch.log"), r.log)) << read_text(wd + "/orch.log");
        EXPECT_EQ(call("mem_suspend_cancel", by_id), err("ENOENT", "no live orchestrator for run_id")) << r.args;
    }
}

// Started by hand: anything but the exact vector is refused (status 2, a line on stderr) touching nothing;
// a sentinel another live run holds ends the run as an error and stays.
TEST_F(MemtestTest, OrchestratorRefusesOtherVectorsAndAnotherRunsSentinel) {
    const std::string wd = d->dir() + "/wd";
    fs::create_directory(wd);
    auto vec = [&](std::initializer_list<std::pair<int, const char*>> changes) {
        strings v = {"/bin/sh", SHIPPED,          "--run-id", "ab12",   "--workdir", wd,           "--passes",
                     "2",       "--arc-floor-mb", "-1",       "--mode", "deep",      "--extended", "0"};
        for (auto [i, s] : changes) v[static_cast<size_t>(i)] = s;
        v.erase(std::remove(v.begin(), v.end(), "-"), v.end());
        return v;
    };
    const struct {
        strings argv;
        const char* why;
    } rows[] = {
        {vec({{13, "-"}}), "expected 12 arguments, got 11"},
        {vec({{2, "--workdir"}, {4, "--run-id"}}), "options missing or out of order"},
        {vec({{3, "xyz"}}), "run id must be hexadecimal"},
        {vec({{5, "rel/dir"}}), "workdir must be an absolute path"},
        {vec({{7, "17"}}), "passes must be 1 to 16"},
        {vec({{9, "1.5"}}), "arc floor must be an integer"},
        {vec({{11, "quick"}}), "mode must be deep or hammer"},
    };
    for (const auto& r : rows) {
        run_result_t res = run_program(r.argv);
        EXPECT_EQ(res.status, 2) << r.why;
        EXPECT_TRUE(has(res.err, std::string("refused: ") + r.why + "\n")) << res.err;
    }
    EXPECT_TRUE(fs::is_empty(wd));
    EXPECT_EQ(sentinel_state(), "none");

    std::string other = std::to_string(live_orchestrator());
    make_sentinel({"pid=" + other + "\n"});
    EXPECT_EQ(run_program(vec({})).status, 3);
    EXPECT_EQ(records(wd + "/stream.ndjson"),
              start_record("ab12", "\"passes\":2,\"mode\":\"deep\",\"arc_floor_mb\":-1,\"extended\":false") +
                  "{\"ts\":T,\"type\":\"error\",\"text\":\"another memory test holds /tmp/.vorn_memtest.lock\"}\n"
                  "{\"ts\":T,\"type\":\"end\",\"status\":\"error\",\"exit_code\":null}\n");
    EXPECT_EQ(sentinel_state(), "pid=" + other + "\n");
}
