#include "proc/runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "base/cancel.h"
#include "base/child_status.h"
#include "base/clock.h"
#include "base/fdio.h"
#include "proc/procfs.h"
#include "proc/spawn.h"

namespace {

constexpr int POLL_INTERVAL_MS = 200;
constexpr int DEFAULT_KILL_GRACE_MS = 250;
constexpr int RECHECK_MS = 20;  // a stopped group's end, or without a pidfd its leader's
constexpr size_t CARRY_BYTES = 8192;
constexpr size_t LINE_PIECE_MAX = CARRY_BYTES - 1;  // longer lines arrive in pieces of this size
constexpr size_t LINE_READ_BYTES = 65536;           // a pipe's whole capacity in one read
constexpr size_t RAW_READ_BYTES = 16384;

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
    c.cwd_fd = spec->cwd_fd;
    c.umask = spec->umask;
    c.new_group = true;
    c.stdio[0] = spec->stdin_fd;
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

// Whether a process other than the leader is still in group `pgid` (zombies do not count:
// they hold nothing). Read from /proc, only while a stop is under way.
bool group_lives_on(pid_t pgid) {
    proc_scan_t scan;
    if (!scan.ok()) return true;  // unknown: the grace and SIGKILL decide
    proc_stat_t st;
    while (int pid = scan.next())
        if (pid != pgid && procfs_stat(scan.fd(), pid, &st) == 0 && st.pgrp == pgid && st.state != 'Z' &&
            st.state != 'X')
            return true;
    return false;
}

// The stop protocol of one run: SIGTERM to the child's group once a stop is wanted, one
// SIGKILL to it after the grace. The leader is never reaped before the run is over, so its
// number names this group (the kernel gives no new process a number that is still a group's
// id or an unreaped child's) whenever a signal goes out, here or from whoever the token
// publishes the child to (a job's cancel, the daemon's stop).
struct stopper_t {
    pid_t pid;
    const cancel_token_t* cancel;
    int grace_ms;
    uint64_t deadline_at = 0;  // 0: none
    int want_kill = 0;
    bool timed_out = false;
    bool term_sent = false;
    bool kill_sent = false;
    uint64_t term_at = 0;

    uint64_t grace() const { return static_cast<uint64_t>(grace_ms > 0 ? grace_ms : DEFAULT_KILL_GRACE_MS); }

    bool stop_wanted() {
        if (want_kill || cancel->cancelled()) return true;
        if (deadline_at == 0 || now_ms() < deadline_at) return false;
        timed_out = true;
        want_kill = 1;
        return true;
    }

    void signal_group() {
        if (!stop_wanted()) return;
        uint64_t now = now_ms();
        if (!term_sent) {
            kill(-pid, SIGTERM);
            term_sent = true;
            term_at = now;
        }
        if (!kill_sent && now - term_at >= grace()) {
            kill(-pid, SIGKILL);
            kill_sent = true;
        }
    }

    // True when a stopped run may stop reading: the group was killed and its leader ended.
    // A background process elsewhere may hold the pipes open for ever.
    bool killed() const { return kill_sent && child_ended(pid); }

    // Until the next thing to do: the SIGKILL, the deadline, or the usual cadence.
    int poll_ms() const {
        uint64_t now = now_ms();
        uint64_t ms = POLL_INTERVAL_MS;
        uint64_t at = term_sent ? (kill_sent ? 0 : term_at + grace()) : deadline_at;
        if (at != 0) ms = at <= now ? 0 : std::min(ms, at - now);
        return static_cast<int>(ms);
    }
};

// Whether the client's connection reports hang-up or error (never read: the next request
// stays unread). Reported once: polling it again would spin through the grace.
bool watch_hung_up(const struct pollfd& p, int* watch_fd) {
    if (p.fd != *watch_fd || !(p.revents & (POLLERR | POLLHUP | POLLNVAL))) return false;
    *watch_fd = -1;
    return true;
}

// After the output has ended: waits for the leader while the cancel flag, the client and the
// deadline are still watched. A stopped run also waits for the rest of the group to go, until
// the SIGKILL has gone out.
void final_wait(stopper_t* st, int watch_fd) {
    unique_fd pidfd;
    bool pidfd_tried = false;
    for (;;) {
        st->signal_group();
        bool ended = child_ended(st->pid);
        if (ended && (!st->term_sent || st->kill_sent || !group_lives_on(st->pid))) return;
        if (!ended && !pidfd_tried) {
            pidfd.reset(static_cast<int>(syscall(SYS_pidfd_open, st->pid, 0)));
            pidfd_tried = true;
        }
        struct pollfd fds[2];
        nfds_t n = 0;
        if (!ended && pidfd) fds[n++] = {pidfd.get(), POLLIN, 0};
        if (watch_fd >= 0) fds[n++] = {watch_fd, 0, 0};
        // The rest of a stopped group is looked for again soon (its members' pipes close while
        // they exit, a moment before they are gone), and so is the leader without a pidfd (an
        // old kernel).
        int wait = st->poll_ms();
        if (ended || !pidfd) wait = std::min(wait, RECHECK_MS);
        int r = poll(fds, n, wait);
        for (nfds_t i = 0; r > 0 && i < n; i++)
            if (watch_hung_up(fds[i], &watch_fd)) st->want_kill = 1;
    }
}

void reap(stopper_t* st, int watch_fd, exec_result_t* res) {
    // The pid stays published until the group is done with, so a cancel or the daemon's stop
    // during this wait still reaches it; it is forgotten only before the leader is reaped.
    final_wait(st, watch_fd);
    st->cancel->forget_child();
    int status = 0;
    if (child_reap(st->pid, &status) < 0) {
        res->spawn_errno = errno;
        return;
    }
    child_status_t cs = child_status_of(status);
    res->exit_code = cs.exit_code;
    res->term_signal = cs.term_signal;
    res->timed_out = st->timed_out ? 1 : 0;
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
int run_child(const exec_spec_t* spec, const cancel_token_t& cancel, exec_result_t* res, Drain drain,
              PassEnd pass_end) {
    memset(res, 0, sizeof *res);
    pipes_t p;
    pid_t pid = spawn(spec, &p);
    if (pid < 0) return -1;
    cancel.publish_child(pid);

    stopper_t st{.pid = pid, .cancel = &cancel, .grace_ms = spec->kill_grace_ms};
    if (cancel.deadline_ms > 0) st.deadline_at = now_ms() + static_cast<uint64_t>(cancel.deadline_ms);
    unique_fd* pipes[2] = {&p.out_r, &p.err_r};
    int watch_fd = cancel.watch_fd;
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
        int r = poll(fds, n, st.poll_ms());
        if (r < 0 && errno != EINTR) break;
        for (nfds_t i = 0; r > 0 && i < n; i++) {
            if (fds[i].fd == watch_fd) {
                if (watch_hung_up(fds[i], &watch_fd)) st.want_kill = 1;
                continue;
            }
            if (!(fds[i].revents & (POLLIN | POLLERR | POLLHUP))) continue;
            int w = which_of[i];
            if (drain(pipes[w]->get(), w + 1, &st.want_kill) < 0) pipes[w]->reset();
        }
        if (r > 0 && pass_end() != 0) st.want_kill = 1;
        st.signal_group();
        if (st.killed()) break;
    }
    p.out_r.reset();
    p.err_r.reset();
    reap(&st, watch_fd, res);
    return 0;
}

}  // namespace

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

int exec_stream(const exec_spec_t* spec, line_cb_t cb, void* ctx, const cancel_token_t& cancel, exec_result_t* res) {
    plain_lines_t plain = {cb, ctx};
    return exec_stream_batched(spec, plain_line, nullptr, &plain, cancel, res);
}

int exec_stream_batched(const exec_spec_t* spec, line_len_cb_t cb, pass_end_cb_t pass_end, void* ctx,
                        const cancel_token_t& cancel, exec_result_t* res) {
    carry_t carries[2];
    // One buffer for both pipes: each read's lines are delivered before the next read.
    std::unique_ptr<char[]> rb(new (std::nothrow) char[LINE_READ_BYTES + 1]);
    if (!rb) {
        memset(res, 0, sizeof *res);
        return -1;
    }
    return run_child(
        spec, cancel, res,
        [&](int fd, int which, int* want_kill) {
            return drain_pipe(fd, which, &carries[which - 1], rb.get(), line_sink_t{cb, ctx, want_kill});
        },
        [&] { return pass_end ? pass_end(ctx) : 0; });
}

int exec_stream_raw(const exec_spec_t* spec, raw_cb_t cb, void* ctx, const cancel_token_t& cancel, exec_result_t* res) {
    return run_child(
        spec, cancel, res, [&](int fd, int which, int* want_kill) { return drain_raw(fd, which, cb, ctx, want_kill); },
        [] { return 0; });
}
