#include "ops/fio.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/fdio.h"
#include "config/config.h"
#include "proc/runner.h"
#include "proc/tools.h"
#include "wire/args.h"
#include "wire/errors.h"
#include "wire/frame.h"
#include "wire/json.h"

namespace {

constexpr size_t FIO_TARGET_BYTES = 256;
constexpr size_t FIO_TEST_BYTES = 16;
constexpr size_t FIO_SIZE_BYTES = 16;
constexpr size_t FIO_RW_BYTES = 24;
constexpr size_t FIO_BS_BYTES = 16;
constexpr size_t FIO_CUSTOM_NAME_BYTES = 40;
constexpr size_t FIO_PATH_BYTES = 512;
constexpr size_t FIO_COMPOSED_BYTES = 4096;
constexpr size_t FIO_NAME_BYTES = 64;  // a work directory's or a report's name
// Names taken by other runs, or planted, are passed over this many times before the run gives up.
constexpr int FIO_WORKDIR_TRIES = 64;
// Held (flock) by the run that made the work directory for as long as it runs.
constexpr const char* FIO_LOCK_NAME = ".lock";
constexpr int FIO_MAX_ROWS = 6;
constexpr long long FIO_RUNTIME_MAX_S = 86400;
constexpr int FIO_IODEPTH_MAX = 1024;
constexpr int FIO_KILL_GRACE_MS = 500;
constexpr size_t FIO_REPORT_MAX_BYTES = 4194304;
// A test_done record must fit one frame with its envelope.
constexpr size_t FIO_RECORD_MAX_BYTES = FRAME_MAX_BYTES - 1024;
constexpr const char* FIO_SIZE_LETTERS = "KMGkmg";

const char* const OK_RW[] = {"read", "write", "randread", "randwrite", "rw", "randrw"};

// One fio invocation.
struct t_t {
    const char* name;  // also fio's job name and the stem of its files
    const char* rw;
    const char* bs;
    int iodepth;
    int numjobs;
    const char* size_override;  // null: the request's size
};

struct preset_t {
    const char* test;
    int n;
    t_t rows[4];
};

const preset_t PRESETS[] = {
    {"seq1m", 2, {{"SEQ1M_Q8T1_W", "write", "1M", 8, 1, nullptr}, {"SEQ1M_Q8T1_R", "read", "1M", 8, 1, nullptr}}},
    {"rnd4k",
     2,
     {{"RND4K_Q32_W", "randwrite", "4k", 32, 1, nullptr}, {"RND4K_Q32_R", "randread", "4k", 32, 1, nullptr}}},
    {"full",
     4,
     {{"SEQ1M_Q8_W", "write", "1M", 8, 1, nullptr},
      {"SEQ1M_Q8_R", "read", "1M", 8, 1, nullptr},
      {"RND4K_Q32_W", "randwrite", "4k", 32, 1, nullptr},
      {"RND4K_Q32_R", "randread", "4k", 32, 1, nullptr}}},
};

struct fio_req_t {
    char resolved[PATH_MAX] = {};
    char size[FIO_SIZE_BYTES] = "2G";
    int direct = 0;
    long long runtime = 0;  // seconds; 0: not time-based
    int custom = 0;
    char rw[FIO_RW_BYTES] = "read";
    char bs[FIO_BS_BYTES] = "1M";
    char custom_name[FIO_CUSTOM_NAME_BYTES] = {};
    t_t rows[FIO_MAX_ROWS] = {};
    int nrows = 0;
    unique_fd tfd;                          // the target directory
    char wname[FIO_NAME_BYTES] = {};        // the work directory's name in it
    char workdir[FIO_COMPOSED_BYTES] = {};  // its path, for the start record only
};

void deliver_line(fio_lines_t* l, int which) {
    l->carry[l->len] = '\0';
    if (fio_cb(&l->fc, which, l->carry) != 0) l->stop = 1;
    l->len = 0;
}

// ---- request checks ----

// Null and the resolved path in r->resolved, or the refusal of the request's target_dir.
const op_err* check_target(const char* js, const jsmntok_t* args, int an, fio_req_t* r) {
    static const op_err REQUIRED = {ERR_EREQ, "target_dir required"};
    static const op_err TOO_LONG = {ERR_EBADREQ, "target_dir too long"};
    static const op_err UNRESOLVABLE = {ERR_EBADPATH, "target_dir not resolvable"};
    static const op_err FORBIDDEN = {ERR_EFORBIDDEN, "target_dir not in allowlist"};
    static const op_err NOT_DIR = {ERR_ENOTDIR, "target_dir not a directory"};
    // One byte more than the field holds, so that a longer path is seen rather than cut.
    char target[FIO_TARGET_BYTES + 1] = {};
    arg_get_str(js, args, an, "target_dir", target, sizeof target);
    if (!target[0]) return &REQUIRED;
    if (strlen(target) >= FIO_TARGET_BYTES) return &TOO_LONG;
    if (!realpath(target, r->resolved)) return &UNRESOLVABLE;
    cfg_snapshot_t cfg = g_cfg.load();
    if (!cfg_allow_check(&cfg->paths_fio, r->resolved)) return &FORBIDDEN;
    // Everything later happens through this descriptor: the path is not looked up again.
    r->tfd.reset(open(r->resolved, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!r->tfd || fstat(r->tfd.get(), &st) != 0 || !S_ISDIR(st.st_mode)) return &NOT_DIR;
    return nullptr;
}

bool rw_allowed(const char* rw) {
    for (const char* ok : OK_RW)
        if (strcmp(rw, ok) == 0) return true;
    return false;
}

// Cuts `text` before its first character that is neither a digit nor one of K, M, G (either
// case); an empty result becomes `def`. `cap` is the size of `text`.
void fio_sanitize_size(char* text, size_t cap, const char* def) {
    size_t n = 0;
    while (text[n] && ((text[n] >= '0' && text[n] <= '9') || strchr(FIO_SIZE_LETTERS, text[n]))) n++;
    text[n] = '\0';
    if (n == 0) snprintf(text, cap, "%s", def);
}

// Null and the tests to run in r->rows, or the refusal of the request's test arguments.
const op_err* build_rows(const char* js, const jsmntok_t* args, int an, fio_req_t* r) {
    static const op_err UNKNOWN = {ERR_EREQ, "unknown test preset"};
    static const op_err BAD_RW = {ERR_EREQ, "invalid rw"};
    char test[FIO_TEST_BYTES] = "seq1m";
    arg_get_str(js, args, an, "test", test, sizeof test);
    arg_get_str(js, args, an, "size", r->size, sizeof r->size);
    fio_sanitize_size(r->size, sizeof r->size, "2G");
    r->direct = arg_get_int(js, args, an, "direct", 0) != 0;
    long long runtime = arg_get_int(js, args, an, "runtime", 0);
    r->runtime = runtime <= 0 ? 0 : runtime > FIO_RUNTIME_MAX_S ? FIO_RUNTIME_MAX_S : runtime;
    for (const preset_t& p : PRESETS) {
        if (strcmp(test, p.test) != 0) continue;
        memcpy(r->rows, p.rows, sizeof p.rows);
        r->nrows = p.n;
        return nullptr;
    }
    if (strcmp(test, "custom") != 0) return &UNKNOWN;
    arg_get_str(js, args, an, "rw", r->rw, sizeof r->rw);
    if (!rw_allowed(r->rw)) return &BAD_RW;
    arg_get_str(js, args, an, "bs", r->bs, sizeof r->bs);
    fio_sanitize_size(r->bs, sizeof r->bs, "1M");
    long long depth = arg_get_int(js, args, an, "iodepth", strstr(r->rw, "rand") ? 32 : 8);
    depth = depth < 2 ? 1 : depth > FIO_IODEPTH_MAX ? FIO_IODEPTH_MAX : depth;
    snprintf(r->custom_name, sizeof r->custom_name, "CUSTOM_%s", r->rw);
    r->custom = 1;
    r->rows[0] = {r->custom_name, r->rw, r->bs, static_cast<int>(depth), 1, nullptr};
    r->nrows = 1;
    return nullptr;
}

// ---- files ----

// Removes the regular files of the directory `dfd` whose names do not begin with "." and,
// when `prefix` is given, begin with it.
void remove_files(int dfd, const char* prefix) {
    scoped_dir d = list_dir(dfd);
    if (!d) return;
    while (struct dirent* e = readdir(d.get())) {
        if (e->d_name[0] == '.') continue;
        if (prefix && strncmp(e->d_name, prefix, strlen(prefix)) != 0) continue;
        struct stat st;
        if (fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) unlinkat(dfd, e->d_name, 0);
    }
}

// 1 when the directory `dfd` holds nothing but "." and "..".
bool dir_empty(int dfd) {
    scoped_dir d = list_dir(dfd);
    if (!d) return false;
    while (struct dirent* e = readdir(d.get()))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) return false;
    return true;
}

// 1 when no running daemon owns the work directory `sub` named `name`. A daemon holds the lock
// of its directory for the whole run, whatever PID namespace it runs in, so a pid says nothing
// where a lock exists; only a directory without one (an older daemon's) is judged by its pid.
// A lock taken stays in `lock` while the caller removes the directory.
bool workdir_stale(int sub, const char* name, unique_fd* lock) {
    lock->reset(openat(sub, FIO_LOCK_NAME, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!*lock) return errno == ENOENT && kill(fio_workdir_pid(name), 0) != 0 && errno == ESRCH;
    struct stat st;
    return fstat(lock->get(), &st) == 0 && S_ISREG(st.st_mode) && flock(lock->get(), LOCK_EX | LOCK_NB) == 0;
}

// Empties and removes the work directories that no running daemon owns. A link is never
// followed, and a directory someone else owns is not one of ours.
void fio_sweep_stale(int tfd) {
    scoped_dir d = list_dir(tfd);
    if (!d) return;
    while (struct dirent* e = readdir(d.get())) {
        if (fio_workdir_pid(e->d_name) <= 0) continue;
        unique_fd sub(openat(tfd, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)), lock;
        struct stat st;
        if (!sub || fstat(sub.get(), &st) != 0 || st.st_uid != geteuid()) continue;
        if (!workdir_stale(sub.get(), e->d_name, &lock)) continue;
        remove_files(sub.get(), nullptr);
        unlinkat(sub.get(), FIO_LOCK_NAME, 0);
        unlinkat(tfd, e->d_name, AT_REMOVEDIR);
    }
}

// Opens the work directory just made as r->wname and takes its lock into `lock`. Another writer
// of the target may have put something else under the name meanwhile: only an empty directory
// of ours is accepted. Returns the open directory, or -1 with the directory removed again.
int open_workdir(fio_req_t* r, unique_fd* lock) {
    unique_fd w(openat(r->tfd.get(), r->wname, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    // The mode is set, not left to the umask: nobody else may enter, plant or read here.
    if (w && fstat(w.get(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() && dir_empty(w.get()) &&
        fchmod(w.get(), 0700) == 0) {
        lock->reset(openat(w.get(), FIO_LOCK_NAME, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (*lock && flock(lock->get(), LOCK_EX | LOCK_NB) == 0) return w.release();
        if (*lock) unlinkat(w.get(), FIO_LOCK_NAME, 0);
        lock->reset();
    }
    unlinkat(r->tfd.get(), r->wname, AT_REMOVEDIR);
    return -1;
}

// Makes this run's work directory in the target. A name that exists is never reused, whoever
// made it: what was planted in it would redirect fio's files. Returns the open directory with
// its lock in `lock`, or -1 with nothing left behind.
int make_workdir(fio_req_t* r, unique_fd* lock) {
    static std::atomic<unsigned> runs{0};
    for (int i = 0; i < FIO_WORKDIR_TRIES; i++) {
        snprintf(r->wname, sizeof r->wname, "%s%d_%u", FIO_WORKDIR_PREFIX, static_cast<int>(getpid()), ++runs);
        int n = snprintf(r->workdir, sizeof r->workdir, "%s/%s", r->resolved, r->wname);
        if (n < 0 || static_cast<size_t>(n) >= sizeof r->workdir) return -1;
        if (mkdirat(r->tfd.get(), r->wname, 0700) == 0) return open_workdir(r, lock);
        if (errno != EEXIST) return -1;
    }
    return -1;
}

// ---- one test ----

struct fio_argv_t {
    char name[64], rw[64], bs[64], size[64], numjobs[32], iodepth[32], runtime[32], direct[24];
    char output[FIO_NAME_BYTES + 16];  // and the option's name
    char* argv[24];
};

// argv texts that execve never writes to.
char* lit(const char* s) { return const_cast<char*>(s); }

void build_argv(const fio_req_t* r, const t_t* row, char* fio, const char* report, fio_argv_t* a) {
    snprintf(a->name, sizeof a->name, "--name=%s", row->name);
    snprintf(a->rw, sizeof a->rw, "--rw=%s", row->rw);
    snprintf(a->bs, sizeof a->bs, "--bs=%s", row->bs);
    snprintf(a->size, sizeof a->size, "--size=%s", row->size_override ? row->size_override : r->size);
    snprintf(a->numjobs, sizeof a->numjobs, "--numjobs=%d", row->numjobs);
    snprintf(a->iodepth, sizeof a->iodepth, "--iodepth=%d", row->iodepth);
    snprintf(a->direct, sizeof a->direct, "--direct=%d", r->direct);
    snprintf(a->runtime, sizeof a->runtime, "--runtime=%lld", r->runtime);
    snprintf(a->output, sizeof a->output, "--output=%s", report);
    int n = 0;
    for (char* s : {fio, a->name, lit("--ioengine=libaio"), a->rw, a->bs, a->size, a->numjobs, a->iodepth,
                    lit("--scramble_buffers=1"), a->direct})
        a->argv[n++] = s;
    if (r->custom) a->argv[n++] = lit("--unlink=1");
    if (r->runtime > 0) {
        a->argv[n++] = a->runtime;
        a->argv[n++] = lit("--time_based");
    }
    // Through a pipe fio prints status lines only when asked to; the request goes last. The
    // report and the data files are named relative to fio's working directory, the work
    // directory: no path through the target is looked up again, and fio would split one at ":".
    for (char* s : {lit("--output-format=json"), a->output, lit("--eta=always")}) a->argv[n++] = s;
    a->argv[n] = nullptr;
}

int emit_record(fio_ctx_t* fc, const sb_t& data) {
    if (!data.buf || emit_chunk(fc->e, data.buf, data.len) != 0) fc->client_gone = 1;
    return fc->client_gone ? -1 : 0;
}

void emit_test_start(fio_ctx_t* fc, const fio_req_t* r, const t_t* row) {
    sb_t s;
    sb_appendz(&s, "{");
    sb_kv_str(&s, "type", "test_start", 1);
    sb_kv_int(&s, "index", fc->idx, 1);
    sb_kv_str(&s, "name", row->name, 1);
    sb_kv_str(&s, "rw", row->rw, 1);
    sb_kv_str(&s, "bs", row->bs, 1);
    sb_kv_str(&s, "size", row->size_override ? row->size_override : r->size, 0);
    sb_appendz(&s, "}");
    emit_record(fc, s);
}

// Sends the test's report, `report` in the work directory `wfd`, as its test_done record
// (nothing when it cannot be read). Only a regular file is read, never one behind a link.
void emit_report(fio_ctx_t* fc, int wfd, const char* report) {
    unique_fd f(openat(wfd, report, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    sb_t text;
    if (!f || fstat(f.get(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    if (read_fd_all(f.get(), &text, FIO_REPORT_MAX_BYTES) != 0) return;
    sb_t s;
    sb_printf(&s, "{\"type\":\"test_done\",\"index\":%d,\"raw\":", fc->idx);
    fio_report_raw(std::string_view(text.buf ? text.buf : "", text.len), &s);
    sb_appendz(&s, "}");
    if (s.len > FIO_RECORD_MAX_BYTES) {
        s.len = 0;
        sb_appendz(&s, "{\"type\":\"log\",\"line\":\"fio report too large to send\"}");
    }
    emit_record(fc, s);
    unlinkat(wfd, report, 0);
}

bool client_hung_up(int fd) {
    struct pollfd p = {fd, 0, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR));
}

// Runs the tests in order until one cannot start (`*spawn_failed` set), the stream is
// cancelled or the client is gone. Returns the first non-zero exit code of the tests that ran,
// else 0.
int run_tests(const fio_req_t* r, char* fio, op_stream_t& s, int wfd, int* spawn_failed) {
    int exit_code = 0;
    fio_lines_t lines;
    lines.fc.e = &s.emit;
    for (int i = 0; i < r->nrows; i++) {
        if (s.cancel.cancelled() || lines.fc.client_gone || client_hung_up(s.emit.fd)) break;
        const t_t* row = &r->rows[i];
        char report[FIO_NAME_BYTES];
        snprintf(report, sizeof report, "%s.json", row->name);
        fio_argv_t a;
        build_argv(r, row, fio, report, &a);
        exec_spec_t spec = {a.argv, tool_envp(), nullptr, 1, FIO_KILL_GRACE_MS};
        spec.cwd_fd = wfd;
        lines.fc.idx = i;
        emit_test_start(&lines.fc, r, row);
        exec_result_t res;
        int rc = exec_stream_raw(&spec, fio_raw_cb, &lines, s.cancel, &res);
        fio_lines_flush(&lines);
        if (rc < 0) {
            *spawn_failed = 1;
            break;
        }
        emit_report(&lines.fc, wfd, report);
        if (exit_code == 0) exit_code = res.exit_code;
        remove_files(wfd, row->name);
    }
    return exit_code;
}

}  // namespace

// ---- exposed pieces ----

int fio_status_pct(std::string_view line, double* pct) {
    if (line.find("%]") == std::string_view::npos && line.find("% done") == std::string_view::npos) return 0;
    auto digit = [&](size_t i) { return i < line.size() && line[i] >= '0' && line[i] <= '9'; };
    for (size_t at = line.find('['); at != std::string_view::npos; at = line.find('[', at + 1)) {
        size_t p = at + 1;
        if (!digit(p)) continue;
        double v = 0;
        for (; digit(p); p++) v = v * 10 + (line[p] - '0');
        if (p < line.size() && line[p] == '.' && digit(p + 1)) {
            double scale = 0.1;
            for (p++; digit(p); p++, scale /= 10) v += (line[p] - '0') * scale;
        }
        if (p < line.size() && line[p] == '%') {
            *pct = v;
            return 1;
        }
    }
    return 0;
}

int fio_cb(void* ctx, int, const char* line) {
    auto* fc = static_cast<fio_ctx_t*>(ctx);
    if (fc->client_gone) return 1;
    if (!line[0]) return 0;
    sb_t s;
    sb_appendz(&s, "{\"type\":\"log\",\"line\":\"");
    sb_json_escape(&s, line, strlen(line));
    sb_appendz(&s, "\"}");
    emit_record(fc, s);
    double pct;
    if (fio_status_pct(line, &pct)) {
        s.len = 0;
        sb_printf(&s, "{\"type\":\"progress\",\"index\":%d,\"pct\":%.2f}", fc->idx, pct);
        emit_record(fc, s);
    }
    return fc->client_gone;
}

int fio_raw_cb(void* ctx, int which, const char* buf, size_t n) {
    auto* l = static_cast<fio_lines_t*>(ctx);
    for (size_t i = 0; i < n; i++) {
        if (buf[i] == '\n' || buf[i] == '\r') {
            deliver_line(l, which);
            continue;
        }
        if (l->len == FIO_LINE_MAX) deliver_line(l, which);
        l->carry[l->len++] = buf[i];
    }
    return l->stop;
}

void fio_lines_flush(fio_lines_t* l) {
    if (l->len > 0) deliver_line(l, 1);
}

int fio_report_raw(std::string_view report, sb_t* out) {
    if (json_is_one_value(report)) return sb_append(out, report.data(), report.size());
    // fio may print warnings before its document.
    size_t at = report.substr(0, 1) == "{" ? 0 : report.find("\n{");
    if (at != std::string_view::npos) {
        std::string_view doc = report.substr(at == 0 ? 0 : at + 1);
        if (json_is_one_value(doc)) return sb_append(out, doc.data(), doc.size());
    }
    sb_appendz(out, "\"");
    sb_json_escape(out, report.data(), report.size());
    return sb_appendz(out, "\"");
}

pid_t fio_workdir_pid(const char* name) {
    size_t plen = strlen(FIO_WORKDIR_PREFIX);
    if (strncmp(name, FIO_WORKDIR_PREFIX, plen) != 0) return 0;
    const char* p = name + plen;
    long long pid = 0;
    size_t digits = 0;
    for (; *p >= '0' && *p <= '9' && digits < 10; p++, digits++) pid = pid * 10 + (*p - '0');
    if (digits == 0 || pid > INT_MAX) return 0;
    if (*p == '_' && p[1]) {
        p++;
        p += strspn(p, "0123456789");
    }
    return *p ? 0 : static_cast<pid_t>(pid);
}

namespace {

// The run in its work directory, from the "start" chunk to the stream's end.
op_result fio_run_tests(op_stream_t& s, fio_req_t& r, char* fio) {
    static const op_err NO_WORKDIR = {ERR_EIO, "cannot create work dir"};
    fio_sweep_stale(r.tfd.get());
    unique_fd lock;
    unique_fd wfd(make_workdir(&r, &lock));
    if (!wfd) return NO_WORKDIR;

    sb_t start;
    sb_appendz(&start, "{");
    sb_kv_str(&start, "type", "start", 1);
    sb_kv_int(&start, "total", r.nrows, 1);
    sb_kv_str(&start, "work_dir", r.workdir, 0);
    sb_appendz(&start, "}");
    if (start.buf) emit_chunk(&s.emit, start.buf, start.len);

    int spawn_failed = 0;
    int exit_code = run_tests(&r, fio, s, wfd.get(), &spawn_failed);
    remove_files(wfd.get(), nullptr);
    unlinkat(wfd.get(), FIO_LOCK_NAME, 0);
    wfd.reset();
    unlinkat(r.tfd.get(), r.wname, AT_REMOVEDIR);
    lock.reset();
    // An error ends the stream: a "done" after it would be read as the next request's reply.
    if (spawn_failed) return op_err{ERR_ESPAWN, "fio spawn failed"};
    return op_result::done(exit_code);
}

}  // namespace

op_result op_fio_run(const op_req_t& req) {
    fio_req_t r;
    if (const op_err* err = check_target(req.js, req.args, req.an, &r)) return *err;
    if (const op_err* err = build_rows(req.js, req.args, req.an, &r)) return *err;
    return req.stream([&](op_stream_t& s) -> op_result {
        char fio[FIO_PATH_BYTES];
        if (binfind("fio", "fio", fio, sizeof fio) != 0) return op_err{ERR_ENOENT, "fio not found"};
        return fio_run_tests(s, r, fio);
    });
}
