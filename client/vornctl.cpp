#include "vornctl.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/fdio.h"
#include "base/sb.h"
#include "base/version.h"
#include "client.h"
#include "vornctl_args.h"
#include "vornctl_term.h"
#include "wire/errors.h"
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
    fprintf(f,
            "usage: vornctl [OPTIONS] VIEW [ARG ...]     (vornctl help lists them; VIEW --help its arguments)\n"
            "       vornctl [OPTIONS] OP [key=value ...] | OP --args '{...}'\n"
            "options (anywhere before --): -s|--socket PATH, --token-file F, --json, --table, --text,\n"
            "       -H HOST[,HOST...], --hosts-file F, --parallel N, -h|--help, --version, --bash-completion\n"
            "The views an administrator uses first: iostat, zpool-iostat [POOL], fio TARGET_DIR, iperf3 HOST,\n"
            "ps, smart DEVICE, shell. On a terminal they draw tables; with --json or through a pipe they print\n"
            "JSON lines (--table draws into a pipe too).\n"
            "Values that are JSON (numbers, true, [..], {..}, \"..\") are sent as JSON, others as strings.\n"
            "Socket: -s, else $VORNCTL_SOCKET, else %s\n",
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

unique_fd ctl_connect_or_say(const ctl_ctx& ctx) {
    unique_fd fd = vc_connect(ctx.socket_path.c_str());
    if (!fd)
        fprintf(stderr, "vornctl: cannot reach vornd at %s: %s (try -s PATH or VORNCTL_SOCKET)\n",
                ctx.socket_path.c_str(), strerror(errno));
    return fd;
}

sigset_t ctl_catch_sigint() { return install_sigint(); }

void ctl_print_frame(FILE* out, std::string_view frame) {
    std::string scratch;
    std::string_view line = vc_frame_line(frame, &scratch);
    fwrite(line.data(), 1, line.size(), out);
    fputc('\n', out);
    fflush(out);
}

bool ctl_interrupted() { return g_interrupted != 0; }

int ctl_frame_outcome(std::string_view frame) { return frame_outcome(frame); }

int ctl_status_of_code(std::string_view code) {
    static const struct {
        const char* code;
        int status;
    } STATUS[] = {
        {ERR_EBADREQ, CTL_USAGE},   {ERR_EREQ, CTL_USAGE},        {ERR_EPROTO, CTL_USAGE},
        {ERR_EAUTH, CTL_REFUSED},   {ERR_EDISABLED, CTL_REFUSED}, {ERR_EFORBIDDEN, CTL_REFUSED},
        {ERR_EBADDEV, CTL_REFUSED}, {ERR_EPERM, CTL_REFUSED},     {ERR_ENOENT, CTL_NOT_FOUND},
        {ERR_ENOOP, CTL_NOT_FOUND}, {ERR_ESRCH, CTL_NOT_FOUND},   {ERR_EBADPATH, CTL_NOT_FOUND},
    };
    for (const auto& s : STATUS)
        if (code == s.code) return s.status;
    return CTL_FAIL;
}

int ctl_frame_status(std::string_view frame) {
    int outcome = frame_outcome(frame);
    if (outcome > 0) return CTL_OK;
    std::string ok, code;
    if (!vc_json_raw(frame, "ok", &ok) || ok != "false") return CTL_FAIL;  // done with a non-zero exit code
    vc_json_str(frame, "code", &code);
    return ctl_status_of_code(code);
}

void ctl_say(const ctl_ctx& ctx, std::string_view message, std::string_view code) {
    std::string word = term_clean(ctx.word.empty() ? "vornctl" : ctx.word);
    fprintf(stderr, "vornctl: %s: %s (%s)\n", word.c_str(), term_clean(message).c_str(), term_clean(code).c_str());
}

int ctl_report_error(const ctl_ctx& ctx, std::string_view frame, std::string_view extra) {
    std::string code = ERR_DEFAULT, msg = "failed";
    vc_json_str(frame, "code", &code);
    if (vc_json_str(frame, "error", &msg)) msg = vc_json_unescape(msg);
    if (!extra.empty()) msg += ": " + std::string(extra);
    // The daemon's refusal by access class names the uid; the person at the terminal needs
    // to know which class is missing.
    if (code == ERR_EPERM && msg.rfind("operation not permitted for uid ", 0) == 0)
        msg = "not permitted for your user (needs control)";
    if (code == ERR_ENOOP) {
        std::string near = ctl_nearest(ctx.word, ctl_all_names());
        if (!near.empty()) msg += "; did you mean " + near + "?";
    }
    ctl_say(ctx, msg, code);
    return ctl_status_of_code(code);
}

int ctl_cancel(const ctl_ctx& ctx, std::string_view job_id, bool quiet) {
    unique_fd fd = ctl_connect_or_say(ctx);
    if (!fd) return CTL_UNREACHABLE;
    std::string args = "{\"job_id\":";
    append_json_string(&args, job_id);
    args += "}";
    std::string reply;
    if (vc_send(fd.get(), vc_request("cancel", "_cancel", args, ctx.token)) != 0 || vc_recv(fd.get(), &reply) != 0) {
        fprintf(stderr, "vornctl: connection to vornd lost\n");
        return CTL_FAIL;
    }
    if (quiet) return ctl_frame_status(reply);
    if (!ctl_view_wanted(ctx) || frame_outcome(reply) > 0) ctl_print_frame(stdout, reply);
    return frame_outcome(reply) > 0 ? CTL_OK : ctl_report_error(ctx, reply);
}

namespace {

// Stops what a request started when no one is left to read its output: its job cancelled,
// or, before a job id came, the connection closed (the daemon ends a stream whose client
// has gone).
void abandon(const ctl_ctx& ctx, unique_fd* fd, const std::string& job_id) {
    if (!job_id.empty()) ctl_cancel(ctx, job_id, true);
    fd->reset();
}

bool stdout_closed(const struct pollfd& p) { return (p.revents & (POLLERR | POLLHUP)) != 0 || ferror(stdout); }

}  // namespace

int ctl_run_op(const ctl_ctx& ctx, std::string_view op, std::string_view args_json, ctl_frame_fn on_frame, void* user) {
    unique_fd fd = ctl_connect_or_say(ctx);
    if (!fd) return CTL_UNREACHABLE;
    if (vc_send(fd.get(), vc_request("1", op, args_json, ctx.token)) != 0) {
        fprintf(stderr, "vornctl: connection to vornd lost\n");
        return CTL_FAIL;
    }
    const sigset_t waiting = ctl_catch_sigint();
    std::string job_id;
    bool cancel_sent = false;
    for (;;) {
        if (g_interrupted && !cancel_sent) {
            if (job_id.empty()) {
                fd.reset();
                fprintf(stderr, "vornctl: interrupted before a job id arrived; connection closed to stop the stream\n");
                return CTL_INTERRUPTED;
            }
            cancel_sent = true;
            ctl_cancel(ctx, job_id, true);
        }
        // Standard output is watched too: a pipe whose reader has gone reports an error at once.
        struct pollfd p[2] = {{fd.get(), POLLIN, 0}, {STDOUT_FILENO, 0, 0}};
        int r = ppoll(p, 2, nullptr, &waiting);
        if (r < 0) {
            if (errno == EINTR) continue;
            return CTL_FAIL;
        }
        if (!(p[1].revents & POLLNVAL) && stdout_closed(p[1])) {
            abandon(ctx, &fd, job_id);
            return CTL_PIPE;
        }
        if (!p[0].revents) continue;
        std::string frame;
        if (vc_recv(fd.get(), &frame) != 0) {
            fprintf(stderr, "vornctl: connection to vornd lost\n");
            return CTL_FAIL;
        }
        if (job_id.empty()) vc_json_str(frame, "job_id", &job_id);
        int outcome = frame_outcome(frame);
        bool keep = true;
        if (on_frame) {
            keep = on_frame(user, frame);
        } else {
            ctl_print_frame(stdout, frame);
            if (outcome < 0 && frame.find("\"ok\":false") != std::string::npos) ctl_report_error(ctx, frame);
        }
        if (ferror(stdout)) {
            abandon(ctx, &fd, outcome == 0 ? job_id : std::string());
            return CTL_PIPE;
        }
        if (outcome != 0) return g_interrupted ? CTL_INTERRUPTED : ctl_frame_status(frame);
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

bool ctl_args_ok(const ctl_ctx& ctx, std::string_view op, std::string_view args_json) {
    const ctl_op_t* row = ctl_op_find(op);
    std::string why;
    if (!row || ctl_check_args(*row, args_json, &why)) return true;
    ctl_say(ctx, why + " (vornctl help " + ctx.word + ")", ERR_EREQ);
    return false;
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

int cmd_help(const ctl_ctx&, int argc, char** argv) {
    if (argc > 1) return usage(stderr);
    if (ctl_print_help(stdout, argc ? argv[0] : "")) return CTL_OK;
    std::string near = ctl_nearest(argv[0], ctl_all_names());
    fprintf(stderr, "vornctl: help: no command or operation %s%s%s (ENOOP)\n", argv[0],
            near.empty() ? "" : "; did you mean ", near.empty() ? "" : (near + "?").c_str());
    return CTL_NOT_FOUND;
}

const ctl_cmd CTL_COMMANDS[] = {
    {"cancel", cmd_cancel},
    {"help", cmd_help},
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
    {"bridge", ctl_cmd_bridge},
};

int run_generic(const ctl_ctx& ctx, const char* op, int argc, char** argv) {
    std::string args;
    if (!ctl_args_from_cli(argc, argv, &args)) return CTL_USAGE;
    if (!ctl_args_ok(ctx, op, args)) return CTL_USAGE;
    if (ctl_view_wanted(ctx)) return ctl_run_op_watched(ctx, op, args);
    return ctl_run_op(ctx, op, args);
}

std::string shell_quoted(std::string_view s) {
    if (!s.empty() && s.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-+:=,@") ==
                          std::string_view::npos)
        return std::string(s);
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Hosts from -H's comma-separated list or a hosts file (one per line; blank lines and lines
// starting with # are skipped). Each is checked here, so that none can reach ssh as an option.
bool add_hosts(bool list, const char* from, std::vector<std::string>* hosts) {
    std::string text;
    if (list) {
        text = from;
        std::replace(text.begin(), text.end(), ',', '\n');
    } else {
        FILE* f = fopen(from, "re");
        if (!f) {
            fprintf(stderr, "vornctl: cannot read hosts file %s: %s\n", from, strerror(errno));
            return false;
        }
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
        fclose(f);
    }
    for (size_t at = 0; at < text.size();) {
        size_t end = std::min(text.find('\n', at), text.size());
        std::string line = text.substr(at, end - at);
        at = end + 1;
        size_t first = line.find_first_not_of(" \t\r"), last = line.find_last_not_of(" \t\r");
        line = first == std::string::npos ? "" : line.substr(first, last - first + 1);
        if (line.empty() || (!list && line[0] == '#')) continue;
        if (!ctl_host_ok(line)) {
            fprintf(stderr, "vornctl: '%s' is no host name\n", term_clean(line).c_str());
            return false;
        }
        hosts->push_back(line);
    }
    if (list && hosts->empty()) fprintf(stderr, "vornctl: -H takes HOST[,HOST...]\n");
    return !hosts->empty();
}

// Options may stand anywhere before "--"; the words of a shell's own command line (after
// `shell SHELL`) are left to it. Returns -1 to go on, else the exit status.
int parse_options(int argc, char** argv, ctl_ctx* ctx, std::vector<char*>* words, bool* help) {
    bool options = true;
    for (int i = 1; i < argc; i++) {
        std::string_view a = argv[i];
        if (!options || a.empty() || a[0] != '-' || (words->size() >= 2 && strcmp((*words)[0], "shell") == 0)) {
            words->push_back(argv[i]);
            continue;
        }
        if (a == "--") {
            options = false;
        } else if ((a == "-s" || a == "--socket") && i + 1 < argc) {
            ctx->socket_path = argv[++i];
            ctx->again += " -s " + shell_quoted(argv[i]);
        } else if (a == "--token-file" && i + 1 < argc) {
            if (vc_read_token_file(argv[++i], &ctx->token) != 0) {
                fprintf(stderr, "vornctl: cannot read token file %s: %s\n", argv[i], strerror(errno));
                return CTL_USAGE;
            }
            ctx->again += " --token-file " + shell_quoted(argv[i]);
        } else if ((a == "-H" || a == "--hosts-file") && i + 1 < argc) {
            if (!add_hosts(a == "-H", argv[++i], &ctx->hosts)) return CTL_USAGE;
        } else if (a == "--parallel" && i + 1 < argc) {
            char* end = nullptr;
            long n = strtol(argv[++i], &end, 10);
            if (*end || n < 1 || n > 1024) {
                fprintf(stderr, "vornctl: --parallel takes a number from 1 to 1024\n");
                return CTL_USAGE;
            }
            ctx->parallel = static_cast<int>(n);
        } else if (a == "--text") {
            ctx->text = true;
        } else if (a == "--json") {
            ctx->json = true;
        } else if (a == "--table") {
            ctx->table = true;
        } else if (a == "--bash-completion") {
            ctl_print_bash_completion();
            return CTL_OK;
        } else if (a == "--roff-operations") {  // the manual page's list, kept equal to it by a test
            ctl_print_roff_ops(stdout);
            return CTL_OK;
        } else if (a == "--version") {
            printf("vornctl %s\n", VORND_VERSION);
            return CTL_OK;
        } else if (a == "-h" || a == "--help") {
            *help = true;
        } else if (words->empty()) {
            fprintf(stderr, "vornctl: unknown option %s\n", argv[i]);
            return usage(stderr);
        } else {
            words->push_back(argv[i]);  // the command's own option, or a mistake it reports
        }
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    ctl_ctx ctx;
    const char* env = getenv("VORNCTL_SOCKET");
    ctx.socket_path = env && *env ? env : VORND_DEFAULT_SOCKET_PATH;
    ctx.again = "vornctl";
    std::vector<char*> words;
    bool help = false;
    int st = parse_options(argc, argv, &ctx, &words, &help);
    if (st >= 0) return st;
    if (help && words.empty()) {
        usage(stdout);
        return CTL_OK;
    }
    if (words.empty()) return usage(stderr);
    ctx.word = words[0];
    if (help) return cmd_help(ctx, 1, words.data());
    int n = static_cast<int>(words.size()) - 1;
    if (!ctx.hosts.empty() && ctx.word != "help") return ctl_fleet_main(ctx, n, words.data() + 1);
    st = -1;
    for (const ctl_cmd& c : CTL_COMMANDS)
        if (ctx.word == c.name) st = c.fn(ctx, n, words.data() + 1);
    if (st < 0) st = run_generic(ctx, words[0], n, words.data() + 1);
    if (st == CTL_PIPE) {
        fflush(nullptr);
        signal(SIGPIPE, SIG_DFL);  // ends like any program whose reader has gone
        raise(SIGPIPE);
    }
    return st;
}
