// vornctl cat, ls and tail against a running daemon.

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"
#include "spawn.h"

namespace {

class VornctlFiles : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(d.start()); }
    std::vector<std::string> argv(std::vector<std::string> words) const {
        words.insert(words.begin(), {VORNCTL_BIN, "-s", d.socket_path()});
        return words;
    }
    run_result_t ctl(std::vector<std::string> words) const { return run_program(argv(std::move(words))); }

    TestDaemon d;
};

}  // namespace

TEST_F(VornctlFiles, CatPrintsTheDataRaw) {
    const std::string p = d.dir() + "/f.txt", text = "a\tb\n\"q\" \\ \xc3\xa9\n";
    ASSERT_TRUE(write_file(p, text));
    run_result_t r = ctl({"cat", p});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, text);
    r = ctl({"cat", p, "max_bytes=3"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(ctl({"cat", d.dir() + "/missing"}).status, 1);
    EXPECT_EQ(ctl({"cat"}).status, 2);
}

TEST_F(VornctlFiles, LsListsSizesAndMarksDirectories) {
    const std::string dir = d.dir() + "/d";
    ASSERT_TRUE(write_file(dir + "/abc", "123"));
    mkdir((dir + "/sub").c_str(), 0755);
    ASSERT_EQ(symlink("/nonexistent", (dir + "/dangling").c_str()), 0);
    run_result_t r = ctl({"ls", dir});
    EXPECT_EQ(r.status, 0);
    for (const char* line : {"           3  abc\n", "  sub/\n", "          -1  dangling\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << " in " << r.out;
    EXPECT_EQ(ctl({"ls", d.dir() + "/none"}).status, 1);
}

TEST_F(VornctlFiles, TailPrintsLinesUntilInterrupted) {
    const std::string log = d.dir() + "/tail.log";  // under /tmp/, an allowed log location
    ASSERT_TRUE(write_file(log, "one\ntwo \"2\"\n"));
    spawned_t s = spawn_program(argv({"tail", log, "lines=5"}));
    ASSERT_GT(s.pid, 0);
    std::string out;
    char buf[256];
    struct pollfd pf = {s.out.get(), POLLIN, 0};
    for (ssize_t n = 1; out.size() < 12 && n > 0 && poll(&pf, 1, 5000) == 1;)
        if ((n = read(s.out.get(), buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    EXPECT_EQ(out, "one\ntwo \"2\"\n");
    kill(s.pid, SIGINT);  // vornctl cancels the job and waits for the last event
    EXPECT_GE(wait_exit(s.pid, 5000), 0) << "vornctl tail did not end after Ctrl-C";
}
