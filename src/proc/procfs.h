// procfs — what the daemon reads from /proc about other processes, and the signalling of
// processes found by name.
// Threads: any thread; nothing is shared.
#pragma once

#include <cstddef>

// Ends every process on the machine (the daemon's children or not, process 1 never) whose
// command name (/proc/PID/comm, one trailing line feed removed) `matches` accepts: SIGTERM,
// 100 ms, SIGKILL, one match after the other. Returns how many matched, whether or not the
// signals landed; 0 when /proc cannot be opened.
int kill_all_named(bool (*matches)(const char* comm));

// SIGTERM, then 200 ms later SIGKILL, to the daemon's direct children whose command name
// (/proc/PID/comm) is exactly `name`.
void exec_kill_own_children_named(const char* name);

// The number right after the first occurrence of `label` in `text`, parsed base 10 the way
// strtoll does (leading blanks skipped, 0 when no digits follow); `missing` without the label.
long long proc_find_num(const char* text, const char* label, long long missing);
// Turns every NUL of the first `n` bytes of a command line into a space; with `trim`, drops
// the trailing spaces. Returns the resulting length.
size_t proc_cmdline_spaces(char* buf, size_t n, bool trim);
