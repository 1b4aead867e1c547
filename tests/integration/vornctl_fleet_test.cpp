// vornctl on many hosts: a stand-in ssh (VORNCTL_SSH) that runs `vornctl bridge` against a
// local daemon per host name; one host down, one slow. And the bridge on its own: frame
// lengths outside 1..limit end it before the frame passes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "base/fdio.h"
#include "base/version.h"
#include "client.h"
#include "ctl_util.h"
#include "host_util.h"
#include "ns_util.h"
#include "spawn.h"

namespace {

// Hosts a and b are two daemons, slow is b after a second, down fails as ssh does.
struct Fleet {
    TestDaemon a, b;
    std::string ssh;
    bool start() {
        if (!a.start() || !b.start()) return false;
        ssh = a.dir() + "/fake-ssh";
        return write_file(ssh,
                          "#!/bin/sh\n"
                          "while [ $# -gt 0 ]; do case $1 in -o) shift 2;; -*) shift;; *) break;; esac; done\n"
                          "case $1 in\n"
                          "  a) s=" +
                              a.socket_path() +
                              ";;\n"
                              "  b) s=" +
                              b.socket_path() +
                              ";;\n"
                              "  slow) sleep 1; s=" +
                              b.socket_path() +
                              ";;\n"
                              "  *) echo \"ssh: connect to host $1 port 22: Connection refused\" >&2; exit 255;;\n"
                              "esac\n"
                              "[ \"$2 $3\" = 'vornctl bridge' ] || exit 99\n"
                              "exec " VORNCTL_BIN " bridge -s \"$s\"\n",
                          0755);
    }
    std::vector<std::string> argv(std::vector<std::string> words) const {
        words.insert(words.begin(), {"/usr/bin/env", "VORNCTL_SSH=" + ssh + " -o BatchMode=yes", VORNCTL_BIN});
        return words;
    }
};

}  // namespace

// The same request goes to every host; replies keep the hosts' order in one table or carry
// a "host" member as JSON lines; a host that cannot be reached gets one line with ssh's
// words, the others still answer, and the exit status and the summary tell.
TEST(VornctlFleet, FanOutTableAndPartialFailure) {
    Fleet f;
    ASSERT_TRUE(f.start());
    const std::string hosts_file = f.a.dir() + "/hosts";
    ASSERT_TRUE(write_file(hosts_file, "# appliances\na\n\n  b  \n"));
    const struct {
        std::vector<std::string> words;
        int status;
        std::vector<std::string> out, err;
    } cases[] = {
        {{"-H", "a,slow,down,b", "--table", "info"},
         1,
         {"HOST  version", "\na     " VORND_VERSION, "\nslow  " VORND_VERSION, "\nb     " VORND_VERSION},
         {"vornctl: down: info: ssh: connect to host down port 22: Connection refused (EUNREACH)\n",
          "vornctl: info: 3 of 4 hosts answered\n"}},
        {{"--hosts-file", hosts_file, "--json", "ping"},
         0,
         {R"({"host":"a","id":"1","ok":true,"result":{"pong":true}})", R"({"host":"b","id":"1","ok":true)"},
         {"2 of 2 hosts answered"}},
        {{"-H", "down,a", "--parallel", "1", "--json", "info"},
         1,
         {R"({"host":"down","ok":false,"code":"EUNREACH","error":"ssh: connect to host down port 22)",
          R"({"host":"a","id":"1","ok":true)"},
         {"1 of 2 hosts answered"}},
        {{"-H", "a,-oProxyCommand=x", "info"}, 2, {}, {"is no host name"}},
        {{"-H", "a", "shell"}, 2, {}, {"not for many hosts"}},
    };
    for (const auto& c : cases) {
        run_result_t r = run_program(f.argv(c.words), 60000);
        std::string what = ::testing::PrintToString(c.words) + "\n" + r.out + r.err;
        EXPECT_EQ(r.status, c.status) << what;
        for (const std::string& s : c.out) EXPECT_NE(r.out.find(s), std::string::npos) << s << " in " << what;
        for (const std::string& s : c.err) EXPECT_NE(r.err.find(s), std::string::npos) << s << " in " << what;
    }
}

// Ctrl-C cancels the job on every host through a second bridge each: every host's stream
// ends with its own last frame and the daemons' jobs are gone.
TEST(VornctlFleet, CtrlCCancelsEveryHost) {
    Fleet f;
    ASSERT_TRUE(f.start());
    const std::string log = f.a.dir() + "/tail.log";
    ASSERT_TRUE(write_file(log, "one\n"));
    spawned_t p = spawn_program(f.argv({"-H", "a,b", "--json", "log_tail", "path=" + log}));
    std::string out;
    ASSERT_TRUE(eventually([&] {
        char buf[4096];
        ssize_t n = read(p.out.get(), buf, sizeof buf);
        if (n > 0) out.append(buf, static_cast<size_t>(n));
        return out.find(R"({"host":"a","id":"1","event":"chunk")") != std::string::npos &&
               out.find(R"({"host":"b","id":"1","event":"chunk")") != std::string::npos;
    }));
    EXPECT_FALSE(children_of(f.a.pid()).empty());
    kill(p.pid, SIGINT);
    EXPECT_EQ(wait_exit(p.pid), 130);
    out += read_to_end(p.out.get());
    for (const char* host : {"a", "b"})
        EXPECT_NE(out.find(std::string(R"({"host":")") + host +
                           R"(","id":"1","event":"done","ok":true,"exit_code":-1})"),
                  std::string::npos)
            << out;
    for (const TestDaemon* d : {&f.a, &f.b}) EXPECT_TRUE(eventually([&] { return children_of(d->pid()).empty(); }));
}

// Frames pass whole in both directions; a length of 0 or above the limit from either side
// ends the bridge before the frame, with a message and a failure status.
TEST(VornctlFleet, BridgeRefusesBadFrameLengths) {
    TestDaemon d;
    const std::string sock = d.dir() + "/fake.sock";
    unique_fd fake = listen_at(sock);
    ASSERT_TRUE(fake);
    const std::string ping = R"({"id":"1","op":"ping","args":{}})", pong = R"({"id":"1","ok":true})";
    const struct {
        std::string in;       // bytes written to the bridge
        std::string replies;  // the stand-in daemon's frames ("" a zero-length one)
        std::string err;
    } cases[] = {
        {frame_header(ping.size()) + ping, pong, ""},
        {frame_header(ping.size()) + ping + frame_header(0), pong,
         "a frame of 0 bytes from the client is outside 1..1048576"},
        {frame_header(1048577), pong, "a frame of 1048577 bytes from the client"},
        {frame_header(ping.size()) + ping, "", "a frame of 0 bytes from vornd is outside 1..67108864"},
    };
    for (const auto& c : cases) {
        std::string request;
        std::thread server = serve_once(fake.get(), &request, {c.replies});
        int sv[2], ev[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        ASSERT_EQ(pipe2(ev, O_CLOEXEC), 0);
        unique_fd io(sv[0]), err(ev[0]);
        pid_t pid = fork();
        if (pid == 0) {
            if (dup2(sv[1], 0) < 0 || dup2(sv[1], 1) < 0 || dup2(ev[1], 2) < 0) _exit(126);
            execl(VORNCTL_BIN, VORNCTL_BIN, "-s", sock.c_str(), "bridge", nullptr);
            _exit(127);
        }
        close(sv[1]);
        close(ev[1]);
        ASSERT_TRUE(send_raw(io.get(), c.in));
        std::string out = read_to_end(io.get());
        EXPECT_EQ(wait_exit(pid), c.err.empty() ? 0 : 1) << c.err;
        EXPECT_NE(read_to_end(err.get()).find(c.err), std::string::npos) << c.err;
        if (c.err.empty()) {
            EXPECT_EQ(out, frame_header(pong.size()) + pong);
        }
        io.reset();
        server.join();
    }
}

// The real OpenSSH server on 127.0.0.1 with a key of the test's own: the remote command is
// `vornctl bridge`, found on the PATH the server sets, against this test's daemon. The host's
// client configuration stays out (-F /dev/null): its GSSAPI step waits on DNS, which on a machine
// without a resolver took longer than the whole test should.
TEST(VornctlFleet, RealSshServer) {
    const std::string sshd = "/usr/sbin/sshd", keygen = "/usr/bin/ssh-keygen";
    if (access(sshd.c_str(), X_OK) != 0 || access(keygen.c_str(), X_OK) != 0)
        GTEST_SKIP() << "the OpenSSH server is not installed (scripts/deps.sh test installs openssh-server)";
    std::string why = enter_private_mount_ns();
    if (!why.empty()) GTEST_SKIP() << why;
    scoped_mounts m;
    ASSERT_TRUE(m.tmpfs("/run/sshd"));  // the server's privilege separation directory
    TestDaemon d;
    ASSERT_TRUE(d.start());
    const std::string dir = d.dir();
    for (const char* key : {"/hostkey", "/id"})
        ASSERT_EQ(run_program({keygen, "-q", "-t", "ed25519", "-N", "", "-f", dir + key}).status, 0);
    ASSERT_TRUE(write_file(dir + "/authorized_keys", read_text(dir + "/id.pub")));
    ASSERT_EQ(mkdir((dir + "/bin").c_str(), 0755), 0);
    ASSERT_EQ(symlink(VORNCTL_BIN, (dir + "/bin/vornctl").c_str()), 0);
    // A free port: the kernel's choice for a socket bound and closed at once.
    unique_fd probe(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_in sin = {};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sin;
    ASSERT_EQ(bind(probe.get(), reinterpret_cast<struct sockaddr*>(&sin), sizeof sin), 0);
    ASSERT_EQ(getsockname(probe.get(), reinterpret_cast<struct sockaddr*>(&sin), &len), 0);
    const std::string port = std::to_string(ntohs(sin.sin_port));
    probe.reset();
    ASSERT_TRUE(write_file(dir + "/sshd_config",
                           "ListenAddress 127.0.0.1:" + port + "\nHostKey " + dir + "/hostkey\nAuthorizedKeysFile " +
                               dir +
                               "/authorized_keys\nPidFile none\nStrictModes no\n"
                               "PermitRootLogin prohibit-password\nPasswordAuthentication no\n"
                               "KbdInteractiveAuthentication no\nUsePAM no\nUseDNS no\nSetEnv PATH=" +
                               dir + "/bin:/usr/bin:/bin VORNCTL_SOCKET=" + d.socket_path() + "\n"));
    spawned_t server = spawn_program({sshd, "-D", "-e", "-f", dir + "/sshd_config"});
    ASSERT_TRUE(eventually([&] {
        unique_fd c(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        return connect(c.get(), reinterpret_cast<struct sockaddr*>(&sin), sizeof sin) == 0;
    })) << read_to_end(server.err.get(), 100);
    run_result_t r =
        run_program({"/usr/bin/env",
                     "VORNCTL_SSH=ssh -F /dev/null -o BatchMode=yes -p " + port + " -i " + dir +
                         "/id -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR",
                     VORNCTL_BIN, "-H", "127.0.0.1", "--json", "info"},
                    60000);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(R"({"host":"127.0.0.1","id":"1","ok":true)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"pid\":" + std::to_string(d.pid())), std::string::npos) << r.out;
    kill(server.pid, SIGTERM);
    wait_exit(server.pid);
}
