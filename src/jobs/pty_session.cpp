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

// The taken slot with this id; caller holds the table lock.
job_t* find_locked(const char* id) {
    if (!id || !id[0]) return nullptr;
    for (job_t& j : g_jobs)
        if (j.in_use && strcmp(j.id, id) == 0) return &j;
    return nullptr;
}

// The live session with this id (PTY, not closing); caller holds the table lock.
job_t* find_live_session_locked(const char* id) {
    job_t* j = find_locked(id);
    return j && j->is_pty && !j->closing ? j : nullptr;
}

// A private close-on-exec duplicate of the slot's master; caller holds the table lock.
// Writers and resizers work on it after dropping the lock, so a close running meanwhile
// can never make them touch a closed descriptor or one reused by another open.
int dup_master_locked(const job_t* j) { return j->master_fd >= 0 ? fcntl(j->master_fd, F_DUPFD_CLOEXEC, 0) : -1; }

// Clears the slot's pid under the table lock and only then reaps: every signal sent by
// number goes out under that lock, so none can reach a process that reuses the number.
int reap_shell(job_t* job, pid_t pid) {
    job_forget_pid(job);
    int status = 0;
    if (child_reap(pid, &status) != pid) return 0;
    child_status_t st = child_status_of(status);
    return st.term_signal ? -st.term_signal : st.exit_code;
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
// oldest still held as at the oldest. Caller holds rmu.
size_t ring_room_locked(const job_t* job) {
    if (!job->tails || job->cancel.load()) return job->ring_cap;
    const unsigned long long oldest = job->ring_total - job->ring_len;
    unsigned long long slowest = job->ring_total;
    for (const pty_tail_t* t = job->tails; t; t = t->next)
        if (t->off < slowest) slowest = t->off < oldest ? oldest : t->off;
    return job->ring_cap - static_cast<size_t>(job->ring_total - slowest);
}

// The room at which a held reader resumes: half a ring, so a slow tailer wakes it once per
// half ring it reads, not once per read.
size_t resume_room(const job_t* job) { return job->ring_cap / 2; }

// Waits up to `ms` for the slowest tailer to catch up while the ring has no room left.
// Returns the room (0 when still held back).
size_t wait_for_room(job_t* job, int ms) {
    std::unique_lock<std::mutex> lock(job->rmu);
    size_t room = ring_room_locked(job);
    if (room > 0) return room;
    job->held = true;
    job->room_cv.wait_for(lock, std::chrono::milliseconds(ms),
                          [&] { return (room = ring_room_locked(job)) >= resume_room(job); });
    job->held = false;
    return room >= resume_room(job) ? room : 0;
}

// Reads what the terminal holds into the ring, at most `*room` bytes (updated) and a burst.
// >0 bytes taken; 0 nothing waiting (or no room); -1 end of the terminal (end of file, or an
// error such as EIO once the shell side is gone) before any byte.
ssize_t read_burst(job_t* job, int fd, unsigned char* buf, size_t* room) {
    size_t total = 0;
    bool ended = false;
    while (*room > 0 && total < READER_BURST_BYTES) {
        ssize_t r = read(fd, buf, *room < PTY_READ_CHUNK_BYTES ? *room : PTY_READ_CHUNK_BYTES);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            ended = r == 0 || errno != EAGAIN;
            break;
        }
        std::lock_guard<std::mutex> lock(job->rmu);
        job_ring_append(job, buf, static_cast<size_t>(r));
        *room = ring_room_locked(job);
        job->rcv.notify_all();
        total += static_cast<size_t>(r);
    }
    if (total == 0) return ended ? -1 : 0;
    return static_cast<ssize_t>(total);
}

// The reader's view of its session. Once the session is cancelled (a close, a cancel by id, the
// daemon's stop) the whole session is hung up, once, before the shell is reaped, however the
// reader learns of its end.
struct reader_t {
    job_t* job;
    int fd;
    pid_t pid;
    bool hung_up = false;

    void hang_up_if_cancelled() {
        if (hung_up || !job->cancel.load()) return;
        hang_up_session(pid);
        hung_up = true;
    }
    int reap() {
        hang_up_if_cancelled();
        return reap_shell(job, pid);
    }
};

// The terminal reported its end: hang the shell up, give it about a second, then kill it.
int hangup_and_reap(reader_t* rd) {
    kill(rd->pid, SIGHUP);
    for (int i = 0; i < HANGUP_REAP_TRIES; i++) {
        if (i) sleep_ms(HANGUP_REAP_STEP_MS);
        if (child_ended(rd->pid)) return rd->reap();
    }
    sleep_ms(HANGUP_REAP_STEP_MS);
    kill(rd->pid, SIGKILL);
    return rd->reap();
}

// Output the terminal still holds once the shell is gone, held back like any other: a
// bounded number of non-blocking reads, each waiting for room first.
void drain_after_exit(job_t* job, int fd, unsigned char* buf, size_t* room) {
    for (int i = 0; i < POST_EXIT_DRAIN_CHUNKS;) {
        if (*room == 0 && (*room = wait_for_room(job, READER_POLL_MS)) == 0) continue;
        ssize_t r;
        do r = read(fd, buf, *room < PTY_READ_CHUNK_BYTES ? *room : PTY_READ_CHUNK_BYTES);
        while (r < 0 && errno == EINTR);
        if (r <= 0) return;
        std::lock_guard<std::mutex> lock(job->rmu);
        job_ring_append(job, buf, static_cast<size_t>(r));
        *room = ring_room_locked(job);
        job->rcv.notify_all();
        i++;
    }
}

// Fills the ring until the shell is reaped, then publishes its exit code. The master is
// non-blocking, so no read here can hang once the shell is gone. Only this thread reaps
// the shell, so its own signals before the reap cannot reach another process. While the
// slowest tailer is a ring's worth behind, the terminal is not read at all.
void* pty_reader(void* arg) {
    job_t* job = static_cast<job_t*>(arg);
    reader_t rd{job, job->master_fd, job->pid.load()};
    unsigned char buf[PTY_READ_CHUNK_BYTES];
    size_t room = 0;    // found out before the first read
    bool idle = false;  // the last read found nothing: wait for the terminal first
    int code = 0;
    for (;;) {
        rd.hang_up_if_cancelled();
        if (room == 0 && (room = wait_for_room(job, READER_POLL_MS)) == 0) continue;  // held back
        if (idle) {
            struct pollfd p = {rd.fd, POLLIN, 0};
            if (poll(&p, 1, READER_POLL_MS) < 0 && errno != EINTR) {
                code = hangup_and_reap(&rd);
                break;
            }
        }
        ssize_t r = read_burst(job, rd.fd, buf, &room);
        if (r < 0) {
            code = hangup_and_reap(&rd);
            break;
        }
        if (child_ended(rd.pid)) {
            drain_after_exit(job, rd.fd, buf, &room);
            code = rd.reap();
            break;
        }
        idle = r == 0;
    }
    std::lock_guard<std::mutex> lock(job->rmu);
    job->exit_code = code;
    job->child_exited.store(1);
    job->rcv.notify_all();
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

// The slot's session fields, then the reader. Before the session is published (is_pty) the
// slot already counts the caller's stream as its one tailer.
int start_reader(job_t* job) {
    int err = pthread_create(&job->reader, nullptr, pty_reader, job);
    std::lock_guard<std::mutex> lock(jobs_table_mu());
    if (err != 0) {
        job->master_fd = -1;
        job->pid.store(0);
        return -1;
    }
    job->reader_started = 1;
    job->is_pty = 1;
    return 0;
}

}  // namespace

void job_ring_append(job_t* job, const unsigned char* data, size_t n) {
    if (!job->ring || job->ring_cap == 0 || n == 0) return;
    const size_t cap = job->ring_cap;
    const size_t keep = n < cap ? n : cap;  // only the newest `cap` bytes can survive
    const unsigned char* src = data + (n - keep);
    const size_t pos = static_cast<size_t>((job->ring_total + (n - keep)) % cap);
    const size_t first = cap - pos < keep ? cap - pos : keep;
    memcpy(job->ring + pos, src, first);
    memcpy(job->ring, src + first, keep - first);
    job->ring_len = n >= cap - job->ring_len ? cap : job->ring_len + n;
    job->ring_total += n;
}

namespace {

// Caller holds rmu.
void link_tail_locked(job_t* job, pty_tail_t* t) {
    t->prev = nullptr;
    t->next = job->tails;
    if (job->tails) job->tails->prev = t;
    job->tails = t;
    job->tailers++;
}

}  // namespace

int job_pty_start(job_t* job, int master_fd, pid_t pid, int rows, int cols, const char* tty, size_t ring_cap,
                  pty_tail_t* creator) {
    // A pid below 1 would turn every later kill into a signal to a whole process group.
    if (!job || !creator || master_fd < 0 || pid < 1 || ring_cap == 0) return -1;
    auto* ring = static_cast<unsigned char*>(malloc(ring_cap));
    if (!ring) return -1;
    int fl = fcntl(master_fd, F_GETFL);
    if (fl < 0 || fcntl(master_fd, F_SETFL, fl | O_NONBLOCK) != 0) {
        free(ring);
        return -1;
    }
    {
        std::lock_guard<std::mutex> lock(job->rmu);
        job->ring = ring;
        job->ring_cap = ring_cap;
        job->ring_len = 0;
        job->ring_total = 0;
        job->child_exited.store(0);
        job->exit_code = 0;
        job->tailers = 0;
        job->tails = nullptr;
        job->held = false;
        job->closed = false;
        creator->off = 0;
        link_tail_locked(job, creator);
    }
    {
        std::lock_guard<std::mutex> lock(jobs_table_mu());
        job->master_fd = master_fd;
        job->pid.store(pid);
        job->rows = rows;
        job->cols = cols;
        job->closing = 0;
        job->created = static_cast<long>(time(nullptr));
        snprintf(job->tty, sizeof job->tty, "%s", tty ? tty : "");
    }
    if (start_reader(job) == 0) return 0;
    std::lock_guard<std::mutex> lock(job->rmu);
    free(job->ring);
    job->ring = nullptr;
    job->tailers = 0;
    job->tails = nullptr;
    return -1;
}

job_t* job_pty_acquire(const char* id, pty_tail_t* tail) {
    if (!tail) return nullptr;
    std::lock_guard<std::mutex> lock(jobs_table_mu());
    job_t* j = find_live_session_locked(id);
    if (!j) return nullptr;
    std::lock_guard<std::mutex> rl(j->rmu);
    link_tail_locked(j, tail);
    return j;
}

void job_pty_tail_release(job_t* job, pty_tail_t* tail) {
    if (!job) return;
    std::lock_guard<std::mutex> lock(job->rmu);
    bool linked = false;
    for (const pty_tail_t* t = job->tails; t && !linked; t = t->next) linked = t == tail;
    if (linked) {
        if (tail->prev) tail->prev->next = tail->next;
        else job->tails = tail->next;
        if (tail->next) tail->next->prev = tail->prev;
        tail->prev = tail->next = nullptr;
    }
    if (job->tailers > 0) job->tailers--;
    job->rcv.notify_all();
    job->room_cv.notify_all();  // the slowest tailer may have been this one
}

int job_pty_read(job_t* job, pty_tail_t* tail, unsigned char* buf, size_t cap, size_t* n, int* exit_code, int wait_ms) {
    if (n) *n = 0;
    if (!job || !tail || !buf || cap == 0) return -1;
    unsigned long long* off = &tail->off;
    if (cap > INT_MAX) cap = INT_MAX;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    std::unique_lock<std::mutex> lock(job->rmu);
    // Only a close ends a read early (it sets `closed` under rmu and broadcasts). A cancelled
    // session reads like one whose shell ended: its output up to the end, then its exit.
    while (*off >= job->ring_total && !job->child_exited.load()) {
        if (job->closed) return -1;
        if (wait_ms < 0) job->rcv.wait(lock);
        else if (job->rcv.wait_until(lock, until) == std::cv_status::timeout && *off >= job->ring_total &&
                 !job->child_exited.load() && !job->closed)
            return PTY_READ_IDLE;
    }
    if (job->closed) return -1;
    if (*off >= job->ring_total) {
        if (exit_code) *exit_code = job->exit_code;
        return 0;
    }
    unsigned long long oldest = job->ring_total - job->ring_len;
    // Behind the oldest byte only when no tailer held the reader back meanwhile (a late
    // attach from 0, or output while nobody tailed): the overwritten bytes are skipped.
    if (*off < oldest) *off = oldest;
    unsigned long long avail = job->ring_total - *off;
    size_t take = avail < cap ? static_cast<size_t>(avail) : cap;
    size_t pos = static_cast<size_t>(*off % job->ring_cap);
    size_t first = job->ring_cap - pos < take ? job->ring_cap - pos : take;
    memcpy(buf, job->ring + pos, first);
    memcpy(buf + first, job->ring, take - first);
    *off += take;
    if (n) *n = take;
    if (job->held && ring_room_locked(job) >= resume_room(job)) job->room_cv.notify_one();
    return static_cast<int>(take);
}

int job_pty_write(const char* id, const unsigned char* buf, size_t n, size_t* written) {
    size_t done = 0;
    if (written) *written = 0;
    unique_fd fd;
    {
        std::lock_guard<std::mutex> lock(jobs_table_mu());
        job_t* j = find_live_session_locked(id);
        if (!j) return PTY_WRITE_NO_SESSION;
        // Input to a shell that is gone, or being stopped, would only reach what it left behind.
        if (j->child_exited.load() || j->cancel.load()) return PTY_WRITE_ENDED;
        fd.reset(dup_master_locked(j));
    }
    if (!fd) return PTY_WRITE_NO_SESSION;
    int r = write_all_bounded(fd.get(), buf, n, &done);
    if (written) *written = done;
    return r;
}

int job_pty_resize(const char* id, int rows, int cols) {
    unique_fd fd;
    {
        std::lock_guard<std::mutex> lock(jobs_table_mu());
        job_t* j = find_locked(id);
        if (!j || j->master_fd < 0) return -1;
        j->rows = rows;
        j->cols = cols;
        fd.reset(dup_master_locked(j));
    }
    if (!fd) return -1;
    struct winsize ws;
    memset(&ws, 0, sizeof ws);
    ws.ws_row = static_cast<unsigned short>(rows);
    ws.ws_col = static_cast<unsigned short>(cols);
    return ioctl(fd.get(), TIOCSWINSZ, &ws) == 0 ? 0 : -1;
}

int job_pty_close(const char* id) {
    job_t* job = nullptr;
    {
        std::lock_guard<std::mutex> lock(jobs_table_mu());
        job = find_locked(id);
        if (!job || !job->is_pty) return -1;
        if (job->closing) return 0;
        job->closing = 1;
    }
    {
        std::unique_lock<std::mutex> rl(job->rmu);
        job->cancel.store(1);
        job->closed = true;
        job->rcv.notify_all();
        job->room_cv.notify_all();  // a held reader goes on to stop the shell
        job->rcv.wait(rl, [job] { return job->tailers == 0; });
    }
    {
        // pid is 0 once the reader has reaped the shell.
        std::lock_guard<std::mutex> lock(jobs_table_mu());
        pid_t pid = job->pid.load();
        if (pid > 0) kill(pid, SIGHUP);
    }
    if (job->reader_started) {
        pthread_join(job->reader, nullptr);
        job->reader_started = 0;
    }
    unsigned char* ring = nullptr;
    {
        std::lock_guard<std::mutex> lock(jobs_table_mu());
        if (job->master_fd >= 0) close(job->master_fd);
        job->master_fd = -1;
        {
            std::lock_guard<std::mutex> rl(job->rmu);
            ring = job->ring;
            job->ring = nullptr;
            job->ring_cap = job->ring_len = 0;
            job->ring_total = 0;
        }
        job->id[0] = '\0';
        job->pid.store(0);
        job->cancel.store(0);
        job->in_use = job->is_pty = job->closing = 0;
    }
    free(ring);
    return 0;
}

void jobs_kill_all_ptys() {
    // The hang-up goes out here, under the table lock (a reader clears `pid` under it before
    // it reaps); each session's reader sees the flag within its poll, hangs up again and kills
    // the shell's group after the grace, before it reaps the shell. The close that follows
    // joins the reader.
    std::lock_guard<std::mutex> lock(jobs_table_mu());
    for (job_t& j : g_jobs) {
        const pid_t pid = j.pid.load();
        if (!j.in_use || !j.is_pty || pid <= 0) continue;
        {
            std::lock_guard<std::mutex> rl(j.rmu);
            j.cancel.store(1);
            j.room_cv.notify_all();  // a held reader goes on to stop the shell
        }
        hang_up_groups(pid);
    }
}

void jobs_pty_close_all() {
    std::vector<std::string> ids;
    {
        std::lock_guard<std::mutex> lock(jobs_table_mu());
        for (const job_t& j : g_jobs)
            if (j.in_use && j.is_pty) ids.emplace_back(j.id);
    }
    for (const std::string& id : ids) job_pty_close(id.c_str());
}

char* jobs_pty_list_json() {
    sb_t s;
    if (sb_appendz(&s, "[") != 0) return nullptr;
    const long now = static_cast<long>(time(nullptr));
    {
        std::lock_guard<std::mutex> lock(jobs_table_mu());
        for (const job_t& j : g_jobs) {
            if (!j.in_use || !j.is_pty || j.closing) continue;
            sb_t e;
            if (s.len > 1) sb_appendz(&e, ",");
            sb_appendz(&e, "{");
            sb_kv_str(&e, "job_id", j.id, 1);
            sb_kv_str(&e, "tty", j.tty, 1);
            sb_kv_int(&e, "rows", j.rows, 1);
            sb_kv_int(&e, "cols", j.cols, 1);
            sb_kv_int(&e, "age", now - j.created, 1);
            sb_kv_bool(&e, "exited", j.child_exited.load(), 0);
            if (sb_appendz(&e, "}") != 0) break;
            // Room for the element and the closing bracket, or the list ends here.
            if (sb_reserve(&s, e.len + 1) != 0) break;
            sb_append(&s, e.buf, e.len);
        }
    }
    sb_appendz(&s, "]");
    return sb_detach(&s);
}
