// procfs — what the daemon reads from /proc about other processes: the list of process ids,
// the small files of one process (comm, stat, status, cmdline) read with one bounded read
// each, and the signalling of processes found by name.
//
// A process that ends while it is looked at only fails its read; a file that changes between
// two reads is never stitched together.
// Threads: any thread; nothing is shared. Errors: as each function says.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "base/fdio.h"

// The process ids of /proc, in directory order.
class proc_scan_t {
public:
    proc_scan_t();
    bool ok() const { return dir_ != nullptr; }
    // The descriptor of /proc, for procfs_read and its kin.
    int fd() const;
    // The next process id (1 and up), or 0 at the end.
    int next();
    void rewind();

private:
    scoped_dir dir_;
};

// Reads /proc/<pid>/<file> with one read of at most `cap - 1` bytes, NUL-terminated.
// `procfd` is the descriptor of /proc (proc_scan_t::fd) or AT_FDCWD. The byte count, or -1
// (buf emptied) when it cannot be read.
ssize_t procfs_read(int procfd, int pid, const char* file, char* buf, size_t cap);
// The command name (/proc/<pid>/comm) without its line feed: its length, or -1 (out empty).
ssize_t procfs_comm(int procfd, int pid, char* out, size_t cap);

// The fields of /proc/<pid>/stat that follow the command name (which may hold anything, so
// they are read after its last ')').
struct proc_stat_t {
    char state = 0;
    int ppid = 0;
    int pgrp = 0;
};
// 0 with `*out` filled, or -1 when the file cannot be read or parsed.
int procfs_stat(int procfd, int pid, proc_stat_t* out);

// The number right after the first occurrence of `label` in `text`, parsed base 10 the way
// strtoll does (leading blanks skipped, 0 when no digits follow); `missing` without the label.
long long proc_find_num(const char* text, const char* label, long long missing);
// Turns every NUL of the first `n` bytes of a command line into a space; with `trim`, drops
// the trailing spaces. Returns the resulting length.
size_t proc_cmdline_spaces(char* buf, size_t n, bool trim);

// Ends every process on the machine (the daemon's children or not, process 1 never) whose
// command name `matches` accepts: SIGTERM, 100 ms, SIGKILL, one match after the other.
// Returns how many matched, whether or not the signals landed; 0 when /proc cannot be opened.
int kill_all_named(bool (*matches)(const char* comm));

// SIGTERM, then 200 ms later SIGKILL, to the daemon's direct children whose command name is
// exactly `name`.
void exec_kill_own_children_named(const char* name);
