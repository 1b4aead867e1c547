#include "jobs/jobs.h"

#include <signal.h>
#include <time.h>

#include <cstring>

#include "base/clock.h"
#include "base/ids.h"
#include "jobs/jobs_internal.h"

job_t g_jobs[JOB_SLOTS];

namespace {

constexpr int SHUTDOWN_KILL_GRACE_MS = 200;

std::mutex g_mu;  // the table lock: see jobs.h for what it guards

thread_local char t_last_claimed[JOB_ID_BYTES] = "";

void clear_slot(job_t* j) {
    memset(j->id, 0, sizeof j->id);
    j->pid.store(0);
    j->cancel.store(0);
    j->in_use = 0;
    j->owner = 0;
    j->master_fd = -1;
    j->is_pty = 0;
    j->closing = 0;
    j->rows = 0;
    j->cols = 0;
    memset(j->tty, 0, sizeof j->tty);
    j->created = 0;
    j->ring = nullptr;
    j->ring_cap = 0;
    j->ring_len = 0;
    j->ring_total = 0;
    j->child_exited.store(0);
    j->exit_code = 0;
    j->reader_started = 0;
    j->reader = pthread_t{};
    j->tailers = 0;
    j->tails = nullptr;
    j->held = false;
}

// A runner child leads a process group of its own, and the group is what a job is: its
// background programs go with it. The runner clears `pid` under the table lock before it
// reaps the leader, so a number read here still names that group.
void signal_job(const job_t& j, pid_t pid, int sig) { kill(j.is_pty ? pid : -pid, sig); }

// Sends `sig` to the process group of every runner job; returns how many. The job is
// cancelled as well, so that its runner goes on stopping the group until nothing of it is
// left, a member that closed its output and ignores `sig` included. (PTY sessions are ended
// by pty_session.)
int signal_runner_jobs(int sig) {
    std::lock_guard<std::mutex> lock(g_mu);
    int sent = 0;
    for (job_t& j : g_jobs) {
        pid_t pid = j.pid.load();
        if (j.in_use && !j.is_pty && pid > 0) {
            j.cancel.store(1);
            signal_job(j, pid, sig);
            sent++;
        }
    }
    return sent;
}

}  // namespace

std::mutex& jobs_table_mu() { return g_mu; }

job_t* job_alloc() {
    std::lock_guard<std::mutex> lock(g_mu);
    for (job_t& j : g_jobs) {
        if (j.in_use) continue;
        clear_slot(&j);
        j.in_use = 1;
        const caller_t* who = caller_current();
        j.owner = who ? who->uid : 0;
        gen_id(j.id);
        memcpy(t_last_claimed, j.id, sizeof t_last_claimed);
        return &j;
    }
    return nullptr;
}

void job_release(job_t* job) {
    if (!job) return;
    std::lock_guard<std::mutex> lock(g_mu);
    job->id[0] = '\0';
    job->pid.store(0);
    job->cancel.store(0);
    job->in_use = 0;
    job->master_fd = -1;
    job->is_pty = 0;
}

op_emit_t job_emit(int fd, const char* req_id, job_t* job) { return {fd, req_id, job, job ? job->id : nullptr}; }

cancel_token_t job_token(job_t* job, int watch_fd) {
    cancel_token_t t;
    t.watch_fd = watch_fd;
    if (!job) return t;
    t.flag = &job->cancel;
    t.child = &job->pid;
    t.child_mu = &g_mu;
    return t;
}

const char* job_last_claimed() { return t_last_claimed; }

void job_claim_reset() { t_last_claimed[0] = '\0'; }

int job_owner(const char* id, uid_t* owner) {
    std::lock_guard<std::mutex> lock(g_mu);
    for (const job_t& j : g_jobs) {
        if (!j.in_use || strcmp(j.id, id) != 0) continue;
        *owner = j.owner;
        return 0;
    }
    return -1;
}

int job_cancel(const char* id, bool has_control) {
    // The signal goes out under the table lock: a PTY reader clears `pid` under the same
    // lock before it reaps the shell, so the number read here cannot belong to a new process.
    std::lock_guard<std::mutex> lock(g_mu);
    for (job_t& j : g_jobs) {
        if (!j.in_use || strcmp(j.id, id) != 0) continue;
        if (!caller_may_act_on(caller_current(), j.owner, has_control)) return JOB_CANCEL_DENIED;
        j.cancel.store(1);
        pid_t pid = j.pid.load();
        if (pid >= 1) signal_job(j, pid, SIGTERM);
        return 0;
    }
    return -1;
}

void job_forget_pid(job_t* job) {
    if (!job) return;
    std::lock_guard<std::mutex> lock(g_mu);
    job->pid.store(0);
}

void jobs_kill_all_nonpty() {
    // The grace pause is only worth waiting when someone was told to go.
    if (signal_runner_jobs(SIGTERM) == 0) return;
    sleep_ms(SHUTDOWN_KILL_GRACE_MS);
    signal_runner_jobs(SIGKILL);
}
