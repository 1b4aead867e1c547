#include "exec.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "jobs.h"
#include "util.h"

extern char** environ;

namespace {

constexpr int POLL_INTERVAL_MS = 200;
constexpr int DEFAULT_KILL_GRACE_MS = 250;
constexpr size_t CARRY_BYTES = 8192;
constexpr size_t LINE_PIECE_MAX = CARRY_BYTES - 1;  // longer lines arrive in pieces of this size
constexpr size_t LINE_READ_BYTES = 65536;  // a pipe's whole capacity in one read
constexpr size_t RAW_READ_BYTES = 16384;
constexpr int KILL_PASS_GAP_MS = 200;

struct pipes_t {
    unique_fd out_r, out_w, err_r, err_w;
};

int open_pipe(unique_fd* r, unique_fd* w) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return -1;
    r->reset(p[0]);
    w->reset(p[1]);
    return 0;
}

// Starts the child with its output on the pipes. Returns its pid, or -1 (pipes closed).
pid_t spawn(const exec_spec_t* spec, pipes_t* p) {
    if (open_pipe(&p->out_r, &p->out_w) != 0) return -1;
    if (!spec->merge_stderr && open_pipe(&p->err_r, &p->err_w) != 0) return -1;
    exec_child_t c;
    c.argv = spec->argv;
    c.envp = spec->envp;
    c.cwd = spec->cwd;
    c.stdio[1] = p->out_w.get();
    c.stdio[2] = spec->merge_stderr ? p->out_w.get() : p->err_w.get();
    pid_t pid = exec_spawn(&c, nullptr);
    p->out_w.reset();
    p->err_w.reset();
    if (pid < 0) return -1;
    fcntl(p->out_r.get(), F_SETFL, fcntl(p->out_r.get(), F_GETFL) | O_NONBLOCK);
    if (p->err_r) fcntl(p->err_r.get(), F_SETFL, fcntl(p->err_r.get(), F_GETFL) | O_NONBLOCK);
    return pid;
}

void record_status(int status, exec_result_t* res) {
    if (WIFEXITED(status)) {
        res->exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        res->exit_code = -1;
        res->term_signal = WTERMSIG(status);
    }
}

// True once the child has ended. It is left a zombie, so its number stays ours until reaped.
bool child_ended(pid_t pid) {
    siginfo_t si;
    memset(&si, 0, sizeof si);
    if (waitid(P_PID, static_cast<id_t>(pid), &si, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
    return si.si_pid == pid;
}

// The stop protocol of one run: SIGTERM once a stop is wanted, one SIGKILL after the grace.
// Once the child is reaped and the grace has passed, the run stops waiting for end of file:
// a background grandchild may hold the pipes open forever.
struct stopper_t {
    pid_t pid;
    job_s* job;
    int grace_ms;
    int want_kill = 0;
    bool term_sent = false;
    bool kill_sent = false;
    bool reaped = false;
    int status = 0;
    uint64_t term_at = 0;

    // Returns true when the run should stop reading its pipes.
    bool check() {
        bool wanted = want_kill || (job && job->cancel.load());
        if (!wanted) return false;
        uint64_t now = now_ms();
        if (!term_sent) {
            kill(pid, SIGTERM);
            term_sent = true;
            term_at = now;
        }
        uint64_t grace = static_cast<uint64_t>(grace_ms > 0 ? grace_ms : DEFAULT_KILL_GRACE_MS);
        bool grace_over = now - term_at >= grace;
        if (!reaped && child_ended(pid)) {
            job_forget_pid(job);
            reaped = waitpid(pid, &status, 0) == pid;
        }
        // A reaped pid may already belong to someone else: it is never signalled again.
        if (grace_over && !kill_sent && !reaped) {
            kill(pid, SIGKILL);
            kill_sent = true;
        }
        return reaped && grace_over;
    }
};

void reap(stopper_t* st, exec_result_t* res) {
    if (!st->reaped) {
        // The pid stays in the job until the child has ended, so a cancel during this wait
        // still signals it; it is forgotten only before the zombie is reaped.
        siginfo_t si;
        while (waitid(P_PID, static_cast<id_t>(st->pid), &si, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
        }
        job_forget_pid(st->job);
        pid_t r;
        do r = waitpid(st->pid, &st->status, 0);
        while (r < 0 && errno == EINTR);
        if (r < 0) {
            res->spawn_errno = errno;
            return;
        }
    }
    record_status(st->status, res);
}

struct carry_t {
    char buf[CARRY_BYTES];
    size_t len = 0;
};

// Where a run's lines go: the callback with the line's length (NUL-terminated as well).
struct line_sink_t {
    line_len_cb_t cb;
    void* ctx;
    int* want_kill;
    void deliver(int which, const char* line, size_t len) const {
        if (cb && cb(ctx, which, line, len) != 0) *want_kill = 1;
    }
};

// Appends `n` bytes that hold no line feed, delivering full 8191-byte pieces as they fill.
void carry_bytes(carry_t* c, const char* p, size_t n, const line_sink_t& out, int which) {
    while (n > 0) {
        if (c->len == LINE_PIECE_MAX) {
            c->buf[c->len] = '\0';
            out.deliver(which, c->buf, c->len);
            c->len = 0;
        }
        size_t take = LINE_PIECE_MAX - c->len < n ? LINE_PIECE_MAX - c->len : n;
        memcpy(c->buf + c->len, p, take);
        c->len += take;
        p += take;
        n -= take;
    }
}

void end_line(carry_t* c, const line_sink_t& out, int which) {
    if (c->len > 0 && c->buf[c->len - 1] == '\r') c->len--;
    c->buf[c->len] = '\0';
    out.deliver(which, c->buf, c->len);
    c->len = 0;
}

// One read's worth of bytes into lines. -1 at end of file (the pipe is done), 0 otherwise
// (1 for a read error other than EAGAIN/EINTR; the pipe stays open). `rb` holds
// LINE_READ_BYTES + 1 bytes: each line is terminated in place.
int drain_pipe(int fd, int which, carry_t* c, char* rb, const line_sink_t& out) {
    ssize_t r = read(fd, rb, LINE_READ_BYTES);
    if (r == 0) {
        if (c->len > 0) {
            c->buf[c->len] = '\0';
            out.deliver(which, c->buf, c->len);
            c->len = 0;
        }
        return -1;
    }
    if (r < 0) return errno == EAGAIN || errno == EINTR ? 0 : 1;
    char* p = rb;
    char* end = rb + r;
    while (p < end) {
        char* lf = static_cast<char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
        if (!lf) {
            carry_bytes(c, p, static_cast<size_t>(end - p), out, which);
            break;
        }
        size_t n = static_cast<size_t>(lf - p);
        if (c->len == 0 && n <= LINE_PIECE_MAX) {
            // A whole line inside the read buffer goes out without passing through the carry.
            if (n > 0 && p[n - 1] == '\r') n--;
            p[n] = '\0';
            out.deliver(which, p, n);
        } else {
            carry_bytes(c, p, n, out, which);
            end_line(c, out, which);
        }
        p = lf + 1;
    }
    return 0;
}

// Reads once from a ready raw pipe: -1 at end of file, else 0.
int drain_raw(int fd, int which, raw_cb_t cb, void* ctx, int* want_kill) {
    char rb[RAW_READ_BYTES];
    ssize_t r = read(fd, rb, sizeof rb);
    if (r == 0) return -1;
    if (r < 0) return 0;
    if (cb && cb(ctx, which, rb, static_cast<size_t>(r)) != 0) *want_kill = 1;
    return 0;
}

// The shared loop of both runners; `drain` reads one ready pipe and returns -1 at its end;
// `pass_end` runs after every pass that read something and returns non-zero for a stop.
template <typename Drain, typename PassEnd>
int run_child(const exec_spec_t* spec, job_s* job, exec_result_t* res, Drain drain, PassEnd pass_end) {
    memset(res, 0, sizeof *res);
    pipes_t p;
    pid_t pid = spawn(spec, &p);
    if (pid < 0) return -1;
    if (job) job->pid.store(pid);

    stopper_t st{.pid = pid, .job = job, .grace_ms = spec->kill_grace_ms};
    unique_fd* pipes[2] = {&p.out_r, &p.err_r};
    int watch_fd = spec->watch_fd;
    while (p.out_r || p.err_r) {
        struct pollfd fds[3];
        int which_of[3] = {0, 0, 0};
        nfds_t n = 0;
        for (int w = 0; w < 2; w++) {
            if (!*pipes[w]) continue;
            fds[n] = {pipes[w]->get(), POLLIN, 0};
            which_of[n++] = w;
        }
        // Asking for no event still reports hang-up and error, and nothing else: the client's
        // next request stays unread, and a client that only shut down its sending side (which
        // reads as end of file, not hang-up) is still there. A failed event write shuts the
        // connection down, which reads as hang-up here too.
        if (watch_fd >= 0) fds[n++] = {watch_fd, 0, 0};
        int r = poll(fds, n, POLL_INTERVAL_MS);
        if (r < 0 && errno != EINTR) break;
        for (nfds_t i = 0; r > 0 && i < n; i++) {
            if (fds[i].fd == watch_fd) {
                if (!(fds[i].revents & (POLLERR | POLLHUP | POLLNVAL))) continue;
                st.want_kill = 1;
                watch_fd = -1;  // reported once; polling it again would spin through the grace
                continue;
            }
            if (!(fds[i].revents & (POLLIN | POLLERR | POLLHUP))) continue;
            int w = which_of[i];
            if (drain(pipes[w]->get(), w + 1, &st.want_kill) < 0) pipes[w]->reset();
        }
        if (r > 0 && pass_end() != 0) st.want_kill = 1;
        if (st.check()) break;
    }
    p.out_r.reset();
    p.err_r.reset();
    reap(&st, res);
    return 0;
}

}  // namespace

int exec_fd_bound() {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < INT_MAX)
        return static_cast<int>(rl.rlim_cur);
    return 65536;
}

void exec_close_descriptors(int fd_bound) {
    // Every descriptor goes, not only the close-on-exec ones; the loop is for kernels
    // without close_range.
    if (syscall(SYS_close_range, 3u, ~0u, 0u) != 0)
        for (int fd = 3; fd < fd_bound; fd++) close(fd);
}

// ---- the spawn routine ----
//
// The child is created with clone(CLONE_VM | CLONE_VFORK): it runs in the daemon's memory on
// a stack of its own until it executes its program or exits, while the calling thread waits;
// nothing of the daemon is copied, so a start costs the same whatever the daemon's size.
// Since the child shares the daemon's memory, other threads may hold any lock and any signal
// handler would run on the daemon's data: the child is entered with every signal blocked, sets
// every disposition to its default before it unblocks them, and makes raw system calls only
// (no C library function that keeps state, and nothing a sanitizer intercepts or instruments).

namespace {

#define CHILD_CODE __attribute__((no_sanitize("address", "thread", "undefined"), noinline))

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define SPAWN_UNDER_TSAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__) || defined(SPAWN_UNDER_TSAN)
// ThreadSanitizer's clone interceptor treats every clone as a fork and resets its runtime in
// the child, which a child sharing the daemon's memory must never do; the C library's own
// entry point is called past it.
extern "C" int __clone(int (*fn)(void*), void* stack, int flags, void* arg, ...);
#define SPAWN_CLONE __clone
#else
#define SPAWN_CLONE clone
#endif

constexpr size_t CHILD_STACK_BYTES = 16384;
constexpr int CLONE_SPAWN_FLAGS = CLONE_VM | CLONE_VFORK | SIGCHLD;
constexpr int CHILD_SETUP_FAILED = 127;
constexpr int DETACH_CLONE_FAILED = 126;
constexpr int KERNEL_NSIG = 64;

// The kernel's own sigaction layout (rt_sigaction), not the C library's.
struct kernel_sigaction_t {
    void (*handler)(int);
    unsigned long flags;
    void (*restorer)();
    uint64_t mask;
};

struct spawn_ctx_t {
    const exec_child_t* c;
    char* const* envp;
    int fd_bound;
    char* detach_stack;  // top of the program's stack when it starts from an intermediate
    int err;             // errno of the step that failed, written by the child
};

// Raw system calls, so nothing below touches state of the C library but errno.
CHILD_CODE long sys3(long nr, long a, long b, long c) { return syscall(nr, a, b, c); }

CHILD_CODE void set_sigmask(const uint64_t* set, uint64_t* old) {
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, set, old, sizeof(uint64_t));
}

[[noreturn]] CHILD_CODE void child_exit(spawn_ctx_t* x, int status, bool failed) {
    if (failed) x->err = errno;
    syscall(SYS_exit_group, status);
    __builtin_unreachable();
}

// Makes stdio[0..2] descriptors 0-2: stdin /dev/null when none is given (inherited when even
// that cannot be opened), stdout and stderr inherited when none is given. 0, or -1.
CHILD_CODE int child_stdio(const int* stdio) {
    int src[3] = {stdio[0], stdio[1], stdio[2]};
    if (src[0] < 0) src[0] = static_cast<int>(sys3(SYS_openat, AT_FDCWD, reinterpret_cast<long>("/dev/null"),
                                                    O_RDONLY | O_CLOEXEC));
    // A source sitting on another standard descriptor moves out of the way first.
    for (int i = 0; i < 3; i++)
        if (src[i] >= 0 && src[i] < 3 && src[i] != i &&
            (src[i] = static_cast<int>(sys3(SYS_fcntl, src[i], F_DUPFD_CLOEXEC, 3))) < 0)
            return -1;
    for (int i = 0; i < 3; i++) {
        if (src[i] < 0) continue;
        long r = src[i] == i ? sys3(SYS_fcntl, i, F_SETFD, 0) : sys3(SYS_dup3, src[i], i, 0);
        if (r < 0) return -1;
    }
    return 0;
}

CHILD_CODE void child_close_from_3(int fd_bound) {
    if (sys3(SYS_close_range, 3, ~0u, 0) != 0)
        for (int fd = 3; fd < fd_bound; fd++) sys3(SYS_close, fd, 0, 0);
}

// The program's own process: default dispositions (SIGHUP ignored when asked), the OOM
// protection when asked, an empty mask, then the program. Exits 127 when it cannot run it.
[[noreturn]] CHILD_CODE int program_main(void* arg) {
    auto* x = static_cast<spawn_ctx_t*>(arg);
    const exec_child_t* c = x->c;
    kernel_sigaction_t sa = {};
    for (int s = 1; s <= KERNEL_NSIG; s++) {
        sa.handler = s == SIGHUP && c->ignore_sighup ? SIG_IGN : SIG_DFL;
        syscall(SYS_rt_sigaction, s, &sa, nullptr, sizeof sa.mask);  // SIGKILL and SIGSTOP refuse
    }
    if (c->oom_protect) {
        long fd = sys3(SYS_openat, AT_FDCWD, reinterpret_cast<long>("/proc/self/oom_score_adj"), O_WRONLY | O_CLOEXEC);
        if (fd >= 0) {
            sys3(SYS_write, fd, reinterpret_cast<long>("-1000\n"), 6);
            sys3(SYS_close, fd, 0, 0);
        }
    }
    const uint64_t none = 0;
    set_sigmask(&none, nullptr);
    sys3(SYS_execve, reinterpret_cast<long>(c->argv[0]), reinterpret_cast<long>(c->argv),
         reinterpret_cast<long>(x->envp));
    child_exit(x, CHILD_SETUP_FAILED, true);
}

// The first process: session, standard descriptors, no other descriptor, working directory;
// then the program here, or from a second process when detaching, this one exiting at once.
[[noreturn]] CHILD_CODE int child_main(void* arg) {
    auto* x = static_cast<spawn_ctx_t*>(arg);
    const exec_child_t* c = x->c;
    if (c->new_session) syscall(SYS_setsid);
    if (child_stdio(c->stdio) != 0) child_exit(x, CHILD_SETUP_FAILED, true);
    if (c->controlling_tty) sys3(SYS_ioctl, 0, TIOCSCTTY, 0);
    child_close_from_3(x->fd_bound);
    if (c->cwd && c->cwd[0] && sys3(SYS_chdir, reinterpret_cast<long>(c->cwd), 0, 0) != 0)
        child_exit(x, CHILD_SETUP_FAILED, true);
    if (!c->detach) program_main(x);
    // The program is created sharing memory too, and has started (or failed) when this returns.
    if (SPAWN_CLONE(program_main, x->detach_stack, CLONE_SPAWN_FLAGS, x) < 0) child_exit(x, DETACH_CLONE_FAILED, true);
    child_exit(x, 0, false);
}

}  // namespace

pid_t exec_spawn(const exec_child_t* c, int* err) {
    spawn_ctx_t x = {c, c->envp ? c->envp : environ, exec_fd_bound(), nullptr, 0};
    // The child runs on these while this thread waits for it, so they may live in its frame.
    alignas(16) char stacks[2][CHILD_STACK_BYTES];
    x.detach_stack = stacks[1] + CHILD_STACK_BYTES;
    // Every signal blocked, the C library's internal ones too: no handler may run in the child.
    const uint64_t all = ~0ull;
    uint64_t old = 0;
    set_sigmask(&all, &old);
    pid_t pid = SPAWN_CLONE(child_main, stacks[0] + CHILD_STACK_BYTES, CLONE_SPAWN_FLAGS, &x);
    int clone_errno = errno;
    set_sigmask(&old, nullptr);
    if (pid < 0) {
        errno = clone_errno;
        return -1;
    }
    if (c->detach) {
        // The intermediate has already ended: it only waited for the program to start.
        int status = 0;
        pid_t r;
        do r = waitpid(pid, &status, 0);
        while (r < 0 && errno == EINTR);
        if (r == pid && WIFEXITED(status) && WEXITSTATUS(status) == DETACH_CLONE_FAILED) {
            errno = x.err;  // the program's process could not be created
            return -1;
        }
    }
    if (err) *err = x.err;
    return pid;
}

namespace {

struct plain_lines_t {
    line_cb_t cb;
    void* ctx;
};

int plain_line(void* ctx, int which, const char* line, size_t) {
    auto* p = static_cast<plain_lines_t*>(ctx);
    return p->cb ? p->cb(p->ctx, which, line) : 0;
}

}  // namespace

int exec_stream(const exec_spec_t* spec, line_cb_t cb, void* ctx, job_s* job, exec_result_t* res) {
    plain_lines_t plain = {cb, ctx};
    return exec_stream_batched(spec, plain_line, nullptr, &plain, job, res);
}

int exec_stream_batched(const exec_spec_t* spec, line_len_cb_t cb, pass_end_cb_t pass_end, void* ctx, job_s* job,
                        exec_result_t* res) {
    carry_t carries[2];
    // One buffer for both pipes: each read's lines are delivered before the next read.
    std::unique_ptr<char[]> rb(new (std::nothrow) char[LINE_READ_BYTES + 1]);
    if (!rb) {
        memset(res, 0, sizeof *res);
        return -1;
    }
    return run_child(
        spec, job, res,
        [&](int fd, int which, int* want_kill) {
            return drain_pipe(fd, which, &carries[which - 1], rb.get(), line_sink_t{cb, ctx, want_kill});
        },
        [&] { return pass_end ? pass_end(ctx) : 0; });
}

int exec_stream_raw(const exec_spec_t* spec, raw_cb_t cb, void* ctx, job_s* job, exec_result_t* res) {
    return run_child(
        spec, job, res,
        [&](int fd, int which, int* want_kill) { return drain_raw(fd, which, cb, ctx, want_kill); },
        [] { return 0; });
}

// ---- processes by name ----

namespace {

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
    constexpr long MATCH_KILL_GAP_US = 100000;
    DIR* d = opendir("/proc");
    if (!d) return 0;
    int count = 0;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        int pid = atoi(e->d_name);
        char comm[64];
        if (pid < 2 || !comm_of(pid, comm, sizeof comm) || !matches(comm)) continue;
        kill(pid, SIGTERM);
        struct timespec ts = {0, MATCH_KILL_GAP_US * 1000};
        while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
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
    struct timespec ts = {0, KILL_PASS_GAP_MS * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
    signal_children_named(d, name, self, SIGKILL);
    closedir(d);
}
