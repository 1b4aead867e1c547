#include "proc/procfs.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "base/clock.h"

namespace {

constexpr int MATCH_KILL_GAP_MS = 100;
constexpr int OWN_CHILD_KILL_GAP_MS = 200;
constexpr size_t STAT_BYTES = 512;
constexpr size_t STATUS_BYTES = 4096;  // "Tgid:" is the fourth line

// By number: glibc 2.36's <sys/pidfd.h> declares its wrappers without C linkage, and an older
// libc has none. A kernel without pidfds answers ENOSYS.
int sys_pidfd_open(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }
int sys_pidfd_send_signal(int pidfd, int sig) {
    return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
}

bool same_process(const proc_stat_t& a, const proc_stat_t& b) {
    return a.start_ticks == b.start_ticks && a.ppid == b.ppid && strcmp(a.comm, b.comm) == 0;
}

}  // namespace

proc_scan_t::proc_scan_t() : dir_(opendir("/proc")) {}

int proc_scan_t::fd() const { return dir_ ? dirfd(dir_.get()) : -1; }

int proc_scan_t::next() {
    if (!dir_) return 0;
    while (struct dirent* e = readdir(dir_.get())) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        long long v = strtoll(e->d_name, nullptr, 10);
        if (v >= 1 && v <= INT_MAX) return static_cast<int>(v);
    }
    return 0;
}

ssize_t procfs_read(int procfd, int pid, const char* file, char* buf, size_t cap) {
    char path[64];
    snprintf(path, sizeof path, procfd == AT_FDCWD ? "/proc/%d/%s" : "%d/%s", pid, file);
    return read_small_at(procfd, path, buf, cap);
}

ssize_t procfs_comm(int procfd, int pid, char* out, size_t cap) {
    ssize_t n = procfs_read(procfd, pid, "comm", out, cap);
    if (n > 0 && out[n - 1] == '\n') out[--n] = '\0';
    return n;
}

int procfs_stat(int procfd, int pid, proc_stat_t* out) {
    char buf[STAT_BYTES];
    if (procfs_read(procfd, pid, "stat", buf, sizeof buf) <= 0) return -1;
    const char* open_paren = strchr(buf, '(');
    const char* close_paren = strrchr(buf, ')');
    if (!open_paren || !close_paren || close_paren < open_paren || close_paren[1] != ' ') return -1;
    size_t len = static_cast<size_t>(close_paren - open_paren - 1);
    if (len >= sizeof out->comm) len = sizeof out->comm - 1;
    memcpy(out->comm, open_paren + 1, len);
    out->comm[len] = '\0';
    // State, parent, group, then 16 fields up to the start time (field 22).
    return sscanf(close_paren + 2, "%c %d %d %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %llu",
                  &out->state, &out->ppid, &out->pgrp, &out->start_ticks) == 4
               ? 0
               : -1;
}

bool proc_is_daemon(long long id, long long* tgid) {
    const pid_t self = getpid();
    long long found = id == self ? id : -1;
    char status[STATUS_BYTES];
    if (found < 0 && id >= 1 && id <= INT_MAX &&
        procfs_read(AT_FDCWD, static_cast<int>(id), "status", status, sizeof status) > 0) {
        found = proc_find_num(status, "\nTgid:", -1);
        if (found < 1) found = -1;
    }
    if (tgid) *tgid = found;
    return found == self;
}

int proc_pin_t::open(int procfd, int pid, const proc_stat_t& seen) {
    pidfd_.reset();
    pid_ = 0;
    if (pid < 1) {
        errno = ESRCH;
        return -1;
    }
    unique_fd fd(sys_pidfd_open(pid));  // close-on-exec without asking
    if (!fd && errno != ENOSYS) return -1;
    // Read after the pidfd is open: the same start time at the same number on both sides of
    // the open means one process held the number throughout, and it is the pidfd's.
    proc_stat_t now;
    if (procfs_stat(procfd, pid, &now) != 0 || !same_process(seen, now)) {
        errno = ESRCH;
        return -1;
    }
    pid_ = pid;
    pidfd_ = std::move(fd);
    return 0;
}

int proc_pin_t::signal(int sig) const {
    if (pidfd_) return sys_pidfd_send_signal(pidfd_.get(), sig);
    if (pid_ < 1) {  // kill(0) would reach the daemon's own process group
        errno = ESRCH;
        return -1;
    }
    return kill(pid_, sig);
}

bool proc_pin_t::exited() const {
    if (pidfd_) {
        // Readable once the process has ended, a zombie included.
        struct pollfd p = {pidfd_.get(), POLLIN, 0};
        return poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
    }
    if (signal(0) != 0) return errno == ESRCH;
    proc_stat_t st;
    return procfs_stat(AT_FDCWD, pid_, &st) == 0 && (st.state == 'Z' || st.state == 'X');
}

int kill_all_named(bool (*matches)(const char* comm)) {
    proc_scan_t scan;
    proc_pin_t pin;
    int count = 0;
    while (scan.next_pinned([&](int pid, const proc_stat_t& st) { return pid >= 2 && matches(st.comm); }, &pin)) {
        pin.signal(SIGTERM);
        sleep_ms(MATCH_KILL_GAP_MS);
        pin.signal(SIGKILL);
        count++;
    }
    return count;
}

void exec_kill_own_children_named(const char* name) {
    if (!name || !*name) return;
    const pid_t self = getpid();
    proc_scan_t scan;
    proc_pin_t pin;
    // Only the children that got SIGTERM get SIGKILL: a child of this name started meanwhile
    // belongs to a new stream.
    std::vector<proc_pin_t> stale;
    auto own_named = [&](int pid, const proc_stat_t& st) {
        return pid != self && st.ppid == self && strcmp(st.comm, name) == 0;
    };
    while (scan.next_pinned(own_named, &pin))
        if (pin.signal(SIGTERM) == 0) stale.push_back(std::move(pin));
    // With no stale child there is nothing to wait for: a new stream starts at once.
    if (stale.empty()) return;
    sleep_ms(OWN_CHILD_KILL_GAP_MS);
    for (const proc_pin_t& p : stale) p.signal(SIGKILL);
}

long long proc_find_num(const char* text, const char* label, long long missing) {
    const char* at = strstr(text, label);
    return at ? strtoll(at + strlen(label), nullptr, 10) : missing;
}

size_t proc_cmdline_spaces(char* buf, size_t n, bool trim) {
    for (size_t i = 0; i < n; i++)
        if (buf[i] == '\0') buf[i] = ' ';
    while (trim && n > 0 && buf[n - 1] == ' ') n--;
    buf[n] = '\0';
    return n;
}
