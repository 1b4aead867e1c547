// The daemon as a process: command line, start-up on a stale socket or beside another daemon,
// reload, shutdown, what a service manager hears, its log lines and its descriptors.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <sstream>

#include "base/fdio.h"
#include "base/version.h"
#include "host_util.h"
#include "spawn.h"

namespace {

const char* const USAGE = "usage: vornd [-c config] [-v] [-f]\n";
const char* const VERSION = "vornd " VORND_VERSION "\n";  // the project's version, from CMake

// 0 when nothing is at `path`.
ino_t inode_of(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

bool exists(const std::string& path) { return inode_of(path) != 0; }

const char* const PING = R"({"id":"p","op":"ping"})";

std::string ping_reply(const TestDaemon& d) { return d.call(PING); }

bool pong(const std::string& reply) { return reply == R"({"id":"p","ok":true,"result":{"pong":true}})"; }

const std::string DISABLED = R"({"id":"p","ok":false,"code":"EDISABLED","error":"op disabled by config"})";

// A service manager's datagram socket at `name` (a path, or "@name" for an abstract one).
unique_fd manager_socket(const std::string& name) {
    unique_fd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, name.data(), name.size());
    if (name[0] == '@') addr.sun_path[0] = '\0';
    const auto len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + name.size());
    if (bind(fd.get(), reinterpret_cast<struct sockaddr*>(&addr), len) != 0) fd.reset();
    return fd;
}

// The next datagram on `fd`, or "" when none comes within `timeout_ms`.
std::string next_notice(int fd, int timeout_ms = 5000) {
    struct pollfd p = {fd, POLLIN, 0};
    char buf[256];
    ssize_t n = poll(&p, 1, timeout_ms) == 1 ? recv(fd, buf, sizeof buf, 0) : -1;
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

unsigned long long monotonic_usec() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<unsigned long long>(ts.tv_sec) * 1000000ULL + static_cast<unsigned long long>(ts.tv_nsec) / 1000;
}

}  // namespace

TEST(CommandLine, VersionAndUsageExitAtOnce) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{VORND_BIN, "--version"}, VERSION},
        {{VORND_BIN, "-q", "--version"}, VERSION},  // an unknown word is ignored
        {{VORND_BIN, "-h"}, USAGE},
        {{VORND_BIN, "--help", "-c", "x"}, USAGE},
        {{VORND_BIN, "-v", "--help", "--version"}, USAGE},  // the earlier of the two wins
    };
    for (const auto& [argv, out] : cases) {
        run_result_t r = run_program(argv);
        // Status, standard output, and nothing loaded or logged.
        EXPECT_EQ(std::to_string(r.status) + "|" + r.out + "|" + r.err, "0|" + out + "|") << argv[1];
    }
}

// "-c" takes the next word whatever it is, and a lone "-c" is ignored. A relative path names a file of
// the start directory; the daemon then works from "/", and a reload must still read that file.
TEST(CommandLine, DashCTakesTheNextWordAndReloadsFromTheStartDirectory) {
    TestDaemon d;
    const std::string start_dir = std::filesystem::canonical(d.dir());
    // A SIGHUP reads the edited file, also the ./vornd.conf a lone "-c" found before the move to "/".
    const struct {
        std::vector<std::string> argv;
        std::string file;
    } cases[] = {
        {{VORND_BIN, "-c", "--version"}, "--version"},
        {{VORND_BIN, "-c"}, "vornd.conf"},
        {{VORND_BIN, "-c", "rel.conf"}, "rel.conf"},
    };
    for (const auto& [argv, file] : cases) {
        const std::string loaded = "loaded config: " + start_dir + "/" + file;
        const std::string conf = d.dir() + "/" + file,
                          head = "[socket]\npath = " + d.socket_path() + "\n[ops]\nenabled = ";
        write_file(conf, head + "ping\n");
        spawned_t s = spawn_program(argv, d.dir());
        ASSERT_GT(s.pid, 0);
        bool up = eventually([&] { return pong(ping_reply(d)); });
        write_file(conf, head + "info\n");
        kill(s.pid, SIGHUP);
        bool reloaded = eventually([&] { return ping_reply(d) == DISABLED; }, 3000);
        kill(s.pid, SIGTERM);
        std::string out = read_to_end(s.out.get()), log = read_to_end(s.err.get());
        EXPECT_EQ(wait_exit(s.pid), 0);
        EXPECT_TRUE(up && reloaded && out.empty() && has(log, loaded)) << file << ": " << out << log;
        unlink(conf.c_str());
    }
}

// Start-up over a stale socket; every descriptor close-on-exec while a client is connected; that
// client does not hold up SIGTERM; every log line has the timestamp, level and ident.
TEST(Lifecycle, StaleSocketCloseOnExecTermAndLogLines) {
    TestDaemon d;
    // A socket file left behind by a process that is gone: nobody listens on it.
    ASSERT_EQ(mknod(d.socket_path().c_str(), S_IFSOCK | 0666, 0), 0);
    ASSERT_TRUE(d.start());
    unique_fd c = d.connect();  // its daemon end stays open while we look
    ASSERT_TRUE(pong(roundtrip(c.get(), PING)));
    const std::string proc = "/proc/" + std::to_string(d.pid());
    int sockets = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(proc + "/fd", ec)) {
        const std::string fd = e.path().filename(), target = std::filesystem::read_symlink(e.path(), ec);
        const std::string info = read_text(proc + "/fdinfo/" + fd);
        const size_t at = info.find("flags:");
        if (std::stoi(fd) <= 2 || at == std::string::npos) continue;  // a standard stream, or closed meanwhile
        EXPECT_TRUE(strtol(info.c_str() + at + 6, nullptr, 8) & O_CLOEXEC) << "fd " << fd << " -> " << target;
        sockets += target.rfind("socket:", 0) == 0;
    }
    EXPECT_GE(sockets, 2) << "the listening socket and our connection";
    EXPECT_EQ(d.stop(SIGTERM), 0);
    EXPECT_FALSE(exists(d.socket_path()));

    const std::regex line(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d (DBG|INF|WRN|ERR) vornd \S.*)");
    std::istringstream log(d.log());
    int n = 0;
    for (std::string l; std::getline(log, l); n++) {
        EXPECT_TRUE(std::regex_match(l, line)) << l;
        EXPECT_EQ(l.find(" DBG "), std::string::npos) << "debug line without -v: " << l;
    }
    EXPECT_GE(n, 3);
    // An empty group leaves nothing between the word and the parenthesis.
    EXPECT_TRUE(has(d.log(), " INF vornd listening on " + d.socket_path() + " (mode 0666 group )\n")) << d.log();
    EXPECT_TRUE(has(d.log(), " INF vornd shutdown\n")) << d.log();
}

// With -v and an unknown group the daemon warns, keeps its mode and listens. A reload is seen on the same
// socket, by earlier connections too; a new socket path waits for a restart, SIGINT leaves it alone.
TEST(Lifecycle, UnknownGroupWarnsThenHupReloadsOnTheSameSocket) {
    TestDaemon d;
    d.write_config("mode = 0600\ngroup = vorn-no-such-group\n[ops]\nenabled = ping\n");
    ASSERT_TRUE(d.start("-v"));
    unique_fd early = d.connect();
    ASSERT_TRUE(pong(ping_reply(d)));
    EXPECT_TRUE(d.wait_log(" WRN vornd group vorn-no-such-group not found — socket left with default group"));
    EXPECT_TRUE(d.wait_log("(mode 0600 group vorn-no-such-group)"));
    EXPECT_TRUE(d.wait_log(" DBG vornd connection "));
    struct stat st;
    ASSERT_EQ(stat(d.socket_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    const std::string other = d.dir() + "/other.sock";
    ASSERT_TRUE(write_file(other, "not ours"));
    write_file(d.config_path(), "[socket]\npath = " + other + "\n[ops]\nenabled = info\n");
    ASSERT_EQ(kill(d.pid(), SIGHUP), 0);
    EXPECT_TRUE(d.wait_log("SIGHUP — reloading config"));
    EXPECT_TRUE(eventually([&] { return ping_reply(d) == DISABLED; }, 2000));
    EXPECT_EQ(roundtrip(early.get(), PING), DISABLED);
    EXPECT_EQ(inode_of(d.socket_path()), st.st_ino);

    EXPECT_EQ(d.stop(SIGINT), 0);
    EXPECT_FALSE(exists(d.socket_path()));
    EXPECT_EQ(read_text(other), "not ours");
}

// A reload never opens the daemon up: a file renamed away, or a token file that became empty,
// keeps the live configuration. At start-up, a token file that cannot be read locks every request out.
TEST(Lifecycle, ReloadThatCannotReadKeepsTheLiveConfigurationAndAnUnreadableTokenLocksTheDoor) {
    TestDaemon d;
    const std::string token = d.dir() + "/token", conf = d.config_path();
    ASSERT_TRUE(write_file(token, "s3cret\n"));
    d.write_config("[security]\nauth_token_file = " + token + "\n[exec]\nallow = sh\n");
    ASSERT_TRUE(d.start());
    const std::string exec = R"({"id":"r","op":"exec","args":{"cmd":"sh","argv":["-c","echo ran"]}})";
    const std::string ping = R"({"id":"r","op":"ping","token":"s3cret"})";
    const std::string eauth = R"({"id":"r","ok":false,"code":"EAUTH","error":"bad or missing token"})";
    const std::string pong = R"({"id":"r","ok":true,"result":{"pong":true}})";
    EXPECT_EQ(d.call(exec), eauth);

    ASSERT_EQ(rename(conf.c_str(), (conf + ".moved").c_str()), 0);
    ASSERT_EQ(kill(d.pid(), SIGHUP), 0);
    EXPECT_TRUE(d.wait_log(" WRN vornd config not readable at " + conf + " — current configuration kept"));
    EXPECT_EQ(d.call(exec), eauth);
    EXPECT_EQ(d.call(ping), pong);

    ASSERT_EQ(rename((conf + ".moved").c_str(), conf.c_str()), 0);
    ASSERT_TRUE(write_file(token, "\n"));
    ASSERT_EQ(kill(d.pid(), SIGHUP), 0);
    EXPECT_TRUE(d.wait_log(" WRN vornd auth_token_file " + token + " empty — current configuration kept"));
    EXPECT_EQ(d.call(exec), eauth);
    EXPECT_EQ(d.call(ping), pong);
    EXPECT_EQ(d.stop(), 0);

    // A directory opens but cannot be read as a token file.
    TestDaemon locked;
    locked.write_config("[security]\nauth_token_file = " + locked.dir() + "\n");
    ASSERT_TRUE(locked.start());
    EXPECT_TRUE(locked.wait_log(" WRN vornd auth_token_file " + locked.dir() +
                                " not readable — every request refused"));
    for (const char* token_member : {"", R"(,"token":"")", R"(,"token":"s3cret")"})
        EXPECT_EQ(locked.call(std::string(R"({"id":"r","op":"ping")") + token_member + "}"), eauth) << token_member;
}

// --strict-config: a file that cannot be read stops the start; what a file leaves out is closed.
TEST(Lifecycle, StrictConfigRefusesWithoutAFileAndClosesWhatTheFileLeavesOut) {
    TestDaemon d;
    const std::string missing = d.dir() + "/absent.conf";
    run_result_t r = run_program({VORND_BIN, "-c", missing, "--strict-config"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, " ERR vornd config not readable at " + missing + " — refusing to start\n")) << r.err;
    EXPECT_FALSE(exists(d.socket_path()));

    d.write_config("[exec]\nalow = sh\n");
    ASSERT_TRUE(d.start("--strict-config"));
    struct stat st;
    ASSERT_EQ(stat(d.socket_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_TRUE(pong(ping_reply(d)));
    const std::string exec = R"({"id":"p","op":"exec","args":{"cmd":"sh","argv":["-c","id"]}})";
    EXPECT_EQ(d.call(exec), DISABLED);
    EXPECT_TRUE(has(d.log(), "/vornd.conf:4: unknown key 'alow' in [exec] — ignored\n")) << d.log();
    EXPECT_EQ(d.stop(), 0);
}

// A socket path longer than an address holds is bound cut to 107 bytes, with a warning; the cut path is
// the one that gets the mode, that a restart after a crash replaces, and that shutdown removes.
TEST(Lifecycle, OverlongSocketPathIsUsedCutEverywhere) {
    TestDaemon d;
    const std::string full = d.dir() + "/" + std::string(120, 'l') + ".sock", bound = full.substr(0, 107);
    write_file(d.config_path(), "[socket]\npath = " + full + "\nmode = 0600\n");
    for (int sig : {SIGKILL, SIGTERM}) {  // a crash leaves the socket file behind
        spawned_t s = spawn_program({VORND_BIN, "-c", d.config_path()});
        ASSERT_GT(s.pid, 0);
        bool up = eventually([&] { return pong(roundtrip(vc_connect(bound.c_str()).get(), PING)); });
        struct stat st = {};
        EXPECT_EQ(stat(bound.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        kill(s.pid, sig);
        const std::string log = read_to_end(s.err.get());
        wait_exit(s.pid);
        EXPECT_TRUE(up) << log;
        EXPECT_TRUE(has(log, " WRN vornd socket path " + full + " is longer than 107 bytes: bound as " + bound + "\n"))
            << log;
        EXPECT_EQ(exists(bound), sig == SIGKILL) << "after signal " << sig;
    }
}

// A service manager hears READY=1 only once the socket answers, RELOADING=1 stamped with the
// monotonic clock and READY=1 around a SIGHUP reload, STOPPING=1 at SIGTERM, and nothing more.
TEST(Lifecycle, TellsTheServiceManagerReadyReloadingAndStopping) {
    TestDaemon d;
    for (const std::string& name : {d.dir() + "/notify", "@vornd-test-notify-" + std::to_string(getpid())}) {
        unique_fd mgr = manager_socket(name);
        ASSERT_TRUE(mgr) << name;
        d.set_environment({"NOTIFY_SOCKET=" + name});
        ASSERT_TRUE(d.launch());
        EXPECT_EQ(next_notice(mgr.get(), 10000), "READY=1") << name;
        EXPECT_TRUE(pong(ping_reply(d))) << "not listening when it said it was ready";

        const unsigned long long before = monotonic_usec();
        ASSERT_EQ(kill(d.pid(), SIGHUP), 0);
        const std::string reloading = next_notice(mgr.get());
        const unsigned long long after = monotonic_usec();
        std::smatch m;
        ASSERT_TRUE(std::regex_match(reloading, m, std::regex("RELOADING=1\nMONOTONIC_USEC=([0-9]+)"))) << reloading;
        EXPECT_TRUE(std::stoull(m[1]) >= before && std::stoull(m[1]) <= after) << before << " " << m[1] << " " << after;
        EXPECT_EQ(next_notice(mgr.get()), "READY=1");
        EXPECT_EQ(d.stop(SIGTERM), 0);
        EXPECT_EQ(next_notice(mgr.get()), "STOPPING=1");
        EXPECT_EQ(next_notice(mgr.get(), 100), "");
    }
}

// One daemon per socket path: a second one beside a live daemon, or over a file that is no socket,
// exits 1 and leaves the file alone. At stop, a daemon removes only the socket file it bound itself.
TEST(Lifecycle, StartsOnlyWhereNoDaemonAnswersAndRemovesOnlyItsOwnSocket) {
    TestDaemon first, second;
    ASSERT_TRUE(first.start());
    const ino_t live = inode_of(first.socket_path());
    const std::string plain = second.dir() + "/plain";
    ASSERT_TRUE(write_file(plain, "not a socket"));
    const std::pair<std::string, std::string> refused[] = {
        {first.socket_path(), " ERR vornd another vornd is listening on " + first.socket_path() + "\n"},
        {plain, " ERR vornd " + plain + " exists and is not a socket: left in place\n"},
    };
    for (const auto& [path, line] : refused) {
        write_file(second.config_path(), "[socket]\npath = " + path + "\n");
        run_result_t r = run_program({VORND_BIN, "-c", second.config_path()});
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_TRUE(has(r.err, line)) << r.err;
    }
    EXPECT_EQ(inode_of(first.socket_path()), live);
    EXPECT_TRUE(pong(ping_reply(first)));
    EXPECT_EQ(read_text(plain), "not a socket");

    // Its socket file replaced behind its back: the stop leaves the newcomer in place.
    ASSERT_EQ(unlink(first.socket_path().c_str()), 0);
    ASSERT_EQ(mknod(first.socket_path().c_str(), S_IFSOCK | 0666, 0), 0);
    const ino_t newcomer = inode_of(first.socket_path());
    EXPECT_EQ(first.stop(SIGTERM), 0);
    EXPECT_EQ(inode_of(first.socket_path()), newcomer);
}
