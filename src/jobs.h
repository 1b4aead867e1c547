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
// PTY sessions (jobs_pty.cpp): a slot with is_pty set owns a pseudo-terminal master, a ring
// of the shell's latest output with 64-bit stream offsets, and a reader thread that fills
// the ring and reaps the shell. A session is torn down only by job_pty_close, once every
// tailer has left and the reader has been joined. Once the shell is reaped its `pid` is
// cleared, so no later signal can reach an unrelated process that reuses the number.
// Output is never lost to a tailer: while any is attached, the reader stops reading the
// terminal when the slowest one is a ring's worth behind (the shell then waits in its
// write, as on any slow terminal) and resumes once it has caught up half a ring; input,
// resize and close never wait for it. With no tailer the ring overwrites its oldest bytes.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>

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
    int exit_code = 0;
    int reader_started = 0;
    pthread_t reader{};
    int tailers = 0;
    pty_tail_t* tails = nullptr;      // the attached tailers, `tailers` of them
    bool held = false;                // the reader waits for the slowest tailer
    std::mutex rmu;                   // guards ring*, exit_code, tailers, tails, held
    std::condition_variable rcv;      // new output, child exit, tailer release, close
    std::condition_variable room_cv;  // for a held reader: a tailer caught up or left, close
};
using job_t = job_s;

extern job_t g_jobs[JOB_SLOTS];

// The lowest free slot, cleared, with a fresh id; null when all 256 are taken.
job_t* job_alloc();
// Gives a non-PTY slot back. Null does nothing.
void job_release(job_t* job);
// Raises the cancel flag of the job with this id and sends its child SIGTERM.
// 0 when such a job exists (with or without a child), -1 when none does.
int job_cancel(const char* id);
// Clears the job's pid under the table lock. Called right before its child is reaped: every
// signal sent by number goes out under that lock, so none reaches a process reusing it.
// Null does nothing.
void job_forget_pid(job_t* job);
// At shutdown: SIGTERM (PTY shells: SIGHUP) to every child, then SIGKILL 200 ms later.
void jobs_kill_all_nonpty();
void jobs_kill_all_ptys();

// ---- PTY sessions (jobs_pty.cpp) ----

constexpr size_t PTY_RING_BYTES = 524288;
// A write to a terminal whose input queue stays full this long fails instead of hanging.
constexpr int PTY_WRITE_STALL_MS = 2000;

// Makes `job` a session on `master_fd` (which the slot then owns; it is made non-blocking)
// for shell `pid`, with a ring of `ring_cap` bytes, and starts its reader thread. The
// session starts with one tailer, the caller's stream `creator` (from offset 0), so a close
// cannot tear it down before the caller has tailed it; the caller ends with
// job_pty_tail_release. 0, or -1 when `job` or `creator` is null, the ring cannot be
// allocated or the thread cannot be created (the caller then still owns the shell and the
// master and releases the slot).
int job_pty_start(job_t* job, int master_fd, pid_t pid, int rows, int cols, const char* tty, size_t ring_cap,
                  pty_tail_t* creator);
// The live (not closing) session with this id, with `tail` (its offset set by the caller)
// attached as one more tailer; or null.
job_t* job_pty_acquire(const char* id, pty_tail_t* tail);
// Detaches `tail` and lowers the tailer count (not below 0), waking waiters. Null job does
// nothing.
void job_pty_tail_release(job_t* job, pty_tail_t* tail);
// Copies output from the tail's offset (moved forward to the oldest byte still held when
// it fell behind while no tailer held the reader back) into buf, advancing the offset.
// Waits for output at or beyond it: for ever when `wait_ms` is negative, else at most
// `wait_ms`. Returns the count (> 0, also in *n); 0 when the shell has exited and all of its
// output up to the offset was read (its code in *exit_code when not null); -1 when the
// session is cancelled or closing; PTY_READ_IDLE when the wait ran out with nothing new.
// The caller holds a tailer count (the tail attached, or another one).
constexpr int PTY_READ_IDLE = -2;
int job_pty_read(job_t* job, pty_tail_t* tail, unsigned char* buf, size_t cap, size_t* n, int* exit_code,
                 int wait_ms = -1);
// Writes all n bytes to the session's terminal. 0, or -1 (no such live session, a write
// error, or a terminal that accepted nothing for PTY_WRITE_STALL_MS).
int job_pty_write(const char* id, const unsigned char* buf, size_t n);
// Sets the terminal's window size (the low 16 bits of each). 0, or -1 (no such session,
// not a session, or the ioctl failed).
int job_pty_resize(const char* id, int rows, int cols);
// Ends the session: stops its tailers, kills and reaps the shell, joins the reader, closes
// the master and frees the slot. Returns after all that; 0, or also 0 at once when another
// close is already under way; -1 when there is no such session.
int job_pty_close(const char* id);
// At stop, once no connection thread is left: closes every session as job_pty_close does.
void jobs_pty_close_all();
// [{"job_id":..,"tty":..,"rows":..,"cols":..,"age":..,"exited":..},...] of the live
// sessions in slot order, strings escaped. Heap block the caller frees; null when the first
// allocation fails.
char* jobs_pty_list_json();
