#include "vornctl.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/fdio.h"
#include "base/sb.h"
#include "client.h"
#include "wire/frame.h"
#include "wire/jsmn.h"

namespace {

volatile sig_atomic_t g_interrupted = 0;

void on_sigint(int) { g_interrupted = 1; }

// SIGINT stays blocked except inside the wait for the next frame, so a Ctrl-C that lands
// between the flag check and the wait still ends that wait. Returns the mask to wait with.
sigset_t install_sigint() {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_sigint;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    sigset_t block, waiting;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigprocmask(SIG_BLOCK, &block, &waiting);
    sigdelset(&waiting, SIGINT);
    return waiting;
}

constexpr unsigned VALUE_MAX_TOKENS = 1024;  // as many as the daemon takes in a request

bool skip_digits(std::string_view v, size_t* i) {
    size_t start = *i;
    while (*i < v.size() && v[*i] >= '0' && v[*i] <= '9') ++*i;
    return *i > start;
}

// A JSON number: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)? — so 0644, 1.2.3 and "-" are not.
bool is_json_number(std::string_view v) {
    size_t i = 0;
    if (i < v.size() && v[i] == '-') i++;
    if (i < v.size() && v[i] == '0') i++;
    else if (!skip_digits(v, &i)) return false;
    if (i < v.size() && v[i] == '.') {
        i++;
        if (!skip_digits(v, &i)) return false;
    }
    if (i < v.size() && (v[i] == 'e' || v[i] == 'E')) {
        i++;
        if (i < v.size() && (v[i] == '+' || v[i] == '-')) i++;
        if (!skip_digits(v, &i)) return false;
    }
    return i == v.size();
}

// The tokenizer takes any run of bytes as a primitive; JSON allows only these.
bool is_json_primitive(std::string_view v) { return v == "true" || v == "false" || v == "null" || is_json_number(v); }

bool is_whole_json_value(std::string_view v) {
    std::vector<jsmntok_t> toks(VALUE_MAX_TOKENS);
    jsmn_parser p;
    jsmn_init(&p);
    int n = jsmn_parse(&p, v.data(), v.size(), toks.data(), VALUE_MAX_TOKENS);
    if (n <= 0) return false;
    // One value covering the whole text (a bare word such as "ls" is no JSON value).
    size_t start = static_cast<size_t>(toks[0].type == JSMN_STRING ? toks[0].start - 1 : toks[0].start);
    size_t end = static_cast<size_t>(toks[0].type == JSMN_STRING ? toks[0].end + 1 : toks[0].end);
    if (start != 0 || end != v.size()) return false;
    for (int i = 0; i < n; i++) {
        const jsmntok_t& t = toks[static_cast<size_t>(i)];
        std::string_view text = v.substr(static_cast<size_t>(t.start), static_cast<size_t>(t.end - t.start));
        if (t.type == JSMN_PRIMITIVE && !is_json_primitive(text)) return false;
    }
    return true;
}

void append_json_string(std::string* s, std::string_view v) {
    sb_t b;
    sb_json_escape(&b, v.data(), v.size());
    *s += '"';
    if (b.buf) s->append(b.buf, b.len);
    *s += '"';
}

int usage(FILE* f) {
    fprintf(
        f,
        "usage: vornctl [-s SOCKET] [--token-file F] [--text] OP [key=value ...]\n"
        "       vornctl [-s SOCKET] [--token-file F] OP --args '{...}'\n"
        "       vornctl [-s SOCKET] [--token-file F] cancel JOB_ID\n"
        "       vornctl [-s SOCKET] [--token-file F] cat|ls|tail PATH [key=value ...]\n"
        "       vornctl [-s SOCKET] [--token-file F] config | config-apply level=safe | config-apply exec=\"bash,ls\"\n"
        "       vornctl [-s SOCKET] [--token-file F] shell [SHELL [ARG...]] | attach JOB_ID [--since N] | sessions\n"
        "       vornctl [-s SOCKET] [--token-file F] [--json] iostat | zpool-iostat [POOL] | fio TARGET_DIR [k=v ...]\n"
        "       vornctl ... [--json] iperf3 HOST [k=v ...] | ps [--sort rss|pid|name] [NAME] | proc PID\n"
        "       vornctl ... [--json] info | sysinfo | meminfo | net [proc=true] | smart DEVICE [type=T]\n"
        "       vornctl --bash-completion   (source <(vornctl --bash-completion))\n"
        "On a terminal the views draw tables; with --json or through a pipe they print JSON lines.\n"
        "Values that are JSON (numbers, true, [..], {..}, \"..\") are sent as JSON, others as strings.\n"
        "Default socket: %s\n",
        VORND_DEFAULT_SOCKET_PATH);
    return CTL_USAGE;
}

// Classifies a frame: 1 it ends the request successfully, -1 it ends it with a failure,
// 0 more frames follow.
int frame_outcome(std::string_view frame) {
    std::string ev;
    if (!vc_json_str(frame, "event", &ev)) {
        std::string ok;
        return vc_json_raw(frame, "ok", &ok) && ok == "true" ? 1 : -1;
    }
    if (ev == "error") return -1;
    if (ev == "done") {
        long long code = 0;
        vc_json_int(frame, "exit_code", &code);
        return code == 0 ? 1 : -1;
    }
    return 0;
}

}  // namespace

void ctl_print_frame(FILE* out, std::string_view frame) {
    std::string scratch;
    std::string_view line = vc_frame_line(frame, &scratch);
    fwrite(line.data(), 1, line.size(), out);
    fputc('\n', out);
    fflush(out);
}

bool ctl_interrupted() { return g_interrupted != 0; }

int ctl_frame_outcome(std::string_view frame) { return frame_outcome(frame); }

int ctl_cancel(const ctl_ctx& ctx, std::string_view job_id, bool quiet) {
    unique_fd fd = vc_connect(ctx.socket_path.c_str());
    if (!fd) {
        fprintf(stderr, "vornctl: connect %s: %s\n", ctx.socket_path.c_str(), strerror(errno));
        return CTL_USAGE;
    }
    std::string args = "{\"job_id\":";
    append_json_string(&args, job_id);
    args += "}";
    std::string reply;
    if (vc_send(fd.get(), vc_request("cancel", "_cancel", args, ctx.token)) != 0 || vc_recv(fd.get(), &reply) != 0) {
        fprintf(stderr, "vornctl: connection lost\n");
        return CTL_USAGE;
    }
    if (!quiet) ctl_print_frame(stdout, reply);
    return frame_outcome(reply) > 0 ? CTL_OK : CTL_FAIL;
}

int ctl_run_op(const ctl_ctx& ctx, std::string_view op, std::string_view args_json, ctl_frame_fn on_frame, void* user) {
    unique_fd fd = vc_connect(ctx.socket_path.c_str());
    if (!fd) {
        fprintf(stderr, "vornctl: connect %s: %s\n", ctx.socket_path.c_str(), strerror(errno));
        return CTL_USAGE;
    }
    if (vc_send(fd.get(), vc_request("1", op, args_json, ctx.token)) != 0) {
        fprintf(stderr, "vornctl: send: %s\n", strerror(errno));
        return CTL_USAGE;
    }
    const sigset_t waiting = install_sigint();
    std::string job_id;
    bool cancel_sent = false;
    for (;;) {
        if (g_interrupted && !cancel_sent) {
            if (job_id.empty()) {
                // No job id to cancel yet: the daemon stops a stream whose client hangs up.
                fd.reset();
                fprintf(stderr, "vornctl: interrupted before a job id arrived; connection closed to stop the stream\n");
                return CTL_FAIL;
            }
            cancel_sent = true;
            ctl_cancel(ctx, job_id, true);
        }
        struct pollfd p = {fd.get(), POLLIN, 0};
        int r = ppoll(&p, 1, nullptr, &waiting);
        if (r < 0) {
            if (errno == EINTR) continue;
            return CTL_USAGE;
        }
        std::string frame;
        if (vc_recv(fd.get(), &frame) != 0) {
            fprintf(stderr, "vornctl: connection closed\n");
            return CTL_USAGE;
        }
        if (job_id.empty()) vc_json_str(frame, "job_id", &job_id);
        bool keep = true;
        if (on_frame) {
            keep = on_frame(user, frame);
        } else {
            ctl_print_frame(stdout, frame);
        }
        int outcome = frame_outcome(frame);
        if (outcome != 0) return outcome > 0 ? CTL_OK : CTL_FAIL;
        if (!keep) return CTL_OK;
    }
}

bool ctl_args_from_words(int argc, char** argv, std::string* out) {
    std::string args = "{";
    for (int i = 0; i < argc; i++) {
        const char* eq = strchr(argv[i], '=');
        if (!eq || eq == argv[i]) {
            fprintf(stderr, "vornctl: expected key=value, got '%s'\n", argv[i]);
            return false;
        }
        if (i) args += ',';
        append_json_string(&args, std::string_view(argv[i], static_cast<size_t>(eq - argv[i])));
        args += ':';
        std::string_view v(eq + 1);
        if (is_whole_json_value(v)) args += v;
        else append_json_string(&args, v);
    }
    args += '}';
    *out = std::move(args);
    return true;
}

bool ctl_args_from_cli(int argc, char** argv, std::string* out) {
    if (argc >= 1 && strcmp(argv[0], "--args") == 0) {
        if (argc != 2) {
            usage(stderr);
            return false;
        }
        *out = argv[1];
        return true;
    }
    return ctl_args_from_words(argc, argv, out);
}

namespace {

struct ctl_cmd {
    const char* name;
    int (*fn)(const ctl_ctx& ctx, int argc, char** argv);  // argv after the command word
};

int cmd_cancel(const ctl_ctx& ctx, int argc, char** argv) {
    if (argc != 1) return usage(stderr);
    return ctl_cancel(ctx, argv[0]);
}

const ctl_cmd CTL_COMMANDS[] = {
    {"cancel", cmd_cancel},
    {"cat", ctl_cmd_cat},
    {"ls", ctl_cmd_ls},
    {"tail", ctl_cmd_tail},
    {"exec", ctl_cmd_exec},
    {"config", ctl_cmd_config},
    {"config-apply", ctl_cmd_config_apply},
    {"shell", ctl_cmd_shell},
    {"attach", ctl_cmd_attach},
    {"sessions", ctl_cmd_sessions},
    {"iostat", ctl_cmd_iostat},
    {"zpool-iostat", ctl_cmd_zpool_iostat},
    {"fio", ctl_cmd_fio},
    {"iperf3", ctl_cmd_iperf3},
    {"ps", ctl_cmd_ps},
    {"proc", ctl_cmd_proc},
    {"info", ctl_cmd_info},
    {"sysinfo", ctl_cmd_sysinfo},
    {"meminfo", ctl_cmd_meminfo},
    {"net", ctl_cmd_net},
    {"smart", ctl_cmd_smart},
};

int run_generic(const ctl_ctx& ctx, const char* op, int argc, char** argv) {
    std::string args;
    if (!ctl_args_from_cli(argc, argv, &args)) return CTL_USAGE;
    if (ctl_view_wanted(ctx)) return ctl_run_op_watched(ctx, op, args);
    return ctl_run_op(ctx, op, args);
}

void print_completion() {
    std::vector<const char*> names;
    for (const ctl_cmd& c : CTL_COMMANDS) names.push_back(c.name);
    ctl_print_bash_completion(names.data(), names.size());
}

}  // namespace

int main(int argc, char** argv) {
    ctl_ctx ctx;
    ctx.socket_path = VORND_DEFAULT_SOCKET_PATH;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        std::string_view a = argv[i];
        if ((a == "-s" || a == "--socket") && i + 1 < argc) {
            ctx.socket_path = argv[++i];
        } else if (a == "--token-file" && i + 1 < argc) {
            if (vc_read_token_file(argv[++i], &ctx.token) != 0) {
                fprintf(stderr, "vornctl: cannot read token file %s: %s\n", argv[i], strerror(errno));
                return CTL_USAGE;
            }
        } else if (a == "--text") {
            ctx.text = true;
        } else if (a == "--json") {
            ctx.json = true;
        } else if (a == "--bash-completion") {
            print_completion();
            return CTL_OK;
        } else if (a == "-h" || a == "--help") {
            usage(stdout);
            return CTL_OK;
        } else {
            return usage(stderr);
        }
    }
    if (i >= argc) return usage(stderr);
    const char* word = argv[i];
    for (const ctl_cmd& c : CTL_COMMANDS)
        if (strcmp(c.name, word) == 0) return c.fn(ctx, argc - i - 1, argv + i + 1);
    return run_generic(ctx, word, argc - i - 1, argv + i + 1);
}
