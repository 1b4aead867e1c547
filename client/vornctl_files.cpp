// vornctl conveniences for files and logs: cat (read_file, data printed raw), ls (read_dir,
// one entry per line) and tail (log_tail lines as plain text until Ctrl-C, which cancels).

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/sb.h"
#include "client.h"
#include "vornctl.h"
#include "vornctl_views.h"
#include "wire/jsmn.h"
#include "wire/json.h"

namespace {

// {"path":"<escaped>"} plus any key=value words after the path.
bool path_args(int argc, char** argv, std::string* out) {
    std::string extra;
    if (argc > 1 && !ctl_args_from_words(argc - 1, argv + 1, &extra)) return false;
    sb_t p;
    sb_appendz(&p, "{\"path\":\"");
    sb_json_escape(&p, argv[0], strlen(argv[0]));
    sb_appendz(&p, "\"");
    *out = std::string(p.buf, p.len);
    if (extra.size() > 2) *out += "," + extra.substr(1);
    else *out += "}";
    return true;
}

struct path_req_t {
    const ctl_ctx* ctx;
    const char* path;
    int status = CTL_OK;
};

// The daemon runs on this host, so the path is looked at here too: its answer ("read
// failed") then says what is wrong, as far as this user can see ("no such file or directory").
std::string local_view(const char* path, int* status) {
    struct stat st;
    if (stat(path, &st) == 0) return "";
    int e = errno;
    if (e == ENOENT || e == ENOTDIR) *status = CTL_NOT_FOUND;
    std::string why = strerror(e);
    if (!why.empty()) why[0] = static_cast<char>(tolower(static_cast<unsigned char>(why[0])));
    return why;
}

// Error replies and events go to stderr in vornctl's one shape; returns false for them.
bool report_failure(path_req_t* r, std::string_view frame) {
    std::string ok;
    if (!vc_json_raw(frame, "ok", &ok) || ok != "false") return false;
    int local = CTL_OK;
    std::string extra = local_view(r->path, &local);
    r->status = ctl_report_error(*r->ctx, frame, extra);
    if (local != CTL_OK && r->status == CTL_FAIL) r->status = local;
    return true;
}

bool print_data(void* user, std::string_view frame) {
    std::string result, data;
    if (report_failure(static_cast<path_req_t*>(user), frame) || !vc_json_raw(frame, "result", &result) ||
        !vc_json_str(result, "data", &data))
        return false;
    std::string raw = vc_json_unescape(data);
    fwrite(raw.data(), 1, raw.size(), stdout);
    fflush(stdout);
    return false;
}

// Tokenizes a whole frame, however many tokens it needs. Empty on a malformed frame.
std::vector<jsmntok_t> tokenize(std::string_view frame) {
    std::vector<jsmntok_t> toks(256);
    for (;;) {
        jsmn_parser p;
        jsmn_init(&p);
        int n = jsmn_parse(&p, frame.data(), frame.size(), toks.data(), static_cast<unsigned>(toks.size()));
        if (n == JSMN_ERROR_NOMEM && toks.size() < (1u << 24)) {
            toks.resize(toks.size() * 2);
            continue;
        }
        toks.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return toks;
    }
}

std::string tok_text(std::string_view frame, const jsmntok_t& t) {
    return std::string(frame.substr(static_cast<size_t>(t.start), static_cast<size_t>(t.end - t.start)));
}

// One line per entry of a read_dir reply: size, then the name ("/" after a directory).
bool print_entries(void* user, std::string_view frame) {
    if (report_failure(static_cast<path_req_t*>(user), frame)) return false;
    std::vector<jsmntok_t> t = tokenize(frame);
    int n = static_cast<int>(t.size());
    int r = n ? json_obj_idx(frame.data(), t.data(), n, "result") : -1;
    int e = r >= 0 ? json_obj_idx(frame.data(), &t[r], n - r, "entries") : -1;
    if (e < 0 || t[r + e].type != JSMN_ARRAY) return false;
    int k = r + e + 1;
    for (int i = 0; i < t[r + e].size && k + 6 < n; i++, k += 7) {  // {"name":..,"is_dir":..,"size":..}
        const jsmntok_t* obj = &t[k];
        int name = json_obj_idx(frame.data(), obj, n - k, "name");
        int dir = json_obj_idx(frame.data(), obj, n - k, "is_dir");
        int size = json_obj_idx(frame.data(), obj, n - k, "size");
        if (name < 0 || dir < 0 || size < 0) return false;
        printf("%12s  %s%s\n", tok_text(frame, obj[size]).c_str(), vc_json_unescape(tok_text(frame, obj[name])).c_str(),
               tok_text(frame, obj[dir]) == "true" ? "/" : "");
    }
    fflush(stdout);
    return false;
}

bool print_lines(void* user, std::string_view frame) {
    if (report_failure(static_cast<path_req_t*>(user), frame)) return false;
    std::string data, line;
    if (vc_json_raw(frame, "data", &data) && vc_json_str(data, "line", &line)) {
        std::string raw = vc_json_unescape(line);
        raw += '\n';
        fwrite(raw.data(), 1, raw.size(), stdout);
        fflush(stdout);
    }
    return true;
}

int run_path_op(const ctl_ctx& ctx, int argc, char** argv, const char* op, ctl_frame_fn fn) {
    std::string args;
    if (argc < 1 || strchr(argv[0], '=')) return view_usage(ctx);
    if (!path_args(argc, argv, &args) || !ctl_args_ok(ctx, op, args)) return CTL_USAGE;
    path_req_t r = {&ctx, argv[0]};
    int st = ctl_run_op(ctx, op, args, fn, &r);
    return r.status != CTL_OK && st != CTL_INTERRUPTED && st != CTL_PIPE ? r.status : st;
}

}  // namespace

int ctl_cmd_cat(const ctl_ctx& ctx, int argc, char** argv) {
    return run_path_op(ctx, argc, argv, "read_file", print_data);
}

int ctl_cmd_ls(const ctl_ctx& ctx, int argc, char** argv) {
    return run_path_op(ctx, argc, argv, "read_dir", print_entries);
}

int ctl_cmd_tail(const ctl_ctx& ctx, int argc, char** argv) {
    return run_path_op(ctx, argc, argv, "log_tail", print_lines);
}
