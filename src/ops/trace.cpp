#include "ops/trace.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/text.h"
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

// Runs the tracer on `pid` for the stream; its end.
op_result strace_run(op_stream_t& s, long long pid, const char* filter) {
    if (pid > INT_MAX || (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH))
        return op_err{ERR_ESRCH, "no such process"};
    char prog[TOOL_PATH_BYTES];
    if (binfind("strace", nullptr, prog, sizeof prog) != 0) return op_err{ERR_ENOENT, "strace not installed"};
    char pid_word[NUMBER_BYTES], trace_word[TRACE_WORD_BYTES];
    snprintf(pid_word, sizeof pid_word, "%lld", pid);
    snprintf(trace_word, sizeof trace_word, "trace=%s", filter);
    const char* argv[] = {prog,       "-f",   "-tt", "-T",     "-yy",
                          "-s",       "160",  "-p",  pid_word, filter[0] ? "-e" : nullptr,
                          trace_word, nullptr};  // ends at the first null
    exec_spec_t spec = {const_cast<char**>(argv), tool_envp(), nullptr, 1, STRACE_KILL_GRACE_MS};
    exec_result_t res;
    if (exec_stream(&spec, log_tail_cb, &s.emit, s.cancel, &res) != 0) return op_err{ERR_ESPAWN, "strace spawn failed"};
    return op_result::done(res.exit_code);
}

}  // namespace

op_result op_strace_attach(const op_req_t& req) {
    long long pid = arg_get_int(req.js, req.args, req.an, "pid", 0);
    char filter[TRACE_FILTER_MAX + 2] = "";  // one byte more than allowed, so a longer one shows
    arg_get_str(req.js, req.args, req.an, "filter", filter, sizeof filter);
    if (pid < 2) return op_result::refuse({ERR_EREQ, "pid must be > 1"});
    // The tracer's -f reaches every thread of the process a thread id belongs to.
    if (proc_is_daemon(pid)) return op_result::refuse({ERR_EFORBIDDEN, "refusing to trace the daemon"});
    if (!trace_filter_ok(filter)) return op_result::refuse({ERR_EREQ, "invalid trace filter"});
    return req.stream([&](op_stream_t& s) { return strace_run(s, pid, filter); });
}
