#include "ops/logs.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "base/clock.h"
#include "base/fdio.h"
#include "proc/runner.h"
#include "proc/tools.h"
#include "wire/args.h"
#include "wire/errors.h"
#include "wire/reply.h"

namespace {

constexpr long long DMESG_DEFAULT_BYTES = 262144;
constexpr unsigned long long DMESG_MAX_BYTES = 4194304;
constexpr size_t KMSG_READ_BYTES = 4096;
constexpr int DMESG_DEADLINE_MS = 10000;  // the fallback program; a timed-out run gives no text
constexpr size_t OUTPUT_DIR_BYTES = 256;
constexpr int DUMP_KILL_GRACE_MS = 1000;
constexpr size_t TOOL_PATH_BYTES = 512;

const char* const DUMP_DEFAULT_DIR = "/opt/vorn/var/dumps";

constexpr size_t LOG_PATH_BYTES = 512;  // 511 characters, longer are refused
constexpr long long LOG_TAIL_LINES_DEFAULT = 200;
constexpr long long LOG_TAIL_LINES_MAX = 2000;
constexpr int LOG_TAIL_KILL_GRACE_MS = 200;

const char* const LOG_LOCATIONS[] = {"/var/log/", "/opt/vorn/var/", "/share/", "/mnt/", "/tmp/"};

bool log_location_ok(const char* path) {
    for (const char* p : LOG_LOCATIONS)
        if (strncmp(path, p, strlen(p)) == 0) return true;
    return false;
}

// True when every directory of the resolved path `real`, from "/" down to its parent, is root's
// and writable by no one else: only root can then change what the name leads to, and tail may
// follow it by name (across rotation).
bool dirs_root_only(const char* real) {
    std::string dir;
    for (const char* slash = real; (slash = strchr(slash, '/')); slash++) {
        dir.assign(real, slash == real ? 1 : static_cast<size_t>(slash - real));
        struct stat st;
        if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != 0 || (st.st_mode & 022)) return false;
    }
    return true;
}

// Opens the log `real` for a tail that follows the descriptor: the file that was judged, never
// what another user's directory names later. Null with `out` set, or the error event.
const op_err* open_log_fd(const char* real, unique_fd* out) {
    static const op_err NOT_READABLE = {ERR_ENOENT, "log not readable"};
    static const op_err OUTSIDE = {ERR_EFORBIDDEN, "path not in an allowed log location"};
    // O_NONBLOCK: a FIFO put in the log's place never holds the open.
    unique_fd f(open(real, O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    struct stat st;
    if (!f || fstat(f.get(), &st) != 0 || !S_ISREG(st.st_mode)) return &NOT_READABLE;
    std::string where;
    if (!fd_real_path(f.get(), &where)) return &NOT_READABLE;
    if (!log_location_ok(where.c_str())) return &OUTSIDE;
    fcntl(f.get(), F_SETFL, fcntl(f.get(), F_GETFL) & ~O_NONBLOCK);
    *out = std::move(f);
    return nullptr;
}

// Streams the log whose resolved path is `real` ("" when it did not resolve).
op_result log_tail_run(op_stream_t& s, char* real, long long lines) {
    if (!real[0] || access(real, R_OK) != 0) return op_err{ERR_ENOENT, "log not readable"};
    char prog[TOOL_PATH_BYTES];
    if (tool_find({"/bin/tail", "/usr/bin/tail", "/usr/local/bin/tail"}, "tail", prog, sizeof prog) != 0)
        return op_err{ERR_ENOENT, "tail not found"};
    char count[24];
    snprintf(count, sizeof count, "%lld", lines);
    char* argv[] = {prog, const_cast<char*>("-n"), count, const_cast<char*>("-F"), real, nullptr};
    unique_fd log;
    if (!dirs_root_only(real)) {
        // Another user could swap the name for a link: tail follows the open file (stdin).
        if (const op_err* refused = open_log_fd(real, &log)) return *refused;
        argv[3] = const_cast<char*>("-f");
        argv[4] = const_cast<char*>("-");
    }
    exec_spec_t spec = {argv, tool_envp(), nullptr, 1, LOG_TAIL_KILL_GRACE_MS};
    spec.stdin_fd = log.get();
    exec_result_t res;
    if (exec_stream(&spec, log_tail_cb, &s.emit, s.cancel, &res) != 0) return op_err{ERR_ESPAWN, "tail spawn failed"};
    return op_result::done(res.exit_code);
}

}  // namespace

// ---- dmesg ----

// Reads /dev/kmsg records until the kernel's buffer is exhausted or `limit` bytes are held.
static void kmsg_read(sb_t* out, size_t limit) {
    unique_fd kf(open("/dev/kmsg", O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!kf) return;
    char buf[KMSG_READ_BYTES];
    while (out->len < limit) {
        ssize_t r = read(kf.get(), buf, sizeof buf);
        if (r <= 0) break;  // at the end of the buffer a non-blocking read fails with EAGAIN
        size_t take = static_cast<size_t>(r);
        if (take > limit - out->len) take = limit - out->len;
        sb_append(out, buf, take);
    }
}

op_result op_dmesg(const op_req_t& req) {
    long long want = arg_get_int(req.js, req.args, req.an, "max_bytes", DMESG_DEFAULT_BYTES);
    size_t limit = static_cast<unsigned long long>(want) <= DMESG_MAX_BYTES ? static_cast<size_t>(want)
                                                                            : DMESG_DEFAULT_BYTES;
    sb_t text;
    kmsg_read(&text, limit);
    if (text.len == 0) {
        const char* prog = first_exec({"/bin/dmesg"});
        char* argv[] = {const_cast<char*>(prog ? prog : "/usr/bin/dmesg"), nullptr};
        exec_result_t res;
        sb_t out;
        if (run_capture(argv, &out, &res, req.fd, DMESG_DEADLINE_MS) == 0 && !res.timed_out) {
            text = std::move(out);
            if (text.len > limit) {
                text.len = limit;
                text.buf[limit] = '\0';
            }
        }
    }
    sb_t s;
    sb_appendz(&s, "{\"data\":\"");
    sb_json_escape(&s, text.buf ? text.buf : "", text.len);
    sb_appendz(&s, "\"}");
    return op_result::ok(std::move(s));
}

// ---- dump_logs ----

namespace {

struct stream_ctx_t {
    op_emit_t* emit;
};

int stream_cb(void* ctx, int which, const char* line) {
    emit_log(static_cast<stream_ctx_t*>(ctx)->emit, which, line);
    return 0;
}

// Runs the diagnostic tool or tar as the job's child; the stream's end. The bundle holds logs
// only root (and adm) may read, so the child creates files for their owner alone.
op_result dump_run(op_stream_t& s, char** argv, int merge, const char* spawn_msg, const char* key, const char* value) {
    exec_spec_t spec = {argv, nullptr, nullptr, merge, DUMP_KILL_GRACE_MS};
    spec.umask = 077;
    stream_ctx_t sc = {&s.emit};
    exec_result_t res;
    if (exec_stream(&spec, stream_cb, &sc, s.cancel, &res) != 0) return op_err{ERR_ESPAWN, spawn_msg};
    sb_t result;
    sb_appendz(&result, "{");
    sb_kv_str(&result, key, value, 0);
    sb_appendz(&result, "}");
    return op_result::done(res.exit_code, std::move(result));
}

// Creates the output directory (its owner's alone) when it is missing. 0 when `dir` is a
// directory, not a link, that only the daemon's user can write to: no other user can plant a
// link under the bundle's predictable name, which the tool or tar would follow as root.
int dump_dir_ready(const char* dir) {
    mkdir(dir, 0700);
    struct stat st;  // lstat: a link is no directory here
    if (lstat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) return -1;
    return st.st_uid == geteuid() && !(st.st_mode & 022) ? 0 : -1;
}

}  // namespace

op_result op_dump_logs(const op_req_t& req) {
    char dir[OUTPUT_DIR_BYTES] = "";
    // A cut directory would put the bundle somewhere nobody asked for.
    if (arg_get_str_fit(req.js, req.args, req.an, "output_dir", dir, sizeof dir) == ARG_TOO_LONG)
        return op_err{ERR_EBADREQ, "output_dir too long"};
    // An empty directory would put the bundle into "/" under a name nobody asked for.
    if (!dir[0]) snprintf(dir, sizeof dir, "%s", DUMP_DEFAULT_DIR);
    if (dump_dir_ready(dir) != 0) return op_err{ERR_EIO, "cannot use output_dir"};
    return req.stream([&](op_stream_t& s) {
        const char* diag = first_exec({"/etc/init.d/diag_XDT", "/opt/vorn/dist/pelta/diagnostic_tool/diag_XDT"});
        if (diag) {
            char* argv[] = {const_cast<char*>(diag), const_cast<char*>("-o"), dir, nullptr};
            return dump_run(s, argv, 0, "diag_XDT spawn failed", "output_dir", dir);
        }
        char archive[OUTPUT_DIR_BYTES + 64];
        snprintf(archive, sizeof archive, "%s/vorn_logs_%llu.tar.gz", dir, static_cast<unsigned long long>(now_ms()));
        char* argv[] = {const_cast<char*>("/bin/tar"), const_cast<char*>("-czf"), archive,
                        const_cast<char*>("/var/log"), nullptr};
        return dump_run(s, argv, 1, "tar spawn failed", "output_file", archive);
    });
}

// ---- log_tail ----

op_result op_log_tail(const op_req_t& req) {
    static const op_err OUTSIDE = {ERR_EFORBIDDEN, "path not in an allowed log location"};
    char path[LOG_PATH_BYTES] = "";
    if (arg_get_str_fit(req.js, req.args, req.an, "path", path, sizeof path) == ARG_TOO_LONG)
        return op_result::refuse({ERR_EBADREQ, "path too long"});
    long long lines = arg_get_int(req.js, req.args, req.an, "lines", LOG_TAIL_LINES_DEFAULT);
    if (lines < 2) lines = 1;
    if (lines > LOG_TAIL_LINES_MAX) lines = LOG_TAIL_LINES_MAX;
    if (path[0] != '/' || strstr(path, "..")) return op_result::refuse({ERR_EREQ, "invalid path"});
    // Anyone may place a link under /tmp/: an existing file must really live in a location
    // (a location's own directory resolves without its slash). Tail is given the resolved path.
    if (!log_location_ok(path)) return op_result::refuse(OUTSIDE);
    char real[PATH_MAX];
    if (!realpath(path, real)) real[0] = '\0';  // a missing log: "not readable" in the stream
    else if (!log_location_ok(real) && !log_location_ok((std::string(real) + "/").c_str()))
        return op_result::refuse(OUTSIDE);
    return req.stream([&](op_stream_t& s) { return log_tail_run(s, real, lines); });
}
