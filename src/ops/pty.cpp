#include "ops/pty.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "base/b64.h"
#include "base/child_status.h"
#include "base/clock.h"
#include "base/fdio.h"
#include "config/config.h"
#include "jobs/pty_session.h"
#include "proc/spawn.h"
#include "proc/tools.h"
#include "wire/args.h"
#include "wire/errors.h"
#include "wire/frame.h"
#include "wire/reply.h"
#include "wire/request.h"

extern char** environ;

namespace {

constexpr size_t PTY_CMD_BYTES = 256;
constexpr int PTY_MAX_ARGS = 15;
constexpr size_t PTY_PATH_BYTES = 512;
constexpr size_t PTY_TTY_BYTES = 64;
constexpr size_t PTY_JOB_ID_BYTES = 32;
constexpr size_t PTY_INPUT_B64_BYTES = 8192;  // 8191 characters (6143 input bytes); more is refused
constexpr size_t PTY_INPUT_BYTES = 8192;
constexpr size_t PTY_OUT_CHUNK_BYTES = 8192;   // output bytes of one out chunk at most
constexpr size_t PTY_TAIL_READ_BYTES = 65536;  // output taken from the ring, and sent, in one go
constexpr int PTY_DEFAULT_ROWS = 24;
constexpr int PTY_DEFAULT_COLS = 80;
constexpr int ORPHAN_REAP_TRIES = 10;
constexpr int ORPHAN_REAP_STEP_MS = 50;
// How often a tail of a quiet session looks whether its client has hung up.
constexpr int PTY_TAIL_IDLE_CHECK_MS = 200;

const char* const PTY_SHELLRC = "/opt/vorn/etc/vornd/shellrc.sh";
const char* const PTY_DEFAULT_TERM = "xterm-256color";

struct pty_req_t {
    char cmd[PTY_CMD_BYTES] = "/bin/sh";
    char path[PTY_PATH_BYTES] = {};
    char argv[PTY_MAX_ARGS][256] = {};
    int argc = 0;
    char shell_env[PTY_CMD_BYTES] = {};  // empty unless an absolute path was given
    int rows = PTY_DEFAULT_ROWS;
    int cols = PTY_DEFAULT_COLS;
    char tty[PTY_TTY_BYTES] = {};
};

// What the shell gets: its argument vector and environment (the strings it points into).
struct child_plan_t {
    std::vector<char*> argv;
    std::vector<std::string> added;  // storage of the variables set for the shell
    std::vector<char*> envp;
};

bool has_prefix(const char* s, const char* p) { return strncmp(s, p, strlen(p)) == 0; }

// The shell's environment: the daemon's, with ENV and PWD replaced, TERM added when unset,
// and SHELL replaced when the request named one.
void plan_environment(const pty_req_t* rq, child_plan_t* plan) {
    bool have_term = false;
    for (char** e = environ; e && *e; e++) {
        if (has_prefix(*e, "ENV=") || has_prefix(*e, "PWD=") || (rq->shell_env[0] && has_prefix(*e, "SHELL=")))
            continue;
        if (has_prefix(*e, "TERM=")) have_term = true;
        plan->envp.push_back(*e);
    }
    plan->added.reserve(4);  // pointers into these strings must stay put
    plan->added.push_back(std::string("ENV=") + PTY_SHELLRC);
    if (!have_term) plan->added.push_back(std::string("TERM=") + PTY_DEFAULT_TERM);
    if (rq->shell_env[0]) plan->added.push_back(std::string("SHELL=") + rq->shell_env);
    plan->added.push_back("PWD=/");
    for (std::string& s : plan->added) plan->envp.push_back(s.data());
    plan->envp.push_back(nullptr);
}

void plan_child(pty_req_t* rq, child_plan_t* plan) {
    plan->argv.push_back(rq->path);
    for (int i = 0; i < rq->argc; i++) plan->argv.push_back(rq->argv[i]);
    plan->argv.push_back(nullptr);
    plan_environment(rq, plan);
}

// A new terminal: master and slave, both close-on-exec, its path in rq->tty, its window
// set to the request's size. 0, or -1 (descriptors closed by their owners).
int open_terminal(pty_req_t* rq, unique_fd* master, unique_fd* slave) {
    master->reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!*master || grantpt(master->get()) != 0 || unlockpt(master->get()) != 0) return -1;
    char name[128];
    if (ptsname_r(master->get(), name, sizeof name) != 0) return -1;
    size_t len = strnlen(name, sizeof rq->tty - 1);  // the slot keeps 63 characters
    memcpy(rq->tty, name, len);
    rq->tty[len] = '\0';
    slave->reset(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!*slave) return -1;
    struct winsize ws;
    memset(&ws, 0, sizeof ws);
    ws.ws_row = static_cast<unsigned short>(rq->rows);
    ws.ws_col = static_cast<unsigned short>(rq->cols);
    ioctl(master->get(), TIOCSWINSZ, &ws);
    return 0;
}

// A shell whose session could not be started: hung up, given half a second, killed, reaped.
void reap_orphan_shell(pid_t pid) {
    kill(pid, SIGHUP);
    for (int i = 0; i < ORPHAN_REAP_TRIES; i++) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return;
        sleep_ms(ORPHAN_REAP_STEP_MS);
    }
    kill(pid, SIGKILL);
    int status;
    child_reap(pid, &status);
}

// Reads the arguments of `pty` and checks the shell against the allow-list and the disk.
// Null, or the refusal.
const op_err* pty_read_request(const char* js, const jsmntok_t* args, int n, pty_req_t* rq) {
    static const op_err CMD_TOO_LONG = {ERR_EBADREQ, "cmd too long"};
    static const op_err TOO_MANY_ARGS = {ERR_EBADREQ, "too many arguments"};
    static const op_err ARGV_TOO_LONG = {ERR_EBADREQ, "argv too long"};
    static const op_err NOT_ALLOWED = {ERR_EFORBIDDEN, "cmd not in pty allowlist"};
    static const op_err NOT_EXECUTABLE = {ERR_ENOENT, "shell not executable"};
    static const op_err NOT_FOUND = {ERR_ENOENT, "shell not found"};
    if (arg_get_str_fit(js, args, n, "cmd", rq->cmd, sizeof rq->cmd) == ARG_TOO_LONG) return &CMD_TOO_LONG;
    int argc = arg_array_strs_fit(js, args, n, "argv", rq->argv, PTY_MAX_ARGS);
    if (argc == ARG_TOO_MANY) return &TOO_MANY_ARGS;
    if (argc == ARG_TOO_LONG) return &ARGV_TOO_LONG;
    rq->argc = argc > 0 ? argc : 0;
    cfg_snapshot_t cfg = g_cfg.load();
    if (!cfg_allow_exact(&cfg->pty_shells, rq->cmd)) return &NOT_ALLOWED;
    if (rq->cmd[0] == '/') {
        if (access(rq->cmd, X_OK) != 0) return &NOT_EXECUTABLE;
        snprintf(rq->path, sizeof rq->path, "%s", rq->cmd);
    } else if (binfind(rq->cmd, nullptr, rq->path, sizeof rq->path) != 0) {
        return &NOT_FOUND;
    }
    arg_get_str(js, args, n, "shell_env", rq->shell_env, sizeof rq->shell_env);
    if (rq->shell_env[0] != '/') rq->shell_env[0] = '\0';
    rq->rows = static_cast<int>(arg_get_int(js, args, n, "rows", PTY_DEFAULT_ROWS));
    rq->cols = static_cast<int>(arg_get_int(js, args, n, "cols", PTY_DEFAULT_COLS));
    return nullptr;
}

// Opens the terminal and starts the shell on it. Null with the master and the shell's pid,
// or the failure.
const op_err* pty_spawn(pty_req_t* rq, unique_fd* master, pid_t* pid) {
    static const op_err NO_TERMINAL = {ERR_EIO, "openpty failed"};
    static const op_err NO_SHELL = {ERR_ESPAWN, "fork failed"};
    unique_fd slave;
    if (open_terminal(rq, master, &slave) != 0) {
        master->reset();
        return &NO_TERMINAL;
    }
    child_plan_t plan;
    plan_child(rq, &plan);
    // The shell leads a session of its own with the terminal as its controlling one and as
    // descriptors 0-2, works from /, and gets no other descriptor of the daemon. One that
    // cannot be executed exits 127: the stream then shows its exit at once.
    exec_child_t c;
    c.argv = plan.argv.data();
    c.envp = plan.envp.data();
    c.cwd = "/";
    c.stdio[0] = c.stdio[1] = c.stdio[2] = slave.get();
    c.new_session = c.controlling_tty = true;
    pid_t p = exec_spawn(&c, nullptr);
    if (p < 0) {
        master->reset();
        return &NO_SHELL;
    }
    *pid = p;
    return nullptr;
}

// The open chunk of a stream tailing `job`'s session, which the stream holds.
int emit_open(op_emit_t* e, const job_t* job) {
    sb_t s;
    sb_appendz(&s, "{\"type\":\"open\",");
    sb_kv_str(&s, "job_id", job->id, 1);
    sb_kv_str(&s, "tty", job->session->tty, 0);
    sb_appendz(&s, "}");
    return emit_chunk(e, s.buf, s.len);
}

// Appends the out chunks of `n` output bytes, PTY_OUT_CHUNK_BYTES at most each, to `frames`;
// `head` is the start every out chunk shares. -1 when memory ran out (nothing appended).
int append_out_chunks(sb_t* frames, const sb_t& head, const unsigned char* p, size_t n) {
    static const char OUT_HEAD[] = "{\"type\":\"out\",\"b64\":\"";
    const size_t pieces = (n + PTY_OUT_CHUNK_BYTES - 1) / PTY_OUT_CHUNK_BYTES;
    if (sb_reserve(frames, pieces * (FRAME_HEADER_BYTES + head.len + sizeof OUT_HEAD + 3) + b64_encoded_len(n) +
                               4 * pieces) != 0)
        return -1;
    for (size_t take; n > 0; p += take, n -= take) {
        take = n < PTY_OUT_CHUNK_BYTES ? n : PTY_OUT_CHUNK_BYTES;
        const size_t at = frame_begin(frames);
        sb_append(frames, head.buf, head.len);
        sb_append(frames, OUT_HEAD, sizeof OUT_HEAD - 1);
        frames->len += b64_encode(p, take, frames->buf + frames->len);
        sb_append(frames, "\"}}", 3);
        frame_set_length(frames, at);
    }
    return 0;
}

// Streams the session from the tail's offset until the shell's exit has been sent (a
// cancelled session's too, once its shell is stopped), the session is closed, or the client
// has gone: a failed write, or a hang-up seen while the session is quiet. Each pass takes all the output there is, up to
// PTY_TAIL_READ_BYTES, and sends its out chunks with one write. The open chunk has gone
// before (it carried the job id), so every out chunk starts alike. `tail` is attached.
int pty_tail(op_emit_t* e, job_t* job, pty_tail_t* tail) {
    std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[PTY_TAIL_READ_BYTES]);
    sb_t head;
    frame_batch_t batch;
    if (!buf || emit_chunk_head(e, &head) != 0) return -1;
    for (;;) {
        size_t n = 0;
        int exit_code = 0;
        int r = job_pty_read(job, tail, buf.get(), PTY_TAIL_READ_BYTES, &n, &exit_code, PTY_TAIL_IDLE_CHECK_MS);
        if (r == PTY_READ_IDLE) {
            if (proto_peer_gone(e->fd)) return -1;
            continue;
        }
        if (r < 0) return 0;
        if (r == 0) {
            char exit_json[64];
            int len = snprintf(exit_json, sizeof exit_json, "{\"type\":\"exit\",\"exit_code\":%d}", exit_code);
            return emit_chunk(e, exit_json, static_cast<size_t>(len));
        }
        if (append_out_chunks(&batch.out, head, buf.get(), n) != 0) return -1;
        // A write that fails (the client gone, or not reading for the send timeout) ends this
        // tail; the session lives on.
        if (batch.flush(e->fd) != 0) return -1;
    }
}

// Open chunk, the tail, the tail detached, "done".
int pty_stream_session(op_emit_t* e, job_t* job, pty_tail_t* tail) {
    if (emit_open(e, job) == 0) pty_tail(e, job, tail);
    job_pty_tail_release(job, tail);
    return emit_done(e, 0, nullptr);
}

}  // namespace

op_result op_pty(const op_req_t& req) {
    pty_req_t rq;
    if (const op_err* err = pty_read_request(req.js, req.args, req.an, &rq)) return *err;
    return req.stream([&](op_stream_t& s) -> op_result {
        unique_fd master;
        pid_t pid = 0;
        if (const op_err* err = pty_spawn(&rq, &master, &pid)) return *err;
        pty_tail_t tail;
        if (job_pty_start(s.job, master.get(), pid, rq.rows, rq.cols, rq.tty, PTY_RING_BYTES, &tail) != 0) {
            master.reset();
            reap_orphan_shell(pid);
            return op_err{ERR_EIO, "pty reader start failed"};
        }
        master.release();  // the session owns it now
        // The session was published with this stream already attached as its tailer, so no
        // close can free it between here and the end of the tail. The slot is a session now:
        // giving the request's claim back once this returns leaves it as it is.
        pty_stream_session(&s.emit, s.job, &tail);
        return op_result::sent();
    });
}

namespace {

// A session is its creator's: another uid that is not root acts on it only with the control
// class. Every pty operation is of that class, so dispatch has required it already; the check
// stays here so that a session's ownership never depends on how its operations are classed.
// True, with `msg` filled, when caller `who` may not act on session `id`.
bool pty_refused(const caller_t* who, const char* id, char* msg, size_t cap) {
    uid_t owner = 0;
    if (caller_is_root(who) || job_owner(id, &owner) != 0) return false;
    cfg_snapshot_t cfg = g_cfg.load();
    if (caller_may_act_on(who, owner, config_access_allows(cfg.get(), who, true))) return false;
    eperm_msg(msg, cap, static_cast<unsigned>(who->uid));
    return true;
}

}  // namespace

op_result op_pty_attach(const op_req_t& req) {
    char id[PTY_JOB_ID_BYTES] = {};
    arg_get_str(req.js, req.args, req.an, "job_id", id, sizeof id);
    char msg[EPERM_MSG_BYTES];
    if (pty_refused(req.who, id, msg, sizeof msg)) return op_err{ERR_EPERM, msg};
    pty_tail_t tail;
    tail.off = static_cast<unsigned long long>(arg_get_int(req.js, req.args, req.an, "since", 0));
    return req.stream([&](op_stream_t&) -> op_result {
        job_t* job = job_pty_acquire(id, &tail);
        if (!job) return op_err{ERR_ENOENT, "no such pty job"};
        // The events carry the session's id, from the request's copy: the slot may be freed
        // by a close once this stream has let go of the session.
        op_emit_t e(req.fd, req.id, job, id);
        pty_stream_session(&e, job, &tail);
        return op_result::sent();
    });
}

op_result op_pty_list(const op_req_t&) {
    char* list = jobs_pty_list_json();
    if (!list) return op_result::ok("[]");
    sb_t s;
    sb_appendz(&s, list);
    free(list);
    return op_result::ok(std::move(s));
}

op_result op_pty_input(const op_req_t& req) {
    char id[PTY_JOB_ID_BYTES] = {};
    char b64[PTY_INPUT_B64_BYTES] = {};
    arg_get_str(req.js, req.args, req.an, "job_id", id, sizeof id);
    // Input past the buffer would be lost while the reply says it was written.
    if (arg_get_str_fit(req.js, req.args, req.an, "b64", b64, sizeof b64) == ARG_TOO_LONG)
        return op_err{ERR_EBADREQ, "b64 too long"};
    if (!id[0] || !b64[0]) return op_err{ERR_EREQ, "job_id and b64 required"};
    char msg[EPERM_MSG_BYTES];
    if (pty_refused(req.who, id, msg, sizeof msg)) return op_err{ERR_EPERM, msg};
    unsigned char bytes[PTY_INPUT_BYTES];
    ssize_t len = b64_decode(b64, strlen(b64), bytes, sizeof bytes);
    if (len < 0) return op_err{ERR_EBADREQ, "bad base64"};
    size_t written = 0;
    switch (job_pty_write(id, bytes, static_cast<size_t>(len), &written)) {
    case 0: return op_result::ok("{\"written\":true}");
    case PTY_WRITE_ENDED: return op_err{ERR_ENOENT, "session has ended"};
    case PTY_WRITE_STALLED: {
        // The bytes the terminal took stay with it: the client resends only the rest.
        sb_t data;
        sb_printf(&data, "{\"written\":%zu}", written);
        return op_result::err_data(op_err{ERR_EAGAIN, "terminal not accepting input"}, std::move(data));
    }
    default: return op_err{ERR_ENOENT, "no such pty job"};
    }
}

op_result op_pty_resize(const op_req_t& req) {
    char id[PTY_JOB_ID_BYTES] = {};
    arg_get_str(req.js, req.args, req.an, "job_id", id, sizeof id);
    if (!id[0]) return op_err{ERR_EREQ, "job_id required"};
    char msg[EPERM_MSG_BYTES];
    if (pty_refused(req.who, id, msg, sizeof msg)) return op_err{ERR_EPERM, msg};
    int rows = static_cast<int>(arg_get_int(req.js, req.args, req.an, "rows", PTY_DEFAULT_ROWS));
    int cols = static_cast<int>(arg_get_int(req.js, req.args, req.an, "cols", PTY_DEFAULT_COLS));
    if (job_pty_resize(id, rows, cols) != 0) return op_err{ERR_ENOENT, "no such pty job"};
    return op_result::ok("{\"resized\":true}");
}

op_result op_pty_close(const op_req_t& req) {
    char id[PTY_JOB_ID_BYTES] = {};
    arg_get_str(req.js, req.args, req.an, "job_id", id, sizeof id);
    if (!id[0]) return op_err{ERR_EREQ, "job_id required"};
    char msg[EPERM_MSG_BYTES];
    if (pty_refused(req.who, id, msg, sizeof msg)) return op_err{ERR_EPERM, msg};
    if (job_pty_close(id) != 0) return op_err{ERR_ENOENT, "no such job"};
    return op_result::ok("{\"closed\":true}");
}
