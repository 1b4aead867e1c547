// pty_session — interactive shells kept in slots of the job table.
//
// A slot with is_pty set owns a pseudo-terminal master, a ring of the shell's latest output
// with 64-bit stream offsets, and a reader thread that fills the ring and reaps the shell. A
// session is torn down only by job_pty_close, once every tailer has left and the reader has
// been joined. Once the shell is reaped its `pid` is cleared, so no later signal can reach an
// unrelated process that reuses the number.
// Output is never lost to a tailer: while any is attached, the reader stops reading the
// terminal when the slowest one is a ring's worth behind (the shell then waits in its write,
// as on any slow terminal) and resumes once it has caught up half a ring; input, resize and
// close never wait for it. With no tailer the ring overwrites its oldest bytes.
// Threads: any thread; lock order as in jobs.h (the table lock before a session's rmu).
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "jobs/jobs.h"

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
constexpr int PTY_WRITE_NO_SESSION = -1;  // no live (not closing) session with this id
constexpr int PTY_WRITE_ENDED = -2;       // its shell has exited or is being stopped
constexpr int PTY_WRITE_STALLED = -3;     // the terminal took nothing for PTY_WRITE_STALL_MS
int job_pty_write(const char* id, const unsigned char* buf, size_t n, size_t* written = nullptr);
// Sets the terminal's window size (the low 16 bits of each). 0, or -1 (no such session,
// not a session, or the ioctl failed).
int job_pty_resize(const char* id, int rows, int cols);
// Ends the session: stops its tailers, hangs the session up (SIGHUP to every process group in
// it, SIGKILL to the shell's group after the grace), reaps the shell, joins the reader,
// closes the master and frees the slot. Returns after all that; 0, or also 0 at once when another
// close is already under way; -1 when there is no such session.
int job_pty_close(const char* id);
// At stop: raises the cancel flag of every session whose shell still runs and hangs the
// session up (SIGHUP to every process group in it); its reader then kills the shell's group
// after the grace. Returns at once. (Declared in jobs.h.)
// At stop, once no connection thread is left: closes every session as job_pty_close does.
void jobs_pty_close_all();
// [{"job_id":..,"tty":..,"rows":..,"cols":..,"age":..,"exited":..},...] of the live
// sessions in slot order, strings escaped. Heap block the caller frees; null when the first
// allocation fails.
char* jobs_pty_list_json();
