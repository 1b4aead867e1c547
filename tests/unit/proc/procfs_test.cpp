// Finding processes in /proc and signalling them: the daemon's own children of one name, and
// a pin that holds only the process its earlier stat describes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "proc/procfs.h"
#include "proc/runner_helpers.h"

namespace {

std::string proc_file(pid_t pid, const char* file) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A child of this test running sleep, once its command name is the program's.
pid_t sleeping_child() {
    pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 100 && proc_file(pid, "comm") != "sleep\n"; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return pid;
}

}  // namespace

TEST(ExecKillOwnChildren, SignalsOnlyDirectChildrenOfThatName) {
    pid_t direct = sleeping_child();
    // A process of the same name, through a shell that reports its pid and exits: not our child.
    run_t out = sh("sleep 30 >/dev/null 2>&1 & echo $!");
    ASSERT_FALSE(out.lines.empty());
    pid_t grandchild = atoi(out.lines[0].second.c_str());
    ASSERT_GT(grandchild, 1);

    exec_kill_own_children_named("sleep");
    int st = 0;
    ASSERT_EQ(waitpid(direct, &st, 0), direct);
    EXPECT_TRUE(WIFSIGNALED(st));
    EXPECT_EQ(kill(grandchild, 0), 0) << "a process whose parent is not us was signalled";
    kill(grandchild, SIGKILL);
}

// A name, parent or start time other than the stat read before means the number names
// another process now: no pin, so no signal.
TEST(ProcPin, OpensOnlyOnTheProcessItsStatDescribesAndSignalsThroughIt) {
    pid_t child = sleeping_child();
    proc_stat_t seen;
    ASSERT_EQ(procfs_stat(AT_FDCWD, child, &seen), 0);
    std::string stat = proc_file(child, "stat"), field;
    std::istringstream after_name(stat.substr(stat.rfind(')') + 2));
    for (int i = 3; i <= 22; i++) after_name >> field;  // the start time is field 22
    EXPECT_EQ(seen.start_ticks, std::stoull(field));
    EXPECT_STREQ(seen.comm, "sleep");
    EXPECT_EQ(seen.ppid, getpid());

    proc_stat_t later = seen, renamed = seen, moved = seen;
    later.start_ticks++;
    renamed.comm[0] = 'z';
    moved.ppid++;
    proc_pin_t pin;
    for (const proc_stat_t* other : {&later, &renamed, &moved}) {
        errno = 0;
        EXPECT_EQ(pin.open(AT_FDCWD, child, *other), -1);
        EXPECT_EQ(errno, ESRCH);
        EXPECT_EQ(pin.signal(SIGKILL), -1);
    }
    ASSERT_EQ(pin.open(AT_FDCWD, child, seen), 0);
    EXPECT_FALSE(pin.exited());
    EXPECT_EQ(pin.signal(SIGKILL), 0);
    int st = 0;
    ASSERT_EQ(waitpid(child, &st, 0), child);
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL);
    EXPECT_TRUE(pin.exited());
    errno = 0;
    EXPECT_EQ(pin.signal(0), -1);  // the pidfd outlives the process, never naming another
    EXPECT_EQ(errno, ESRCH);
}
