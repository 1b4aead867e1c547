// procs_list, procs_kill and the per-process operations against children of this test.
// Every process signalled here is one this test started, under a name unique to it.

#include <fcntl.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <tuple>

#include "base/fdio.h"
#include "base/sb.h"
#include "host_util.h"
#include "spawn.h"

namespace fs = std::filesystem;

namespace {

constexpr long long NO_SUCH_PID = 4194305;  // above the largest pid_max the kernel allows

// A name no other process on the machine carries: "vt<our pid><tag>".
std::string unique_name(const std::string& tag) { return "vt" + std::to_string(getpid()) + tag; }

// A child of this test: a copy of /bin/sh under `name` running `script`, then blocked opening a
// FIFO nobody writes to, until it is killed when this object goes.
class sh_child {
public:
    sh_child(const std::string& dir, const std::string& name, const std::string& script = "",
             const std::vector<std::string>& params = {}) {
        const std::string path = dir + "/" + name, fifo = path + ".fifo";
        std::error_code ec;
        fs::copy_file("/bin/sh", path, fs::copy_options::skip_existing, ec);
        mkfifo(fifo.c_str(), 0600);  // children of one name share it
        std::vector<std::string> words = {path, "-c", script + (script.empty() ? "" : "; ") + "read x < " + fifo};
        words.insert(words.end(), params.begin(), params.end());
        pid = spawn_program(words).pid;
        // Ready once it runs under its name and sleeps off the run queue (until then its syscall
        // file says "running"): its figures hold still.
        const std::string proc = "/proc/" + std::to_string(pid);
        if (!eventually([&] {
                return read_text(proc + "/comm") == name.substr(0, 15) + "\n" &&
                       read_text(proc + "/status").find("State:\tS") != std::string::npos &&
                       read_text(proc + "/syscall").rfind("running", 0) != 0;
            }))
            ADD_FAILURE() << name << " not waiting";
        for (const auto& w : words) cmdline += (cmdline.empty() ? "" : " ") + w;
    }
    ~sh_child() {
        if (pid <= 0) return;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    sh_child(const sh_child&) = delete;
    sh_child& operator=(const sh_child&) = delete;
    // Not yet ended (a child that ended stays unreaped until this object goes).
    bool running() const {
        siginfo_t si = {};
        return waitid(P_PID, pid, &si, WEXITED | WNOHANG | WNOWAIT) == 0 && si.si_pid == 0;
    }

    pid_t pid = -1;
    std::string cmdline;  // its arguments joined by spaces
};

std::string call_pid(const TestDaemon& d, const char* op, long long pid, const std::string& more = "") {
    return d.call(req(op, "{\"pid\":" + std::to_string(pid) + more + "}"));
}

// The number on the line "<key>:" of a /proc file, or -1.
long long proc_field(pid_t pid, const char* file, const std::string& key) {
    std::istringstream in(read_text("/proc/" + std::to_string(pid) + "/" + file));
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key + ":", 0) == 0) return std::stoll(line.substr(key.size() + 1));
    return -1;
}

// The entry of `pid` in a procs_list reply, from its "{" to its "}".
std::string entry_of(const std::string& reply, long long pid) {
    size_t at = reply.find("{\"pid\":" + std::to_string(pid) + ",");
    return at == std::string::npos ? "" : reply.substr(at, reply.find('}', at) - at + 1);
}

std::string esc(const std::string& s) {
    sb_t out;
    sb_json_escape(&out, s.data(), s.size());
    return out.buf ? std::string(out.buf, out.len) : "";
}

}  // namespace

// A tree standing in for /proc: entries that are no process, or that ended between the
// listing and the reads, drop out; the rest show the reading rules byte for byte.
TEST(ProcsList, EntriesThatEndedOrAreNoProcessDropOut) {
    std::string why = enter_private_mount_ns();
    if (!why.empty()) GTEST_SKIP() << why;
    TestDaemon d;
    ASSERT_TRUE(d.start());  // before /proc is covered: the sanitizers read it at start-up
    scoped_mounts mounts;
    ASSERT_TRUE(mounts.tmpfs("/proc"));
    using namespace std::string_literals;
    const std::pair<std::string, std::string> files[] = {
        {"100/comm", "alpha\n"},
        {"100/cmdline", "a\0b\0"s},
        {"100/status", "Name:\talpha\nVmRSS:\t   1234 kB\nVmRSS:\t9 kB\n"},
        {"200/comm", "\n"},                 // empty name
        {"300/status", "Name:\tgone\n"},    // no comm: ended meanwhile
        {"400/comm", "beta"},               // no line feed, no cmdline, no status
        {"500/comm", "q\"t\n\n"},           // only one line feed is removed
        {"500/cmdline", "x\0\0 \0"s},       // trailing separators and spaces go
        {"500/status", "VmRSS:\t99 kB\n"},  // the label must follow a line feed
        {"0/comm", "zero\n"},
        {"self/comm", "self\n"},
    };
    for (const auto& [path, text] : files) ASSERT_TRUE(write_file("/proc/" + path, text));
    auto sorted_entries = [](std::string reply) {
        std::vector<std::string> v;
        for (size_t at = 0; (at = reply.find("{\"pid\":", at)) != std::string::npos; at++)
            v.push_back(reply.substr(at, reply.find('}', at) - at + 1));
        std::sort(v.begin(), v.end());
        return v;
    };
    EXPECT_EQ(sorted_entries(d.call(req("procs_list", "{}"))),
              (std::vector<std::string>{R"({"pid":100,"comm":"alpha","cmdline":"a b","rss_kb":1234})",
                                        R"({"pid":400,"comm":"beta","cmdline":"","rss_kb":0})",
                                        R"({"pid":500,"comm":"q\"t\n","cmdline":"x","rss_kb":0})"}));
}

TEST(ProcsKill, AllowListNameRulesAndSignalCounting) {
    const std::string name = unique_name("k"), other = unique_name("o");
    const std::string longname = name + "-and-more-than-15";  // its command name is cut to 15
    const std::string cut = longname.substr(0, 15);
    TestDaemon d;
    d.write_config("[procs_kill]\nallow = " + name + ", " + longname + ", " + cut + ", " + other + "\n");
    ASSERT_TRUE(d.start());
    sh_child a(d.dir(), name), b(d.dir(), name), l(d.dir(), longname);
    auto killed = [](int n) { return ok("{\"killed\":" + std::to_string(n) + "}"); };
    const std::pair<std::string, std::string> cases[] = {
        {"{}", err("EREQ", "name required")},
        {R"({"name":""})", err("EREQ", "name required")},
        {R"({"name":"sh"})", err("EFORBIDDEN", "name not in allowlist")},
        {"{\"name\":\"" + name.substr(0, name.size() - 1) + "\",\"signal\":0}",
         err("EFORBIDDEN", "name not in allowlist")},
        {"{\"name\":\"" + name + "\",\"signal\":0}", killed(2)},
        {"{\"name\":\"" + other + "\",\"signal\":0}", killed(0)},
        {"{\"name\":\"" + longname + "\",\"signal\":0}", killed(0)},
        {"{\"name\":\"" + cut + "\",\"signal\":0}", killed(1)},
        {"{\"name\":\"" + name + "\",\"signal\":4294967311}", killed(0)},  // never cut to 15
    };
    for (const auto& [args, want] : cases) EXPECT_EQ(d.call(req("procs_kill", args)), want) << args;
    EXPECT_TRUE(a.running() && b.running() && l.running());
    EXPECT_EQ(d.call(req("procs_kill", "{\"name\":\"" + name + "\"}")), killed(2));
    EXPECT_TRUE(eventually([&] { return !a.running() && !b.running(); }));
    EXPECT_TRUE(l.running());
}

TEST(ProcSignalRenice, RefusalsSignalNamesGoneAndClampedNice) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    sh_child c(d.dir(), unique_name("s"), "trap '' TERM INT HUP USR1 USR2");
    for (auto [asked, set] : {std::pair{-100, -20}, {50, 19}, {5, 5}, {0, 0}}) {
        EXPECT_EQ(call_pid(d, "proc_renice", c.pid, ",\"nice\":" + std::to_string(asked)),
                  ok("{\"pid\":" + std::to_string(c.pid) + ",\"nice\":" + std::to_string(set) + "}"));
        errno = 0;
        EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(c.pid)), set);
    }
    EXPECT_EQ(call_pid(d, "proc_renice", 1), err("EREQ", "pid must be > 1"));
    EXPECT_EQ(call_pid(d, "proc_renice", NO_SUCH_PID), err("EPERM", "No such process"));
    // Cut to an id this would be init: ask for the value it has, so even that would change nothing.
    EXPECT_EQ(call_pid(d, "proc_renice", 4294967297, ",\"nice\":" + std::to_string(getpriority(PRIO_PROCESS, 1))),
              err("EPERM", "No such process"));

    const std::string unknown = err("EREQ", "unknown or disallowed signal"), pid = std::to_string(c.pid);
    auto sig = [&](const char* v) { return "{\"pid\":" + pid + ",\"signal\":" + v + "}"; };
    const std::pair<std::string, std::string> refusals[] = {
        {"{}", err("EREQ", "pid must be > 1")},
        {R"({"pid":1})", err("EREQ", "pid must be > 1")},
        {"{\"pid\":" + std::to_string(d.pid()) + "}", err("EFORBIDDEN", "refusing to signal the daemon")},
        {sig(R"("SIGKILL")"), unknown},
        {sig(R"("9")"), unknown},
        {sig("9"), unknown},
        {sig(R"("TERMINATE")"), unknown},
        {"{\"pid\":" + std::to_string(NO_SUCH_PID) + "}", err("ESRCH", "no such process")},
        // Cut to a pid_t these would be init and every process: CONT harms neither if they were.
        {R"({"pid":4294967297,"signal":"CONT"})", err("ESRCH", "no such process")},
        {R"({"pid":4294967295,"signal":"CONT"})", err("ESRCH", "no such process")},
    };
    for (const auto& [args, want] : refusals) EXPECT_EQ(d.call(req("proc_signal", args)), want) << args;

    const std::pair<const char*, int> survived[] = {{"", 15},     {"term", 15}, {"Int", 2},   {"HUP", 1},
                                                    {"usr1", 10}, {"USR2", 12}, {"stop", 19}, {"CONT", 18}};
    for (const auto& [sig, num] : survived)
        EXPECT_EQ(call_pid(d, "proc_signal", c.pid, std::string(",\"signal\":\"") + sig + "\""),
                  ok("{\"sent\":true,\"signal\":" + std::to_string(num) + ",\"gone\":false}"))
            << sig;
    // Ended but not yet collected by this test, its parent: gone all the same.
    EXPECT_EQ(call_pid(d, "proc_signal", c.pid, R"(,"signal":"kill")"), ok(R"({"sent":true,"signal":9,"gone":true})"));
}

// A thread id reaches the whole process it belongs to, so the daemon's are refused like the
// daemon: a KILL would end it, a cap would slow every request.
TEST(DaemonThreads, AreRefusedLikeTheDaemonAndItLives) {
    std::string why = enter_private_mount_ns();
    if (!why.empty()) GTEST_SKIP() << why;
    scoped_mounts mounts;
    ASSERT_TRUE(mounts.tmpfs("/sys/fs/cgroup"));  // no host cgroup is touched should a cap get through
    TestDaemon d;
    ASSERT_TRUE(d.start());
    unique_fd held = d.connect();  // a connection keeps a thread of the daemon alive
    long long thread = 0;
    ASSERT_TRUE(eventually([&] {
        for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(d.pid()) + "/task"))
            if (e.path().filename() != std::to_string(d.pid())) thread = std::stoll(e.path().filename());
        return thread != 0;
    }));
    const std::tuple<const char*, const char*, std::string> rows[] = {
        {"cpu_limit", R"(,"percent":1)", err("EFORBIDDEN", "refusing to limit the daemon")},
        {"strace_attach", "", err("EFORBIDDEN", "refusing to trace the daemon")},
        {"proc_signal", R"(,"signal":"KILL")", err("EFORBIDDEN", "refusing to signal the daemon")},
    };
    for (const auto& [op, more, want] : rows) EXPECT_EQ(call_pid(d, op, thread, more), want) << op;
    EXPECT_EQ(d.call(req("proc_detail", "{\"pid\":1}")), err("EREQ", "invalid pid"));  // still answers
}

TEST(ProcReadings, ListDetailAndOpenFilesOfAChildThisProcessAndAKernelThread) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    const std::string name = unique_name("l");
    sh_child c(d.dir(), name, "", {"a b", "say \"hi\""});
    std::string full = d.call(req("procs_list", "{}")), brief = d.call(req("procs_list", R"({"full":false})"));
    ASSERT_EQ(full.rfind(R"({"id":"r","ok":true,"result":{"procs":[{"pid":)", 0), 0u) << full.substr(0, 200);
    EXPECT_EQ(full.substr(full.size() - 4), "}]}}");
    auto num = [&](const char* f, const char* key) { return std::to_string(proc_field(c.pid, f, key)); };
    EXPECT_EQ(entry_of(full, c.pid), "{\"pid\":" + std::to_string(c.pid) + ",\"comm\":\"" + name + "\",\"cmdline\":\"" +
                                         esc(c.cmdline) + "\",\"rss_kb\":" + num("status", "VmRSS") + "}");
    EXPECT_EQ(entry_of(brief, c.pid), "{\"pid\":" + std::to_string(c.pid) + ",\"comm\":\"" + name + "\"}");
    std::string wchan = read_text("/proc/" + std::to_string(c.pid) + "/wchan");
    EXPECT_EQ(call_pid(d, "proc_detail", c.pid),
              ok("{\"state\":\"S (sleeping)\",\"ppid\":" + std::to_string(getpid()) +
                 ",\"threads\":1,\"uid\":" + std::to_string(geteuid()) + ",\"vmrss_kb\":" + num("status", "VmRSS") +
                 ",\"vmsize_kb\":" + num("status", "VmSize") +
                 ",\"vol_ctxt\":" + num("status", "voluntary_ctxt_switches") +
                 ",\"nonvol_ctxt\":" + num("status", "nonvoluntary_ctxt_switches") +
                 ",\"read_bytes\":" + num("io", "read_bytes") + ",\"write_bytes\":" + num("io", "write_bytes") +
                 ",\"fd_count\":3,\"wchan\":\"" + wchan + "\",\"cmdline\":\"" + esc(c.cmdline) + " \"}"));
    if (read_text("/proc/2/comm") == "kthreadd\n") {
        EXPECT_EQ(entry_of(full, 2), R"({"pid":2,"comm":"kthreadd","cmdline":"","rss_kb":0})");
        EXPECT_EQ(entry_of(brief, 2), R"({"pid":2,"comm":"kthreadd"})");
        std::string r = call_pid(d, "proc_detail", 2);
        EXPECT_TRUE(has(r, R"("ppid":0,"threads":1,"uid":0,"vmrss_kb":-1,"vmsize_kb":-1,)")) << r;
        EXPECT_TRUE(has(r, R"(,"fd_count":0,"wchan":")") && has(r, R"(","cmdline":""}})")) << r;
    }
    EXPECT_EQ(call_pid(d, "proc_detail", NO_SUCH_PID), err("ESRCH", "no such process"));
    EXPECT_EQ(call_pid(d, "proc_detail", 1), err("EREQ", "invalid pid"));

    const std::string file = d.dir() + "/held file";
    ASSERT_TRUE(write_file(file, "x"));
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    unique_fd held[] = {unique_fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)),
                        unique_fd(p[0]),
                        unique_fd(p[1]),
                        unique_fd(eventfd(0, EFD_CLOEXEC)),
                        unique_fd(open("/dev/ptmx", O_RDWR | O_NOCTTY | O_CLOEXEC)),
                        unique_fd(open(file.c_str(), O_RDONLY | O_CLOEXEC)),
                        unique_fd(open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC))};
    const char* types[] = {"socket", "pipe", "pipe", "anon", "file", "file", "special"};
    std::string files = call_pid(d, "proc_openfiles", getpid());
    EXPECT_EQ(files.rfind(R"({"id":"r","ok":true,"result":{"files":[{"fd":0,"type":")", 0), 0u) << files;
    for (size_t i = 0; i < std::size(held); i++) {
        std::string target = fs::read_symlink("/proc/self/fd/" + std::to_string(held[i].get())).string();
        EXPECT_TRUE(has(files, "{\"fd\":" + std::to_string(held[i].get()) + ",\"type\":\"" + types[i] +
                                   "\",\"target\":\"" + target + "\"}"))
            << target;
    }
    EXPECT_TRUE(has(files, "\"target\":\"anon_inode:[eventfd]\"}") && has(files, "\"target\":\"" + file + "\"}"));
    EXPECT_EQ(call_pid(d, "proc_openfiles", NO_SUCH_PID), err("EIO", "cannot read fd dir (process gone?)"));
    EXPECT_EQ(call_pid(d, "proc_openfiles", 1), err("EREQ", "invalid pid"));
}

// A tree standing in for the cpu controller under /sys/fs/cgroup, rebuilt for each case.
TEST(CpuLimit, LimitReleaseAndEachFailure) {
    std::string why = enter_private_mount_ns();
    if (!why.empty()) GTEST_SKIP() << why;
    scoped_mounts mounts;
    ASSERT_TRUE(mounts.tmpfs("/sys/fs/cgroup"));  // hides the host's controllers
    TestDaemon d;
    ASSERT_TRUE(d.start());
    const std::string root = "/sys/fs/cgroup/cpu/";
    // Empties the controller and creates `files` (relative, "dir/" for a directory) in it.
    auto tree = [&](const std::vector<std::string>& files) {
        fs::remove_all(root);
        fs::create_directories(root);
        for (const std::string& f : files)
            if (f.back() == '/' ? !fs::create_directories(root + f) : !write_file(root + f, "")) ADD_FAILURE() << f;
    };
    sh_child c(d.dir(), unique_name("c"));
    const std::string g = "vorn_thrum/p" + std::to_string(c.pid) + "/";
    auto limit = [&](long long percent) {
        return call_pid(d, "cpu_limit", c.pid, ",\"percent\":" + std::to_string(percent));
    };
    EXPECT_EQ(limit(50), err("ENOSYS", "cgroup-v1 cpu controller not mounted"));
    EXPECT_EQ(call_pid(d, "cpu_limit", 1), err("EREQ", "pid must be > 1"));
    EXPECT_EQ(call_pid(d, "cpu_limit", d.pid(), R"(,"percent":50)"), err("EFORBIDDEN", "refusing to limit the daemon"));
    tree({});
    EXPECT_EQ(call_pid(d, "cpu_limit", NO_SUCH_PID, R"(,"percent":50)"), err("ESRCH", "no such process"));

    const std::pair<std::vector<std::string>, std::string> failures[] = {
        {{"vorn_thrum"}, err("EPERM", "cannot create cpu cgroup (cfs bandwidth off?)")},
        {{g}, err("EIO", "cfs_period_us write failed (cfs bandwidth not compiled?)")},
        {{g + "cpu.cfs_period_us"}, err("EIO", "cfs_quota_us write failed")},
        {{g + "cpu.cfs_period_us", g + "cpu.cfs_quota_us"}, err("EPERM", "could not attach pid to cgroup")},
    };
    for (const auto& [files, want] : failures) {
        tree(files);
        EXPECT_EQ(limit(50), want);
    }

    long ncpu = std::max(1L, sysconf(_SC_NPROCESSORS_ONLN));
    for (long long percent : {50LL, 1000LL}) {
        long long capped = std::min(percent, ncpu * 100LL);
        tree({g + "cpu.cfs_period_us", g + "cpu.cfs_quota_us", g + "cgroup.procs"});
        EXPECT_EQ(limit(percent), ok("{\"limited\":true,\"pid\":" + std::to_string(c.pid) +
                                     ",\"percent\":" + std::to_string(capped) + ",\"period_us\":100000,\"quota_us\":" +
                                     std::to_string(capped * 1000) + ",\"ncpu\":" + std::to_string(ncpu) + "}"));
        EXPECT_EQ(read_text(root + g + "cpu.cfs_period_us"), "100000\n");
        EXPECT_EQ(read_text(root + g + "cpu.cfs_quota_us"), std::to_string(capped * 1000) + "\n");
        EXPECT_EQ(read_text(root + g + "cgroup.procs"), std::to_string(c.pid) + "\n");
    }

    const std::string released = ok(R"({"limited":false,"percent":0})");
    tree({"cgroup.procs", g + "cpu.cfs_quota_us"});
    EXPECT_EQ(limit(0), released);
    EXPECT_EQ(read_text(root + "cgroup.procs"), std::to_string(c.pid) + "\n");
    EXPECT_EQ(read_text(root + g + "cpu.cfs_quota_us"), "-1\n");
    tree({"cgroup.procs", g});
    EXPECT_EQ(limit(-5), released);
    EXPECT_FALSE(fs::exists(root + g));
}
