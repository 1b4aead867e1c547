#include "proc/procfs.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/clock.h"

namespace {

constexpr int OWN_CHILD_KILL_GAP_MS = 200;

bool read_small(const char* path, char* buf, size_t cap) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t r;
    do r = read(fd, buf, cap - 1);
    while (r < 0 && errno == EINTR);
    close(fd);
    if (r < 0) return false;
    buf[r] = '\0';
    return true;
}

bool comm_of(int pid, char* buf, size_t cap) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/comm", pid);
    if (!read_small(path, buf, cap)) return false;
    size_t len = strlen(buf);
    if (len > 0 && buf[len - 1] == '\n') buf[len - 1] = '\0';
    return true;
}

// True when process `pid` is named `name` and its parent is `parent`.
bool is_own_child_named(int pid, const char* name, pid_t parent) {
    char path[64], buf[512];
    if (!comm_of(pid, buf, sizeof buf) || strcmp(buf, name) != 0) return false;
    snprintf(path, sizeof path, "/proc/%d/stat", pid);
    if (!read_small(path, buf, sizeof buf)) return false;
    const char* close_paren = strrchr(buf, ')');
    int ppid = 0;
    return close_paren && sscanf(close_paren + 1, " %*c %d", &ppid) == 1 && ppid == parent;
}

int signal_children_named(DIR* d, const char* name, pid_t self, int sig) {
    rewinddir(d);
    int sent = 0;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        int pid = atoi(e->d_name);
        if (pid <= 0 || pid == self) continue;
        if (is_own_child_named(pid, name, self) && kill(pid, sig) == 0) sent++;
    }
    return sent;
}

}  // namespace

int kill_all_named(bool (*matches)(const char* comm)) {
    constexpr int MATCH_KILL_GAP_MS = 100;
    DIR* d = opendir("/proc");
    if (!d) return 0;
    int count = 0;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        int pid = atoi(e->d_name);
        char comm[64];
        if (pid < 2 || !comm_of(pid, comm, sizeof comm) || !matches(comm)) continue;
        kill(pid, SIGTERM);
        sleep_ms(MATCH_KILL_GAP_MS);
        kill(pid, SIGKILL);
        count++;
    }
    closedir(d);
    return count;
}

void exec_kill_own_children_named(const char* name) {
    if (!name || !*name) return;
    pid_t self = getpid();
    DIR* d = opendir("/proc");
    if (!d) return;
    // With no stale child there is nothing to wait for: a new stream starts at once.
    if (signal_children_named(d, name, self, SIGTERM) == 0) {
        closedir(d);
        return;
    }
    sleep_ms(OWN_CHILD_KILL_GAP_MS);
    signal_children_named(d, name, self, SIGKILL);
    closedir(d);
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
