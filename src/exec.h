// exec — the one place that creates child processes for tools and reads their output.
//
// exec_stream delivers output line by line, exec_stream_raw in raw chunks; both run the child
// to completion on the calling thread, watch the job's cancel flag and the callback's stop
// request, stop the child with SIGTERM and, after the grace, one SIGKILL, and report how it
// ended. Children get /dev/null as stdin and no descriptor of the daemon beyond 0-2.
// Threads: any number of runs at once; each run's state is local to its call.
// Errors: -1 when nothing could be started (pipe or fork failed), else 0; `res` always filled.
#pragma once

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
// exec_stream that also calls `pass_end(ctx)` after every pass over the ready pipes, before
// it waits for more output: a caller that gathers its events in a buffer writes them out
// there, so lines that arrived together leave in one write and none waits for the next
// output. Non-zero asks for the stop, as a callback's return does. Null: exec_stream.
using pass_end_cb_t = int (*)(void* ctx);
int exec_stream_batched(const exec_spec_t* spec, line_cb_t cb, pass_end_cb_t pass_end, void* ctx, job_s* job,
                        exec_result_t* res);
int exec_stream_raw(const exec_spec_t* spec, raw_cb_t cb, void* ctx, job_s* job, exec_result_t* res);

// For children forked outside the runners (detached programs, PTY shells): the bound for
// exec_close_descriptors, read before fork since getrlimit is not async-signal-safe.
int exec_fd_bound();
// In a forked child: closes every descriptor from 3 upward, so a child never holds a
// client's socket or another run's pipe. Async-signal-safe.
void exec_close_descriptors(int fd_bound);
// exec_close_descriptors from `first` (above 2) upward: a child that keeps descriptors 3 ..
// first - 1 for itself.
void exec_close_descriptors_from(int first, int fd_bound);
// In a forked child: every signal back to its default disposition and an empty signal mask,
// so the program does not inherit the daemon's ignored SIGPIPE (or anything its own parent
// ignored). Async-signal-safe.
void exec_child_signals_default();

// Ends every process on the machine (the daemon's children or not, process 1 never) whose
// command name (/proc/PID/comm, one trailing line feed removed) `matches` accepts: SIGTERM,
// 100 ms, SIGKILL, one match after the other. Returns how many matched, whether or not the
// signals landed; 0 when /proc cannot be opened.
int kill_all_named(bool (*matches)(const char* comm));

// SIGTERM, then 200 ms later SIGKILL, to the daemon's direct children whose command name
// (/proc/PID/comm) is exactly `name`.
void exec_kill_own_children_named(const char* name);
