// iperf3_client, iperf3_server and iperf3_kill: the real iperf3 on 127.0.0.1, iperf3_kill in a PID
// namespace of its own (it ends every iperf3 it sees), and a fake for the exact argument vectors.

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "base/fdio.h"
#include "host_util.h"
#include "proc/tools.h"
#include "spawn.h"
#include "wire/json.h"

namespace {

// A TCP port on 127.0.0.1 that was free a moment ago.
int free_port() {
    unique_fd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return -1;
    return ntohs(a.sin_port);
}

// Runs `body` as the first process of a new PID namespace with its own /proc (all else in it ends
// with it): body's complaints (empty when all went well), or why it could not run.
std::string with_private_pids(const std::function<std::string()>& body) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return "pipe";
    pid_t child = fork();
    if (child == 0) {
        std::string out = enter_private_mount_ns();
        if (out.empty() && unshare(CLONE_NEWPID) != 0) out = "unshare(CLONE_NEWPID) failed";
        pid_t init = out.empty() ? fork() : -1;
        if (init > 0) _exit(waitpid(init, nullptr, 0) == init ? 0 : 1);  // the first process reports
        if (init == 0) out = mount("proc", "/proc", "proc", 0, nullptr) == 0 ? body() : "mounting /proc failed";
        else if (out.empty()) out = "fork failed";
        (void)!write(p[1], out.data(), out.size());
        _exit(0);
    }
    close(p[1]);
    unique_fd r(p[0]);
    std::string out = child > 0 ? read_to_end(r.get(), 120000) : "fork failed";
    if (child > 0) wait_exit(child, 10000);
    return out;
}

}  // namespace

TEST(IperfReal, ServerLinesArriveLiveAndTheClientReportWhole) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    int port = free_port();
    ASSERT_GT(port, 0);
    const std::string p = std::to_string(port);
    StreamReader srv(d, req("iperf3_server", R"({"port":)" + p + R"(,"one_off":true})"));
    std::string f = srv.next(5000);
    if (has(f, "iperf3 not found")) GTEST_SKIP() << "iperf3 is not installed";
    while (!f.empty() && !has(f, "Server listening")) f = srv.next(5000);
    ASSERT_FALSE(f.empty());

    StreamReader cli(d, req("iperf3_client", R"({"host":"127.0.0.1","port":)" + p + R"(,"time":4})"));
    // The first interval row comes while the client still runs (its report is all it sends).
    while (!(f = srv.next(5000)).empty() && !has(f, "0.00-1.00")) {
    }
    ASSERT_FALSE(f.empty());
    EXPECT_TRUE(has(json_member(f, "data"), R"({"type":"line","stream":1,"text":"[  5])")) << f;
    EXPECT_EQ(cli.next(0), "");
    EXPECT_EQ(json_event(srv.until_end(10000).back()), "done");

    std::vector<std::string> frames = cli.until_end(15000);
    ASSERT_EQ(frames.size(), 2u);
    std::string doc = json_member(frames[0], "data");
    EXPECT_TRUE(doc.rfind("{\n", 0) == 0 && json_is_one_value(doc) && has(doc, "\"sum_received\"")) << frames[0];
    EXPECT_TRUE(has(frames[1], R"("event":"done","ok":true,"exit_code":0)")) << frames[1];
}

TEST(IperfReal, KillEndsTheToolsProcessesOnly) {
    // Copies of sleep named like the tool, started in the same PID namespace as the daemon.
    std::string problems = with_private_pids([]() -> std::string {
        TestDaemon d;
        if (!d.start()) return "daemon did not start";
        std::string why;
        auto expect = [&](const std::string& got, const std::string& want) {
            if (got != want) why += "got " + got + " want " + want + "\n";
        };
        expect(d.call(req("iperf3_kill", "{}")), ok(R"({"killed":0})"));
        std::vector<pid_t> fakes;
        for (const char* name : {"iperf3-extra", "iperf3x"}) {
            std::string copy = d.dir() + "/" + name;
            std::filesystem::copy_file("/bin/sleep", copy);  // with its mode
            fakes.push_back(spawn_program({copy, "60"}).pid);
            const std::string comm = "/proc/" + std::to_string(fakes.back()) +
                                     "/comm";  // this program's until the exec
            if (!eventually([&] { return read_text(comm) == std::string(name) + "\n"; }))
                return "the copy named " + std::string(name) + " did not start";
        }
        StreamReader srv(d, req("iperf3_server", R"({"port":)" + std::to_string(free_port()) + "}"));
        std::string f;
        while (!(f = srv.next(5000)).empty() && !has(f, "Server listening")) {
        }
        if (f.empty()) return why + "the server did not start";
        expect(d.call(req("iperf3_kill", "{}")), ok(R"({"killed":2})"));
        expect(json_event(srv.until_end(5000).back()), "done");
        expect(std::to_string(wait_exit(fakes[0], 5000)), "-1");  // ended by a signal
        expect(std::to_string(kill(fakes[1], 0)), "0");           // still alive, until the namespace ends
        return why;
    });
    if (has(problems, "needs root") || has(problems, "unshare")) GTEST_SKIP() << problems;
    EXPECT_EQ(problems, "");
}

TEST_F(FakeToolsTest, IperfArgumentVectorsAndRefusals) {
    fake_in_install_root("iperf3");
    ASSERT_TRUE(d.start());
    using argv_t = std::vector<std::string>;
    const struct {
        const char* op;
        const char* args;
        argv_t want;
    } cases[] = {
        {"iperf3_client",
         R"({"host":"10.0.0.9"})",
         {"-c", "10.0.0.9", "-p", "5201", "-t", "10", "-P", "1", "-i", "1", "-J", "--forceflush"}},
        {"iperf3_client",
         R"({"host":"nas","port":7,"time":3,"parallel":4,"udp":true,"reverse":true,"json":false,"bandwidth":"2G"})",
         {"-c", "nas", "-p", "7", "-t", "3", "-P", "4", "-i", "1", "-u", "-R", "-b", "2G", "--forceflush"}},
        {"iperf3_server", "{}", {"-s", "-p", "5201", "--forceflush"}},
        {"iperf3_server",
         R"({"port":6000,"one_off":true,"json":true})",
         {"-s", "-p", "6000", "-1", "-J", "--forceflush"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> frames = StreamReader(d, req(c.op, c.args)).until_end();
        EXPECT_EQ(recorded_argv(rec("iperf3")), c.want) << c.args;
        EXPECT_TRUE(has(frames.back(), R"("event":"done","job_id")") && has(frames.back(), R"("exit_code":0})"))
            << c.args;
    }
    unlink(rec("iperf3").c_str());
    EXPECT_EQ(d.call(req("iperf3_client", "{}")), err("EREQ", "host required"));
    EXPECT_EQ(d.call(req("iperf3_client", R"({"host":")" + std::string(128, 'h') + "\"}")),
              err("EBADREQ", "host too long"));
    for (const char* bw : {"lots", "1.5G", "10MM", "-1", "1234567890123456"})
        EXPECT_EQ(d.call(req("iperf3_client", R"({"host":"nas","bandwidth":")" + std::string(bw) + "\"}")),
                  err("EREQ", "invalid bandwidth (bits per second: digits and K, M or G)"))
            << bw;
    EXPECT_TRUE(recorded_argv(rec("iperf3")).empty());

    ASSERT_EQ(unlink(("/opt/vorn/bin/iperf3-" + std::string(binfind_arch())).c_str()), 0);
    disable({"/usr/bin/iperf3", "/usr/local/bin/iperf3"});
    for (const char* op : {"iperf3_client", "iperf3_server"})
        EXPECT_EQ(d.call(req(op, R"({"host":"x"})")), err("ENOENT", "iperf3 not found")) << op;
}
