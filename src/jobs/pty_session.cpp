#include "jobs/pty_session.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/child_status.h"
#include "base/clock.h"
#include "base/fdio.h"
#include "base/sb.h"
#include "jobs/jobs_internal.h"

namespace {

constexpr size_t PTY_READ_CHUNK_BYTES = 65536;  // one read from the terminal at most
// The reader takes what the terminal holds in reads until it has nothing more, up to this
// much, before it looks at the shell and the cancel flag again: a flood costs no poll and
// no status check per read. (Each append wakes the tailers at once: a tailer busy sending
// costs nothing to wake, and one that waits gets to work in parallel.)
constexpr size_t READER_BURST_BYTES = 65536;
constexpr int READER_POLL_MS = 200;  // how late a cancel of a silent shell is seen
constexpr int CANCEL_KILL_GRACE_MS = 150;
constexpr int HANGUP_REAP_TRIES = 10;
constexpr int HANGUP_REAP_STEP_MS = 100;
// Output still queued in the terminal when the shell is found reaped: the line discipline
// and the flip buffers together hold about 70 KiB and a read returns at most 4 KiB of it,
// so 32 reads drain them fully while still bounding a background job that keeps writing
// after the shell has gone.
constexpr int POST_EXIT_DRAIN_CHUNKS = 32;
constexpr int PTY_WRITE_POLL_MS = 100;

// The live session with this id (running); caller holds the table lock.
job_t* find_live_session_locked(const char* id) REQUIRES(g_jobs_mu) {
    job_t* j = job_live_locked(id);
    return j && j->state == job_state_t::running ? j : nullptr;
}

// A private close-on-exec duplicate of the session's master. Writers and resizers work on it
// after dropping the table lock, so a close running meanwhile can never make them touch a
// closed descriptor or one reused by another open.
int dup_master_locked(const pty_session_t* s) REQUIRES(g_jobs_mu) {
    return s->master_fd >= 0 ? fcntl(s->master_fd, F_DUPFD_CLOEXEC, 0) : -1;
}

// What a tailer is told of the shell's end: its exit status, or minus the signal that
// killed it.
int pty_exit_code(const child_status_t& st) { return st.term_signal ? -st.term_signal : st.exit_code; }

// Clears the slot's pid under the table lock and only then reaps: every signal sent by
// number goes out under that lock, so none can reach a process that reuses the number.
child_status_t reap_shell(job_t* job, pid_t pid) {
    job_forget_pid(job);
    int status = 0;
    if (child_reap(pid, &status) != pid) return {};
    return child_status_of(status);
}

// The session and process group of process `pid` from its /proc stat (fields 6 and 5, read
// after the last ')' since the command name may hold anything). false when it has gone.
bool session_and_group(int procfd, const char* pid, pid_t* sid, pid_t* pgrp) {
    char path[64], buf[512];
    snprintf(path, sizeof path, "%s/stat", pid);
    if (read_small_at(procfd, path, buf, sizeof buf) <= 0) return false;
    const char* p = strrchr(buf, ')');
    int s = 0, g = 0;
    if (!p || sscanf(p + 1, " %*c %*d %d %d", &g, &s) != 2) return false;
    *sid = s;
    *pgrp = g;
    return true;
}

// The distinct process groups that have a member in session `sid`. A process that ends
// during the scan is missed, and its group with it when it was the last member.
std::vector<pid_t> session_groups(pid_t sid) {
    std::vector<pid_t> groups;
    scoped_dir dir(opendir("/proc"));
    if (!dir) return groups;
    while (const struct dirent* d = readdir(dir.get())) {
        pid_t s = 0, g = 0;
        if (d->d_name[0] < '1' || d->d_name[0] > '9' || !session_and_group(dirfd(dir.get()), d->d_name, &s, &g))
            continue;
        if (s == sid && g > 1 && std::find(groups.begin(), groups.end(), g) == groups.end()) groups.push_back(g);
    }
    return groups;
}

// What a terminal hang-up does to the session the shell leads: SIGHUP to the shell and to every
// process group in its session, background jobs included (a shell such as dash does not pass
// the hang-up on). Sent only while the shell is unreaped: until then its number, which is also
// its session and group id, names no other process; a group number found in the scan is held
// by its members.
void hang_up_groups(pid_t shell) {
    if (shell <= 1) return;
    kill(shell, SIGHUP);
    for (pid_t g : session_groups(shell)) kill(-g, SIGHUP);
}

// The hang-up, then, after the grace, SIGKILL to the shell's own group. Programs in other
// groups that ignore SIGHUP (nohup) live on, as on a terminal that hangs up.
void hang_up_session(pid_t shell) {
    if (shell <= 1) return;
    hang_up_groups(shell);
    sleep_ms(CANCEL_KILL_GRACE_MS);
    kill(-shell, SIGKILL);
}

// How many bytes may be appended without overwriting output an attached tailer has not
// read: the whole ring with no tailer (the oldest bytes then go) or once the session is
// cancelled (the shell is to be stopped at once, not held in a write; a slow tailer may then
// miss its last output). A tailer beyond the newest byte counts as caught up, one before the
// oldest still held as at the oldest.
size_t ring_room_locked(const pty_session_t* s) REQUIRES(s->rmu) {
    if (!s->tails || s->job->cancel.load()) return s->ring_cap;
    const unsigned long long oldest = s->ring_total - s->ring_len;
    unsigned long long slowest = s->ring_total;
    for (const pty_tail_t* t = s->tails; t; t = t->next)
        if (t->off < slowest) slowest = t->off < oldest ? oldest : t->off;
    return s->ring_cap - static_cast<size_t>(s->ring_total - slowest);
}

// The room at which a held reader resumes: half a ring, so a slow tailer wakes it once per
// half ring it reads, not once per read.
size_t resume_room(const pty_session_t* s) { return s->ring_cap / 2; }

// Waits up to `ms` for the slowest tailer to catch up while the ring has no room left.
// Returns the room (0 when still held back).
size_t wait_for_room(pty_session_t* s, int ms) EXCLUDES(s->rmu) {
    unique_lock_t lock(s->rmu);
    size_t room = ring_room_locked(s);
    if (room > 0) return room;
    s->held = true;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while ((room = ring_room_locked(s)) < resume_room(s))
        if (s->room_cv.wait_until(lock.native(), until) == std::cv_status::timeout) {
            room = ring_room_locked(s);
            break;
        }
    s->held = false;
    return room >= resume_room(s) ? room : 0;
}

// Appends what one read took, moves the room on and wakes the tailers.
void take_output(pty_session_t* s, const unsigned char* buf, size_t n, size_t* room) EXCLUDES(s->rmu) {
    lock_guard_t lock(s->rmu);
    pty_ring_append(s, buf, n);
    *room = ring_room_locked(s);
    s->rcv.notify_all();
}

// Reads what the terminal holds into the ring, at most `*room` bytes (updated) and a burst.
// >0 bytes taken; 0 nothing waiting (or no room); -1 end of the terminal (end of file, or an
// error such as EIO once the shell side is gone) before any byte.
ssize_t read_burst(pty_session_t* s, int fd, unsigned char* buf, size_t* room) {
    size_t total = 0;
    bool ended = false;
    while (*room > 0 && total < READER_BURST_BYTES) {
        ssize_t r = read(fd, buf, *room < PTY_READ_CHUNK_BYTES ? *room : PTY_READ_CHUNK_BYTES);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            ended = r == 0 || errno != EAGAIN;
            break;
        }
        take_output(s, buf, static_cast<size_t>(r), room);
        total += static_cast<size_t>(r);
    }
    if (total == 0) return ended ? -1 : 0;
    return static_cast<ssize_t>(total);
}

// The reader's view of its session. Once the session is cancelled (a close, a cancel by id, the
// daemon's stop) the whole session is hung up, once, before the shell is reaped, however the
// reader learns of its end.
struct reader_t {
    pty_session_t* s;
    int fd;
    bool hung_up = false;

    void hang_up_if_cancelled() {
        if (hung_up || !s->job->cancel.load()) return;
        hang_up_session(s->shell);
        hung_up = true;
    }
    child_status_t reap() {
        hang_up_if_cancelled();
        return reap_shell(s->job, s->shell);
    }
};

// The terminal reported its end: hang the shell up, give it about a second, then kill it.
child_status_t hangup_and_reap(reader_t* rd) {
    const pid_t pid = rd->s->shell;
    kill(pid, SIGHUP);
    for (int i = 0; i < HANGUP_REAP_TRIES; i++) {
        if (i) sleep_ms(HANGUP_REAP_STEP_MS);
        if (child_ended(pid)) return rd->reap();
    }
    sleep_ms(HANGUP_REAP_STEP_MS);
    kill(pid, SIGKILL);
    return rd->reap();
}

// Output the terminal still holds once the shell is gone, held back like any other: a
// bounded number of non-blocking reads, each waiting for room first.
void drain_after_exit(pty_session_t* s, int fd, unsigned char* buf, size_t* room) {
    for (int i = 0; i < POST_EXIT_DRAIN_CHUNKS;) {
        if (*room == 0 && (*room = wait_for_room(s, READER_POLL_MS)) == 0) continue;
        ssize_t r;
        do r = read(fd, buf, *room < PTY_READ_CHUNK_BYTES ? *room : PTY_READ_CHUNK_BYTES);
        while (r < 0 && errno == EINTR);
        if (r <= 0) return;
        take_output(s, buf, static_cast<size_t>(r), room);
        i++;
    }
}

// Fills the ring until the shell is reaped, then publishes how it ended. The master is
// non-blocking, so no read here can hang once the shell is gone. Only this thread reaps
// the shell, so its own signals before the reap cannot reach another process. While the
// slowest tailer is a ring's worth behind, the terminal is not read at all.
void* pty_reader(void* arg) {
    auto* s = static_cast<pty_session_t*>(arg);
    int master = -1;
    {
        // The master stays open until the close has joined this thread.
        lock_guard_t lock(g_jobs_mu);
        master = s->master_fd;
    }
    reader_t rd{s, master};
    unsigned char buf[PTY_READ_CHUNK_BYTES];
    size_t room = 0;    // found out before the first read
    bool idle = false;  // the last read found nothing: wait for the terminal first
    child_status_t st;
    for (;;) {
        rd.hang_up_if_cancelled();
        if (room == 0 && (room = wait_for_room(s, READER_POLL_MS)) == 0) continue;  // held back
        if (idle) {
            struct pollfd p = {rd.fd, POLLIN, 0};
            if (poll(&p, 1, READER_POLL_MS) < 0 && errno != EINTR) {
                st = hangup_and_reap(&rd);
                break;
            }
        }
        ssize_t r = read_burst(s, rd.fd, buf, &room);
        if (r < 0) {
            st = hangup_and_reap(&rd);
            break;
        }
        if (child_ended(s->shell)) {
            drain_after_exit(s, rd.fd, buf, &room);
            st = rd.reap();
            break;
        }
        idle = r == 0;
    }
    lock_guard_t lock(s->rmu);
    s->status = st;
    s->child_exited.store(1);
    s->rcv.notify_all();
    return nullptr;
}

// Writes all of `buf`, waiting while the terminal's input queue is full, but giving up once
// it has accepted nothing for PTY_WRITE_STALL_MS (a program that never reads its input).
// *done counts the bytes the terminal took. 0, PTY_WRITE_STALLED, or PTY_WRITE_ENDED for a
// write error (the terminal fails writes once nothing holds its other side open).
int write_all_bounded(int fd, const unsigned char* buf, size_t n, size_t* done) {
    int stalled_ms = 0;
    while (*done < n) {
        ssize_t w = write(fd, buf + *done, n - *done);
        if (w > 0) {
            *done += static_cast<size_t>(w);
            stalled_ms = 0;
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno != EAGAIN) return PTY_WRITE_ENDED;
        if (stalled_ms >= PTY_WRITE_STALL_MS) return PTY_WRITE_STALLED;
        struct pollfd p = {fd, POLLOUT, 0};
        poll(&p, 1, PTY_WRITE_POLL_MS);
        stalled_ms += PTY_WRITE_POLL_MS;
    }
    return 0;
}

void link_tail_locked(pty_session_t* s, pty_tail_t* t) REQUIRES(s->rmu) {
    t->prev = nullptr;
    t->next = s->tails;
    if (s->tails) s->tails->prev = t;
    s->tails = t;
    s->tailers++;
}

// Hangs `s` on the claimed slot with the shell's pid, so that lookups and signals find it,
// and starts the reader. The pid goes in first: the reader clears it before it reaps.
// false (the slot as it was) when the slot is not claimed or the thread cannot be created.
bool publish_and_start(job_t* job, pty_session_t* s) EXCLUDES(g_jobs_mu) {
    {
        lock_guard_t lock(g_jobs_mu);
        if (job->state != job_state_t::claimed || job->session) return false;
        job->session = s;
        job->pid.store(s->shell);
    }
    const bool started = pthread_create(&s->reader, nullptr, pty_reader, s) == 0;
    lock_guard_t lock(g_jobs_mu);
    // Only the holder of a claimed slot moves it on, and the holder is here: this cannot fail.
    if (started && job_transition(job, job_state_t::claimed, job_state_t::running)) {
        s->reader_started = true;
        return true;
    }
    job->session = nullptr;
    job->pid.store(0);
    return false;
}

}  // namespace

pty_session_t::pty_session_t(job_t* job_, int master_fd_, pid_t shell_, int rows_, int cols_, const char* tty_,
                             size_t ring_cap_)
    : job(job_),
      shell(shell_),
      created(static_cast<long>(time(nullptr))),
      ring_cap(ring_cap_),
      master_fd(master_fd_),
      rows(rows_),
      cols(cols_),
      ring(new (std::nothrow) unsigned char[ring_cap_]) {
    snprintf(tty, sizeof tty, "%s", tty_ ? tty_ : "");
}

void pty_ring_append(pty_session_t* s, const unsigned char* data, size_t n) {
    if (!s->ring || s->ring_cap == 0 || n == 0) return;
    const size_t cap = s->ring_cap;
    const size_t keep = n < cap ? n : cap;  // only the newest `cap` bytes can survive
    const unsigned char* src = data + (n - keep);
    const size_t pos = static_cast<size_t>((s->ring_total + (n - keep)) % cap);
    const size_t first = cap - pos < keep ? cap - pos : keep;
    memcpy(s->ring.get() + pos, src, first);
    memcpy(s->ring.get(), src + first, keep - first);
    s->ring_len = n >= cap - s->ring_len ? cap : s->ring_len + n;
    s->ring_total += n;
}

int job_pty_start(job_t* job, int master_fd, pid_t pid, int rows, int cols, const char* tty, size_t ring_cap,
                  pty_tail_t* creator) {
    // A pid below 1 would turn every later kill into a signal to a whole process group.
    if (!job || !creator || master_fd < 0 || pid < 1 || ring_cap == 0) return -1;
    std::unique_ptr<pty_session_t> s(new (std::nothrow) pty_session_t(job, master_fd, pid, rows, cols, tty, ring_cap));
    if (!s || !s->ring) return -1;
    int fl = fcntl(master_fd, F_GETFL);
    if (fl < 0 || fcntl(master_fd, F_SETFL, fl | O_NONBLOCK) != 0) return -1;
    {
        lock_guard_t lock(s->rmu);
        creator->off = 0;
        link_tail_locked(s.get(), creator);
    }
    if (!publish_and_start(job, s.get())) return -1;
    static_cast<void>(s.release());  // job->session owns it now; job_pty_close deletes it
    return 0;
}

job_t* job_pty_acquire(const char* id, pty_tail_t* tail) {
    if (!tail) return nullptr;
    lock_guard_t lock(g_jobs_mu);
    job_t* j = find_live_session_locked(id);
    if (!j) return nullptr;
    pty_session_t* s = j->session;
    lock_guard_t rl(s->rmu);
    link_tail_locked(s, tail);
    return j;
}

void job_pty_tail_release(job_t* job, pty_tail_t* tail) {
    pty_session_t* s = job ? job->session : nullptr;
    if (!s) return;
    lock_guard_t lock(s->rmu);
    bool linked = false;
    for (const pty_tail_t* t = s->tails; t && !linked; t = t->next) linked = t == tail;
    if (linked) {
        if (tail->prev) tail->prev->next = tail->next;
        else s->tails = tail->next;
        if (tail->next) tail->next->prev = tail->prev;
        tail->prev = tail->next = nullptr;
    }
    if (s->tailers > 0) s->tailers--;
    s->rcv.notify_all();
    s->room_cv.notify_all();  // the slowest tailer may have been this one
}

int job_pty_read(job_t* job, pty_tail_t* tail, unsigned char* buf, size_t cap, size_t* n, int* exit_code, int wait_ms) {
    if (n) *n = 0;
    pty_session_t* s = job ? job->session : nullptr;
    if (!s || !tail || !buf || cap == 0) return -1;
    unsigned long long* off = &tail->off;
    if (cap > INT_MAX) cap = INT_MAX;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    unique_lock_t lock(s->rmu);
    // Only a close ends a read early (it sets `closed` under rmu and broadcasts). A cancelled
    // session reads like one whose shell ended: its output up to the end, then its exit.
    while (*off >= s->ring_total && !s->child_exited.load()) {
        if (s->closed) return -1;
        if (wait_ms < 0) s->rcv.wait(lock.native());
        else if (s->rcv.wait_until(lock.native(), until) == std::cv_status::timeout && *off >= s->ring_total &&
                 !s->child_exited.load() && !s->closed)
            return PTY_READ_IDLE;
    }
    if (s->closed) return -1;
    if (*off >= s->ring_total) {
        if (exit_code) *exit_code = pty_exit_code(s->status);
        return 0;
    }
    unsigned long long oldest = s->ring_total - s->ring_len;
    // Behind the oldest byte only when no tailer held the reader back meanwhile (a late
    // attach from 0, or output while nobody tailed): the overwritten bytes are skipped.
    if (*off < oldest) *off = oldest;
    unsigned long long avail = s->ring_total - *off;
    size_t take = avail < cap ? static_cast<size_t>(avail) : cap;
    size_t pos = static_cast<size_t>(*off % s->ring_cap);
    size_t first = s->ring_cap - pos < take ? s->ring_cap - pos : take;
    memcpy(buf, s->ring.get() + pos, first);
    memcpy(buf + first, s->ring.get(), take - first);
    *off += take;
    if (n) *n = take;
    if (s->held && ring_room_locked(s) >= resume_room(s)) s->room_cv.notify_one();
    return static_cast<int>(take);
}

int job_pty_write(const char* id, const unsigned char* buf, size_t n, size_t* written) {
    size_t done = 0;
    if (written) *written = 0;
    unique_fd fd;
    {
        lock_guard_t lock(g_jobs_mu);
        job_t* j = find_live_session_locked(id);
        if (!j) return PTY_WRITE_NO_SESSION;
        // Input to a shell that is gone, or being stopped, would only reach what it left behind.
        if (j->session->child_exited.load() || j->cancel.load()) return PTY_WRITE_ENDED;
        fd.reset(dup_master_locked(j->session));
    }
    if (!fd) return PTY_WRITE_NO_SESSION;
    int r = write_all_bounded(fd.get(), buf, n, &done);
    if (written) *written = done;
    return r;
}

int job_pty_resize(const char* id, int rows, int cols) {
    unique_fd fd;
    {
        lock_guard_t lock(g_jobs_mu);
        job_t* j = job_live_locked(id);
        pty_session_t* s = j ? j->session : nullptr;
        if (!s || s->master_fd < 0) return -1;
        s->rows = rows;
        s->cols = cols;
        fd.reset(dup_master_locked(s));
    }
    if (!fd) return -1;
    struct winsize ws;
    memset(&ws, 0, sizeof ws);
    ws.ws_row = static_cast<unsigned short>(rows);
    ws.ws_col = static_cast<unsigned short>(cols);
    return ioctl(fd.get(), TIOCSWINSZ, &ws) == 0 ? 0 : -1;
}

namespace {

// Ends every tail of the ending session and waits until the last tailer has left.
void close_tails(pty_session_t* s) EXCLUDES(s->rmu) {
    unique_lock_t rl(s->rmu);
    s->job->cancel.store(1);
    s->closed = true;
    s->rcv.notify_all();
    s->room_cv.notify_all();  // a held reader goes on to stop the shell
    while (s->tailers != 0) s->rcv.wait(rl.native());
}

}  // namespace

int job_pty_close(const char* id) {
    job_t* job = nullptr;
    pty_session_t* s = nullptr;
    {
        lock_guard_t lock(g_jobs_mu);
        job = job_live_locked(id);
        if (!job) return -1;
        if (job->state == job_state_t::ending) return 0;
        if (!job_transition(job, job_state_t::running, job_state_t::ending)) return -1;  // no session
        s = job->session;
    }
    close_tails(s);
    {
        // pid is 0 once the reader has reaped the shell.
        lock_guard_t lock(g_jobs_mu);
        pid_t pid = job->pid.load();
        if (pid > 0) kill(pid, SIGHUP);
    }
    if (s->reader_started) {
        pthread_join(s->reader, nullptr);
        s->reader_started = false;
    }
    {
        lock_guard_t lock(g_jobs_mu);
        if (s->master_fd >= 0) close(s->master_fd);
        s->master_fd = -1;
        job_free_locked(job);
    }
    // Nobody reaches the session any more: no tailer is left, the reader is joined, and the
    // slot no longer points to it.
    delete s;
    return 0;
}

void jobs_kill_all_ptys() {
    // The hang-up goes out here, under the table lock (a reader clears `pid` under it before
    // it reaps); each session's reader sees the flag within its poll, hangs up again and kills
    // the shell's group after the grace, before it reaps the shell. The close that follows
    // joins the reader.
    lock_guard_t lock(g_jobs_mu);
    for (job_t& j : g_jobs) {
        const pid_t pid = j.pid.load();
        pty_session_t* s = j.session;
        if (!s || pid <= 0) continue;
        {
            lock_guard_t rl(s->rmu);
            j.cancel.store(1);
            s->room_cv.notify_all();  // a held reader goes on to stop the shell
        }
        hang_up_groups(pid);
    }
}

void jobs_pty_close_all() {
    std::vector<std::string> ids;
    {
        lock_guard_t lock(g_jobs_mu);
        for (const job_t& j : g_jobs)
            if (j.state == job_state_t::running || j.state == job_state_t::ending) ids.emplace_back(j.id);
    }
    for (const std::string& id : ids) job_pty_close(id.c_str());
}

char* jobs_pty_list_json() {
    sb_t s;
    if (sb_appendz(&s, "[") != 0) return nullptr;
    const long now = static_cast<long>(time(nullptr));
    {
        lock_guard_t lock(g_jobs_mu);
        for (const job_t& j : g_jobs) {
            if (j.state != job_state_t::running) continue;
            const pty_session_t* ps = j.session;
            sb_t e;
            if (s.len > 1) sb_appendz(&e, ",");
            sb_appendz(&e, "{");
            sb_kv_str(&e, "job_id", j.id, 1);
            sb_kv_str(&e, "tty", ps->tty, 1);
            sb_kv_int(&e, "rows", ps->rows, 1);
            sb_kv_int(&e, "cols", ps->cols, 1);
            sb_kv_int(&e, "age", now - ps->created, 1);
            sb_kv_bool(&e, "exited", ps->child_exited.load(), 0);
            if (sb_appendz(&e, "}") != 0) break;
            // Room for the element and the closing bracket, or the list ends here.
            if (sb_reserve(&s, e.len + 1) != 0) break;
            sb_append(&s, e.buf, e.len);
        }
    }
    sb_appendz(&s, "]");
    return sb_detach(&s);
}
