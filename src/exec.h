// exec — the one place that creates child processes for tools and reads their output.
//
// exec_stream delivers output line by line, exec_stream_raw in raw chunks; both run the child
// to completion on the calling thread, watch the job's cancel flag and the callback's stop
// request, stop the child with SIGTERM and, after the grace, one SIGKILL, and report how it
// ended. Children get /dev/null as stdin and no descriptor of the daemon beyond 0-2.
// exec_spawn is the one routine that starts every child of the daemon: runner children, PTY
// shells and detached programs.
// Threads: any number of runs at once; each run's state is local to its call.
// Errors: -1 when nothing could be started (no pipe or no process), else 0; `res` always filled.
#pragma once

#include <sys/types.h>

#include <cstddef>

struct job_s;

struct exec_spec_t {
    char** argv;        // null-terminated; argv[0] is the full path (no PATH search)
    char** envp;        // null: the daemon's environment
    const char* cwd;    // null: the daemon's
    int merge_stderr;   // stderr into the stdout pipe, reported as stream 1
    int kill_grace_ms;  // SIGTERM → SIGKILL; 0 or less means 250
    // The client connection of the request, watched (never read) for hang-up: a client that
    // is gone stops the child as a cancel does. -1 watches nothing.
    int watch_fd = -1;
};

struct exec_result_t {
    int exit_code;    // 0..255 on exit; -1 when a signal killed it; 127 when exec failed
    int term_signal;  // the killing signal, else 0
    int spawn_errno;  // errno of a failed waitpid, else 0
};

// `which` is 1 for stdout, 2 for stderr. `line` has no line feed and no trailing CR.
// Non-zero asks for the child to be stopped.
using line_cb_t = int (*)(void* ctx, int which, const char* line);
using raw_cb_t = int (*)(void* ctx, int which, const char* buf, size_t len);

int exec_stream(const exec_spec_t* spec, line_cb_t cb, void* ctx, job_s* job, exec_result_t* res);
// exec_stream whose callback also gets the line's length, and that calls `pass_end(ctx)`
// after every pass over the ready pipes, before it waits for more output: a caller that
// gathers its events in a buffer writes them out there, so lines that arrived together leave
// in one write and none waits for the next output. Non-zero asks for the stop, as a
// callback's return does. Null `pass_end`: nothing between passes.
using line_len_cb_t = int (*)(void* ctx, int which, const char* line, size_t len);
using pass_end_cb_t = int (*)(void* ctx);
int exec_stream_batched(const exec_spec_t* spec, line_len_cb_t cb, pass_end_cb_t pass_end, void* ctx, job_s* job,
                        exec_result_t* res);
int exec_stream_raw(const exec_spec_t* spec, raw_cb_t cb, void* ctx, job_s* job, exec_result_t* res);

// How a child starts; see exec_spawn.
struct exec_child_t {
    char* const* argv = nullptr;  // null-terminated; argv[0] is the full path (no PATH search)
    char* const* envp = nullptr;  // null: the daemon's environment
    const char* cwd = nullptr;    // null or empty: the daemon's
    // Descriptors that become 0, 1 and 2. -1: /dev/null for 0, the daemon's own for 1 and 2.
    int stdio[3] = {-1, -1, -1};
    bool new_session = false;      // the child leads a session of its own
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

// For children forked outside the daemon (its tools): the bound for exec_close_descriptors,
// read before fork since getrlimit is not async-signal-safe.
int exec_fd_bound();
// In a forked child: closes every descriptor from 3 upward. Async-signal-safe.
void exec_close_descriptors(int fd_bound);

// Ends every process on the machine (the daemon's children or not, process 1 never) whose
// command name (/proc/PID/comm, one trailing line feed removed) `matches` accepts: SIGTERM,
// 100 ms, SIGKILL, one match after the other. Returns how many matched, whether or not the
// signals landed; 0 when /proc cannot be opened.
int kill_all_named(bool (*matches)(const char* comm));

// SIGTERM, then 200 ms later SIGKILL, to the daemon's direct children whose command name
// (/proc/PID/comm) is exactly `name`.
void exec_kill_own_children_named(const char* name);
