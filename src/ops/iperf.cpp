#include "ops/iperf.h"

#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "proc/procfs.h"
#include "proc/runner.h"
#include "proc/tools.h"
#include "wire/args.h"
#include "wire/errors.h"
#include "wire/json.h"

namespace {

constexpr size_t IPERF_PATH_BYTES = 512;
constexpr size_t IPERF_HOST_BYTES = 128;  // 127 characters
constexpr size_t IPERF_NUM_BYTES = 32;
constexpr int IPERF_KILL_GRACE_MS = 500;

// argv texts that execve never writes to.
char* lit(const char* s) { return const_cast<char*>(s); }

int send_line(iperf_ctx_t* c, int which, const char* s, size_t n) {
    sb_t d;
    sb_printf(&d, "{\"type\":\"line\",\"stream\":%d,\"text\":\"", which);
    sb_json_escape(&d, s, n);
    sb_appendz(&d, "\"}");
    return !d.buf || emit_chunk(c->e, d.buf, d.len) != 0 ? 1 : 0;
}

// Follows the brackets of `s` outside strings. Returns the offset just after the bracket that
// closes the outermost one, or npos while it is still open.
size_t scan_brackets(iperf_ctx_t* c, std::string_view s) {
    for (size_t i = 0; i < s.size(); i++) {
        char ch = s[i];
        if (c->in_string) {
            if (c->escaped) c->escaped = 0;
            else if (ch == '\\') c->escaped = 1;
            else if (ch == '"') c->in_string = 0;
        } else if (ch == '"') {
            c->in_string = 1;
        } else if (ch == '{' || ch == '[') {
            c->depth++;
        } else if ((ch == '}' || ch == ']') && --c->depth == 0) {
            return i + 1;
        }
    }
    return std::string_view::npos;
}

void reset_doc(iperf_ctx_t* c) {
    c->doc.len = 0;
    if (c->doc.buf) c->doc.buf[0] = '\0';
    c->collecting = c->depth = c->in_string = c->escaped = 0;
}

// Ends the gathering: the document as one chunk when it is one JSON value, else its lines.
int end_doc(iperf_ctx_t* c, bool complete) {
    std::string_view doc(c->doc.buf ? c->doc.buf : "", c->doc.len);
    int rc = 0;
    if (complete && json_is_one_value(doc)) {
        rc = emit_chunk(c->e, doc.data(), doc.size()) != 0 ? 1 : 0;
    } else {
        while (!doc.empty() && rc == 0) {
            size_t n = doc.find('\n');
            if (n == std::string_view::npos) n = doc.size();
            if (n > 0) rc = send_line(c, c->which, doc.data(), n);
            doc.remove_prefix(n < doc.size() ? n + 1 : n);
        }
    }
    reset_doc(c);
    return rc;
}

int collect(iperf_ctx_t* c, int which, const char* line) {
    size_t n = strlen(line);
    if (n + 1 > IPERF_DOC_MAX_BYTES - c->doc.len) {
        if (end_doc(c, false) != 0) return 1;
        return iperf_cb(c, which, line);
    }
    sb_append(&c->doc, "\n", 1);
    sb_append(&c->doc, line, n);
    size_t end = scan_brackets(c, std::string_view(line, n));
    // A JSON string never spans lines.
    if (c->in_string) return end_doc(c, false);
    if (end == std::string_view::npos) return 0;
    return end_doc(c, line[end + strspn(line + end, " \t")] == '\0');
}

// Runs the tool for the stream: "done", or "error" when it cannot start.
op_result run_iperf(const op_req_t& req, char** argv) {
    return req.stream([argv](op_stream_t& s) -> op_result {
        exec_spec_t spec = {argv, tool_envp(), nullptr, 1, IPERF_KILL_GRACE_MS};
        iperf_ctx_t c;
        c.e = &s.emit;
        exec_result_t res;
        if (exec_stream(&spec, iperf_cb, &c, s.cancel, &res) < 0) return op_err{ERR_ESPAWN, "iperf3 spawn failed"};
        iperf_flush(&c);
        return op_result::done(res.exit_code);
    });
}

// The tool's path, looked up once the arguments have passed; null when it is not installed.
const op_err* find_iperf(char* path) {
    static const op_err NOT_FOUND = {ERR_ENOENT, "iperf3 not found"};
    return binfind("iperf3", "iperf3", path, IPERF_PATH_BYTES) == 0 ? nullptr : &NOT_FOUND;
}

void format_int(char* out, long long v) { snprintf(out, IPERF_NUM_BYTES, "%lld", v); }

// A target rate the tool reads as bits per second: 1 to 15 digits and at most one K, M or G.
// Anything else is refused rather than handed to the tool, which would read a prefix of it.
bool valid_bandwidth(const char* s) {
    size_t digits = strspn(s, "0123456789");
    if (digits == 0 || digits > 15) return false;
    const char* rest = s + digits;
    return !*rest || (strchr("KMGkmg", *rest) && !rest[1]);
}

}  // namespace

int iperf_cb(void* ctx, int which, const char* line) {
    auto* c = static_cast<iperf_ctx_t*>(ctx);
    if (!line[0]) return 0;
    if (c->collecting) return collect(c, which, line);
    if (line[0] == '{' || line[0] == '[') {
        if (json_is_one_value(line)) return emit_chunk(c->e, line, strlen(line)) != 0 ? 1 : 0;
        // "[  5] ..." rows close their bracket at once; a document's first line leaves it open.
        size_t n = strlen(line);
        if (scan_brackets(c, std::string_view(line, n)) == std::string_view::npos && !c->in_string &&
            n <= IPERF_DOC_MAX_BYTES) {
            c->collecting = 1;
            c->which = which;
            sb_append(&c->doc, line, n);
            return 0;
        }
        reset_doc(c);
    }
    return send_line(c, which, line, strlen(line));
}

int iperf_flush(iperf_ctx_t* c) { return c->collecting ? end_doc(c, false) : 0; }

int iperf3_name_matches(const char* comm) {
    return strncmp(comm, "iperf3", 6) == 0 && (comm[6] == '\0' || comm[6] == '-');
}

op_result op_iperf3_client(const op_req_t& req) {
    const char* js = req.js;
    const jsmntok_t* args = req.args;
    const int an = req.an;
    // One byte more than a host may have, so that a longer one is seen rather than cut.
    char host[IPERF_HOST_BYTES + 1] = {};
    arg_get_str(js, args, an, "host", host, sizeof host);
    if (!host[0]) return op_result::refuse({ERR_EREQ, "host required"});
    if (strlen(host) >= IPERF_HOST_BYTES) return op_result::refuse({ERR_EBADREQ, "host too long"});
    // Without a rate, a UDP test sends about 1 Mbit/s per stream.
    char bandwidth[IPERF_NUM_BYTES] = {};
    arg_get_str(js, args, an, "bandwidth", bandwidth, sizeof bandwidth);
    if (bandwidth[0] && !valid_bandwidth(bandwidth))
        return op_result::refuse({ERR_EREQ, "invalid bandwidth (bits per second: digits and K, M or G)"});
    char path[IPERF_PATH_BYTES];
    if (const op_err* err = find_iperf(path)) return op_result::refuse(*err);
    char port[IPERF_NUM_BYTES], time[IPERF_NUM_BYTES], parallel[IPERF_NUM_BYTES];
    format_int(port, arg_get_int(js, args, an, "port", 5201));
    format_int(time, arg_get_int(js, args, an, "time", 10));
    format_int(parallel, arg_get_int(js, args, an, "parallel", 1));
    char* argv[22];
    int n = 0;
    for (char* s : {path, lit("-c"), host, lit("-p"), port, lit("-t"), time, lit("-P"), parallel, lit("-i"), lit("1")})
        argv[n++] = s;
    if (arg_get_bool(js, args, an, "udp", 0)) argv[n++] = lit("-u");
    if (arg_get_bool(js, args, an, "reverse", 0)) argv[n++] = lit("-R");
    if (bandwidth[0]) {
        argv[n++] = lit("-b");
        argv[n++] = bandwidth;
    }
    if (arg_get_bool(js, args, an, "json", 1)) argv[n++] = lit("-J");
    // In a pipe the tool holds its lines back until the test ends unless told otherwise.
    argv[n++] = lit("--forceflush");
    argv[n] = nullptr;
    return run_iperf(req, argv);
}

op_result op_iperf3_server(const op_req_t& req) {
    const char* js = req.js;
    const jsmntok_t* args = req.args;
    const int an = req.an;
    char path[IPERF_PATH_BYTES];
    if (const op_err* err = find_iperf(path)) return op_result::refuse(*err);
    char port[IPERF_NUM_BYTES];
    format_int(port, arg_get_int(js, args, an, "port", 5201));
    char* argv[10];
    int n = 0;
    for (char* s : {path, lit("-s"), lit("-p"), port}) argv[n++] = s;
    if (arg_get_bool(js, args, an, "one_off", 0)) argv[n++] = lit("-1");
    if (arg_get_bool(js, args, an, "json", 0)) argv[n++] = lit("-J");
    argv[n++] = lit("--forceflush");
    argv[n] = nullptr;
    return run_iperf(req, argv);
}

op_result op_iperf3_kill(const op_req_t&) {
    sb_t result;
    sb_printf(&result, "{\"killed\":%d}",
              kill_all_named([](const char* comm) { return iperf3_name_matches(comm) != 0; }));
    return op_result::ok(std::move(result));
}
