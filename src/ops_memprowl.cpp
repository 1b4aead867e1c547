// ops_memprowl — the memory test tool run in the foreground of a request (`memprowl_run`,
// its JSON records as chunk events and every other line as a log event) and the kill of
// every process of that name (`memprowl_kill`).
//
// The tool's records are forwarded unchanged, so a standard-output line goes out as a
// chunk only when it is one complete JSON value; anything else is a log line and can never
// break the client's frame.
// Threads: handlers run on their connection's thread; nothing is shared but the job slot.

#include <cstdio>
#include <cstring>

#include "binfind.h"
#include "exec.h"
#include "jobs.h"
#include "ops.h"
#include "ops_util.h"

namespace {

constexpr size_t MEMPROWL_PATH_BYTES = 512;
constexpr size_t MEMPROWL_WORD_BYTES = 16;  // profile and mode: 15 characters, longer are cut
constexpr size_t MEMPROWL_MEM_BYTES = 32;   // 31 characters, longer are cut
constexpr long long MEMPROWL_MAX_PASSES = 16;
constexpr int MEMPROWL_KILL_GRACE_MS = 500;
constexpr int MEMPROWL_MAX_ARGS = 12;  // path and every option, with room for the null

struct memprowl_ctx_t {
    op_emit_t* e;
};

// The option "--<profile>" for a known profile, else null.
const char* profile_option(const char* profile) {
    static const char* const PROFILES[][2] = {
        {"quick", "--quick"}, {"standard", "--standard"}, {"thorough", "--thorough"}};
    for (const auto& p : PROFILES)
        if (strcmp(profile, p[0]) == 0) return p[1];
    return nullptr;
}

// Non-zero when a write failed: the client is gone, so the tool is stopped.
int memprowl_cb(void* ctx, int which, const char* line) {
    op_emit_t* e = static_cast<memprowl_ctx_t*>(ctx)->e;
    if (!line[0]) return 0;
    if (which == 1 && line[0] == '{' && json_is_one_value(line)) return emit_chunk(e, line, strlen(line)) != 0;
    return emit_log(e, which, line) != 0;
}

bool is_memprowl(const char* comm) { return strcmp(comm, "memprowl") == 0; }

}  // namespace

int op_memprowl_run(int fd, const char* req_id, const char* js, const jsmntok_t* args, int an, int) {
    job_t* job = job_alloc();  // null (table full): the test runs without a job id
    op_emit_t e = {fd, req_id, job, 0};
    char path[MEMPROWL_PATH_BYTES];
    if (binfind("memprowl", "memprowl", path, sizeof path) != 0) {
        emit_stream_error(&e, "ENOENT", "memprowl binary not found");
        job_release(job);
        return 0;
    }
    if (arg_get_bool(js, args, an, "confirm", 0) != 1) {
        emit_stream_error(&e, "EREQ", "confirm=true required");
        job_release(job);
        return 0;
    }
    long long passes = arg_get_int(js, args, an, "passes", 1);
    passes = passes < 1 ? 1 : passes > MEMPROWL_MAX_PASSES ? MEMPROWL_MAX_PASSES : passes;
    char passes_text[16];
    snprintf(passes_text, sizeof passes_text, "%lld", passes);
    char profile[MEMPROWL_WORD_BYTES] = "", mode[MEMPROWL_WORD_BYTES] = "", mem[MEMPROWL_MEM_BYTES] = "";
    arg_get_str(js, args, an, "profile", profile, sizeof profile);
    arg_get_str(js, args, an, "mode", mode, sizeof mode);
    arg_get_str(js, args, an, "mem", mem, sizeof mem);

    const char* argv[MEMPROWL_MAX_ARGS];
    int n = 0;
    argv[n++] = path;
    argv[n++] = "--json";
    if (strcmp(mode, "full") == 0) argv[n++] = "--full";
    if (const char* opt = profile_option(profile)) argv[n++] = opt;
    if (arg_get_bool(js, args, an, "extended", 0) == 1) argv[n++] = "--extended-tests";
    if (mem[0]) {
        argv[n++] = "--mem";
        argv[n++] = mem;
    }
    argv[n++] = "--passes";
    argv[n++] = passes_text;
    argv[n] = nullptr;

    exec_spec_t spec = {const_cast<char**>(argv), nullptr, nullptr, 0, MEMPROWL_KILL_GRACE_MS, fd};
    memprowl_ctx_t ctx = {&e};
    exec_result_t res;
    if (exec_stream(&spec, memprowl_cb, &ctx, job, &res) != 0)
        emit_stream_error(&e, "ESPAWN", "failed to spawn memprowl");
    else emit_done(&e, res.exit_code, nullptr);
    job_release(job);
    return 0;
}

int op_memprowl_kill(int fd, const char* req_id, const char*, const jsmntok_t*, int, int) {
    char result[32];
    snprintf(result, sizeof result, "{\"killed\":%d}", kill_all_named(is_memprowl));
    return reply_ok(fd, req_id, result);
}
