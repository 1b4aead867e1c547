// Stopping the daemon's own children of one name, as the /proc readers find them.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "proc/procfs.h"
#include "proc/runner_helpers.h"

TEST(ExecKillOwnChildren, SignalsOnlyDirectChildrenOfThatName) {
    pid_t direct = fork();
    if (direct == 0) {
        execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
        _exit(127);
    }
    // A process of the same name, through a shell that reports its pid and exits: not our child.
    run_t out = sh("sleep 30 >/dev/null 2>&1 & echo $!");
    ASSERT_FALSE(out.lines.empty());
    pid_t grandchild = atoi(out.lines[0].second.c_str());
    ASSERT_GT(grandchild, 1);

    // Let the direct child reach its exec, so its command name is the program's.
    std::string comm;
    for (int i = 0; i < 100 && comm != "sleep"; i++, std::this_thread::sleep_for(std::chrono::milliseconds(10)))
        std::ifstream("/proc/" + std::to_string(direct) + "/comm") >> comm;
    exec_kill_own_children_named("sleep");
    int st = 0;
    ASSERT_EQ(waitpid(direct, &st, 0), direct);
    EXPECT_TRUE(WIFSIGNALED(st));
    EXPECT_EQ(kill(grandchild, 0), 0) << "a process whose parent is not us was signalled";
    kill(grandchild, SIGKILL);
}
