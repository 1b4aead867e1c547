#include "ops/memtest.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <utility>

#include "base/fdio.h"
#include "base/ids.h"
#include "base/locks.h"
#include "base/log.h"
#include "proc/procfs.h"
#include "proc/runner.h"
#include "proc/spawn.h"
#include "proc/tools.h"
#include "wire/args.h"
#include "wire/errors.h"
#include "wire/json.h"
#include "wire/reply.h"

// ---- memprowl_run, memprowl_kill ----

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

op_result op_memprowl_run(const op_req_t& req) {
    const char* js = req.js;
    const jsmntok_t* args = req.args;
    const int an = req.an;
    if (arg_get_bool(js, args, an, "confirm", 0) != 1) return op_err{ERR_EREQ, "confirm=true required"};
    long long passes = arg_get_int(js, args, an, "passes", 1);
    passes = passes < 1 ? 1 : passes > MEMPROWL_MAX_PASSES ? MEMPROWL_MAX_PASSES : passes;
    char passes_text[16];
    snprintf(passes_text, sizeof passes_text, "%lld", passes);
    char profile[MEMPROWL_WORD_BYTES] = "", mode[MEMPROWL_WORD_BYTES] = "", mem[MEMPROWL_MEM_BYTES] = "";
    arg_get_str(js, args, an, "profile", profile, sizeof profile);
    arg_get_str(js, args, an, "mode", mode, sizeof mode);
    arg_get_str(js, args, an, "mem", mem, sizeof mem);

    return req.stream([&](op_stream_t& s) -> op_result {
        char path[MEMPROWL_PATH_BYTES];
        if (binfind("memprowl", "memprowl", path, sizeof path) != 0)
            return op_err{ERR_ENOENT, "memprowl binary not found"};
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

        exec_spec_t spec = {const_cast<char**>(argv), tool_envp(), nullptr, 0, MEMPROWL_KILL_GRACE_MS};
        memprowl_ctx_t ctx = {&s.emit};
        exec_result_t res;
        if (exec_stream(&spec, memprowl_cb, &ctx, s.cancel, &res) != 0)
            return op_err{ERR_ESPAWN, "failed to spawn memprowl"};
        return op_result::done(res.exit_code);
    });
}

op_result op_memprowl_kill(const op_req_t&) {
    sb_t result;
    sb_printf(&result, "{\"killed\":%d}", kill_all_named(is_memprowl));
    return op_result::ok(std::move(result));
}

// ---- mem_suspend_run, mem_suspend_cancel ----

namespace {

constexpr char SENTINEL_DIR[] = "/tmp/.vorn_memtest.lock";
constexpr char MEMTEST_BASE[] = "/opt/vorn/var/memtest";
constexpr char ORCH_SHELL[] = "/bin/sh";
constexpr char ORCH_SCRIPT[] = "/opt/vorn/etc/vornd/mem-suspend.sh";
constexpr char ORCH_MARK[] = "mem-suspend.sh";  // in the script's command line
constexpr long CLAIM_FRESH_SECS = 30;
constexpr size_t CTRL_BYTES = 32;     // a control file is read once, 31 bytes at most
constexpr size_t CMDLINE_BYTES = 64;  // 63 bytes of a command line are searched
constexpr size_t WORKDIR_BYTES = 256;
constexpr size_t RUN_FILE_BYTES = 300;
constexpr size_t MODE_BYTES = 16;
constexpr size_t RUN_ID_ARG_BYTES = 64;
constexpr size_t RUN_ID_MAX = 32;
constexpr long long MAX_PASSES = 16;
constexpr int FOREIGN_TREE_DEPTH = 8;  // how deep a planted tree at the sentinel's path is removed

// Held from one run's claim of the sentinel (a file, which the analysis cannot name) to the
// end of its launch: start_run requires it.
mutex_t g_run_mu;

// The first line of the small control file `name` in `dir` (or AT_FDCWD), read once and cut
// at CR or LF; "" when it cannot be read. A link is not followed, a FIFO never blocks.
void read_ctrl_at(int dir, const char* name, char out[CTRL_BYTES]) {
    read_small_at(dir, name, out, CTRL_BYTES);
    out[strcspn(out, "\r\n")] = '\0';
}

// The control file as a base-10 number: 0 when it is missing, empty or not a number.
long ctrl_number(const char* path) {
    char text[CTRL_BYTES];
    read_ctrl_at(AT_FDCWD, path, text);
    return strtol(text, nullptr, 10);
}

// True when the first 63 bytes of the command line of `pid` name the orchestrator.
bool runs_orchestrator(int pid) {
    char cmd[CMDLINE_BYTES];
    ssize_t n = procfs_read(AT_FDCWD, pid, "cmdline", cmd, sizeof cmd);
    if (n <= 0) return false;
    proc_cmdline_spaces(cmd, static_cast<size_t>(n), false);
    return strstr(cmd, ORCH_MARK) != nullptr;
}

bool orchestrator_alive(long pid) {
    return pid >= 2 && pid <= INT_MAX && kill(static_cast<pid_t>(pid), 0) == 0 &&
           runs_orchestrator(static_cast<int>(pid));
}

// Pins `pid` when it is a live orchestrator: the SIGTERM then reaches that process even if
// the number has gone to another since.
bool pin_orchestrator(long pid, proc_pin_t* pin) {
    proc_stat_t st;
    return pid <= INT_MAX && procfs_stat(AT_FDCWD, static_cast<int>(pid), &st) == 0 &&
           pin->open(AT_FDCWD, static_cast<int>(pid), st) == 0 && runs_orchestrator(static_cast<int>(pid));
}

// True when a live orchestrator is a member of process group `pgid`: a group id left in a
// finished run's file may name someone else's group by now.
bool group_has_orchestrator(long pgid) {
    proc_scan_t scan;
    proc_stat_t st;
    while (int pid = scan.next())
        if (procfs_stat(scan.fd(), pid, &st) == 0 && st.pgrp == pgid && orchestrator_alive(pid)) return true;
    return false;
}

// The sentinel when it is the daemon's own: a real directory (not a link) owned by root.
// Nobody else can rename or remove such a directory in the sticky /tmp, so its files are
// then used through this descriptor. -1 for anything else at the path, or nothing.
int open_own_sentinel() {
    unique_fd dir(open(SENTINEL_DIR, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!dir || fstat(dir.get(), &st) != 0 || st.st_uid != 0) return -1;
    return dir.release();
}

// Removes `name` in `parent` and, for a directory, what it holds, `depth` levels down at most;
// links are removed themselves, never followed. Failures are left to the mkdir that follows.
void remove_tree_at(int parent, const char* name, int depth) {
    unique_fd dir(openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir) {
        unlinkat(parent, name, 0);
        return;
    }
    if (scoped_dir d = depth > 0 ? list_dir(dir.get()) : nullptr)
        while (struct dirent* e = readdir(d.get()))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                remove_tree_at(dir.get(), e->d_name, depth - 1);
    unlinkat(parent, name, AT_REMOVEDIR);
}

// Anything at the sentinel's path that is not root's own directory was put there by someone
// else (any local user may write /tmp): it must neither block every run nor make root act
// where it points, so it goes.
void remove_foreign_sentinel() {
    log_msg(LOG_WRN, "mem_suspend_run: %s is not a directory of root's; removing it", SENTINEL_DIR);
    remove_tree_at(AT_FDCWD, SENTINEL_DIR, FOREIGN_TREE_DEPTH);
}

// Removes the files the daemon and the orchestrator put into the sentinel, then the
// directory; failures are ignored (a directory holding anything else stays).
void clear_sentinel() {
    unique_fd dir(open_own_sentinel());
    if (!dir) return;
    for (const char* name : {"pid", "deadline", "started", "claiming"}) unlinkat(dir.get(), name, 0);
    rmdir(SENTINEL_DIR);
}

void write_small(int dir, const char* name, const char* text) {
    unique_fd f(openat(dir, name, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (f) write_full(f.get(), text, strlen(text));
}

// A claim is alive while its orchestrator runs, or for 30 seconds after the daemon made it.
bool claim_alive(int dir) {
    char text[CTRL_BYTES];
    read_ctrl_at(dir, "pid", text);
    if (orchestrator_alive(strtol(text, nullptr, 10))) return true;
    read_ctrl_at(dir, "claiming", text);
    if (!text[0]) return false;
    read_ctrl_at(dir, "started", text);
    long started = strtol(text, nullptr, 10);
    return text[0] && started > 0 && time(nullptr) - started < CLAIM_FRESH_SECS;
}

// Takes the sentinel and writes the claim: null, or the error to reply with (an existing
// live claim is left as it was).
const op_err* claim_sentinel() {
    static const op_err CANNOT = {ERR_ESENT, "cannot claim memtest sentinel"};
    static const op_err RUNNING = {ERR_EBUSY, "a memory-test suspend is already running"};
    static const op_err BUSY = {ERR_EBUSY, "memtest sentinel busy"};
    if (mkdir(SENTINEL_DIR, 0755) != 0) {
        if (errno != EEXIST) return &CANNOT;
        unique_fd old(open_own_sentinel());
        if (!old) remove_foreign_sentinel();
        else if (claim_alive(old.get())) return &RUNNING;
        else clear_sentinel();
        if (mkdir(SENTINEL_DIR, 0755) != 0) return &BUSY;
    }
    unique_fd dir(open_own_sentinel());
    if (!dir) return &BUSY;
    char started[32];
    snprintf(started, sizeof started, "%ld\n", static_cast<long>(time(nullptr)));
    write_small(dir.get(), "started", started);
    write_small(dir.get(), "claiming", "1\n");
    return nullptr;
}

// Starts the orchestrator detached from the daemon: its own session, SIGHUP ignored, out of
// reach of the OOM killer, /dev/null in, orch.log appended as both outputs (the daemon's own
// when it cannot be opened). 0 once it runs; -1 with *spawn_err 0 when no process could be
// created, else the errno of the step that kept it from running.
int launch_orchestrator(char* const* argv, const char* log_path, int* spawn_err) {
    unique_fd log(open(log_path, O_WRONLY | O_CREAT | O_APPEND | O_NOCTTY | O_CLOEXEC, 0644));
    exec_child_t c;
    c.argv = argv;
    c.stdio[1] = c.stdio[2] = log.get();
    c.new_session = c.detach = c.ignore_sighup = c.oom_protect = true;
    *spawn_err = 0;
    return exec_spawn(&c, spawn_err) < 0 || *spawn_err ? -1 : 0;
}

struct run_args_t {
    char passes[24];
    char floor_mb[24];
    char mode[MODE_BYTES];
    const char* extended;
};

void read_run_args(const char* js, const jsmntok_t* args, int an, run_args_t* ra) {
    long long passes = arg_get_int(js, args, an, "passes", 1);
    passes = passes < 1 ? 1 : passes > MAX_PASSES ? MAX_PASSES : passes;
    snprintf(ra->passes, sizeof ra->passes, "%lld", passes);
    snprintf(ra->floor_mb, sizeof ra->floor_mb, "%lld", arg_get_int(js, args, an, "arc_floor_mb", 0));
    char mode[MODE_BYTES] = "";
    arg_get_str(js, args, an, "mode", mode, sizeof mode);
    snprintf(ra->mode, sizeof ra->mode, "%s", strcmp(mode, "hammer") == 0 ? "hammer" : "deep");
    ra->extended = arg_get_bool(js, args, an, "extended", 0) == 1 ? "1" : "0";
}

// Claim, work directory and launch; null on success, else the error to reply with (the
// claim released when it was taken). Called with g_run_mu held.
const op_err* start_run(const run_args_t* ra, const char* run_id, const char* wd) REQUIRES(g_run_mu) {
    static const op_err NO_WORKDIR = {ERR_EMKDIR, "cannot create workdir"};
    static const op_err NO_FORK = {ERR_EFORK, "fork failed"};
    static const op_err NO_START = {ERR_ESPAWN, "orchestrator cannot be started"};
    if (const op_err* err = claim_sentinel()) return err;
    mkdir(MEMTEST_BASE, 0755);
    if (mkdir(wd, 0755) != 0 && errno != EEXIST) {
        clear_sentinel();
        return &NO_WORKDIR;
    }
    char log_path[RUN_FILE_BYTES];
    snprintf(log_path, sizeof log_path, "%s/orch.log", wd);
    const char* argv[] = {ORCH_SHELL, ORCH_SCRIPT, "--run-id",   run_id,           "--workdir",
                          wd,         "--passes",  ra->passes,   "--arc-floor-mb", ra->floor_mb,
                          "--mode",   ra->mode,    "--extended", ra->extended,     nullptr};
    int spawn_err = 0;
    if (launch_orchestrator(const_cast<char* const*>(argv), log_path, &spawn_err) != 0) {
        clear_sentinel();
        if (!spawn_err) return &NO_FORK;
        // A shell that cannot run is a failed launch too, never a run that seems to start.
        log_msg(LOG_ERR, "mem_suspend_run: %s cannot be started: %s", ORCH_SHELL, strerror(spawn_err));
        return &NO_START;
    }
    return nullptr;
}

// 1 to 32 hexadecimal digits.
bool run_id_ok(const char* id) {
    size_t n = strlen(id);
    if (n == 0 || n > RUN_ID_MAX) return false;
    for (size_t i = 0; i < n; i++)
        if (!isxdigit(static_cast<unsigned char>(id[i]))) return false;
    return true;
}

}  // namespace

op_result op_mem_suspend_run(const op_req_t& req) {
    if (arg_get_bool(req.js, req.args, req.an, "confirm", 0) != 1) return op_err{ERR_EREQ, "confirm=true required"};
    run_args_t ra;
    read_run_args(req.js, req.args, req.an, &ra);
    if (access(ORCH_SCRIPT, X_OK) != 0 && access(ORCH_SCRIPT, R_OK) != 0)
        return op_err{ERR_ENOENT, "orchestrator mem-suspend.sh not found"};
    char run_id[ID_LEN + 1], wd[WORKDIR_BYTES];
    gen_id(run_id);
    snprintf(wd, sizeof wd, "%s/%s", MEMTEST_BASE, run_id);

    const op_err* err;
    {
        lock_guard_t lock(g_run_mu);
        err = start_run(&ra, run_id, wd);
    }
    if (err) return *err;
    log_msg(LOG_INF, "mem_suspend_run launched run_id=%s wd=%s", run_id, wd);
    char stream_file[RUN_FILE_BYTES];
    snprintf(stream_file, sizeof stream_file, "%s/stream.ndjson", wd);
    sb_t s;
    sb_appendz(&s, "{");
    sb_kv_str(&s, "run_id", run_id, 1);
    sb_kv_str(&s, "workdir", wd, 1);
    sb_kv_str(&s, "stream_file", stream_file, 0);
    sb_appendz(&s, "}");
    return op_result::ok(std::move(s));
}

op_result op_mem_suspend_cancel(const op_req_t& req) {
    char run_id[RUN_ID_ARG_BYTES] = "";
    arg_get_str(req.js, req.args, req.an, "run_id", run_id, sizeof run_id);
    if (!run_id_ok(run_id)) return op_err{ERR_EREQ, "valid run_id required"};
    char path[RUN_FILE_BYTES];
    snprintf(path, sizeof path, "%s/%s/orch.pid", MEMTEST_BASE, run_id);
    long pid = ctrl_number(path);
    snprintf(path, sizeof path, "%s/%s/orch.pgid", MEMTEST_BASE, run_id);
    long pgid = ctrl_number(path);
    if (pid < 2 && pgid < 2) return op_err{ERR_ENOENT, "no live orchestrator for run_id"};
    if (pgid >= 2 && group_has_orchestrator(pgid)) {
        kill(static_cast<pid_t>(-pgid), SIGTERM);
    } else if (proc_pin_t pin; pid >= 2 && pin_orchestrator(pid, &pin)) {
        pin.signal(SIGTERM);
    } else {
        return op_err{ERR_ESTALE, "orchestrator not alive"};
    }
    return op_result::ok("{\"cancelled\":true}");
}
