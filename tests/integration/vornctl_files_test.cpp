// vornctl cat, ls and tail against a running daemon.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host_util.h"

namespace {

struct CtlRun {
    int status = -1;
    std::string out;
};

// Runs vornctl with `words` after the socket option; stdout is collected, stderr dropped.
CtlRun run_ctl(const TestDaemon& d, std::vector<std::string> words) {
    words.insert(words.begin(), {VORNCTL_BIN, "-s", d.socket_path()});
    int p[2];
    CtlRun r;
    if (pipe2(p, O_CLOEXEC) != 0) return r;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(p[1], 1);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        std::vector<char*> argv;
        for (auto& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(p[1]);
    char buf[4096];
    for (ssize_t n; (n = read(p[0], buf, sizeof buf)) > 0;) r.out.append(buf, static_cast<size_t>(n));
    close(p[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

}  // namespace

TEST(VornctlFiles, CatPrintsTheDataRaw) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    std::string p = d.dir() + "/f.txt";
    ASSERT_TRUE(write_file(p, "a\tb\n\"q\" \\ \xc3\xa9\n"));
    CtlRun r = run_ctl(d, {"cat", p});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "a\tb\n\"q\" \\ \xc3\xa9\n");
    r = run_ctl(d, {"cat", p, "max_bytes=3"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(run_ctl(d, {"cat", d.dir() + "/missing"}).status, 1);
    EXPECT_EQ(run_ctl(d, {"cat"}).status, 2);
}

TEST(VornctlFiles, LsListsSizesAndMarksDirectories) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    std::string dir = d.dir() + "/d";
    ASSERT_TRUE(write_file(dir + "/abc", "123"));
    mkdir((dir + "/sub").c_str(), 0755);
    ASSERT_EQ(symlink("/nonexistent", (dir + "/dangling").c_str()), 0);
    CtlRun r = run_ctl(d, {"ls", dir});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("           3  abc\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  sub/\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("          -1  dangling\n"), std::string::npos) << r.out;
    EXPECT_EQ(run_ctl(d, {"ls", d.dir() + "/none"}).status, 1);
}

TEST(VornctlFiles, TailPrintsLinesUntilInterrupted) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    char tmpl[] = "/tmp/vornd-ctl-tail-XXXXXX";
    int lf = mkstemp(tmpl);
    ASSERT_GE(lf, 0);
    std::string log = tmpl;
    ASSERT_EQ(write(lf, "one\ntwo \"2\"\n", 12), 12);
    close(lf);

    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(p[1], 1);
        execl(VORNCTL_BIN, VORNCTL_BIN, "-s", d.socket_path().c_str(), "tail", log.c_str(), "lines=5", nullptr);
        _exit(127);
    }
    close(p[1]);
    std::string out;
    char buf[256];
    struct pollfd pf = {p[0], POLLIN, 0};
    while (out.size() < 12 && poll(&pf, 1, 5000) == 1) {
        ssize_t n = read(p[0], buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(out, "one\ntwo \"2\"\n");
    kill(pid, SIGINT);  // vornctl cancels the job and waits for the last event
    int st = 0;
    for (int waited = 0; waited < 5000 && waitpid(pid, &st, WNOHANG) == 0; waited += 10) usleep(10000);
    EXPECT_TRUE(WIFEXITED(st)) << "vornctl tail did not end after Ctrl-C";
    if (!WIFEXITED(st)) {
        kill(pid, SIGKILL);
        waitpid(pid, &st, 0);
    }
    close(p[0]);
    unlink(log.c_str());
}
