// jobs — the fixed table of 256 job slots: ids, child pids, cancel flags and PTY sessions.
//
// A slot is free (in_use 0, empty id) or taken. A streaming operation takes one with
// job_alloc, hands it to the runner, and gives it back with job_release on every path; PTY
// sessions are the exception and return only through job_pty_close. Slots never move, so a
// job_t* stays valid; it is reused only after release.
// Threads: any thread. The table mutex (private) guards in_use, id, is_pty, closing,
// master_fd, rows, cols and the scans; `pid` and `cancel` are atomics because the runner
// stores/polls them while other threads read/raise them. Lock order: table mutex before a
// session's rmu, never the other way round.
// PTY sessions (pty_session.h) live in slots of this table.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "base/caller.h"
#include "base/cancel.h"
#include "wire/reply.h"

constexpr int JOB_SLOTS = 256;

// One stream tailing a session: its next stream offset, linked into the session while it
// tails so that the reader thread knows how far behind the slowest tailer is. It belongs to
// the tailing stream; the session reads and moves it under its rmu.
struct pty_tail_t {
    unsigned long long off = 0;
    pty_tail_t* prev = nullptr;
    pty_tail_t* next = nullptr;
};
constexpr int JOB_ID_BYTES = 17;

struct job_s {
    char id[JOB_ID_BYTES];       // 16 hex digits; empty when free
    std::atomic<pid_t> pid{0};   // the job's child; 0 until started
    std::atomic<int> cancel{0};  // raised by job_cancel / job_pty_close
    int in_use = 0;
    uid_t owner = 0;     // whose request took the slot (0 also when no caller was set)
    int master_fd = -1;  // PTY master; -1 for other jobs
    int is_pty = 0;
    int closing = 0;

    // PTY sessions only.
    int rows = 0;
    int cols = 0;
    char tty[64] = {};
    long created = 0;
    unsigned char* ring = nullptr;  // owned by the slot
    size_t ring_cap = 0;
    size_t ring_len = 0;
    unsigned long long ring_total = 0;
    std::atomic<int> child_exited{0};  // written under rmu; the list reads it lock-free
    int exit_code = 0;                 // the shell's exit status, or minus the signal that killed it
    int reader_started = 0;
    pthread_t reader{};
    int tailers = 0;
    pty_tail_t* tails = nullptr;      // the attached tailers, `tailers` of them
    bool held = false;                // the reader waits for the slowest tailer
    bool closed = false;              // a close has begun: every tail ends at once
    std::mutex rmu;                   // guards ring*, exit_code, tailers, tails, held, closed
    std::condition_variable rcv;      // new output, child exit, tailer release, close
    std::condition_variable room_cv;  // for a held reader: a tailer caught up or left, close
};
using job_t = job_s;

extern job_t g_jobs[JOB_SLOTS];

// The lowest free slot, cleared, with a fresh id and this thread's caller as its owner; null
// when all 256 are taken. The id is also kept as this thread's last claimed job.
job_t* job_alloc();
// The id of the last job job_alloc gave this thread since job_claim_reset ("" when none): how
// the audit line of a request learns the job it started, whatever became of the slot since.
const char* job_last_claimed();
void job_claim_reset();
// The owner of the live job with this id: 0, or -1 when there is none.
int job_owner(const char* id, uid_t* owner);
// Gives a non-PTY slot back. Null does nothing.
void job_release(job_t* job);
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
int job_cancel(const char* id, bool has_control = true);
// Clears the job's pid under the table lock. Called right before its child is reaped: every
// signal sent by number goes out under that lock, so none reaches a process reusing it.
// Null does nothing.
void job_forget_pid(job_t* job);
// At shutdown: raises every runner job's cancel flag, SIGTERM to each one's process group,
// then SIGKILL 200 ms later.
void jobs_kill_all_nonpty();
// At shutdown: cancels every PTY session, as pty_session.h describes.
void jobs_kill_all_ptys();
