// pty_session — interactive shells kept in slots of the job table.
//
// A slot that became a session (state running, then ending) owns a pty_session_t: the
// pseudo-terminal master, a ring of the shell's latest output with 64-bit stream offsets, and
// a reader thread that fills the ring and reaps the shell. A session is torn down only by
// job_pty_close, once every tailer has left and the reader has been joined. Once the shell is
// reaped its `pid` is cleared, so no later signal can reach an unrelated process that reuses
// the number.
// Output is never lost to a tailer: while any is attached, the reader stops reading the
// terminal when the slowest one is a ring's worth behind (the shell then waits in its write,
// as on any slow terminal) and resumes once it has caught up half a ring; input, resize and
// close never wait for it. With no tailer the ring overwrites its oldest bytes.
// Threads: any thread; lock order as in jobs.h (the table lock before a session's rmu).
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>

#include "base/child_status.h"
#include "base/locks.h"
#include "jobs/jobs.h"

// One stream tailing a session: its next stream offset, linked into the session while it
// tails so that the reader thread knows how far behind the slowest tailer is. It belongs to
// the tailing stream; the session reads and moves it under its rmu.
struct pty_tail_t {
    unsigned long long off = 0;
    pty_tail_t* prev = nullptr;
    pty_tail_t* next = nullptr;
};

constexpr size_t PTY_TTY_PATH_BYTES = 64;

// The session of a slot. What is fixed when it is made needs no lock; the window and the
// master are the table's, the ring and the tailers the session's own rmu.
struct pty_session_t {
    // A session of `job` on `master_fd` for shell `shell`; `ring` is null when its
    // `ring_cap` bytes could not be had. Not yet started: job_pty_start does that.
    pty_session_t(job_t* job, int master_fd, pid_t shell, int rows, int cols, const char* tty, size_t ring_cap);

    job_t* const job;  // the slot: the shell's pid and the cancel flag
    const pid_t shell;
    const long created;  // wall-clock seconds
    const size_t ring_cap;
    char tty[PTY_TTY_PATH_BYTES] = {};  // at most 63 characters; fixed before the slot runs

    int master_fd GUARDED_BY(g_jobs_mu);  // -1 once the close has closed it
    int rows GUARDED_BY(g_jobs_mu);
    int cols GUARDED_BY(g_jobs_mu);

    mutex_t rmu;
    // Its bytes are guarded by rmu; the pointer itself never changes.
    const std::unique_ptr<unsigned char[]> ring;
    size_t ring_len GUARDED_BY(rmu) = 0;
    unsigned long long ring_total GUARDED_BY(rmu) = 0;
    std::atomic<int> child_exited{0};       // written under rmu; the list and writers read it without
    child_status_t status GUARDED_BY(rmu);  // how the shell ended, once child_exited
    int tailers GUARDED_BY(rmu) = 0;
    pty_tail_t* tails GUARDED_BY(rmu) = nullptr;  // the attached tailers, `tailers` of them
    bool held GUARDED_BY(rmu) = false;            // the reader waits for the slowest tailer
    bool closed GUARDED_BY(rmu) = false;          // a close has begun: every tail ends at once
    std::condition_variable rcv;                  // new output, child exit, tailer release, close
    std::condition_variable room_cv;              // for a held reader: a tailer caught up or left, close

    // Created by job_pty_start and joined by the one close that moves the slot to ending;
    // nobody else touches them.
    pthread_t reader{};
    bool reader_started = false;
};

constexpr size_t PTY_RING_BYTES = 524288;
// A write to a terminal whose input queue stays full this long fails instead of hanging.
constexpr int PTY_WRITE_STALL_MS = 2000;

// Turns the claimed slot `job` into a session (claimed → running) on `master_fd` (which the
// session then owns; it is made non-blocking) for shell `pid`, with a ring of `ring_cap`
// bytes, and starts its reader thread. The session starts with one tailer, the caller's
// stream `creator` (from offset 0), so a close cannot tear it down before the caller has
// tailed it; the caller ends with job_pty_tail_release. 0, or -1 when `job` is null or not
// claimed, `creator` is null, the ring cannot be allocated or the thread cannot be created
// (the slot then stays claimed, and the caller still owns the shell and the master).
int job_pty_start(job_t* job, int master_fd, pid_t pid, int rows, int cols, const char* tty, size_t ring_cap,
                  pty_tail_t* creator) EXCLUDES(g_jobs_mu);
// The live (running) session with this id, with `tail` (its offset set by the caller)
// attached as one more tailer; or null.
job_t* job_pty_acquire(const char* id, pty_tail_t* tail) EXCLUDES(g_jobs_mu);
// Detaches `tail` and lowers the tailer count (not below 0), waking waiters. Null job does
// nothing.
void job_pty_tail_release(job_t* job, pty_tail_t* tail);
// Copies output from the tail's offset (moved forward to the oldest byte still held when
// it fell behind while no tailer held the reader back) into buf, advancing the offset.
// Waits for output at or beyond it: for ever when `wait_ms` is negative, else at most
// `wait_ms`. Returns the count (> 0, also in *n); 0 when the shell has exited and all of its
// output up to the offset was read (its code in *exit_code when not null), also for a
// cancelled session once its shell has been stopped; -1 when the session is closing;
// PTY_READ_IDLE when the wait ran out with nothing new.
// The caller holds a tailer count (the tail attached, or another one).
constexpr int PTY_READ_IDLE = -2;
int job_pty_read(job_t* job, pty_tail_t* tail, unsigned char* buf, size_t cap, size_t* n, int* exit_code,
                 int wait_ms = -1);
// Writes all n bytes to the session's terminal; *written (when not null) gets the bytes the
// terminal took. 0, or one of the failures below. A stalled write is not undone: what the
// terminal took stays with it.
constexpr int PTY_WRITE_NO_SESSION = -1;  // no live (running) session with this id
constexpr int PTY_WRITE_ENDED = -2;       // its shell has exited or is being stopped
constexpr int PTY_WRITE_STALLED = -3;     // the terminal took nothing for PTY_WRITE_STALL_MS
int job_pty_write(const char* id, const unsigned char* buf, size_t n, size_t* written = nullptr) EXCLUDES(g_jobs_mu);
// Sets the terminal's window size (the low 16 bits of each). 0, or -1 (no such session,
// not a session, or the ioctl failed).
int job_pty_resize(const char* id, int rows, int cols) EXCLUDES(g_jobs_mu);
// Ends the session: stops its tailers, hangs the session up (SIGHUP to every process group in
// it, SIGKILL to the shell's group after the grace), reaps the shell, joins the reader,
// closes the master and frees the slot. Returns after all that; 0, or also 0 at once when another
// close is already under way; -1 when there is no such session.
int job_pty_close(const char* id) EXCLUDES(g_jobs_mu);
// At stop: raises the cancel flag of every session whose shell still runs and hangs the
// session up (SIGHUP to every process group in it); its reader then kills the shell's group
// after the grace. Returns at once. (Declared in jobs.h.)
// At stop, once no connection thread is left: closes every session as job_pty_close does.
void jobs_pty_close_all() EXCLUDES(g_jobs_mu);
// [{"job_id":..,"tty":..,"rows":..,"cols":..,"age":..,"exited":..},...] of the live
// sessions in slot order, strings escaped. Heap block the caller frees; null when the first
// allocation fails.
char* jobs_pty_list_json() EXCLUDES(g_jobs_mu);
