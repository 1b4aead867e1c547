// ops_thrum — long-running host control streams. Here: following a log file.
//
// Threads: each handler runs on its connection's thread, which it holds for the whole stream;
// a _cancel on another connection stops it through the job.
// Errors: checks before the job is claimed are replies; later failures are error events.

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "binfind.h"
#include "exec.h"
#include "jobs.h"
#include "ops.h"
#include "ops_util.h"

namespace {

constexpr size_t LOG_PATH_BYTES = 512;  // 511 characters, longer are refused
constexpr long long LOG_TAIL_LINES_DEFAULT = 200;
constexpr long long LOG_TAIL_LINES_MAX = 2000;
constexpr int LOG_TAIL_KILL_GRACE_MS = 200;
constexpr size_t TOOL_PATH_BYTES = 512;

const char* const LOG_LOCATIONS[] = {"/var/log/", "/opt/vorn/var/", "/share/", "/mnt/", "/tmp/"};

bool log_location_ok(const char* path) {
    for (const char* p : LOG_LOCATIONS)
        if (strncmp(path, p, strlen(p)) == 0) return true;
    return false;
}

// One chunk event per line; a write that fails ends the run (the client is gone).
int log_tail_cb(void* ctx, int, const char* line) {
    sb_t s;
    sb_printf(&s, "{\"t\":%llu,\"line\":\"", static_cast<unsigned long long>(now_ms()));
    sb_json_escape(&s, line, strlen(line));
    sb_appendz(&s, "\"}");
    return emit_chunk(static_cast<op_emit_t*>(ctx), s.buf, s.len) != 0;
}

// The tail program's path into `out`; -1 when there is none.
int find_tail(char* out, size_t cap) {
    const char* fixed = ops_first_exec({"/bin/tail", "/usr/bin/tail", "/usr/local/bin/tail"});
    if (fixed) {
        snprintf(out, cap, "%s", fixed);
        return 0;
    }
    return binfind("tail", nullptr, out, cap);
}

void log_tail_run(op_emit_t* e, char* path, long long lines) {
    if (access(path, R_OK) != 0) {
        emit_stream_error(e, "ENOENT", "log not readable");
        return;
    }
    char prog[TOOL_PATH_BYTES];
    if (find_tail(prog, sizeof prog) != 0) {
        emit_stream_error(e, "ENOENT", "tail not found");
        return;
    }
    char count[24];
    snprintf(count, sizeof count, "%lld", lines);
    char* argv[] = {prog, const_cast<char*>("-n"), count, const_cast<char*>("-F"), path, nullptr};
    exec_spec_t spec = {argv, nullptr, nullptr, 1, LOG_TAIL_KILL_GRACE_MS, e->fd};
    exec_result_t res;
    if (exec_stream(&spec, log_tail_cb, e, e->job, &res) != 0) {
        emit_stream_error(e, "ESPAWN", "tail spawn failed");
        return;
    }
    emit_done(e, res.exit_code, nullptr);
}

}  // namespace

int op_log_tail(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int) {
    char path[LOG_PATH_BYTES] = "";
    if (arg_get_str_fit(js, args, n, "path", path, sizeof path) == ARG_TOO_LONG)
        return reply_err(fd, req_id, "EBADREQ", "path too long");
    long long lines = arg_get_int(js, args, n, "lines", LOG_TAIL_LINES_DEFAULT);
    if (lines < 2) lines = 1;
    if (lines > LOG_TAIL_LINES_MAX) lines = LOG_TAIL_LINES_MAX;
    if (path[0] != '/' || strstr(path, "..")) return reply_err(fd, req_id, "EREQ", "invalid path");
    // Anyone may place a link under /tmp/: an existing file must really live in a location.
    char real[PATH_MAX];
    if (!log_location_ok(path) || (realpath(path, real) && !log_location_ok(real)))
        return reply_err(fd, req_id, "EFORBIDDEN", "path not in an allowed log location");
    job_t* job = job_alloc();  // a full table still runs, only without a job id
    op_emit_t e = {fd, req_id, job, 0};
    log_tail_run(&e, path, lines);
    job_release(job);
    return 0;
}
