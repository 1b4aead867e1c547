// runner — runs a tool as a child and reads its output: the one place the daemon turns a
// tool's output into callbacks.
//
// exec_stream delivers output line by line, exec_stream_raw in raw chunks; both run the child
// to completion on the calling thread, watch the cancel token (its flag, the client's
// connection, its deadline: base/cancel.h) and the callback's stop request, stop the child's
// whole process group with SIGTERM and, after the grace, one SIGKILL, and report how it ended. Children start through
// exec_spawn (spawn.h), each the leader of a process group of its own: /dev/null as stdin and
// no descriptor of the daemon beyond 0-2.
//
// The watch goes on after the output has ended: a child that closed its output and lingers is
// still stopped on cancel, hang-up or deadline. A stopped run ends only when nothing of the
// group is left (or it was sent SIGKILL). The leader is reaped last, so that its number names
// the group for every signal sent meanwhile; the token forgets it first (forget_child).
// Threads: any number of runs at once; each run's state is local to its call.
// Errors: -1 when nothing could be started (no pipe or no process), else 0; `res` always filled.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "base/cancel.h"

struct exec_spec_t {
    char** argv;        // null-terminated; argv[0] is the full path (no PATH search)
    char** envp;        // null: the daemon's environment
    const char* cwd;    // null: the daemon's
    int merge_stderr;   // stderr into the stdout pipe, reported as stream 1
    int kill_grace_ms;  // SIGTERM → SIGKILL; 0 or less means 250
    int stdin_fd = -1;  // the child's standard input; -1: /dev/null
    int cwd_fd = -1;    // a directory entered by descriptor, before `cwd` (exec_child_t)
    int umask = -1;     // the child's file-creation mask; -1 keeps the daemon's
};

// How the child ended, by the convention of base/child_status.h: `exit_code` 0..255 on exit
// (127 when it could not execute its program), -1 when a signal killed it.
struct exec_result_t {
    int exit_code;
    int term_signal;  // the killing signal, else 0
    int spawn_errno;  // errno of a failed waitpid, else 0
    int timed_out;    // 1 when the token's deadline stopped the child
};

// `which` is 1 for stdout, 2 for stderr. `line` has no line feed and no trailing CR.
// Non-zero asks for the child to be stopped.
using line_cb_t = int (*)(void* ctx, int which, const char* line);
using raw_cb_t = int (*)(void* ctx, int which, const char* buf, size_t len);

// The token's flag and hang-up stop the child as a cancel; its deadline as well, and the
// result then says timed_out.
int exec_stream(const exec_spec_t* spec, line_cb_t cb, void* ctx, const cancel_token_t& cancel, exec_result_t* res);
// exec_stream whose callback also gets the line's length, and that calls `pass_end(ctx)`
// after every pass over the ready pipes, before it waits for more output: a caller that
// gathers its events in a buffer writes them out there, so lines that arrived together leave
// in one write and none waits for the next output. Non-zero asks for the stop, as a
// callback's return does. Null `pass_end`: nothing between passes.
using line_len_cb_t = int (*)(void* ctx, int which, const char* line, size_t len);
using pass_end_cb_t = int (*)(void* ctx);
int exec_stream_batched(const exec_spec_t* spec, line_len_cb_t cb, pass_end_cb_t pass_end, void* ctx,
                        const cancel_token_t& cancel, exec_result_t* res);
int exec_stream_raw(const exec_spec_t* spec, raw_cb_t cb, void* ctx, const cancel_token_t& cancel, exec_result_t* res);
