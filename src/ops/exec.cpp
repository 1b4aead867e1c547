#include "ops/exec.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "base/fdio.h"
#include "base/sb.h"
#include "config/config.h"
#include "proc/runner.h"
#include "proc/spawn.h"
#include "proc/tools.h"
#include "wire/args.h"
#include "wire/errors.h"
#include "wire/frame.h"
#include "wire/reply.h"

namespace {

constexpr size_t CMD_BYTES = 256;
constexpr size_t RESOLVED_BYTES = 512;
constexpr size_t DETACHED_PATH_BYTES = 512;  // log_path and cwd
constexpr int EXEC_MAX_ARGS = 31;
constexpr int EXEC_KILL_GRACE_MS = 500;
constexpr size_t EXEC_BATCH_MAX_BYTES = 65536;  // gathered frames are written at this size at the latest

// Reads `cmd`, applies the allow-list and resolves the program into `path`. Null on
// success, else the error to send.
const op_err* resolve_cmd(const char* js, const jsmntok_t* args, int an, char* path) {
    static const op_err NO_CMD = {ERR_EREQ, "cmd required"};
    static const op_err FORBIDDEN = {ERR_EFORBIDDEN, "cmd not in exec allowlist"};
    static const op_err NOT_EXECUTABLE = {ERR_ENOENT, "cmd not executable"};
    static const op_err NOT_FOUND = {ERR_ENOENT, "cmd not found"};
    static const op_err TOO_LONG = {ERR_EBADREQ, "cmd too long"};
    char cmd[CMD_BYTES] = "";
    if (arg_get_str_fit(js, args, an, "cmd", cmd, sizeof cmd) == ARG_TOO_LONG) return &TOO_LONG;
    if (!cmd[0]) return &NO_CMD;
    cfg_snapshot_t cfg = g_cfg.load();
    if (!cfg_allow_exact(&cfg->exec_binaries, cmd)) return &FORBIDDEN;
    if (cmd[0] == '/') {
        if (access(cmd, X_OK) != 0) return &NOT_EXECUTABLE;
        memcpy(path, cmd, strlen(cmd) + 1);  // 255 bytes at most: fits RESOLVED_BYTES
        return nullptr;
    }
    return binfind(cmd, nullptr, path, RESOLVED_BYTES) == 0 ? nullptr : &NOT_FOUND;
}

// The child's argument vector: `path`, the entries of `argv` (at most 31, each whole), null.
// `store` holds the entries and must outlive `out`. Null, or the refusal to send.
const op_err* build_argv(const char* js, const jsmntok_t* args, int an, char* path, char (*store)[256],
                         char* out[EXEC_MAX_ARGS + 2]) {
    static const op_err TOO_MANY = {ERR_EBADREQ, "too many arguments"};
    static const op_err TOO_LONG = {ERR_EBADREQ, "argv too long"};
    int n = arg_array_strs_fit(js, args, an, "argv", store, EXEC_MAX_ARGS);
    if (n == ARG_TOO_MANY) return &TOO_MANY;
    if (n == ARG_TOO_LONG) return &TOO_LONG;
    if (n < 0) n = 0;
    out[0] = path;
    for (int i = 0; i < n; i++) out[i + 1] = store[i];
    out[n + 1] = nullptr;
    return nullptr;
}

// Output lines become chunk frames gathered in a batch, which goes to the client in one write
// after each pass of the runner over the child's pipes (or sooner, when it grows large).
// The bytes are those of one frame per line; only the number of writes differs.
struct exec_stream_ctx_t {
    op_emit_t* e;
    sb_t head;  // a frame's fixed start once the job id has gone: {"id":..,"event":"chunk","data":
    frame_batch_t batch;
};

// Writes the gathered frames. Non-zero once a write has failed: the client is gone, and the
// runner then stops the program as on a cancel.
int gx_flush(void* ctx) {
    auto* c = static_cast<exec_stream_ctx_t*>(ctx);
    return c->batch.flush(c->e->fd) != 0;
}

constexpr char LINE_DATA_1[] = "{\"type\":\"line\",\"stream\":1,\"text\":\"";
constexpr char LINE_DATA_2[] = "{\"type\":\"line\",\"stream\":2,\"text\":\"";
constexpr size_t LINE_DATA_BYTES = sizeof LINE_DATA_1 - 1;
constexpr size_t JSON_ESCAPE_MAX = 6;  // the longest escape of one byte: \u00xx

// The frame of one line appended to `out` in one pass, the same bytes as emit_chunk_append
// would gather for the stream's events after the first: the whole frame is reserved first,
// so it is either complete or not there at all.
void gx_append_line(exec_stream_ctx_t* c, int which, const char* line, size_t len) {
    sb_t* out = &c->batch.out;
    if (sb_reserve(out, FRAME_HEADER_BYTES + c->head.len + LINE_DATA_BYTES + len * JSON_ESCAPE_MAX + 3) != 0) return;
    const size_t at = frame_begin(out);
    memcpy(out->buf + out->len, c->head.buf, c->head.len);
    out->len += c->head.len;
    memcpy(out->buf + out->len, which == 2 ? LINE_DATA_2 : LINE_DATA_1, LINE_DATA_BYTES);
    out->len += LINE_DATA_BYTES;
    sb_json_escape(out, line, len);
    sb_append(out, "\"}}", 3);
    frame_set_length(out, at);
}

// One chunk per non-empty line; the first one (which carries the job id) goes the general way.
int gx_cb(void* ctx, int which, const char* line, size_t len) {
    auto* c = static_cast<exec_stream_ctx_t*>(ctx);
    if (c->batch.failed) return 1;
    if (len == 0) return 0;
    if (c->head.len > 0) {
        gx_append_line(c, which, line, len);
    } else {
        sb_t data;
        sb_append(&data, which == 2 ? LINE_DATA_2 : LINE_DATA_1, LINE_DATA_BYTES);
        sb_json_escape(&data, line, len);
        if (sb_append(&data, "\"}", 2) != 0) return 0;  // out of memory: the line is lost
        emit_chunk_append(&c->batch.out, c->e, data.buf, data.len);
        emit_chunk_head(c->e, &c->head);
    }
    return c->batch.out.len >= EXEC_BATCH_MAX_BYTES ? gx_flush(c) : 0;
}

}  // namespace

op_result op_exec(const op_req_t& req) {
    char path[RESOLVED_BYTES];
    char store[EXEC_MAX_ARGS][256];
    char* argv[EXEC_MAX_ARGS + 2];
    if (const op_err* err = resolve_cmd(req.js, req.args, req.an, path)) return *err;
    if (const op_err* err = build_argv(req.js, req.args, req.an, path, store, argv)) return *err;
    int merge = arg_get_bool(req.js, req.args, req.an, "merge_stderr", 1);

    return req.stream([&](op_stream_t& s) -> op_result {
        exec_spec_t spec = {argv, nullptr, nullptr, merge, EXEC_KILL_GRACE_MS};
        exec_stream_ctx_t ctx = {&s.emit, sb_t(), frame_batch_t()};
        exec_result_t res;
        int rc = exec_stream_batched(&spec, gx_cb, gx_flush, &ctx, s.cancel, &res);
        gx_flush(&ctx);
        if (rc < 0) return op_err{ERR_ESPAWN, "spawn failed"};
        return op_result::done(res.exit_code);
    });
}

// ---- exec_detached ----

namespace {

// Reads the three path and vector arguments; null, or the refusal to reply.
const op_err* detached_args(const char* js, const jsmntok_t* args, int an, char* log_path, char* cwd, char* path,
                            char (*store)[256], char* argv[EXEC_MAX_ARGS + 2]) {
    static const op_err NO_LOG = {ERR_EREQ, "log_path required"};
    static const op_err DOTDOT = {ERR_EREQ, "invalid log_path"};
    static const op_err LOG_TOO_LONG = {ERR_EBADREQ, "log_path too long"};
    static const op_err CWD_TOO_LONG = {ERR_EBADREQ, "cwd too long"};
    if (arg_get_str_fit(js, args, an, "log_path", log_path, DETACHED_PATH_BYTES) == ARG_TOO_LONG) return &LOG_TOO_LONG;
    if (!log_path[0]) return &NO_LOG;
    if (strstr(log_path, "..")) return &DOTDOT;
    if (arg_get_str_fit(js, args, an, "cwd", cwd, DETACHED_PATH_BYTES) == ARG_TOO_LONG) return &CWD_TOO_LONG;
    return build_argv(js, args, an, path, store, argv);
}

// Opens the log of a detached program in the daemon, so the program gets the file that was
// checked. Null with `out` set (invalid when the file cannot be opened: the program then writes
// where the daemon's own output goes), or the refusal. Root appends here, so a link planted as
// the name, or a FIFO or device put there, is refused rather than written through.
const op_err* open_detached_log(const char* log_path, unique_fd* out) {
    static const op_err NOT_REGULAR = {ERR_EFORBIDDEN, "log_path is not a regular file"};
    // O_NONBLOCK: a FIFO never holds the open (without a reader it fails with ENXIO).
    unique_fd log(open(log_path, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC | O_NONBLOCK, 0644));
    if (!log) return errno == ELOOP || errno == EISDIR || errno == ENXIO ? &NOT_REGULAR : nullptr;
    struct stat st;
    if (fstat(log.get(), &st) != 0 || !S_ISREG(st.st_mode)) return &NOT_REGULAR;
    fcntl(log.get(), F_SETFL, fcntl(log.get(), F_GETFL) & ~O_NONBLOCK);
    *out = std::move(log);
    return nullptr;
}

}  // namespace

op_result op_exec_detached(const op_req_t& req) {
    char path[RESOLVED_BYTES];
    char log_path[DETACHED_PATH_BYTES] = "";
    char cwd[DETACHED_PATH_BYTES] = "";
    char store[EXEC_MAX_ARGS][256];
    char* argv[EXEC_MAX_ARGS + 2];
    if (const op_err* err = resolve_cmd(req.js, req.args, req.an, path)) return *err;
    if (const op_err* err = detached_args(req.js, req.args, req.an, log_path, cwd, path, store, argv)) return *err;

    unique_fd log;
    if (const op_err* refused = open_detached_log(log_path, &log)) return *refused;
    exec_child_t c;
    c.argv = argv;
    c.cwd = cwd;
    c.stdio[1] = c.stdio[2] = log.get();
    c.new_session = c.detach = c.ignore_sighup = true;
    int start_err = 0;
    pid_t mid = exec_spawn(&c, &start_err);
    if (mid < 0) return op_err{ERR_EFORK, "fork failed"};
    if (start_err) return op_err{ERR_ESPAWN, strerror(start_err)};

    sb_t s;
    sb_appendz(&s, "{");
    sb_kv_str(&s, "resolved", path, 1);
    sb_kv_str(&s, "log_path", log_path, 1);
    sb_kv_int(&s, "intermediate_pid", mid, 0);
    sb_appendz(&s, "}");
    return op_result::ok(std::move(s));
}
