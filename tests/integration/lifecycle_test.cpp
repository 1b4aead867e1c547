// The daemon as a process: command line, start-up on a stale socket, reload, shutdown, its
// log lines and its descriptors.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"
#include "spawn.h"

namespace {

const char* const USAGE = "usage: vornd [-c config] [-v] [-f]\n";
const char* const VERSION = "vornd 0.1.0\n";

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

ino_t inode_of(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

size_t count_of(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) n++;
    return n;
}

std::string ping_reply(const TestDaemon& d) { return d.call(R"({"id":"p","op":"ping"})"); }

bool pong(const std::string& reply) { return reply == R"({"id":"p","ok":true,"result":{"pong":true}})"; }

}  // namespace

TEST(CommandLine, VersionAndUsageExitAtOnce) {
    struct {
        std::vector<std::string> args;
        const char* out;
    } cases[] = {
        {{"--version"}, VERSION},
        {{"-q", "--version"}, VERSION},  // an unknown word is ignored
        {{"-h"}, USAGE},
        {{"--help", "-c", "x"}, USAGE},
        {{"-v", "--help", "--version"}, USAGE},  // the earlier of the two wins
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {VORND_BIN};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        run_result_t r = run_program(argv);
        EXPECT_EQ(r.status, 0) << c.args[0];
        EXPECT_EQ(r.out, c.out) << c.args[0];
        // Nothing was loaded or logged.
        EXPECT_EQ(r.err, "") << c.args[0];
    }
}

// "-c" takes the next word whatever it is, and a "-c" with nothing after it is ignored.
TEST(CommandLine, DashCConsumesTheNextWord) {
    TestDaemon d;
    const std::string conf = "[socket]\npath = " + d.socket_path() + "\n";
    const struct {
        std::vector<std::string> args;
        const char* file;
        const char* loaded;
    } cases[] = {
        {{"-c", "--version"}, "--version", "loaded config: --version"},
        {{"-c"}, "vornd.conf", "loaded config: ./vornd.conf"},
    };
    for (const auto& c : cases) {
        write_file(d.dir() + "/" + c.file, conf);
        std::vector<std::string> argv = {VORND_BIN};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        spawned_t s = spawn_program(argv, d.dir());
        ASSERT_GT(s.pid, 0);
        bool up = eventually([&] { return pong(ping_reply(d)); });
        kill(s.pid, SIGTERM);
        std::string out = read_to_end(s.out.get()), log = read_to_end(s.err.get());
        EXPECT_EQ(wait_exit(s.pid), 0);
        EXPECT_TRUE(up) << log;
        EXPECT_EQ(out, "");
        EXPECT_NE(log.find(c.loaded), std::string::npos) << log;
        unlink((d.dir() + "/" + c.file).c_str());
    }
}

TEST(Lifecycle, StaleSocketIsReplacedAndTermRemovesIt) {
    TestDaemon d;
    // A socket file left behind by a process that is gone: nobody listens on it.
    {
        unique_fd stale(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        struct sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        strncpy(addr.sun_path, d.socket_path().c_str(), sizeof addr.sun_path - 1);
        ASSERT_EQ(bind(stale.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof addr), 0);
    }
    ASSERT_TRUE(exists(d.socket_path()));
    ASSERT_TRUE(d.start());
    EXPECT_TRUE(pong(ping_reply(d)));
    // A client that stays connected does not hold the shutdown up.
    unique_fd idle = d.connect();
    ASSERT_TRUE(idle);
    EXPECT_EQ(d.stop(SIGTERM), 0);
    EXPECT_FALSE(exists(d.socket_path()));
    EXPECT_TRUE(d.wait_log("shutdown"));
}

TEST(Lifecycle, HupReloadsTheFileOnTheSameSocket) {
    TestDaemon d;
    d.write_config("[ops]\nenabled = ping\n");
    ASSERT_TRUE(d.start());
    unique_fd early = d.connect();  // opened before the reload, used after it
    ASSERT_TRUE(early);
    ASSERT_TRUE(pong(ping_reply(d)));
    ino_t before = inode_of(d.socket_path());

    d.write_config("[ops]\nenabled = info\n");
    ASSERT_EQ(kill(d.pid(), SIGHUP), 0);
    EXPECT_TRUE(d.wait_log("SIGHUP — reloading config"));
    const std::string disabled = R"({"id":"p","ok":false,"code":"EDISABLED","error":"op disabled by config"})";
    EXPECT_TRUE(eventually([&] { return ping_reply(d) == disabled; }, 2000));
    // Every request is checked against the record current when it arrives.
    EXPECT_EQ(roundtrip(early.get(), R"({"id":"p","op":"ping"})"), disabled);
    EXPECT_EQ(inode_of(d.socket_path()), before);
}

// A reload may name another socket path; the socket keeps its own until restart, and
// shutdown removes that one and leaves whatever sits at the new path alone.
TEST(Lifecycle, TermAfterPathChangeRemovesTheBoundSocket) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    const std::string other = d.dir() + "/other.sock";
    ASSERT_TRUE(write_file(other, "not ours"));
    write_file(d.config_path(), "[socket]\npath = " + other + "\n");
    ASSERT_EQ(kill(d.pid(), SIGHUP), 0);
    const std::string loaded = "loaded config: " + d.config_path();
    ASSERT_TRUE(eventually([&] { return count_of(d.log(), loaded) == 2; }));
    EXPECT_TRUE(pong(ping_reply(d)));

    EXPECT_EQ(d.stop(SIGTERM), 0);
    EXPECT_FALSE(exists(d.socket_path()));
    EXPECT_EQ(read_text(other), "not ours");
}

TEST(Lifecycle, LogLinesHaveTimestampLevelAndIdent) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(pong(ping_reply(d)));
    ASSERT_EQ(d.stop(SIGINT), 0);
    const std::regex line(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d (DBG|INF|WRN|ERR) vornd \S.*)");
    std::istringstream log(d.log());
    int n = 0;
    for (std::string l; std::getline(log, l); n++) {
        EXPECT_TRUE(std::regex_match(l, line)) << l;
        EXPECT_EQ(l.find(" DBG "), std::string::npos) << "debug line without -v: " << l;
    }
    EXPECT_GE(n, 3);
    // An empty group leaves nothing between the word and the parenthesis.
    EXPECT_NE(d.log().find(" INF vornd listening on " + d.socket_path() + " (mode 0666 group )\n"),
              std::string::npos);
    EXPECT_NE(d.log().find(" INF vornd shutdown\n"), std::string::npos);
}

TEST(Lifecycle, VerboseFlagShowsDebugLines) {
    TestDaemon d;
    ASSERT_TRUE(d.start("-v"));
    ASSERT_TRUE(pong(ping_reply(d)));
    EXPECT_TRUE(d.wait_log(" DBG vornd connection "));
    EXPECT_EQ(d.stop(SIGTERM), 0);
}

TEST(Lifecycle, UnknownGroupWarnsAndStillListens) {
    TestDaemon d;
    d.write_config("mode = 0600\ngroup = vorn-no-such-group\n");
    ASSERT_TRUE(d.start());
    EXPECT_TRUE(d.wait_log(" WRN vornd group vorn-no-such-group not found — socket left with default group"));
    EXPECT_TRUE(d.wait_log("(mode 0600 group vorn-no-such-group)"));
    struct stat st;
    ASSERT_EQ(stat(d.socket_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_TRUE(pong(ping_reply(d)));
}

TEST(Lifecycle, DescriptorsAreCloseOnExec) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    unique_fd c = d.connect();  // its daemon end stays open while we look
    ASSERT_TRUE(c);
    ASSERT_EQ(roundtrip(c.get(), R"({"id":"p","op":"ping"})"), R"({"id":"p","ok":true,"result":{"pong":true}})");

    const std::string proc = "/proc/" + std::to_string(d.pid());
    DIR* dir = opendir((proc + "/fd").c_str());
    ASSERT_NE(dir, nullptr);
    int sockets = 0;
    while (struct dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.' || atoi(e->d_name) <= 2) continue;
        char target[256] = {};
        if (readlink((proc + "/fd/" + e->d_name).c_str(), target, sizeof target - 1) < 0) continue;
        std::string info = read_text(proc + "/fdinfo/" + e->d_name);
        size_t at = info.find("flags:");
        if (at == std::string::npos) continue;  // closed while we looked
        long flags = strtol(info.c_str() + at + 6, nullptr, 8);
        EXPECT_TRUE(flags & O_CLOEXEC) << "fd " << e->d_name << " -> " << target;
        if (strncmp(target, "socket:", 7) == 0) sockets++;
    }
    closedir(dir);
    EXPECT_GE(sockets, 2) << "the listening socket and our connection";
}
