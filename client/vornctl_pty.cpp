// vornctl shell / attach / sessions: a person's view of the daemon's PTY sessions.
//
// A terminal session uses two connections: one carries the pty or pty_attach stream (the
// shell's output, written to standard output as it arrives), the other the pty_input and
// pty_resize requests. With a terminal on standard input it is put in raw mode, so every key
// goes to the shell; Ctrl-] then d detaches and leaves the session running.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "base/b64.h"
#include "base/fdio.h"
#include "base/sb.h"
#include "client.h"
#include "vornctl.h"
#include "wire/jsmn.h"
#include "wire/json.h"

namespace {

constexpr unsigned char DETACH_PREFIX = 0x1d;  // Ctrl-]
constexpr unsigned char DETACH_KEY = 'd';
constexpr size_t STDIN_READ_BYTES = 4096;  // one pty_input each; the daemon takes up to 6143
constexpr int FRAME_TOKENS = 64;
constexpr int DAEMON_STOP_GRACE_MS = 500;
constexpr size_t JOB_LIST_TOKENS = 4096;  // 256 sessions of 15 tokens each, and the array

volatile sig_atomic_t g_sig_pipe_w = -1;  // written by the signal handler: 'W' window change, 'T' leave

void on_signal(int sig) {
    int saved = errno;
    char c = sig == SIGWINCH ? 'W' : 'T';
    if (g_sig_pipe_w >= 0 && write(g_sig_pipe_w, &c, 1) < 0) {
    }
    errno = saved;
}

std::string json_string(std::string_view v) {
    sb_t b;
    sb_json_escape(&b, v.data(), v.size());
    return "\"" + std::string(b.buf ? b.buf : "", b.len) + "\"";
}

// The parts of one stream frame a terminal needs, from a single tokenizer pass.
struct pty_frame_t {
    std::string_view event, type, b64, job_id, tty, code, error;
    long long exit_code = 0;
};

std::string_view tok_view(std::string_view js, const jsmntok_t& t) {
    return js.substr(static_cast<size_t>(t.start), static_cast<size_t>(t.end - t.start));
}

std::string_view member(std::string_view js, const jsmntok_t* obj, int n, const char* key) {
    int i = json_obj_idx(js.data(), obj, n, key);
    return i < 0 ? std::string_view() : tok_view(js, obj[i]);
}

bool parse_frame(std::string_view js, pty_frame_t* f) {
    jsmntok_t toks[FRAME_TOKENS];
    jsmn_parser p;
    jsmn_init(&p);
    int n = jsmn_parse(&p, js.data(), js.size(), toks, FRAME_TOKENS);
    if (n <= 0 || toks[0].type != JSMN_OBJECT) return false;
    f->event = member(js, toks, n, "event");
    f->code = member(js, toks, n, "code");
    f->error = member(js, toks, n, "error");
    int d = json_obj_idx(js.data(), toks, n, "data");
    if (d < 0 || toks[d].type != JSMN_OBJECT) return true;
    const jsmntok_t* data = &toks[d];
    f->type = member(js, data, n - d, "type");
    f->b64 = member(js, data, n - d, "b64");
    f->job_id = member(js, data, n - d, "job_id");
    f->tty = member(js, data, n - d, "tty");
    int c = json_obj_idx(js.data(), data, n - d, "exit_code");
    if (c >= 0) f->exit_code = json_tok_int(js.data(), &data[c]);
    return true;
}

bool window_size(int* rows, int* cols) {
    struct winsize ws;
    if (ioctl(STDIN_FILENO, TIOCGWINSZ, &ws) != 0 && ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) != 0) return false;
    if (ws.ws_row == 0 || ws.ws_col == 0) return false;
    *rows = ws.ws_row;
    *cols = ws.ws_col;
    return true;
}

enum class term_end_t { exited, detached, ended, failed, lost };

struct term_session_t {
    const ctl_ctx* ctx = nullptr;
    unique_fd stream, ctl, sig_r, sig_w;
    std::string job_id;
    bool raw = false;
    struct termios saved = {};
    bool prefix = false;  // Ctrl-] seen, waiting for the next key
    bool stdin_open = true;
    bool exited = false;  // the shell's exit was reported
    long long exit_code = 0;
    int failure = CTL_FAIL;

    ~term_session_t() {
        restore_terminal();
        g_sig_pipe_w = -1;
    }

    void restore_terminal() {
        if (raw) tcsetattr(STDIN_FILENO, TCSADRAIN, &saved);
        raw = false;
    }

    int enter_raw() {
        if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved) != 0) return 0;
        struct termios t = saved;
        cfmakeraw(&t);
        if (tcsetattr(STDIN_FILENO, TCSADRAIN, &t) != 0) return -1;
        raw = true;
        return 0;
    }

    // One request on the control connection; 0 when the reply is ok.
    int request(std::string_view op, const std::string& args) {
        std::string reply;
        if (vc_send(ctl.get(), vc_request("c", op, args, ctx->token)) != 0 || vc_recv(ctl.get(), &reply) != 0)
            return -1;
        return reply.find("\"ok\":true") != std::string::npos ? 0 : -1;
    }

    void send_resize() {
        int rows, cols;
        if (!window_size(&rows, &cols)) return;
        request("pty_resize", "{\"job_id\":" + json_string(job_id) + ",\"rows\":" + std::to_string(rows) +
                                  ",\"cols\":" + std::to_string(cols) + "}");
    }

    int send_input(const std::string& bytes) {
        if (bytes.empty()) return 0;
        std::string text(b64_encoded_len(bytes.size()) + 1, '\0');
        text.resize(b64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), text.data()));
        return request("pty_input", "{\"job_id\":" + json_string(job_id) + ",\"b64\":\"" + text + "\"}");
    }

    // Keys to send, with the detach sequence taken out. True when the user asked to detach.
    bool filter_keys(const char* buf, size_t n, std::string* out) {
        for (size_t i = 0; i < n; i++) {
            auto c = static_cast<unsigned char>(buf[i]);
            if (prefix) {
                prefix = false;
                if (c == DETACH_KEY) return true;
                out->push_back(static_cast<char>(DETACH_PREFIX));
                if (c != DETACH_PREFIX) out->push_back(static_cast<char>(c));  // Ctrl-] Ctrl-] sends one
            } else if (c == DETACH_PREFIX) {
                prefix = true;
            } else {
                out->push_back(static_cast<char>(c));
            }
        }
        return false;
    }
};

int open_stream(term_session_t* s, std::string_view op, const std::string& args) {
    s->stream = ctl_connect_or_say(*s->ctx);
    if (s->stream) s->ctl = ctl_connect_or_say(*s->ctx);
    if (!s->stream || !s->ctl) return CTL_UNREACHABLE;
    if (vc_send(s->stream.get(), vc_request("1", op, args, s->ctx->token)) != 0) {
        fprintf(stderr, "vornctl: connection to vornd lost\n");
        return CTL_FAIL;
    }
    return CTL_OK;
}

// Waits for the open chunk; reports the failure and returns its status when the stream
// fails instead.
int await_open(term_session_t* s) {
    std::string frame;
    pty_frame_t f;
    if (vc_recv(s->stream.get(), &frame) != 0 || !parse_frame(frame, &f)) {
        fprintf(stderr, "vornctl: connection to vornd lost\n");
        return CTL_FAIL;
    }
    if (f.type != "open") return ctl_report_error(*s->ctx, frame);
    s->job_id = vc_json_unescape(f.job_id);
    fprintf(stderr, "vornctl: session %s on %s; detach with Ctrl-] then d\r\n", s->job_id.c_str(),
            vc_json_unescape(f.tty).c_str());
    return 0;
}

int install_signals(term_session_t* s) {
    int p[2];
    if (pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
    s->sig_r.reset(p[0]);
    s->sig_w.reset(p[1]);
    g_sig_pipe_w = p[1];
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGWINCH, SIGTERM, SIGHUP, SIGINT}) sigaction(sig, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return 0;
}

// One frame of the stream: output to the terminal, the exit code kept. Returns 1 to go on.
int on_stream_frame(term_session_t* s, term_end_t* end) {
    std::string frame;
    pty_frame_t f;
    if (vc_recv(s->stream.get(), &frame) != 0 || !parse_frame(frame, &f)) {
        *end = term_end_t::lost;
        return 0;
    }
    if (f.type == "out") {
        std::string bytes(f.b64.size(), '\0');
        ssize_t n = b64_decode(f.b64.data(), f.b64.size(), reinterpret_cast<unsigned char*>(bytes.data()),
                               bytes.size());
        if (n > 0) write_full(STDOUT_FILENO, bytes.data(), static_cast<size_t>(n));
    } else if (f.type == "exit") {
        s->exit_code = f.exit_code;
        s->exited = true;  // the session's own end follows: its done event
    } else if (f.event == "error") {
        s->restore_terminal();
        s->failure = ctl_report_error(*s->ctx, frame);
        *end = term_end_t::failed;
        return 0;
    }
    if (f.event == "done") *end = s->exited ? term_end_t::exited : term_end_t::ended;
    return f.event == "done" ? 0 : 1;
}

// Keys from standard input. Returns 1 to go on, 0 to detach.
int on_keys(term_session_t* s) {
    char buf[STDIN_READ_BYTES];
    ssize_t r = read(STDIN_FILENO, buf, sizeof buf);
    if (r < 0 && (errno == EINTR || errno == EAGAIN)) return 1;
    if (r <= 0) {
        s->stdin_open = false;  // keep showing output until the shell ends
        return 1;
    }
    std::string keys;
    bool detach = s->filter_keys(buf, static_cast<size_t>(r), &keys);
    if (s->send_input(keys) != 0) fprintf(stderr, "vornctl: input refused\r\n");
    return detach ? 0 : 1;
}

// Returns 1 to go on, 0 to detach.
int on_signals(term_session_t* s) {
    char sigs[16];
    ssize_t n = read(s->sig_r.get(), sigs, sizeof sigs);
    bool winch = false;
    for (ssize_t i = 0; i < n; i++) {
        if (sigs[i] == 'T') return 0;
        winch = true;
    }
    if (winch) s->send_resize();
    return 1;
}

// A shell ended by a signal may have been ended by the daemon's own stop, which hangs up its
// shells and may still get the session's end out before it exits. Its connection then closes
// within moments, while a daemon that lives on keeps it open for the next request.
bool daemon_stopping(term_session_t* s) {
    struct pollfd p = {s->stream.get(), POLLIN, 0};
    char c;
    return poll(&p, 1, DAEMON_STOP_GRACE_MS) == 1 && recv(s->stream.get(), &c, 1, MSG_PEEK) <= 0;
}

term_end_t run_terminal(term_session_t* s) {
    term_end_t end = term_end_t::lost;
    for (;;) {
        struct pollfd p[3] = {{s->stream.get(), POLLIN, 0}, {s->sig_r.get(), POLLIN, 0}, {-1, POLLIN, 0}};
        if (s->stdin_open) p[2].fd = STDIN_FILENO;
        if (poll(p, 3, -1) < 0) {
            if (errno == EINTR) continue;
            return term_end_t::lost;
        }
        if (p[0].revents && on_stream_frame(s, &end) == 0)
            return end == term_end_t::exited && s->exit_code < 0 && daemon_stopping(s) ? term_end_t::lost : end;
        if (p[1].revents && on_signals(s) == 0) return term_end_t::detached;
        if (p[2].revents && on_keys(s) == 0) return term_end_t::detached;
    }
}

int report_end(term_session_t* s, term_end_t end) {
    s->restore_terminal();
    switch (end) {
    case term_end_t::exited:
        fprintf(stderr, "\nvornctl: shell exited with code %lld (session %s stays listed until closed)\n", s->exit_code,
                s->job_id.c_str());
        return s->exit_code == 0 ? CTL_OK : CTL_FAIL;
    case term_end_t::detached:
        fprintf(stderr, "\nvornctl: detached; the session runs on: %s attach %s\n", s->ctx->again.c_str(),
                s->job_id.c_str());
        return CTL_OK;
    case term_end_t::ended:
        fprintf(stderr, "\nvornctl: session %s was closed or cancelled\n", s->job_id.c_str());
        return CTL_OK;
    case term_end_t::failed: return s->failure;
    case term_end_t::lost: break;
    }
    // The stream ended without the session's own end: the daemon stopped or went away.
    fprintf(stderr, "\nvornctl: connection to vornd lost\n");
    return CTL_FAIL;
}

// The whole terminal session after the request has been built.
int terminal_session(const ctl_ctx& ctx, std::string_view op, const std::string& args, bool resize_on_open) {
    term_session_t s;
    s.ctx = &ctx;
    int st = open_stream(&s, op, args);
    if (st == CTL_OK) st = await_open(&s);
    if (st != CTL_OK) return st;
    if (install_signals(&s) != 0 || s.enter_raw() != 0) {
        fprintf(stderr, "vornctl: cannot set up the terminal: %s\n", strerror(errno));
        return CTL_USAGE;
    }
    if (resize_on_open) s.send_resize();
    return report_end(&s, run_terminal(&s));
}

// The index just past token i and everything inside it.
int tok_skip(const jsmntok_t* t, int i, int n) {
    long pending = 1;
    while (pending > 0 && i < n) {
        pending--;
        if (t[i].type == JSMN_ARRAY) pending += t[i].size;
        else if (t[i].type == JSMN_OBJECT) pending += 2L * t[i].size;
        i++;
    }
    return i;
}

// A row of the session table from one element of the pty_list array.
void print_session(std::string_view js, const jsmntok_t* obj, int n) {
    auto num = [&](const char* key) {
        int i = json_obj_idx(js.data(), obj, n, key);
        return i < 0 ? 0LL : json_tok_int(js.data(), &obj[i]);
    };
    std::string id = vc_json_unescape(member(js, obj, n, "job_id"));
    std::string tty = vc_json_unescape(member(js, obj, n, "tty"));
    std::string size = std::to_string(num("cols")) + "x" + std::to_string(num("rows"));
    bool exited = member(js, obj, n, "exited") == "true";
    printf("%-16s  %-12s  %-9s  %7llds  %s\n", id.c_str(), tty.c_str(), size.c_str(), num("age"),
           exited ? "exited" : "running");
}

}  // namespace

int ctl_cmd_shell(const ctl_ctx& ctx, int argc, char** argv) {
    std::string args = "{";
    if (argc >= 1) {
        args += "\"cmd\":" + json_string(argv[0]) + ",\"argv\":[";
        for (int i = 1; i < argc; i++) args += (i > 1 ? "," : "") + json_string(argv[i]);
        args += "],";
    }
    int rows, cols;
    if (window_size(&rows, &cols)) args += "\"rows\":" + std::to_string(rows) + ",\"cols\":" + std::to_string(cols);
    if (args.back() == ',') args.pop_back();
    args += "}";
    return terminal_session(ctx, "pty", args, false);
}

int ctl_cmd_attach(const ctl_ctx& ctx, int argc, char** argv) {
    if (argc != 1 && !(argc == 3 && strcmp(argv[1], "--since") == 0)) {
        fprintf(stderr, "usage: vornctl attach JOB_ID [--since N]   (vornctl sessions lists them)\n");
        return CTL_USAGE;
    }
    long long since = 0;
    if (argc == 3) {
        char* end = nullptr;
        errno = 0;
        since = strtoll(argv[2], &end, 10);
        if (errno || end == argv[2] || *end) {
            fprintf(stderr, "vornctl: --since wants a number, got '%s'\n", argv[2]);
            return CTL_USAGE;
        }
    }
    std::string args = "{\"job_id\":" + json_string(argv[0]) + ",\"since\":" + std::to_string(since) + "}";
    return terminal_session(ctx, "pty_attach", args, true);
}

int ctl_cmd_sessions(const ctl_ctx& ctx, int argc, char**) {
    if (argc != 0) {
        fprintf(stderr, "usage: vornctl sessions\n");
        return CTL_USAGE;
    }
    std::string reply, list;
    auto keep = [](void* user, std::string_view frame) {
        *static_cast<std::string*>(user) = std::string(frame);
        return true;
    };
    int st = ctl_run_op(ctx, "pty_list", "{}", keep, &reply);
    if (st != CTL_OK) return reply.empty() ? st : ctl_report_error(ctx, reply);
    std::vector<jsmntok_t> toks(JOB_LIST_TOKENS);
    jsmn_parser p;
    jsmn_init(&p);
    int n = vc_json_raw(reply, "result", &list)
                ? jsmn_parse(&p, list.data(), list.size(), toks.data(), static_cast<unsigned>(toks.size()))
                : -1;
    if (n <= 0 || toks[0].type != JSMN_ARRAY) {
        ctl_print_frame(stdout, reply);
        return CTL_FAIL;
    }
    printf("%-16s  %-12s  %-9s  %8s  %s\n", "JOB_ID", "TTY", "COLSxROWS", "AGE", "STATE");
    for (int i = 1, k = 0; i < n && k < toks[0].size; i = tok_skip(toks.data(), i, n), k++)
        if (toks[i].type == JSMN_OBJECT) print_session(list, &toks[i], n - i);
    return CTL_OK;
}
