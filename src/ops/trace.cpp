#include "ops/trace.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/text.h"
#include "jobs/jobs.h"
#include "proc/procfs.h"
#include "proc/runner.h"
#include "proc/tools.h"
#include "wire/args.h"
#include "wire/errors.h"
#include "wire/reply.h"

namespace {

constexpr size_t TOOL_PATH_BYTES = 512;
constexpr size_t NUMBER_BYTES = 24;
constexpr int STRACE_KILL_GRACE_MS = 200;
constexpr size_t TRACE_WORD_BYTES = 160;  // "trace=<filter>", 159 characters at most

}  // namespace

int trace_filter_ok(const char* filter) { return text_chars_ok(filter, TRACE_FILTER_MAX, ",_=!%/"); }

namespace {

void strace_run(op_emit_t* e, long long pid, const char* filter) {
    if (pid > INT_MAX || (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)) {
        emit_stream_error(e, ERR_ESRCH, "no such process");
        return;
    }
    char prog[TOOL_PATH_BYTES];
    if (binfind("strace", nullptr, prog, sizeof prog) != 0) {
        emit_stream_error(e, ERR_ENOENT, "strace not installed");
        return;
    }
    char pid_word[NUMBER_BYTES], trace_word[TRACE_WORD_BYTES];
    snprintf(pid_word, sizeof pid_word, "%lld", pid);
    snprintf(trace_word, sizeof trace_word, "trace=%s", filter);
    const char* argv[] = {prog,       "-f",   "-tt", "-T",     "-yy",
                          "-s",       "160",  "-p",  pid_word, filter[0] ? "-e" : nullptr,
                          trace_word, nullptr};  // ends at the first null
    exec_spec_t spec = {const_cast<char**>(argv), tool_envp(), nullptr, 1, STRACE_KILL_GRACE_MS, e->fd};
    exec_result_t res;
    if (exec_stream(&spec, log_tail_cb, e, e->job, &res) != 0) {
        emit_stream_error(e, ERR_ESPAWN, "strace spawn failed");
        return;
    }
    emit_done(e, res.exit_code, nullptr);
}

}  // namespace

int op_strace_attach(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int) {
    long long pid = arg_get_int(js, args, n, "pid", 0);
    char filter[TRACE_FILTER_MAX + 2] = "";  // one byte more than allowed, so a longer one shows
    arg_get_str(js, args, n, "filter", filter, sizeof filter);
    if (pid < 2) return reply_err(fd, req_id, ERR_EREQ, "pid must be > 1");
    // The tracer's -f reaches every thread of the process a thread id belongs to.
    if (proc_is_daemon(pid)) return reply_err(fd, req_id, ERR_EFORBIDDEN, "refusing to trace the daemon");
    if (!trace_filter_ok(filter)) return reply_err(fd, req_id, ERR_EREQ, "invalid trace filter");
    job_t* job = job_alloc();  // a full table still runs, only without a job id
    op_emit_t e = job_emit(fd, req_id, job);
    strace_run(&e, pid, filter);
    job_release(job);
    return 0;
}
