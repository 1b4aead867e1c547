#include "proc/procfs.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/clock.h"

namespace {

constexpr int MATCH_KILL_GAP_MS = 100;
constexpr int OWN_CHILD_KILL_GAP_MS = 200;
constexpr size_t COMM_BYTES = 64;  // the kernel's names are at most 15 characters
constexpr size_t STAT_BYTES = 512;

// Signals the daemon's direct children named `name`; returns how many were signalled.
int signal_children_named(proc_scan_t* scan, const char* name, pid_t self, int sig) {
    scan->rewind();
    int sent = 0;
    char comm[COMM_BYTES];
    proc_stat_t st;
    while (int pid = scan->next()) {
        if (pid == self || procfs_comm(scan->fd(), pid, comm, sizeof comm) < 0 || strcmp(comm, name) != 0) continue;
        if (procfs_stat(scan->fd(), pid, &st) == 0 && st.ppid == self && kill(pid, sig) == 0) sent++;
    }
    return sent;
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

void proc_scan_t::rewind() {
    if (dir_) rewinddir(dir_.get());
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
    const char* close_paren = strrchr(buf, ')');
    if (!close_paren || close_paren[1] != ' ') return -1;
    return sscanf(close_paren + 2, "%c %d %d", &out->state, &out->ppid, &out->pgrp) == 3 ? 0 : -1;
}

int kill_all_named(bool (*matches)(const char* comm)) {
    proc_scan_t scan;
    int count = 0;
    char comm[COMM_BYTES];
    while (int pid = scan.next()) {
        if (pid < 2 || procfs_comm(scan.fd(), pid, comm, sizeof comm) < 0 || !matches(comm)) continue;
        kill(pid, SIGTERM);
        sleep_ms(MATCH_KILL_GAP_MS);
        kill(pid, SIGKILL);
        count++;
    }
    return count;
}

void exec_kill_own_children_named(const char* name) {
    if (!name || !*name) return;
    pid_t self = getpid();
    proc_scan_t scan;
    // With no stale child there is nothing to wait for: a new stream starts at once.
    if (!scan.ok() || signal_children_named(&scan, name, self, SIGTERM) == 0) return;
    sleep_ms(OWN_CHILD_KILL_GAP_MS);
    signal_children_named(&scan, name, self, SIGKILL);
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
