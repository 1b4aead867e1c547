// child_status — waiting for a child of this process and reading how it ended, with the one
// exit-status convention of the daemon.
//
// The convention: `exit_code` is 0..255 when the child exited and -1 when a signal killed it,
// that signal then being `term_signal` (0 otherwise). Runner children and PTY shells are
// recorded so; only a session's exit chunk folds the two into one number (pty_session.h).
// Threads: any thread may wait for a child it owns. Errors: as each function says.
#pragma once

#include <sys/types.h>

struct child_status_t {
    int exit_code = 0;
    int term_signal = 0;
};

// How a child ended, from the status waitpid stored.
child_status_t child_status_of(int wait_status);
// Reaps `pid` (blocking), retrying on EINTR. Returns `pid`, or -1 with errno.
pid_t child_reap(pid_t pid, int* wait_status);
// Waits until `pid` has ended without reaping it, retrying on EINTR: its number stays ours
// until child_reap. 0, or -1 with errno (no such child).
int child_wait_ended(pid_t pid);
// True once `pid` has ended (left a zombie, its number still ours), or is no child to wait
// for at all; false while it runs. Does not block.
bool child_ended(pid_t pid);
