// spawn — the one routine that starts every child of the daemon: runner children, PTY shells
// and detached programs.
// Threads: any thread; the calling thread waits while the child sets itself up.
// Errors: as exec_spawn says.
#pragma once

#include <sys/types.h>

// How a child starts; see exec_spawn.
struct exec_child_t {
    char* const* argv = nullptr;  // null-terminated; argv[0] is the full path (no PATH search)
    char* const* envp = nullptr;  // null: the daemon's environment
    const char* cwd = nullptr;    // null or empty: the daemon's
    // A directory the child enters by descriptor (before `cwd`, which may then be relative):
    // no path is looked up again through a directory another user may change. -1: none.
    int cwd_fd = -1;
    int umask = -1;  // the child's file-creation mask; -1 keeps the daemon's
    // Descriptors that become 0, 1 and 2. -1: /dev/null for 0, the daemon's own for 1 and 2.
    int stdio[3] = {-1, -1, -1};
    bool new_session = false;  // the child leads a session of its own
    // The child leads a process group of its own (in the daemon's session): the group can be
    // stopped as a whole, background programs it started included.
    bool new_group = false;
    bool controlling_tty = false;  // ... with descriptor 0, a terminal, as its controlling one
    // The program starts from an intermediate process that ends as soon as it has: the
    // program is nobody's child (the daemon never reaps it) and, when new_session is set too,
    // not the leader of its session (it cannot gain a controlling terminal).
    bool detach = false;
    bool ignore_sighup = false;  // SIGHUP ignored; every other signal at its default
    bool oom_protect = false;    // oom_score_adj -1000, out of reach of the OOM killer
};

// The one way the daemon starts a child. The child gets descriptors 0-2 only (as given),
// every signal at its default disposition (but SIGHUP when asked) and an empty signal mask.
// The daemon's memory is not copied: the child shares it until it executes its program, and
// the calling thread waits meanwhile (well under a millisecond, unless a working directory
// or the program sits on a file system that hangs). Returns the child's pid (with `detach`,
// the intermediate's, already reaped), or -1 with errno when no process could be created
// (with `detach`, either of the two). A child that cannot set itself up (descriptors,
// working directory) or execute its program exits with 127 and leaves the errno of that step
// in *err (0 when the program runs; `err` may be null).
pid_t exec_spawn(const exec_child_t* c, int* err);
