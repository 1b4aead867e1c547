// jobs — the fixed table of 256 job slots: ids, child pids, cancel flags and PTY sessions.
//
// A slot moves through four states, and only along these edges (job_transition):
//   free → claimed      job_alloc
//   claimed → free      job_release
//   claimed → running   job_pty_start: the slot has become a PTY session
//   running → ending    job_pty_close begins (one close only: a second finds it ending)
//   ending → free       job_pty_close has torn the session down
// Dispatch claims a streaming request's slot once its arguments have passed, hands the
// slot's cancel token (job_token) to the run, and gives it back with job_release on every
// path; the slot stays claimed while its child runs. A slot that became a session is no longer the request's:
// job_release leaves it alone, and only job_pty_close (or the stop sequence, which closes
// every session) frees it. Slots never move, so a job_t* stays valid; it is reused only after
// it is free again.
// Threads: any thread. g_jobs_mu, the table lock, guards each slot's state, owner and session
// pointer writes, and the scans; `pid` and `cancel` are atomics because the runner stores and
// polls them while other threads read or raise them. Lock order: the table lock before a
// session's rmu, never the other way round.
// PTY sessions (pty_session.h) live in slots of this table.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>

#include "base/caller.h"
#include "base/cancel.h"
#include "base/locks.h"
#include "wire/reply.h"

constexpr int JOB_SLOTS = 256;
constexpr int JOB_ID_BYTES = 17;

// The table lock. Only the jobs module takes it; it is declared here so that the fields it
// guards can say so.
extern mutex_t g_jobs_mu;

enum class job_state_t { free, claimed, running, ending };

struct pty_session_t;  // pty_session.h

struct job_s {
    // 16 hex digits; empty when free. Written under the table lock on claim and on free; in
    // between nobody writes it, so the slot's holder reads it without the lock.
    char id[JOB_ID_BYTES] = {};
    std::atomic<pid_t> pid{0};   // the job's child; 0 until started
    std::atomic<int> cancel{0};  // raised by job_cancel / job_pty_close
    job_state_t state GUARDED_BY(g_jobs_mu) = job_state_t::free;
    uid_t owner GUARDED_BY(g_jobs_mu) = 0;  // whose request took the slot (0 also when no caller was set)
    // The PTY session, owned by the slot: set under the table lock while the slot is claimed,
    // before it runs, and cleared under it once the session has ended (no tailer left, reader
    // joined). Those who hold the session (its reader, a tailer) read it without the lock: it
    // cannot change while they hold it.
    pty_session_t* session = nullptr;
};
using job_t = job_s;

extern job_t g_jobs[JOB_SLOTS];

// Moves `job` from `from` to `to` when the slot is in `from` and the edge is one of those
// above; false (nothing changed) otherwise.
bool job_transition(job_t* job, job_state_t from, job_state_t to) REQUIRES(g_jobs_mu);

// The lowest free slot, cleared and claimed, with a fresh id and this thread's caller as its
// owner; null when all 256 are taken. The id is also kept as this thread's last claimed job.
job_t* job_alloc() EXCLUDES(g_jobs_mu);
// The id of the last job job_alloc gave this thread since job_claim_reset ("" when none): how
// the audit line of a request learns the job it started, whatever became of the slot since.
const char* job_last_claimed();
void job_claim_reset();
// The owner of the live job with this id: 0, or -1 when there is none.
int job_owner(const char* id, uid_t* owner) EXCLUDES(g_jobs_mu);
// Gives a claimed slot back. A slot that became a session, or one already free, is left as it
// is. Null does nothing.
void job_release(job_t* job) EXCLUDES(g_jobs_mu);
// The stream context of a request whose job is `job` (null: a stream without a job id).
op_emit_t job_emit(int fd, const char* req_id, job_t* job);
// The cancel token of a run under `job`: its cancel flag, its pid published for job_cancel
// and the daemon's stop, and `watch_fd` watched for hang-up. Null job: only the watch.
cancel_token_t job_token(job_t* job, int watch_fd);
// Raises the cancel flag of the job with this id and sends its child SIGTERM (a runner
// child's whole process group).
// 0 when such a job exists (with or without a child), -1 when none does, JOB_CANCEL_DENIED
// (nothing done) when it belongs to another uid and this thread's caller is not root and has
// no control class (`has_control`).
constexpr int JOB_CANCEL_DENIED = -2;
int job_cancel(const char* id, bool has_control = true) EXCLUDES(g_jobs_mu);
// Clears the job's pid under the table lock. Called right before its child is reaped: every
// signal sent by number goes out under that lock, so none reaches a process reusing it.
// Null does nothing.
void job_forget_pid(job_t* job) EXCLUDES(g_jobs_mu);
// At shutdown: raises every runner job's cancel flag, SIGTERM to each one's process group,
// then SIGKILL 200 ms later.
void jobs_kill_all_nonpty() EXCLUDES(g_jobs_mu);
// At shutdown: cancels every PTY session, as pty_session.h describes.
void jobs_kill_all_ptys() EXCLUDES(g_jobs_mu);
