#include "ops/procs.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "base/clock.h"
#include "base/fdio.h"
#include "config/config.h"
#include "proc/procfs.h"
#include "wire/args.h"
#include "wire/errors.h"

// ---- procs_list, procs_kill ----

namespace {

constexpr size_t PROC_COMM_BYTES = 64;       // 63 read
constexpr size_t PROC_CMDLINE_BYTES = 4096;  // 4095 read
constexpr size_t PROC_STATUS_BYTES = 8192;   // 8191 read
constexpr size_t PROC_PATH_BYTES = 64;
constexpr size_t PROCS_KILL_NAME_BYTES = 64;
constexpr long long PROCS_KILL_DEFAULT_SIGNAL = 15;

// Appends the full-form members of one process: its command line and resident size.
// `text` is scratch space of PROC_STATUS_BYTES.
void append_full_entry(sb_t* s, int procfd, int pid, char* text) {
    ssize_t n = procfs_read(procfd, pid, "cmdline", text, PROC_CMDLINE_BYTES);
    size_t len = n > 0 ? proc_cmdline_spaces(text, static_cast<size_t>(n), true) : 0;
    sb_appendz(s, "\",\"cmdline\":\"");
    sb_json_escape(s, text, len);
    long long rss = 0;
    if (procfs_read(procfd, pid, "status", text, PROC_STATUS_BYTES) > 0) rss = proc_find_num(text, "\nVmRSS:", 0);
    sb_printf(s, "\",\"rss_kb\":%lld}", rss);
}

}  // namespace

op_result op_procs_list(const op_req_t& req) {
    bool full = arg_get_bool(req.js, req.args, req.an, "full", 1) != 0;
    proc_scan_t scan;
    if (!scan.ok()) return op_err{ERR_EIO, "cannot open /proc"};
    sb_t s;
    sb_appendz(&s, "{\"procs\":[");
    bool first = true;
    char comm[PROC_COMM_BYTES];
    char text[PROC_STATUS_BYTES];
    while (int pid = scan.next()) {
        if (procfs_comm(scan.fd(), pid, comm, sizeof comm) <= 0) continue;  // ended meanwhile, or unreadable
        sb_printf(&s, "%s{\"pid\":%d,\"comm\":\"", first ? "" : ",", pid);
        sb_json_escape(&s, comm, strlen(comm));
        if (full) append_full_entry(&s, scan.fd(), pid, text);
        else sb_appendz(&s, "\"}");
        first = false;
    }
    sb_appendz(&s, "]}");
    return op_result::ok(std::move(s));
}

op_result op_procs_kill(const op_req_t& req) {
    char name[PROCS_KILL_NAME_BYTES] = "";
    arg_get_str(req.js, req.args, req.an, "name", name, sizeof name);
    if (!name[0]) return op_err{ERR_EREQ, "name required"};
    cfg_snapshot_t cfg = g_cfg.load();
    if (!cfg_allow_exact(&cfg->procs_kill, name)) return op_err{ERR_EFORBIDDEN, "name not in allowlist"};
    long long want = arg_get_int(req.js, req.args, req.an, "signal", PROCS_KILL_DEFAULT_SIGNAL);
    // A number cut to an int could turn into a real signal; -1 is one the kernel refuses.
    int sig = want >= 0 && want <= INT_MAX ? static_cast<int>(want) : -1;
    proc_scan_t scan;
    if (!scan.ok()) return op_err{ERR_EIO, "cannot open /proc"};
    int killed = 0;
    proc_pin_t pin;
    // Process 1 is never signalled.
    auto named = [&](int pid, const proc_stat_t& st) { return pid >= 2 && strcmp(st.comm, name) == 0; };
    while (scan.next_pinned(named, &pin))
        if (pin.signal(sig) == 0) killed++;
    sb_t r;
    sb_printf(&r, "{\"killed\":%d}", killed);
    return op_result::ok(std::move(r));
}

// ---- process control: proc_signal, proc_renice, proc_openfiles, proc_detail, cpu_limit ----
// One-reply handlers acting on one process given by its id; ids below 2 are refused, and so
// is the daemon itself where a mistake would end it (a signal, a CPU cap).

namespace {

constexpr size_t SIGNAL_NAME_BYTES = 16;  // 15 characters
constexpr long SIGNAL_SETTLE_MS = 60;     // time a signalled process gets before the second probe
constexpr long long NICE_MIN = -20;
constexpr long long NICE_MAX = 19;
constexpr size_t FD_TARGET_BYTES = 4096;  // 4095 read
constexpr size_t DETAIL_STATUS_BYTES = 8192;
constexpr size_t DETAIL_IO_BYTES = 2048;
constexpr size_t DETAIL_WCHAN_BYTES = 128;
constexpr size_t DETAIL_CMDLINE_BYTES = 4096;
constexpr size_t DETAIL_STATE_MAX = 47;

// The signals a client may send, by name (any case).
struct signal_name_t {
    const char* name;
    int sig;
};
const signal_name_t SIGNAL_NAMES[] = {{"TERM", SIGTERM}, {"KILL", SIGKILL}, {"INT", SIGINT},   {"HUP", SIGHUP},
                                      {"STOP", SIGSTOP}, {"CONT", SIGCONT}, {"USR1", SIGUSR1}, {"USR2", SIGUSR2}};

int sig_from_name(const char* name) {
    for (const signal_name_t& s : SIGNAL_NAMES)
        if (strcasecmp(s.name, name) == 0) return s.sig;
    return -1;
}

// Pins process `tgid` (from proc_is_daemon, so never the daemon's) and proves that thread
// `id` still belongs to it. 0, or -1 with errno (ESRCH: no such process any more).
int pin_process_of(long long id, long long tgid, proc_pin_t* pin) {
    proc_stat_t seen;
    if (tgid < 1 || procfs_stat(AT_FDCWD, static_cast<int>(tgid), &seen) != 0) {
        errno = ESRCH;
        return -1;
    }
    if (pin->open(AT_FDCWD, static_cast<int>(tgid), seen) != 0) return -1;
    if (id == tgid) return 0;
    // The thread may have ended before the pin: then its id names nothing of the process.
    long long now = -1;
    proc_is_daemon(id, &now);
    if (now == tgid) return 0;
    errno = ESRCH;
    return -1;
}

const char* fd_target_type(const char* target) {
    if (strncmp(target, "socket:", 7) == 0) return "socket";
    if (strncmp(target, "pipe:", 5) == 0) return "pipe";
    if (strncmp(target, "anon_inode:", 11) == 0) return "anon";
    if (target[0] == '/') return "file";
    return "special";
}

bool all_digits(const char* s) { return s[0] && strspn(s, "0123456789") == strlen(s); }

// Appends {"fd":N,"type":..,"target":..} for each descriptor of the open directory `d`
// whose link can still be read.
void append_fd_entries(sb_t* s, DIR* d) {
    bool first = true;
    char target[FD_TARGET_BYTES];
    while (struct dirent* e = readdir(d)) {
        // Only a name of digits goes out unquoted as a number.
        if (!all_digits(e->d_name)) continue;
        ssize_t r = readlinkat(dirfd(d), e->d_name, target, sizeof target - 1);
        if (r < 0) continue;  // closed meanwhile
        target[r] = '\0';
        sb_printf(s, "%s{\"fd\":%s,\"type\":\"%s\",\"target\":\"", first ? "" : ",", e->d_name, fd_target_type(target));
        sb_json_escape(s, target, static_cast<size_t>(r));
        sb_appendz(s, "\"}");
        first = false;
    }
}

int count_fds(long long pid) {
    char path[PROC_PATH_BYTES];
    snprintf(path, sizeof path, "/proc/%lld/fd", pid);
    scoped_dir d(opendir(path));
    if (!d) return 0;
    int count = 0;
    while (struct dirent* e = readdir(d.get()))
        if (e->d_name[0] >= '0' && e->d_name[0] <= '9') count++;
    return count;
}

// Reads "/proc/<pid>/<file>"; the text is empty when it cannot be read. An id beyond a pid_t
// names no process.
ssize_t read_pid_file(long long pid, const char* file, char* buf, size_t cap) {
    buf[0] = '\0';
    return pid <= INT_MAX ? procfs_read(AT_FDCWD, static_cast<int>(pid), file, buf, cap) : -1;
}

// Appends the escaped text of the "State:" line: leading blanks skipped, at most 47 characters.
void append_state(sb_t* s, const char* status) {
    const char* p = strstr(status, "State:");
    if (!p) return;
    p += 6;
    p += strspn(p, " \t");
    size_t len = strcspn(p, "\n");
    sb_json_escape(s, p, len < DETAIL_STATE_MAX ? len : DETAIL_STATE_MAX);
}

struct detail_figure_t {
    const char* key;
    const char* label;
    bool from_io;  // /proc/<pid>/io rather than status
};
const detail_figure_t DETAIL_FIGURES[] = {
    {"ppid", "PPid:", false},
    {"threads", "Threads:", false},
    {"uid", "Uid:", false},
    {"vmrss_kb", "VmRSS:", false},
    {"vmsize_kb", "VmSize:", false},
    {"vol_ctxt", "voluntary_ctxt_switches:", false},
    {"nonvol_ctxt", "nonvoluntary_ctxt_switches:", false},
    {"read_bytes", "read_bytes:", true},
    {"write_bytes", "write_bytes:", true},
};

}  // namespace

op_result op_proc_signal(const op_req_t& req) {
    long long pid = arg_get_int(req.js, req.args, req.an, "pid", 0);
    if (pid <= 1) return op_err{ERR_EREQ, "pid must be > 1"};
    // A thread id stands for its whole process, as kill(2) takes it.
    long long tgid = -1;
    if (proc_is_daemon(pid, &tgid)) return op_err{ERR_EFORBIDDEN, "refusing to signal the daemon"};
    char name[SIGNAL_NAME_BYTES] = "";
    arg_get_str(req.js, req.args, req.an, "signal", name, sizeof name);
    int sig = name[0] ? sig_from_name(name) : SIGTERM;
    if (sig < 0) return op_err{ERR_EREQ, "unknown or disallowed signal"};
    proc_pin_t pin;
    if (pin_process_of(pid, tgid, &pin) != 0) {
        if (errno == ESRCH) return op_err{ERR_ESRCH, "no such process"};
        return op_err{ERR_EPERM, strerror(errno)};
    }
    if (pin.signal(sig) != 0) return op_err{ERR_EPERM, strerror(errno)};
    sleep_ms(SIGNAL_SETTLE_MS);
    // A process that has ended is gone even while its parent has not yet collected it.
    bool gone = pin.exited();
    sb_t r;
    sb_printf(&r, "{\"sent\":true,\"signal\":%d,\"gone\":%s}", sig, gone ? "true" : "false");
    return op_result::ok(std::move(r));
}

op_result op_proc_renice(const op_req_t& req) {
    long long pid = arg_get_int(req.js, req.args, req.an, "pid", 0);
    if (pid <= 1) return op_err{ERR_EREQ, "pid must be > 1"};
    long long nice = arg_get_int(req.js, req.args, req.an, "nice", 0);
    nice = nice < NICE_MIN ? NICE_MIN : nice > NICE_MAX ? NICE_MAX : nice;
    // setpriority takes an unsigned id: cut, a large number would name another process.
    if (pid > INT_MAX) return op_err{ERR_EPERM, strerror(ESRCH)};
    errno = 0;
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(pid), static_cast<int>(nice)) != 0)
        return op_err{ERR_EPERM, strerror(errno)};
    sb_t r;
    sb_printf(&r, "{\"pid\":%lld,\"nice\":%lld}", pid, nice);
    return op_result::ok(std::move(r));
}

op_result op_proc_openfiles(const op_req_t& req) {
    long long pid = arg_get_int(req.js, req.args, req.an, "pid", 0);
    if (pid <= 1) return op_err{ERR_EREQ, "invalid pid"};
    char path[PROC_PATH_BYTES];
    snprintf(path, sizeof path, "/proc/%lld/fd", pid);
    scoped_dir d(opendir(path));
    if (!d) return op_err{ERR_EIO, "cannot read fd dir (process gone?)"};
    sb_t s;
    sb_appendz(&s, "{\"files\":[");
    append_fd_entries(&s, d.get());
    sb_appendz(&s, "]}");
    return op_result::ok(std::move(s));
}

op_result op_proc_detail(const op_req_t& req) {
    long long pid = arg_get_int(req.js, req.args, req.an, "pid", 0);
    if (pid <= 1) return op_err{ERR_EREQ, "invalid pid"};
    char status[DETAIL_STATUS_BYTES], io[DETAIL_IO_BYTES], wchan[DETAIL_WCHAN_BYTES], cmdline[DETAIL_CMDLINE_BYTES];
    if (read_pid_file(pid, "status", status, sizeof status) <= 0) return op_err{ERR_ESRCH, "no such process"};
    read_pid_file(pid, "io", io, sizeof io);
    ssize_t wlen = read_pid_file(pid, "wchan", wchan, sizeof wchan);
    ssize_t clen = read_pid_file(pid, "cmdline", cmdline, sizeof cmdline);
    // Unlike the process list, the space that replaces the final NUL stays.
    size_t cmd_len = clen > 0 ? proc_cmdline_spaces(cmdline, static_cast<size_t>(clen), false) : 0;
    sb_t s;
    sb_appendz(&s, "{\"state\":\"");
    append_state(&s, status);
    sb_appendz(&s, "\"");
    for (const detail_figure_t& f : DETAIL_FIGURES)
        sb_printf(&s, ",\"%s\":%lld", f.key, proc_find_num(f.from_io ? io : status, f.label, -1));
    sb_printf(&s, ",\"fd_count\":%d,\"wchan\":\"", count_fds(pid));
    sb_json_escape(&s, wchan, wlen > 0 ? static_cast<size_t>(wlen) : 0);
    sb_appendz(&s, "\",\"cmdline\":\"");
    sb_json_escape(&s, cmdline, cmd_len);
    sb_appendz(&s, "\"}");
    return op_result::ok(std::move(s));
}

// ---- cpu_limit ----
// A limited process sits in a group of its own, <controller>/vorn_thrum/p<pid>, whose CFS
// quota caps it; release moves it back to the root group and removes that group. A failed
// limit leaves what it created so far: the next limit of the same process reuses it.

namespace {

constexpr const char* CPU_CGROUP_ROOT = "/sys/fs/cgroup/cpu";
constexpr long long CFS_PERIOD_US = 100000;
constexpr long long QUOTA_US_PER_PERCENT = 1000;
constexpr size_t CGROUP_PATH_BYTES = 256;
constexpr size_t CGROUP_VALUE_BYTES = 32;

// Writes "<value>\n" to `dir`/`file`.
int cgroup_write(const char* dir, const char* file, long long value) {
    char path[CGROUP_PATH_BYTES + 32], text[CGROUP_VALUE_BYTES];
    snprintf(path, sizeof path, "%s/%s", dir, file);
    snprintf(text, sizeof text, "%lld\n", value);
    return write_str_file(path, text);
}

void process_group_path(long long pid, char* out, size_t cap) {
    snprintf(out, cap, "%s/vorn_thrum/p%lld", CPU_CGROUP_ROOT, pid);
}

// `tgid` is the process that `pid` belongs to: the number written to cgroup.procs, so an id
// that changed hands since the check cannot move the daemon.
op_result cpu_limit_apply(long long pid, long long tgid, long long percent) {
    long ncpu = sysconf(_SC_NPROCESSORS_ONLN);
    if (ncpu < 2) ncpu = 1;
    if (percent > ncpu * 100) percent = ncpu * 100;
    char parent[CGROUP_PATH_BYTES], group[CGROUP_PATH_BYTES];
    snprintf(parent, sizeof parent, "%s/vorn_thrum", CPU_CGROUP_ROOT);
    mkdir(parent, 0755);  // usually there already; the group's own mkdir tells
    process_group_path(pid, group, sizeof group);
    if (mkdir(group, 0755) != 0 && errno != EEXIST)
        return op_err{ERR_EPERM, "cannot create cpu cgroup (cfs bandwidth off?)"};
    if (cgroup_write(group, "cpu.cfs_period_us", CFS_PERIOD_US) != 0)
        return op_err{ERR_EIO, "cfs_period_us write failed (cfs bandwidth not compiled?)"};
    long long quota = percent * QUOTA_US_PER_PERCENT;
    if (cgroup_write(group, "cpu.cfs_quota_us", quota) != 0) return op_err{ERR_EIO, "cfs_quota_us write failed"};
    if (cgroup_write(group, "cgroup.procs", tgid) != 0) return op_err{ERR_EPERM, "could not attach pid to cgroup"};
    sb_t r;
    sb_printf(&r, "{\"limited\":true,\"pid\":%lld,\"percent\":%lld,\"period_us\":%lld,\"quota_us\":%lld,\"ncpu\":%ld}",
              pid, percent, CFS_PERIOD_US, quota, ncpu);
    return op_result::ok(std::move(r));
}

// Every step may fail: a process that was never limited is released all the same.
void cpu_limit_release(long long pid, long long tgid) {
    char group[CGROUP_PATH_BYTES];
    process_group_path(pid, group, sizeof group);
    cgroup_write(CPU_CGROUP_ROOT, "cgroup.procs", tgid);
    cgroup_write(group, "cpu.cfs_quota_us", -1);
    rmdir(group);
}

}  // namespace

op_result op_cpu_limit(const op_req_t& req) {
    long long pid = arg_get_int(req.js, req.args, req.an, "pid", 0);
    if (pid <= 1) return op_err{ERR_EREQ, "pid must be > 1"};
    long long tgid = -1;  // -1: no such thread
    if (proc_is_daemon(pid, &tgid)) return op_err{ERR_EFORBIDDEN, "refusing to limit the daemon"};
    long long percent = arg_get_int(req.js, req.args, req.an, "percent", 0);
    struct stat st;
    if (stat(CPU_CGROUP_ROOT, &st) != 0) return op_err{ERR_ENOSYS, "cgroup-v1 cpu controller not mounted"};
    if (tgid < 0) return op_err{ERR_ESRCH, "no such process"};
    if (percent > 0) return cpu_limit_apply(pid, tgid, percent);
    cpu_limit_release(pid, tgid);
    return op_result::ok("{\"limited\":false,\"percent\":0}");
}
