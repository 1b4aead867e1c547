#include "jobs/jobs.h"

#include <signal.h>
#include <time.h>

#include <cstring>

#include "base/clock.h"
#include "base/ids.h"
#include "jobs/jobs_internal.h"

mutex_t g_jobs_mu;
job_t g_jobs[JOB_SLOTS];

namespace {

constexpr int SHUTDOWN_KILL_GRACE_MS = 200;

thread_local char t_last_claimed[JOB_ID_BYTES] = "";

void clear_slot(job_t* j) REQUIRES(g_jobs_mu) {
    memset(j->id, 0, sizeof j->id);
    j->pid.store(0);
    j->cancel.store(0);
    j->owner = 0;
    j->session = nullptr;
}

// A runner child leads a process group of its own, and the group is what a job is: its
// background programs go with it. The runner clears `pid` under the table lock before it
// reaps the leader, so a number read here still names that group.
void signal_job(const job_t& j, pid_t pid, int sig) { kill(j.session ? pid : -pid, sig); }

// Sends `sig` to the process group of every runner job; returns how many. The job is
// cancelled as well, so that its runner goes on stopping the group until nothing of it is
// left, a member that closed its output and ignores `sig` included. (PTY sessions, even one
// still being started, are ended by pty_session.)
int signal_runner_jobs(int sig) EXCLUDES(g_jobs_mu) {
    lock_guard_t lock(g_jobs_mu);
    int sent = 0;
    for (job_t& j : g_jobs) {
        pid_t pid = j.pid.load();
        if (j.state == job_state_t::claimed && !j.session && pid > 0) {
            j.cancel.store(1);
            signal_job(j, pid, sig);
            sent++;
        }
    }
    return sent;
}

}  // namespace

bool job_transition(job_t* job, job_state_t from, job_state_t to) {
    using S = job_state_t;
    const bool edge = (from == S::free && to == S::claimed) || (from == S::claimed && to == S::free) ||
                      (from == S::claimed && to == S::running) || (from == S::running && to == S::ending) ||
                      (from == S::ending && to == S::free);
    if (!job || job->state != from || !edge) return false;
    job->state = to;
    return true;
}

job_t* job_live_locked(const char* id) {
    if (!id || !id[0]) return nullptr;
    for (job_t& j : g_jobs)
        if (j.state != job_state_t::free && strcmp(j.id, id) == 0) return &j;
    return nullptr;
}

void job_free_locked(job_t* job) {
    if (job_transition(job, job_state_t::claimed, job_state_t::free) ||
        job_transition(job, job_state_t::ending, job_state_t::free))
        clear_slot(job);
}

job_t* job_alloc() {
    lock_guard_t lock(g_jobs_mu);
    for (job_t& j : g_jobs) {
        if (!job_transition(&j, job_state_t::free, job_state_t::claimed)) continue;
        clear_slot(&j);
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
    lock_guard_t lock(g_jobs_mu);
    if (job_transition(job, job_state_t::claimed, job_state_t::free)) clear_slot(job);
}

op_emit_t job_emit(int fd, const char* req_id, job_t* job) { return {fd, req_id, job, job ? job->id : nullptr}; }

cancel_token_t job_token(job_t* job, int watch_fd) {
    cancel_token_t t;
    t.watch_fd = watch_fd;
    if (!job) return t;
    t.flag = &job->cancel;
    t.child = &job->pid;
    // The token's forget_child takes the table lock through the plain mutex, outside the
    // analysis: it only clears the atomic pid, which the lock orders against the signals.
    t.child_mu = &g_jobs_mu.native();
    return t;
}

const char* job_last_claimed() { return t_last_claimed; }

void job_claim_reset() { t_last_claimed[0] = '\0'; }

int job_owner(const char* id, uid_t* owner) {
    lock_guard_t lock(g_jobs_mu);
    const job_t* j = job_live_locked(id);
    if (!j) return -1;
    *owner = j->owner;
    return 0;
}

int job_cancel(const char* id, bool has_control) {
    // The signal goes out under the table lock: a PTY reader clears `pid` under the same
    // lock before it reaps the shell, so the number read here cannot belong to a new process.
    lock_guard_t lock(g_jobs_mu);
    job_t* j = job_live_locked(id);
    if (!j) return -1;
    if (!caller_may_act_on(caller_current(), j->owner, has_control)) return JOB_CANCEL_DENIED;
    j->cancel.store(1);
    pid_t pid = j->pid.load();
    if (pid >= 1) signal_job(*j, pid, SIGTERM);
    return 0;
}

void job_forget_pid(job_t* job) {
    if (!job) return;
    lock_guard_t lock(g_jobs_mu);
    job->pid.store(0);
}

void jobs_kill_all_nonpty() {
    // The grace pause is only worth waiting when someone was told to go.
    if (signal_runner_jobs(SIGTERM) == 0) return;
    sleep_ms(SHUTDOWN_KILL_GRACE_MS);
    signal_runner_jobs(SIGKILL);
}
