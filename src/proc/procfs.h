// procfs — what the daemon reads from /proc about other processes: the list of process ids,
// the small files of one process (comm, stat, status, cmdline) read with one bounded read
// each, which process a thread id belongs to, and the signalling of processes found by name.
//
// A process that ends while it is looked at only fails its read; a file that changes between
// two reads is never stitched together. A number read from /proc may name another process a
// moment later, so a process is signalled only through a pidfd opened and re-checked first
// (proc_pin_t).
// Threads: any thread; nothing is shared. Errors: as each function says.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "base/fdio.h"

class proc_pin_t;

// The process ids of /proc, in directory order.
class proc_scan_t {
public:
    proc_scan_t();
    bool ok() const { return dir_ != nullptr; }
    // The descriptor of /proc, for procfs_read and its kin.
    int fd() const;
    // The next process id (1 and up), or 0 at the end.
    int next();
    // The next process whose stat `match(pid, st)` accepts, pinned into `*pin` (the stat was
    // read before the pidfd was opened, and proc_pin_t::open proved it is the pinned
    // process's): its id, or 0 at the end. Processes that end meanwhile are skipped.
    template <class Match>
    int next_pinned(Match&& match, proc_pin_t* pin);

private:
    scoped_dir dir_;
};

// Reads /proc/<pid>/<file> with one read of at most `cap - 1` bytes, NUL-terminated.
// `procfd` is the descriptor of /proc (proc_scan_t::fd) or AT_FDCWD. The byte count, or -1
// (buf emptied) when it cannot be read.
ssize_t procfs_read(int procfd, int pid, const char* file, char* buf, size_t cap);
// The command name (/proc/<pid>/comm) without its line feed: its length, or -1 (out empty).
ssize_t procfs_comm(int procfd, int pid, char* out, size_t cap);

// What /proc/<pid>/stat says of a process. The command name may hold anything, even ')', so
// the other fields are read after its last ')'. A number is reused, but hardly ever within the
// clock tick its last holder started in: name and start time tell whether a number still
// names the same process.
struct proc_stat_t {
    char comm[64] = "";  // 15 characters, but a kernel worker's name may run longer
    char state = 0;
    int ppid = 0;
    int pgrp = 0;
    unsigned long long start_ticks = 0;  // clock ticks after boot
};
// 0 with `*out` filled, or -1 when the file cannot be read or parsed.
int procfs_stat(int procfd, int pid, proc_stat_t* out);

// Whether thread or process `id` belongs to the daemon's own process. A thread id reaches
// the whole process it belongs to (kill, strace -f, cgroup.procs), so the daemon's thread ids
// count as the daemon. `*tgid` (may be null) gets the process the id belongs to, from its
// status "Tgid:" read once, or -1 when there is no such thread (or the id is beyond a pid_t);
// acting on that number, never the daemon's when this returned false, leaves no gap for a
// thread id that changes hands.
bool proc_is_daemon(long long id, long long* tgid = nullptr);

// A process pinned for signalling by a pidfd: signals reach the process that was checked even
// after its number went to another. A kernel without pidfds (ENOSYS) keeps only the number,
// and the signal goes by number after the same re-check.
class proc_pin_t {
public:
    // Opens a pidfd for process `pid` (a thread-group leader) and reads its stat again from
    // `procfd` (as procfs_read takes it): `seen`, a procfs_stat of it read before, must still
    // hold in name, parent and start time, which proves the pidfd names the process `seen`
    // describes. 0, or -1 with errno: ESRCH when it ended or the number names another process
    // now, else pidfd_open's. A pin opened before is dropped first.
    int open(int procfd, int pid, const proc_stat_t& seen);
    // Sends `sig` (0 probes): 0, or -1 with errno (ESRCH once the process has ended).
    int signal(int sig) const;
    // Whether the process has ended: reaped, or a zombie waiting for its parent.
    bool exited() const;

private:
    int pid_ = 0;
    unique_fd pidfd_;  // not open on a kernel without pidfds
};

// The number right after the first occurrence of `label` in `text`, parsed base 10 the way
// strtoll does (leading blanks skipped, 0 when no digits follow); `missing` without the label.
long long proc_find_num(const char* text, const char* label, long long missing);
// Turns every NUL of the first `n` bytes of a command line into a space; with `trim`, drops
// the trailing spaces. Returns the resulting length.
size_t proc_cmdline_spaces(char* buf, size_t n, bool trim);

// Ends every process on the machine (the daemon's children or not, process 1 never) whose
// command name `matches` accepts: SIGTERM, 100 ms, SIGKILL through the same pidfd, one match
// after the other. Returns how many were pinned, whether or not the signals landed; 0 when
// /proc cannot be opened.
int kill_all_named(bool (*matches)(const char* comm));

// SIGTERM to the daemon's direct children whose command name is exactly `name`, then 200 ms
// later SIGKILL to those same processes (through the pidfds that carried the SIGTERM).
void exec_kill_own_children_named(const char* name);

template <class Match>
int proc_scan_t::next_pinned(Match&& match, proc_pin_t* pin) {
    proc_stat_t st;
    while (int pid = next())
        if (procfs_stat(fd(), pid, &st) == 0 && match(pid, st) && pin->open(fd(), pid, st) == 0) return pid;
    return 0;
}
