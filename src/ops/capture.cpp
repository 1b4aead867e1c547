#include "ops/capture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/b64.h"
#include "base/clock.h"
#include "base/fdio.h"
#include "base/text.h"
#include "proc/runner.h"
#include "proc/tools.h"
#include "wire/args.h"
#include "wire/errors.h"
#include "wire/frame.h"
#include "wire/reply.h"

namespace {

constexpr size_t TOOL_PATH_BYTES = 512;
constexpr size_t NUMBER_BYTES = 24;
constexpr int PCAP_KILL_GRACE_MS = 600;

constexpr long long PCAP_COUNT_DEFAULT = 300, PCAP_COUNT_MIN = 1, PCAP_COUNT_MAX = 3000;
constexpr long long PCAP_SECONDS_DEFAULT = 10, PCAP_SECONDS_MIN = 1, PCAP_SECONDS_MAX = 60;
constexpr long long PCAP_SNAPLEN_DEFAULT = 2000, PCAP_SNAPLEN_MIN = 96, PCAP_SNAPLEN_MAX = 65535;
constexpr int PCAP_DEADLINE_SLACK_MS = 2000;
constexpr size_t PCAP_FILE_MAX_BYTES = 6291456;
constexpr int PCAP_CAPTURE_FIXED_ARGS = 13;  // tcpdump -i IFACE -c N -G S -W 1 -s LEN -w FILE
constexpr int PCAP_CAPTURE_MAX_WORDS = 13;
constexpr int PCAP_STREAM_MAX_ARGS = 26;  // pcapstream IFACE LEN [--out PATH] WORDS...

constexpr size_t OUT_PATH_MIN = 43, OUT_PATH_MAX = 289;
constexpr size_t OUT_NAME_HEX = 32;
constexpr const char OUT_SUFFIX[] = ".pcap";

long long clamp(long long v, long long lo, long long hi) { return v < lo ? lo : v > hi ? hi : v; }

bool lower_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

}  // namespace

int pcap_iface_ok(const char* iface) { return iface[0] && text_chars_ok(iface, PCAP_IFACE_MAX, ".-_:@"); }

int pcap_bpf_ok(const char* bpf) {
    if (!text_chars_ok(bpf, PCAP_BPF_MAX, " .:/()[]!=<>&|-_")) return 0;
    for (size_t i = 0; bpf[i]; i++)
        if (bpf[i] == '-' && (i == 0 || bpf[i - 1] == ' ')) return 0;
    return 1;
}

int pcap_out_path_ok(const char* path) {
    size_t n = strlen(path);
    if (n < OUT_PATH_MIN || n > OUT_PATH_MAX || path[0] != '/') return 0;
    if (!strstr(path, "/pcap_cache/") || strstr(path, "..") || !text_chars_ok(path, n, "._/-")) return 0;
    const char* name = strrchr(path, '/') + 1;
    if (strlen(name) != OUT_NAME_HEX + strlen(OUT_SUFFIX) || strcmp(name + OUT_NAME_HEX, OUT_SUFFIX) != 0) return 0;
    for (size_t i = 0; i < OUT_NAME_HEX; i++)
        if (!lower_hex(name[i])) return 0;
    return 1;
}

int pcap_bpf_split(char* text, char** words, int max) {
    std::vector<std::string_view> f(max > 0 ? static_cast<size_t>(max) : 0);
    int n = text_fields(text, f.data(), max, {.seps = " "});
    for (int i = 0; i < n; i++) {
        words[i] = text + (f[i].data() - text);
        words[i][f[i].size()] = '\0';  // the space after the word, or the end
    }
    return n;
}

// ---- the arguments both captures share ----

namespace {

struct pcap_args_t {
    char iface[PCAP_IFACE_MAX + 2] = "";  // one byte more than allowed, so a longer one shows
    char bpf[PCAP_BPF_MAX + 2] = "";
    long long snaplen = PCAP_SNAPLEN_DEFAULT;
};

// Reads iface, snaplen (clamped) and bpf. Null, or the message of the EREQ refusal.
const char* pcap_args_read(const char* js, const jsmntok_t* args, int n, pcap_args_t* a) {
    arg_get_str(js, args, n, "iface", a->iface, sizeof a->iface);
    if (!a->iface[0]) return "iface required";
    if (!pcap_iface_ok(a->iface)) return "invalid iface";
    a->snaplen = clamp(arg_get_int(js, args, n, "snaplen", PCAP_SNAPLEN_DEFAULT), PCAP_SNAPLEN_MIN, PCAP_SNAPLEN_MAX);
    arg_get_str(js, args, n, "bpf", a->bpf, sizeof a->bpf);
    return pcap_bpf_ok(a->bpf) ? nullptr : "invalid filter expression";
}

// Appends the filter's words to `argv` at `*k` while the vector has fewer than `max_args`
// elements; the rest are dropped. Splits a->bpf in place.
void append_bpf_words(pcap_args_t* a, const char** argv, int* k, int max_args) {
    char* words[PCAP_STREAM_MAX_ARGS];
    int room = max_args - *k;
    int n = room > 0 ? pcap_bpf_split(a->bpf, words, room) : 0;
    for (int i = 0; i < n; i++) argv[(*k)++] = words[i];
}

}  // namespace

// ---- pcap_capture ----

namespace {

std::atomic<unsigned> g_capture_seq{0};

// A capture's own directory and file, both removed when the value goes.
struct capture_dir_t {
    char dir[32] = "";
    char file[128] = "";

    capture_dir_t() = default;
    capture_dir_t(const capture_dir_t&) = delete;
    capture_dir_t& operator=(const capture_dir_t&) = delete;
    ~capture_dir_t() { remove(); }

    void remove() {
        if (file[0]) unlink(file);
        if (dir[0]) rmdir(dir);
        file[0] = dir[0] = '\0';
    }

    // mkdtemp makes the directory 0700: nobody else can plant a file or a link at the path
    // the tool opens as root. 0, or -1 when it cannot be made.
    int make() {
        char tmpl[] = "/tmp/vorn_pcap_XXXXXX";
        if (!mkdtemp(tmpl)) return -1;
        snprintf(dir, sizeof dir, "%s", tmpl);
        snprintf(file, sizeof file, "%s/vorn_pcap_%d_%ld_%u.pcap", dir, static_cast<int>(getpid()),
                 static_cast<long>(time(nullptr)), g_capture_seq.fetch_add(1));
        return 0;
    }
};

// The count of the tool's summary line "N packets captured" (or "1 packet captured").
int pcap_count_cb(void* ctx, int, const char* line) {
    if (strstr(line, " packets captured") || strstr(line, " packet captured")) {
        while (*line == ' ') line++;
        *static_cast<long long*>(ctx) = strtoll(line, nullptr, 10);
    }
    return 0;
}

// Runs the tool into `file` until it ends or its deadline. 0, or -1 when it could not start.
int capture_run(const char* prog, pcap_args_t* a, long long count, long long seconds, const char* file, int fd,
                long long* packets) {
    char count_word[NUMBER_BYTES], seconds_word[NUMBER_BYTES], snaplen_word[NUMBER_BYTES];
    snprintf(count_word, sizeof count_word, "%lld", count);
    snprintf(seconds_word, sizeof seconds_word, "%lld", seconds);
    snprintf(snaplen_word, sizeof snaplen_word, "%lld", a->snaplen);
    const char* argv[PCAP_CAPTURE_FIXED_ARGS + PCAP_CAPTURE_MAX_WORDS + 1] = {
        prog, "-i", a->iface, "-c", count_word, "-G", seconds_word, "-W", "1", "-s", snaplen_word, "-w", file};
    int k = PCAP_CAPTURE_FIXED_ARGS;
    append_bpf_words(a, argv, &k, PCAP_CAPTURE_FIXED_ARGS + PCAP_CAPTURE_MAX_WORDS);
    argv[k] = nullptr;

    // The deadline stops the tool as a cancel does (SIGTERM, the grace, SIGKILL): one on a
    // quiet interface prints nothing that could be checked. The client's hang-up stops it too:
    // nobody is left to read the capture.
    exec_spec_t spec = {const_cast<char**>(argv), tool_envp(), nullptr, 1, PCAP_KILL_GRACE_MS};
    cancel_token_t until = {.watch_fd = fd, .deadline_ms = static_cast<int>(seconds) * 1000 + PCAP_DEADLINE_SLACK_MS};
    exec_result_t res;
    return exec_stream(&spec, pcap_count_cb, packets, until, &res);
}

// The whole capture file into `data`. Null, or the refusal.
const op_err* capture_read(const char* file, sb_t* data) {
    static const op_err NO_FILE = {ERR_EIO, "capture produced no file (iface down?)"};
    static const op_err UNREADABLE = {ERR_EIO, "cannot read capture file"};
    static const op_err TOO_LARGE = {ERR_E2BIG, "capture too large \xe2\x80\x94 lower count/snaplen"};
    static const op_err READ_FAILED = {ERR_EIO, "read failed"};
    struct stat st;
    if (stat(file, &st) != 0) return errno == ENOENT ? &NO_FILE : &UNREADABLE;
    if (static_cast<unsigned long long>(st.st_size) > PCAP_FILE_MAX_BYTES) return &TOO_LARGE;
    return read_file_all(file, data, PCAP_FILE_MAX_BYTES) == 0 ? nullptr : &READ_FAILED;
}

// The answer with the capture. The file and its directory are gone before the answer leaves.
op_result capture_result(const char* iface, capture_dir_t* dir, long long packets) {
    sb_t data;
    const op_err* err = capture_read(dir->file, &data);
    dir->remove();
    if (err) return *err;
    sb_t r;
    sb_appendz(&r, "{\"iface\":\"");
    sb_json_escape(&r, iface, strlen(iface));
    sb_printf(&r, "\",\"packets\":%lld,\"bytes\":%zu,\"pcap_b64\":\"", packets, data.len);
    if (!r.buf || sb_reserve(&r, b64_encoded_len(data.len) + 2) != 0) return op_err{ERR_ENOMEM, "oom"};
    r.len += b64_encode(reinterpret_cast<const unsigned char*>(data.buf), data.len, r.buf + r.len);
    sb_appendz(&r, "\"}");
    return op_result::ok(std::move(r));
}

}  // namespace

op_result op_pcap_capture(const op_req_t& req) {
    pcap_args_t a;
    if (const char* bad = pcap_args_read(req.js, req.args, req.an, &a)) return op_err{ERR_EREQ, bad};
    long long count = clamp(arg_get_int(req.js, req.args, req.an, "count", PCAP_COUNT_DEFAULT), PCAP_COUNT_MIN,
                            PCAP_COUNT_MAX);
    long long seconds = clamp(arg_get_int(req.js, req.args, req.an, "seconds", PCAP_SECONDS_DEFAULT), PCAP_SECONDS_MIN,
                              PCAP_SECONDS_MAX);
    char prog[TOOL_PATH_BYTES];
    if (binfind("tcpdump", nullptr, prog, sizeof prog) != 0) return op_err{ERR_ENOENT, "tcpdump not installed"};
    capture_dir_t dir;
    if (dir.make() != 0) return op_err{ERR_EIO, "cannot create capture directory"};
    long long packets = 0;
    if (capture_run(prog, &a, count, seconds, dir.file, req.fd, &packets) != 0) {
        dir.remove();
        return op_err{ERR_ESPAWN, "tcpdump spawn failed"};
    }
    return capture_result(a.iface, &dir, packets);
}

// ---- pcap_stream ----

namespace {

// The raw callback's context: the stream, and the data and frame buffers reused from one
// read to the next.
struct pcap_stream_ctx {
    op_emit_t* e = nullptr;
    sb_t data;
    frame_batch_t frame;
    bool lost = false;  // a chunk could not be built: the stream would have a hole
};

// One chunk event {"t":..,"b64":".."} per read of the tool's standard output, written with
// one write; standard error is dropped. A chunk that cannot be built stops the tool rather
// than leaving a hole in the byte stream.
int pcap_stream_cb(void* ctx, int which, const char* buf, size_t len) {
    auto* c = static_cast<pcap_stream_ctx*>(ctx);
    if (which == 2 || len == 0) return 0;
    c->data.len = 0;
    if (sb_reserve(&c->data, b64_encoded_len(len) + 48) != 0 ||
        sb_printf(&c->data, "{\"t\":%llu,\"b64\":\"", static_cast<unsigned long long>(now_ms())) != 0) {
        c->lost = true;
        return 1;
    }
    c->data.len += b64_encode(reinterpret_cast<const unsigned char*>(buf), len, c->data.buf + c->data.len);
    if (sb_appendz(&c->data, "\"}") != 0 || emit_chunk_append(&c->frame.out, c->e, c->data.buf, c->data.len) != 0) {
        c->lost = true;
        return 1;
    }
    return c->frame.flush(c->e->fd) != 0;
}

// True when a directory on the way to `out` is a symbolic link. The capture tool itself opens
// the path the same way, so a link planted after this check is refused there too; a
// directory that does not exist is left to the tool to report.
bool out_dir_is_linked(const char* out) {
    std::string dir(out, static_cast<size_t>(strrchr(out, '/') - out));
    unique_fd d(open_dir_no_links(dir.c_str()));
    return !d && errno == ELOOP;
}

op_result pcap_stream_run(op_stream_t& s, const char* prog, pcap_args_t* a, const char* out) {
    char snaplen_word[NUMBER_BYTES];
    snprintf(snaplen_word, sizeof snaplen_word, "%lld", a->snaplen);
    const char* argv[PCAP_STREAM_MAX_ARGS + 1] = {prog, a->iface, snaplen_word};
    int k = 3;
    if (out[0]) {
        argv[k++] = "--out";
        argv[k++] = out;
    }
    append_bpf_words(a, argv, &k, PCAP_STREAM_MAX_ARGS);
    argv[k] = nullptr;
    exec_spec_t spec = {const_cast<char**>(argv), tool_envp(), nullptr, 0, PCAP_KILL_GRACE_MS};
    pcap_stream_ctx ctx;
    ctx.e = &s.emit;
    exec_result_t res;
    if (exec_stream_raw(&spec, pcap_stream_cb, &ctx, s.cancel, &res) != 0)
        return op_err{ERR_ESPAWN, "pcapstream spawn failed"};
    if (ctx.lost) return op_err{ERR_ENOMEM, "oom"};
    return op_result::done(res.exit_code);
}

}  // namespace

op_result op_pcap_stream(const op_req_t& req) {
    pcap_args_t a;
    if (const char* bad = pcap_args_read(req.js, req.args, req.an, &a)) return op_result::refuse({ERR_EREQ, bad});
    char out[PCAP_OUT_MAX + 1] = "";
    arg_get_str(req.js, req.args, req.an, "out", out, sizeof out);
    if (out[0] && !pcap_out_path_ok(out)) return op_result::refuse({ERR_EREQ, "invalid out path"});
    if (out[0] && out_dir_is_linked(out))
        return op_result::refuse({ERR_EFORBIDDEN, "out path goes through a symbolic link"});
    char prog[TOOL_PATH_BYTES];
    if (binfind("pcapstream", nullptr, prog, sizeof prog) != 0)
        return op_result::refuse({ERR_ENOENT, "pcapstream not installed"});
    return req.stream([&](op_stream_t& s) { return pcap_stream_run(s, prog, &a, out); });
}
