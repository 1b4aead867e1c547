#include "ops_util.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "binfind.h"
#include "config.h"
#include "jobs.h"
#include "ops.h"
#include "ops_misc.h"

namespace {

constexpr size_t PATH_ARG_BYTES = 256;  // 255 characters; longer paths are refused
constexpr long long READ_FILE_DEFAULT_BYTES = 1048576;
constexpr unsigned long long READ_FILE_MAX_BYTES = 16777216;
constexpr long long DMESG_DEFAULT_BYTES = 262144;
constexpr unsigned long long DMESG_MAX_BYTES = 4194304;
constexpr size_t KMSG_READ_BYTES = 4096;
constexpr size_t OUTPUT_DIR_BYTES = 256;
constexpr int DUMP_KILL_GRACE_MS = 1000;
constexpr size_t TOOL_PATH_BYTES = 512;

const char* const DUMP_DEFAULT_DIR = "/opt/vorn/var/dumps";

bool is_alnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

std::string_view sb_view(const sb_t& s) { return std::string_view(s.buf ? s.buf : "", s.len); }

}  // namespace

// ---- shared helpers ----

int dmesg_cap_cb(void* ctx, int, const char* line) {
    auto* s = static_cast<sb_t*>(ctx);
    sb_appendz(s, line);
    sb_append(s, "\n", 1);
    return 0;
}

int ops_run_capture(char** argv, sb_t* out, exec_result_t* res) {
    exec_spec_t spec = {argv, nullptr, nullptr, 1, 0};
    return exec_stream(&spec, dmesg_cap_cb, out, nullptr, res);
}

const char* ops_first_exec(std::initializer_list<const char*> paths) {
    for (const char* p : paths)
        if (access(p, X_OK) == 0) return p;
    return nullptr;
}

int smart_device_check(const char* dev, const char** code, const char** msg) {
    if (!dev[0]) {
        *code = "EREQ";
        *msg = "device required";
        return -1;
    }
    if (strncmp(dev, "/dev/", 5) != 0) {
        *code = "EBADDEV";
        *msg = "device must start with /dev/";
        return -1;
    }
    for (const char* p = dev + 5; *p; p++) {
        if (!is_alnum(*p) && *p != '_' && *p != '-') {
            *code = "EBADDEV";
            *msg = "invalid device name";
            return -1;
        }
    }
    return 0;
}

int smart_type_ok(const char* type) {
    if (!type[0]) return 0;
    for (const char* p = type; *p; p++)
        if (!is_alnum(*p) && *p != ',') return 0;
    return 1;
}

int dmi_type_ok(const char* type) {
    if (!type[0]) return 0;
    for (const char* p = type; *p; p++)
        if (!is_alnum(*p)) return 0;
    return 1;
}

// ---- JSON check for a tool's own output ----

namespace {

// Recursive descent over the text; every function leaves `pos` after what it accepted.
class json_checker {
public:
    explicit json_checker(std::string_view t) : t_(t) {}

    bool whole() {
        skip_ws();
        if (!value(0)) return false;
        skip_ws();
        return pos_ == t_.size();
    }

private:
    std::string_view t_;
    size_t pos_ = 0;

    bool at_end() const { return pos_ >= t_.size(); }
    char peek() const { return at_end() ? '\0' : t_[pos_]; }
    bool eat(char c) {
        if (peek() != c || at_end()) return false;
        pos_++;
        return true;
    }
    void skip_ws() {
        while (!at_end() && (t_[pos_] == ' ' || t_[pos_] == '\t' || t_[pos_] == '\n' || t_[pos_] == '\r')) pos_++;
    }
    bool digits() {
        size_t start = pos_;
        while (!at_end() && t_[pos_] >= '0' && t_[pos_] <= '9') pos_++;
        return pos_ > start;
    }
    bool literal(std::string_view word) {
        if (t_.substr(pos_, word.size()) != word) return false;
        pos_ += word.size();
        return true;
    }

    bool value(int depth) {
        if (depth >= JSON_CHECK_MAX_DEPTH || at_end()) return false;
        switch (peek()) {
        case '{': return object(depth);
        case '[': return array(depth);
        case '"': return string();
        case 't': return literal("true");
        case 'f': return literal("false");
        case 'n': return literal("null");
        default: return number();
        }
    }

    bool object(int depth) {
        pos_++;
        skip_ws();
        if (eat('}')) return true;
        for (;;) {
            skip_ws();
            if (peek() != '"' || !string()) return false;
            skip_ws();
            if (!eat(':')) return false;
            skip_ws();
            if (!value(depth + 1)) return false;
            skip_ws();
            if (eat('}')) return true;
            if (!eat(',')) return false;
        }
    }

    bool array(int depth) {
        pos_++;
        skip_ws();
        if (eat(']')) return true;
        for (;;) {
            skip_ws();
            if (!value(depth + 1)) return false;
            skip_ws();
            if (eat(']')) return true;
            if (!eat(',')) return false;
        }
    }

    bool string() {
        pos_++;
        while (!at_end()) {
            unsigned char c = static_cast<unsigned char>(t_[pos_++]);
            if (c == '"') return true;
            if (c < 0x20) return false;
            if (c != '\\') continue;
            if (at_end()) return false;
            char e = t_[pos_++];
            if (e == 'u') {
                for (int i = 0; i < 4; i++, pos_++)
                    if (at_end() || !isxdigit(static_cast<unsigned char>(t_[pos_]))) return false;
            } else if (!strchr("\"\\/bfnrt", e) || e == '\0') {
                return false;
            }
        }
        return false;
    }

    bool number() {
        eat('-');
        if (!eat('0') && !digits()) return false;
        if (eat('.') && !digits()) return false;
        if (peek() == 'e' || peek() == 'E') {
            pos_++;
            if (!eat('+')) eat('-');
            if (!digits()) return false;
        }
        return true;
    }
};

}  // namespace

int json_is_one_value(std::string_view text) { return json_checker(text).whole() ? 1 : 0; }

int smart_result_json(std::string_view output, sb_t* out) {
    // Only a complete document goes out unchanged: anything else would break the frame.
    if (!output.empty() && output[0] == '{' && json_is_one_value(output))
        return sb_append(out, output.data(), output.size());
    if (sb_appendz(out, "{\"text\":\"") != 0) return -1;
    sb_json_escape(out, output.data(), output.size());
    return sb_appendz(out, "\"}");
}

// ---- read_file ----

int op_read_file(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int) {
    char path[PATH_ARG_BYTES] = "";
    if (arg_get_str_fit(js, args, n, "path", path, sizeof path) == ARG_TOO_LONG)
        return reply_err(fd, req_id, "EBADREQ", "path too long");
    if (!path[0]) return reply_err(fd, req_id, "EREQ", "path required");
    long long want = arg_get_int(js, args, n, "max_bytes", READ_FILE_DEFAULT_BYTES);
    cfg_snapshot_t cfg = g_cfg.load();
    if (!ops_path_allowed(&cfg->paths_read_file, path))
        return reply_err(fd, req_id, "EFORBIDDEN", "path not in allowlist");
    // O_NONBLOCK: opening a FIFO must not wait for a writer (it is refused just below).
    unique_fd f(open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!f) return reply_err(fd, req_id, "EIO", "read failed");
    if (!ops_real_path_allowed(&cfg->paths_read_file, f.get(), nullptr))
        return reply_err(fd, req_id, "EFORBIDDEN", "path not in allowlist");
    struct stat st;
    if (fstat(f.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return reply_err(fd, req_id, "EBADREQ", "not a regular file");
    // A negative value is huge as an unsigned number and falls back to the default too.
    size_t limit = static_cast<unsigned long long>(want) <= READ_FILE_MAX_BYTES ? static_cast<size_t>(want)
                                                                               : READ_FILE_DEFAULT_BYTES;
    sb_t data;
    if (read_fd_all(f.get(), &data, limit) != 0) return reply_err(fd, req_id, "EIO", "read failed");
    sb_t s;
    sb_appendz(&s, "{\"path\":\"");
    sb_json_escape(&s, path, strlen(path));
    sb_printf(&s, "\",\"size\":%zu,\"data\":\"", data.len);
    sb_json_escape(&s, data.buf ? data.buf : "", data.len);
    sb_appendz(&s, "\"}");
    return reply_ok(fd, req_id, s.buf);
}

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

int op_dmesg(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int) {
    long long want = arg_get_int(js, args, n, "max_bytes", DMESG_DEFAULT_BYTES);
    size_t limit = static_cast<unsigned long long>(want) <= DMESG_MAX_BYTES ? static_cast<size_t>(want)
                                                                           : DMESG_DEFAULT_BYTES;
    sb_t text;
    kmsg_read(&text, limit);
    if (text.len == 0) {
        const char* prog = ops_first_exec({"/bin/dmesg"});
        char* argv[] = {const_cast<char*>(prog ? prog : "/usr/bin/dmesg"), nullptr};
        exec_result_t res;
        sb_t out;
        if (ops_run_capture(argv, &out, &res) == 0) {
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
    return reply_ok(fd, req_id, s.buf);
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

// Runs the diagnostic tool or tar as the job's child and ends the stream.
void dump_run(op_emit_t* e, char** argv, int merge, const char* spawn_msg, const char* key,
              const char* value) {
    exec_spec_t spec = {argv, nullptr, nullptr, merge, DUMP_KILL_GRACE_MS, e->fd};
    stream_ctx_t sc = {e};
    exec_result_t res;
    if (exec_stream(&spec, stream_cb, &sc, e->job, &res) != 0) {
        emit_stream_error(e, "ESPAWN", spawn_msg);
        return;
    }
    sb_t result;
    sb_appendz(&result, "{");
    sb_kv_str(&result, key, value, 0);
    sb_appendz(&result, "}");
    emit_done(e, res.exit_code, result.buf);
}

}  // namespace

int op_dump_logs(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int) {
    job_t* job = job_alloc();  // a full table still runs, only without a job id
    op_emit_t e = {fd, req_id, job, 0};
    char dir[OUTPUT_DIR_BYTES] = "";
    // A cut directory would put the bundle somewhere nobody asked for.
    if (arg_get_str_fit(js, args, n, "output_dir", dir, sizeof dir) == ARG_TOO_LONG) {
        emit_stream_error(&e, "EBADREQ", "output_dir too long");
        job_release(job);
        return 0;
    }
    // An empty directory would put the bundle into "/" under a name nobody asked for.
    if (!dir[0]) snprintf(dir, sizeof dir, "%s", DUMP_DEFAULT_DIR);
    mkdir(dir, 0755);
    const char* diag = ops_first_exec({"/etc/init.d/diag_XDT", "/opt/vorn/dist/pelta/diagnostic_tool/diag_XDT"});
    if (diag) {
        char* argv[] = {const_cast<char*>(diag), const_cast<char*>("-o"), dir, nullptr};
        dump_run(&e, argv, 0, "diag_XDT spawn failed", "output_dir", dir);
    } else {
        char archive[OUTPUT_DIR_BYTES + 64];
        snprintf(archive, sizeof archive, "%s/vorn_logs_%llu.tar.gz", dir, static_cast<unsigned long long>(now_ms()));
        char* argv[] = {const_cast<char*>("/bin/tar"), const_cast<char*>("-czf"), archive,
                        const_cast<char*>("/var/log"), nullptr};
        dump_run(&e, argv, 1, "tar spawn failed", "output_file", archive);
    }
    job_release(job);
    return 0;
}

// ---- SMART and DMI ----

namespace {

const char* const SMARTCTL_MISSING = "smartctl not found (bundle smartctl-<arch> in /opt/vorn/bin)";
const char* const SEACHEST_MISSING = "SeaChest_SMART not found (bundle SeaChest_SMART-<arch> in /opt/vorn/bin)";

// Reads "device" and applies the name rule; replies the refusal itself and returns -1.
int smart_device_arg(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, char* dev,
                     size_t cap) {
    dev[0] = '\0';
    arg_get_str(js, args, n, "device", dev, cap);
    const char* code = nullptr;
    const char* msg = nullptr;
    if (smart_device_check(dev, &code, &msg) == 0) return 0;
    reply_err(fd, req_id, code, msg);
    return -1;
}

// Runs smartctl with `argv` and replies with its JSON or its text.
int smartctl_reply(int fd, const char* req_id, char** argv) {
    sb_t out;
    exec_result_t res;
    if (ops_run_capture(argv, &out, &res) != 0) return reply_err(fd, req_id, "ENOENT", "smartctl not found");
    sb_t s;
    smart_result_json(sb_view(out), &s);
    return reply_ok(fd, req_id, s.buf);
}

// Appends "-d" TYPE (when the type passes) and the device, then the terminator.
void smart_tail_args(char** argv, int i, char* type, char* dev) {
    if (smart_type_ok(type)) {
        argv[i++] = const_cast<char*>("-d");
        argv[i++] = type;
    }
    argv[i++] = dev;
    argv[i] = nullptr;
}

// Replies with a tool's whole output as the escaped string member "text", after `head`
// (the opening brace and any members before it).
int reply_tool_text(int fd, const char* req_id, const char* head, const sb_t& out) {
    sb_t s;
    sb_appendz(&s, head);
    sb_appendz(&s, "\"text\":\"");
    sb_json_escape(&s, out.buf ? out.buf : "", out.len);
    sb_appendz(&s, "\"}");
    return reply_ok(fd, req_id, s.buf);
}

int seachest_reply(int fd, const char* req_id, char* dev) {
    char prog[TOOL_PATH_BYTES];
    if (binfind("SeaChest_SMART", "seachest", prog, sizeof prog) != 0)
        return reply_err(fd, req_id, "ENOENT", SEACHEST_MISSING);
    char* argv[] = {prog, const_cast<char*>("-d"), dev, const_cast<char*>("--showFARM"), nullptr};
    sb_t out;
    exec_result_t res;
    if (ops_run_capture(argv, &out, &res) != 0) return reply_err(fd, req_id, "ENOENT", "SeaChest_SMART not runnable");
    return reply_tool_text(fd, req_id, "{\"tool\":\"seachest\",", out);
}

}  // namespace

int op_smart_get(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int) {
    char dev[SMART_DEVICE_MAX + 1];
    if (smart_device_arg(fd, req_id, js, args, n, dev, sizeof dev) != 0) return 0;
    char prog[TOOL_PATH_BYTES];
    if (binfind("smartctl", "smartmontools", prog, sizeof prog) != 0)
        return reply_err(fd, req_id, "ENOENT", SMARTCTL_MISSING);
    char type[SMART_TYPE_MAX + 1] = "";
    arg_get_str(js, args, n, "type", type, sizeof type);
    char* argv[8] = {prog, const_cast<char*>("-a"), const_cast<char*>("-j")};
    smart_tail_args(argv, 3, type, dev);
    return smartctl_reply(fd, req_id, argv);
}

int op_smart_scan(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int) {
    char dev[SMART_DEVICE_MAX + 1];
    if (smart_device_arg(fd, req_id, js, args, n, dev, sizeof dev) != 0) return 0;
    char tool[SMART_WORD_MAX + 1] = "";
    arg_get_str(js, args, n, "tool", tool, sizeof tool);
    if (strcmp(tool, "seachest") == 0) return seachest_reply(fd, req_id, dev);
    char log[SMART_WORD_MAX + 1] = "";
    arg_get_str(js, args, n, "log", log, sizeof log);
    bool selected_log = strcmp(log, "farm") == 0 || strcmp(log, "devstat") == 0;
    char type[SMART_TYPE_MAX + 1] = "";
    arg_get_str(js, args, n, "type", type, sizeof type);
    char prog[TOOL_PATH_BYTES];
    if (binfind("smartctl", "smartmontools", prog, sizeof prog) != 0)
        return reply_err(fd, req_id, "ENOENT", SMARTCTL_MISSING);
    char* argv[10] = {prog};
    int i = 1;
    if (selected_log) {
        argv[i++] = const_cast<char*>("-l");
        argv[i++] = log;
    } else {
        argv[i++] = const_cast<char*>("-x");
    }
    argv[i++] = const_cast<char*>("-j");
    smart_tail_args(argv, i, type, dev);
    return smartctl_reply(fd, req_id, argv);
}

int op_dmidecode(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int) {
    char type[DMI_TYPE_MAX + 1] = "";
    arg_get_str(js, args, n, "type", type, sizeof type);
    const char* prog = ops_first_exec({"/usr/sbin/dmidecode"});
    if (!prog) prog = "/usr/local/sbin/dmidecode";
    // A program that is not there cannot run: say so instead of answering empty text.
    if (access(prog, X_OK) != 0) return reply_err(fd, req_id, "ENOENT", "dmidecode not found");
    char* argv[4] = {const_cast<char*>(prog)};
    if (dmi_type_ok(type)) {
        argv[1] = const_cast<char*>("-t");
        argv[2] = type;
    }
    sb_t out;
    exec_result_t res;
    if (ops_run_capture(argv, &out, &res) != 0) return reply_err(fd, req_id, "ENOENT", "dmidecode not found");
    return reply_tool_text(fd, req_id, "{", out);
}

// ---- small kernel files ----

ssize_t proc_read_small(int dirfd, const char* path, char* buf, size_t cap) {
    buf[0] = '\0';
    unique_fd f(openat(dirfd, path, O_RDONLY | O_CLOEXEC));
    if (!f) return -1;
    ssize_t r;
    do r = read(f.get(), buf, cap - 1);
    while (r < 0 && errno == EINTR);
    if (r < 0) return -1;
    buf[r] = '\0';
    return r;
}

long long proc_find_num(const char* text, const char* label, long long missing) {
    const char* at = strstr(text, label);
    return at ? strtoll(at + strlen(label), nullptr, 10) : missing;
}

size_t proc_cmdline_spaces(char* buf, size_t n, bool trim) {
    for (size_t i = 0; i < n; i++)
        if (buf[i] == '\0') buf[i] = ' ';
    while (trim && n > 0 && buf[n - 1] == ' ') n--;
    buf[n] = '\0';
    return n;
}

int write_str_file(const char* path, const char* val) {
    unique_fd f(open(path, O_WRONLY | O_CLOEXEC));
    if (!f) return -1;
    ssize_t w;
    do w = write(f.get(), val, strlen(val));
    while (w < 0 && errno == EINTR);
    int saved = errno;
    f.reset();
    errno = saved;
    return w < 0 ? -1 : 0;
}

// ---- procs_list, procs_kill ----

namespace {

constexpr size_t PROC_COMM_BYTES = 64;      // 63 read
constexpr size_t PROC_CMDLINE_BYTES = 4096;  // 4095 read
constexpr size_t PROC_STATUS_BYTES = 8192;   // 8191 read
constexpr size_t PROC_PATH_BYTES = 64;
constexpr size_t PROCS_KILL_NAME_BYTES = 64;
constexpr long long PROCS_KILL_DEFAULT_SIGNAL = 15;

// The next process id of the /proc listing `d`, or 0 at its end.
int next_pid(DIR* d) {
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        long long v = strtoll(e->d_name, nullptr, 10);
        if (v >= 1 && v <= INT_MAX) return static_cast<int>(v);
    }
    return 0;
}

// Reads "<pid>/<file>" of the /proc directory `procfd`; as proc_read_small.
ssize_t pid_file(int procfd, int pid, const char* file, char* buf, size_t cap) {
    char path[PROC_PATH_BYTES];
    snprintf(path, sizeof path, "%d/%s", pid, file);
    return proc_read_small(procfd, path, buf, cap);
}

// The short command name without its line feed; empty when unreadable.
void pid_comm(int procfd, int pid, char* out, size_t cap) {
    ssize_t n = pid_file(procfd, pid, "comm", out, cap);
    if (n > 0 && out[n - 1] == '\n') out[n - 1] = '\0';
}

// Appends the full-form members of one process: its command line and resident size.
// `text` is scratch space of PROC_STATUS_BYTES.
void append_full_entry(sb_t* s, int procfd, int pid, char* text) {
    ssize_t n = pid_file(procfd, pid, "cmdline", text, PROC_CMDLINE_BYTES);
    size_t len = n > 0 ? proc_cmdline_spaces(text, static_cast<size_t>(n), true) : 0;
    sb_appendz(s, "\",\"cmdline\":\"");
    sb_json_escape(s, text, len);
    long long rss = 0;
    if (pid_file(procfd, pid, "status", text, PROC_STATUS_BYTES) > 0) rss = proc_find_num(text, "\nVmRSS:", 0);
    sb_printf(s, "\",\"rss_kb\":%lld}", rss);
}

}  // namespace

int op_procs_list(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int) {
    bool full = arg_get_bool(js, args, n, "full", 1) != 0;
    scoped_dir d(opendir("/proc"));
    if (!d) return reply_err(fd, req_id, "EIO", "cannot open /proc");
    int procfd = dirfd(d.get());
    sb_t s;
    sb_appendz(&s, "{\"procs\":[");
    bool first = true;
    char comm[PROC_COMM_BYTES];
    char text[PROC_STATUS_BYTES];
    while (int pid = next_pid(d.get())) {
        pid_comm(procfd, pid, comm, sizeof comm);
        if (!comm[0]) continue;  // ended meanwhile, or a name that cannot be read
        sb_printf(&s, "%s{\"pid\":%d,\"comm\":\"", first ? "" : ",", pid);
        sb_json_escape(&s, comm, strlen(comm));
        if (full)
            append_full_entry(&s, procfd, pid, text);
        else
            sb_appendz(&s, "\"}");
        first = false;
    }
    sb_appendz(&s, "]}");
    return reply_ok(fd, req_id, s.buf);
}

int op_procs_kill(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int) {
    char name[PROCS_KILL_NAME_BYTES] = "";
    arg_get_str(js, args, n, "name", name, sizeof name);
    if (!name[0]) return reply_err(fd, req_id, "EREQ", "name required");
    cfg_snapshot_t cfg = g_cfg.load();
    if (!cfg_allow_exact(&cfg->procs_kill, name)) return reply_err(fd, req_id, "EFORBIDDEN", "name not in allowlist");
    long long want = arg_get_int(js, args, n, "signal", PROCS_KILL_DEFAULT_SIGNAL);
    // A number cut to an int could turn into a real signal; -1 is one the kernel refuses.
    int sig = want >= 0 && want <= INT_MAX ? static_cast<int>(want) : -1;
    scoped_dir d(opendir("/proc"));
    if (!d) return reply_err(fd, req_id, "EIO", "cannot open /proc");
    int killed = 0;
    char comm[PROC_COMM_BYTES];
    while (int pid = next_pid(d.get())) {
        if (pid < 2) continue;  // never init
        pid_comm(dirfd(d.get()), pid, comm, sizeof comm);
        if (strcmp(comm, name) == 0 && kill(pid, sig) == 0) killed++;
    }
    char r[32];
    snprintf(r, sizeof r, "{\"killed\":%d}", killed);
    return reply_ok(fd, req_id, r);
}
