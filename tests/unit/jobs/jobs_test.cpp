// The job table: slots, ids, cancels and the shutdown sweeps. Every test gives back each slot it
// takes, so the table starts empty for the next one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fake_session.h"
#include "jobs/jobs.h"

namespace {

// A child that waits for a signal, in process group `pgid` (0: a group of its own, as every
// runner child leads); only async-signal-safe calls after the fork. Both sides set the group,
// so it is in place whichever runs first.
pid_t spawn_sleeper(pid_t pgid = 0) {
    pid_t pid = fork();
    if (pid == 0) setpgid(0, pgid);
    while (pid == 0) pause();
    if (pid > 0) setpgid(pid, pgid ? pgid : pid);
    return pid;
}

// The signal that ended `pid`, 0 if it exited normally, -1 if it is still running after
// `wait_ms` (then killed and reaped, so that no test waits for ever).
int reap_signal(pid_t pid, int wait_ms = 5000) {
    int st = 0;
    pid_t r;
    for (int waited = 0;; waited += 10) {
        do r = waitpid(pid, &st, WNOHANG);
        while (r < 0 && errno == EINTR);
        if (r != 0 || waited >= wait_ms) break;
        usleep(10000);
    }
    if (r == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &st, 0);
        return -1;
    }
    return WIFSIGNALED(st) ? WTERMSIG(st) : 0;
}

}  // namespace

TEST(JobTable, ExhaustionAtCapacityThenLowestFreeSlotWithFreshState) {
    std::vector<job_t*> taken;
    for (int i = 0; i < JOB_SLOTS; i++) {
        job_t* j = job_alloc();
        ASSERT_NE(j, nullptr) << i;
        EXPECT_EQ(j, &g_jobs[i]);
        EXPECT_EQ(strlen(j->id), 16u);
        taken.push_back(j);
    }
    EXPECT_EQ(job_alloc(), nullptr);

    // Freed as 100, 3, 200, slots come back lowest first with a new id and none of their state.
    job_t* mid = taken[100];
    std::string old_id = mid->id;
    mid->pid = 4242;
    mid->cancel = 1;
    for (int i : {100, 3, 200}) job_release(taken[i]);
    job_release(nullptr);
    EXPECT_EQ(mid->id[0], '\0');
    EXPECT_EQ(job_alloc(), taken[3]);
    ASSERT_EQ(job_alloc(), mid);
    EXPECT_NE(std::string(mid->id), old_id);
    EXPECT_TRUE(mid->pid.load() == 0 && mid->cancel.load() == 0 && !mid->session);
    job_release(taken[50]);
    EXPECT_EQ(job_alloc(), taken[50]);
    EXPECT_EQ(job_alloc(), taken[200]);
    EXPECT_EQ(job_alloc(), nullptr);
    for (job_t* j : taken) job_release(j);
}

TEST(JobTable, CancelMatchesTheWholeIdRaisesTheFlagAndSignalsTheChild) {
    job_t* j = job_alloc();
    ASSERT_NE(j, nullptr);
    std::string id = j->id;
    // Only the whole id matches; free slots hold empty ids but never match.
    for (const std::string& bad : {id.substr(0, 15), id + "0", std::string()})
        EXPECT_EQ(job_cancel(bad.c_str()), -1) << bad;
    EXPECT_EQ(job_cancel(id.c_str()), 0);  // without a child only the flag goes up
    EXPECT_TRUE(j->cancel.load() == 1 && j->pid.load() == 0);
    pid_t child = spawn_sleeper();
    ASSERT_GT(child, 0);
    pid_t member = spawn_sleeper(child);  // a background program of the job
    ASSERT_GT(member, 0);
    j->pid = child;
    EXPECT_EQ(job_cancel(id.c_str()), 0);
    EXPECT_EQ(reap_signal(child), SIGTERM);
    EXPECT_EQ(reap_signal(member), SIGTERM);
    job_release(j);
    EXPECT_EQ(job_cancel(id.c_str()), -1);  // a released id is gone
}

TEST(JobTable, ShutdownSignalsOnlyTheMatchingKind) {
    job_t* plain = job_alloc();
    job_t* pty = job_alloc();
    ASSERT_TRUE(plain && pty);
    pid_t plain_child = spawn_sleeper(), pty_child = spawn_sleeper();
    ASSERT_TRUE(plain_child > 0 && pty_child > 0);
    pid_t member = spawn_sleeper(plain_child);
    ASSERT_GT(member, 0);
    plain->pid = plain_child;
    fake_session_t session(pty, pty_child);
    jobs_kill_all_nonpty();
    EXPECT_EQ(reap_signal(plain_child), SIGTERM);
    EXPECT_EQ(reap_signal(member), SIGTERM);
    EXPECT_EQ(plain->cancel.load(), 1) << "its runner goes on stopping the group";
    int st = 0;
    EXPECT_EQ(waitpid(pty_child, &st, WNOHANG), 0) << "a PTY shell must survive the non-PTY sweep";
    jobs_kill_all_ptys();
    EXPECT_EQ(reap_signal(pty_child), SIGHUP);
    job_release(plain);
}

// Every pair of states, allowed or refused; a refused move, or one from a state the slot is
// not in, changes nothing.
TEST(JobTable, StatesMoveOnlyAlongTheSlotsLife) {
    using S = job_state_t;
    const S all[] = {S::free, S::claimed, S::running, S::ending};
    const std::set<std::pair<S, S>> allowed = {{S::free, S::claimed},
                                               {S::claimed, S::free},
                                               {S::claimed, S::running},
                                               {S::running, S::ending},
                                               {S::ending, S::free}};
    job_t j;
    lock_guard_t lock(g_jobs_mu);
    for (int f = 0; f < 4; f++)
        for (S to : all) {
            const S from = all[f], elsewhere = all[(f + 1) % 4];
            const bool ok = allowed.count({from, to}) == 1;
            j.state = elsewhere;
            EXPECT_FALSE(job_transition(&j, from, to));
            j.state = from;
            EXPECT_EQ(job_transition(&j, from, to), ok) << f << "->" << static_cast<int>(to);
            EXPECT_EQ(j.state, ok ? to : from);
        }
}
