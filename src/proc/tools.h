// tools — finding the external tools the daemon runs, and running one to completion for a
// one-reply operation.
//
// binfind turns a tool name into the full path of an executable: the install root's own
// per-architecture copies first, then its distribution directory, then the system
// directories (all with the architecture suffix before any without), then PATH.
// Threads: any thread; the architecture name is computed once and published race-free.
// Errors: 0 / -1 as each function says.
#pragma once

#include <cstddef>
#include <initializer_list>

#include "base/sb.h"
#include "proc/runner.h"

// 0 and the path in `out` (cut to cap-1, NUL-terminated) for the first executable candidate;
// -1 when none is found (`out` untouched). `pkg` is the package directory under
// /opt/vorn/dist; null means `name`.
int binfind(const char* name, const char* pkg, char* out, size_t cap);
// "x86_64", "aarch64", "armhf", "i686", or the machine name itself (at most 31 characters).
const char* binfind_arch();

// The first of `paths` that is executable, or null.
const char* first_exec(std::initializer_list<const char*> paths);
// A tool with homes of its own: the first executable of `places`, else binfind(name). 0 and
// the path in `out` (cut to cap-1), or -1 (`out` untouched).
int tool_find(std::initializer_list<const char*> places, const char* name, char* out, size_t cap);

// The environment of every tool whose output the daemon parses or checks: the daemon's own
// with LC_ALL=C, so that numbers keep their decimal point and messages their words whatever
// locale the appliance runs in (a de_DE iostat prints "1,21", read as 1). Programs run on a
// caller's behalf (exec, shells) keep the daemon's environment. Built once, never freed.
char** tool_envp();

// The line collector of every one-reply tool run (named for its first user, the kernel log):
// appends the line and a line feed to the sb_t `ctx`; returns 0.
int dmesg_cap_cb(void* ctx, int which, const char* line);
// Runs `argv` once without a job, stderr merged, in tool_envp(), collecting every line into
// `out` with dmesg_cap_cb. The tool is stopped (its whole group) when the client of `watch_fd`
// (-1: none) goes away, or at `deadline_ms` as tool_deadline_ms gives it (`res->timed_out`).
// Returns exec_stream's result (-1: nothing could be started).
int run_capture(char** argv, sb_t* out, exec_result_t* res, int watch_fd, int deadline_ms);

// The deadline of a one-shot tool run: `ms`, or the cap set for tests when that is shorter.
int tool_deadline_ms(int ms);
// For tests only (--tool-timeout-ms): caps every one-shot tool's deadline at `ms` (> 0). Set
// once at start-up, before any connection.
void tool_deadline_cap(int ms);
