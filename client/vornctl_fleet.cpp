// Many hosts at once (-H, --hosts-file): per host, `ssh -o BatchMode=yes ... HOST vornctl bridge`
// carries the frames, at most --parallel hosts at a time, each sent the same request. ssh is
// started from an argv built word by word, never through a shell; VORNCTL_SSH replaces the
// first words ("ssh -o BatchMode=yes -o ConnectTimeout=10 -o ServerAliveInterval=10") and is split on blanks, with no quoting. The token of a
// local --token-file travels inside the frames, never on a command line; without one none is
// sent, and each daemon judges the ssh user by the bridge's credentials.
// JSON lines gain a "host" member; views draw one table with a HOST column, streams one block
// per host. A host that cannot be reached gets one line (ssh's last words) and the others go
// on. Ctrl-C cancels the job on every host through a second bridge each.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/sb.h"
#include "client.h"
#include "vornctl.h"
#include "vornctl_args.h"
#include "vornctl_term.h"
#include "vornctl_views.h"
#include "wire/errors.h"
#include "wire/frame.h"

extern char** environ;

namespace {

constexpr size_t REPLY_MAX_BYTES = 64u << 20;  // as ctl_run_op reads
constexpr int REAP_WAIT_MS = 3000;             // for ssh to end once its input is closed
constexpr int CANCEL_WAIT_MS = 5000;           // for the replies to _cancel and the jobs' last frames

// ---- ssh ----

struct link_t {
    pid_t pid = -1;
    unique_fd fd;   // frames both ways: ssh's standard input and output
    unique_fd err;  // ssh's standard error, kept in memory for the message of a failure
};

std::vector<std::string> ssh_words() {
    const char* env = getenv("VORNCTL_SSH");
    // No password prompt; a host that does not answer, or a connection that dies, ends within
    // about 10 s (connect) or 30 s (three unanswered keep-alives) instead of hanging the fan-out.
    std::istringstream in(env && *env ? env : "ssh -o BatchMode=yes -o ConnectTimeout=10 -o ServerAliveInterval=10");
    std::vector<std::string> w;
    for (std::string s; in >> s;) w.push_back(s);
    return w;
}

// Starts `ssh ... HOST vornctl bridge` in a process group of its own, so that Ctrl-C on the
// terminal reaches vornctl alone, which then cancels the jobs before the links go.
bool open_link(const std::string& host, link_t* l, std::string* why) {
    std::vector<std::string> words = ssh_words();
    words.insert(words.end(), {host, "vornctl", "bridge"});
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        *why = strerror(errno);
        return false;
    }
    unique_fd mine(sv[0]), theirs(sv[1]);
    l->err.reset(memfd_create("ssh-stderr", MFD_CLOEXEC));
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, theirs.get(), 0);
    posix_spawn_file_actions_adddup2(&fa, theirs.get(), 1);
    if (l->err) posix_spawn_file_actions_adddup2(&fa, l->err.get(), 2);
    posix_spawnattr_t at;
    posix_spawnattr_init(&at);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&at, &none);
    posix_spawnattr_setsigdefault(&at, &defaults);
    posix_spawnattr_setpgroup(&at, 0);
    posix_spawnattr_setflags(&at, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    int e = posix_spawnp(&l->pid, argv[0], &fa, &at, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&at);
    if (e != 0) {
        *why = "cannot run " + words[0] + ": " + strerror(e);
        l->pid = -1;
        return false;
    }
    l->fd = std::move(mine);
    return true;
}

// Ends the link: its input closed, ssh given REAP_WAIT_MS to go, then killed.
void close_link(link_t* l) {
    l->fd.reset();
    if (l->pid < 0) return;
    for (uint64_t start = now_ms(); waitpid(l->pid, nullptr, WNOHANG) == 0;) {
        if (now_ms() - start > REAP_WAIT_MS) {
            kill(l->pid, SIGKILL);
            waitpid(l->pid, nullptr, 0);
            break;
        }
        usleep(10000);
    }
    l->pid = -1;
}

// The last line ssh (or the remote vornctl) wrote on standard error, once it has ended.
std::string last_words(link_t* l) {
    close_link(l);
    std::string text;
    char buf[4096];
    for (ssize_t n; l->err && (n = pread(l->err.get(), buf, sizeof buf, static_cast<off_t>(text.size()))) > 0;)
        text.append(buf, static_cast<size_t>(n));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    size_t nl = text.rfind('\n');
    text = nl == std::string::npos ? text : text.substr(nl + 1);
    return text.empty() ? "connection closed" : text;
}

// ---- one request on every host ----

struct host_t {
    std::string name;
    link_t link;
    std::string in;  // received bytes that are no whole frame yet
    std::string job_id;
    bool running = false, done = false;
    bool heard = false;   // a frame came: a stream stopped by Ctrl-C still answered
    int status = CTL_OK;  // once done
    std::string error;    // why no reply came; empty when one did
};

using fleet_frame_fn = void (*)(void* user, size_t host, std::string_view frame);

std::string json_quoted(std::string_view v) {
    sb_t b;
    sb_json_escape(&b, v.data(), v.size());
    return '"' + std::string(b.buf ? b.buf : "", b.len) + '"';
}

void print_host_frame(const std::string& host, std::string_view frame) {
    std::string scratch;
    std::string_view line = vc_frame_line(frame, &scratch);
    std::string out = "{\"host\":" + json_quoted(host);
    if (!line.empty() && line[0] == '{') line.remove_prefix(1);
    size_t first = line.find_first_not_of(" \t");
    if (first != std::string_view::npos && line[first] != '}') out += ',';  // {} stays {"host":..}
    out += line;
    out += '\n';
    fwrite(out.data(), 1, out.size(), stdout);
    fflush(stdout);
}

void finish(host_t* h, int status, std::string error) {
    h->done = true;
    h->running = false;
    h->status = status;
    h->error = std::move(error);
    if (h->error.empty()) return h->link.fd.reset();  // ssh is reaped with the others at the end
    std::string words = last_words(&h->link);         // ssh's own account is better than ours
    if (words != "connection closed") h->error = words;
}

void start(host_t* h, std::string_view request) {
    std::string why;
    h->in.clear();
    h->job_id.clear();
    h->heard = false;
    if (!open_link(h->name, &h->link, &why)) return finish(h, CTL_UNREACHABLE, why);
    h->running = true;
    if (vc_send(h->link.fd.get(), request) != 0) finish(h, CTL_UNREACHABLE, "connection lost");
}

// Reads what has come; hands over whole frames until the one that ends the request.
void receive(host_t* h, size_t idx, fleet_frame_fn on_frame, void* user) {
    char buf[65536];
    ssize_t n = read(h->link.fd.get(), buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) return finish(h, CTL_UNREACHABLE, "connection lost");
    h->in.append(buf, static_cast<size_t>(n));
    while (h->in.size() >= FRAME_HEADER_BYTES) {
        uint32_t len = frame_get_len(reinterpret_cast<const unsigned char*>(h->in.data()));
        if (len == 0 || len > REPLY_MAX_BYTES)
            return finish(h, CTL_FAIL, "a frame of " + std::to_string(len) + " bytes");
        if (h->in.size() < FRAME_HEADER_BYTES + len) return;
        std::string frame = h->in.substr(FRAME_HEADER_BYTES, len);
        h->in.erase(0, FRAME_HEADER_BYTES + len);
        if (h->job_id.empty()) vc_json_str(frame, "job_id", &h->job_id);
        h->heard = true;
        on_frame(user, idx, frame);
        if (ctl_frame_outcome(frame) != 0) return finish(h, ctl_frame_status(frame), "");
    }
}

// _cancel on a second link per host whose job is known (all sent, then all replies read);
// a host without a job id yet is left by closing its link, which ends its stream.
void cancel_all(const ctl_ctx& ctx, std::vector<host_t>* hosts) {
    std::vector<link_t> links(hosts->size());
    for (size_t i = 0; i < hosts->size(); i++) {
        host_t& h = (*hosts)[i];
        if (!h.running) continue;
        std::string why;
        if (h.job_id.empty()) {
            finish(&h, CTL_INTERRUPTED, "");
            continue;
        }
        std::string args = "{\"job_id\":" + json_quoted(h.job_id) + "}";
        if (open_link(h.name, &links[i], &why))
            vc_send(links[i].fd.get(), vc_request("cancel", "_cancel", args, ctx.token));
    }
    for (link_t& l : links) {
        struct pollfd p = {l.fd.get(), POLLIN, 0};
        std::string reply;
        if (l.fd && poll(&p, 1, CANCEL_WAIT_MS) == 1) vc_recv(l.fd.get(), &reply);
        close_link(&l);
    }
}

// Sends the request to every host not yet failed, `parallel` at a time (all at once for a
// stream, which has no end to wait for), and hands each frame to `on_frame`.
void run_all(const ctl_ctx& ctx, std::vector<host_t>* hosts, std::string_view op, std::string_view args,
             fleet_frame_fn on_frame, void* user, bool stream) {
    const sigset_t waiting = ctl_catch_sigint();
    const std::string request = vc_request("1", op, args, ctx.token);
    size_t next = 0, limit = stream ? hosts->size() : static_cast<size_t>(ctx.parallel);
    for (host_t& h : *hosts) h.done = !h.error.empty();  // unreachable in an earlier round
    bool cancelled = false;
    uint64_t cancelled_at = 0;
    for (;;) {
        if (ctl_interrupted() && !cancelled) {
            cancelled = true;
            cancel_all(ctx, hosts);
            cancelled_at = now_ms();
        }
        size_t running = 0;
        for (const host_t& h : *hosts) running += h.running;
        for (; !cancelled && running < limit && next < hosts->size(); next++)
            if (!(*hosts)[next].done) start(&(*hosts)[next], request), running += (*hosts)[next].running;
        if (running == 0 && (cancelled || next == hosts->size())) break;
        std::vector<struct pollfd> p;
        std::vector<size_t> idx;
        for (size_t i = 0; i < hosts->size(); i++)
            if ((*hosts)[i].running) p.push_back({(*hosts)[i].link.fd.get(), POLLIN, 0}), idx.push_back(i);
        struct timespec wait = {1, 0};
        int r = ppoll(p.data(), p.size(), cancelled ? &wait : nullptr, &waiting);
        if (r < 0 && errno != EINTR) break;
        for (size_t k = 0; r > 0 && k < p.size(); k++)
            if (p[k].revents) receive(&(*hosts)[idx[k]], idx[k], on_frame, user);
        if (cancelled && now_ms() - cancelled_at > CANCEL_WAIT_MS)
            for (host_t& h : *hosts)
                if (h.running) finish(&h, CTL_INTERRUPTED, "");
    }
    for (host_t& h : *hosts) close_link(&h.link);
}

// One line per host that gave no reply; the summary; the exit status.
int conclude(const ctl_ctx& ctx, const std::vector<host_t>& hosts, bool json) {
    size_t answered = 0;
    for (const host_t& h : hosts) {
        answered += h.done && h.error.empty() && (h.status == CTL_OK || (ctl_interrupted() && h.heard));
        if (h.error.empty()) continue;
        if (json) {
            print_host_frame(h.name, "{\"ok\":false,\"code\":\"EUNREACH\",\"error\":" + json_quoted(h.error) + "}");
        } else {
            ctl_ctx at = ctx;
            at.word = h.name + ": " + ctx.word;
            ctl_say(at, h.error, ERR_EUNREACH);
        }
    }
    fprintf(stderr, "vornctl: %s: %zu of %zu host%s answered\n", term_clean(ctx.word).c_str(), answered, hosts.size(),
            hosts.size() == 1 ? "" : "s");
    if (ctl_interrupted()) return CTL_INTERRUPTED;
    return answered == hosts.size() ? CTL_OK : CTL_FAIL;
}

std::vector<host_t> hosts_of(const ctl_ctx& ctx) {
    std::vector<host_t> hosts(ctx.hosts.size());
    for (size_t i = 0; i < hosts.size(); i++) hosts[i].name = ctx.hosts[i];
    return hosts;
}

// ---- JSON lines ----

struct lines_t {
    const std::vector<host_t>* hosts;
};

void print_line(void* user, size_t host, std::string_view frame) {
    print_host_frame((*static_cast<lines_t*>(user)->hosts)[host].name, frame);
}

int run_lines(const ctl_ctx& ctx, std::string_view op, std::string_view args, bool stream) {
    std::vector<host_t> hosts = hosts_of(ctx);
    lines_t l = {&hosts};
    run_all(ctx, &hosts, op, args, print_line, &l, stream);
    return conclude(ctx, hosts, true);
}

// ---- one reply per host, then one table ----

struct replies_t {
    std::vector<std::string> frames;  // per host, the frame that ended its request
};

void keep_last(void* user, size_t host, std::string_view frame) {
    static_cast<replies_t*>(user)->frames[host] = std::string(frame);
}

// The replies of OP from every host; failures said on standard error per host.
replies_t gather(const ctl_ctx& ctx, std::vector<host_t>* hosts, std::string_view op, std::string_view args) {
    replies_t r;
    r.frames.resize(hosts->size());
    run_all(ctx, hosts, op, args, keep_last, &r, false);
    for (size_t i = 0; i < hosts->size(); i++) {
        vc_json_doc doc;
        if (!(*hosts)[i].error.empty() || !doc.parse(r.frames[i])) continue;
        ctl_ctx at = ctx;
        at.word = (*hosts)[i].name + ": " + ctx.word;
        view_report_error(at, doc.root());
    }
    return r;
}

using rows_t = std::vector<std::vector<std::string>>;

// Calls fn(host name, "result") for each host whose request succeeded, in host order.
template <typename F>
void for_each_result(const std::vector<host_t>& hosts, const replies_t& r, F fn) {
    for (size_t i = 0; i < hosts.size(); i++) {
        vc_json_doc doc;
        if (hosts[i].status == CTL_OK && doc.parse(r.frames[i])) fn(hosts[i].name, doc.root().get("result"));
    }
}

// A table of key/value lists, one row per host, the keys (in their first order) as columns.
void print_kv_table(const std::vector<std::pair<std::string, view_kv_t>>& per_host) {
    std::vector<std::string> keys;
    for (const auto& [host, kv] : per_host)
        for (const auto& [k, v] : kv)
            if (std::find(keys.begin(), keys.end(), k) == keys.end()) keys.push_back(k);
    std::vector<term_col_t> cols = {{"HOST"}};
    for (const std::string& k : keys) cols.push_back({k});
    rows_t rows;
    for (const auto& [host, kv] : per_host) {
        std::vector<std::string> row = {host};
        for (const std::string& k : keys) {
            auto it = std::find_if(kv.begin(), kv.end(), [&](const auto& e) { return e.first == k; });
            row.push_back(it == kv.end() ? "-" : it->second);
        }
        rows.push_back(std::move(row));
    }
    term_print(term_table(cols, rows, static_cast<size_t>(term_size().cols)));
}

int kv_view(const ctl_ctx& ctx, const char* op, const std::string& args, view_kv_t (*to_kv)(const vc_json&)) {
    std::vector<host_t> hosts = hosts_of(ctx);
    replies_t r = gather(ctx, &hosts, op, args);
    std::vector<std::pair<std::string, view_kv_t>> per_host;
    for_each_result(hosts, r, [&](const std::string& host, const vc_json& result) {
        per_host.push_back({host, to_kv(result)});
    });
    if (!per_host.empty()) print_kv_table(per_host);
    return conclude(ctx, hosts, false);
}

// SMART's messages differ from disk to disk: the table keeps the figures and the verdict.
view_kv_t smart_figures(const vc_json& r) {
    view_kv_t kv = view_smart_kv(r);
    auto overall = std::find_if(kv.begin(), kv.end(), [](const auto& e) { return e.first == "overall"; });
    if (overall != kv.end()) kv.erase(overall + 1, kv.end());
    return kv;
}

int table_view(const ctl_ctx& ctx, std::vector<host_t>* hosts, const std::vector<term_col_t>& cols,
               const rows_t& rows) {
    if (!rows.empty()) term_print(term_table(cols, rows, static_cast<size_t>(term_size().cols)));
    return conclude(ctx, *hosts, false);
}

int ps_view(const ctl_ctx& ctx, int argc, char** argv) {
    std::string sort = "rss", name;
    long top = 5;
    for (int i = 0; i < argc; i++) {
        if (strcmp(argv[i], "--sort") == 0 && i + 1 < argc) sort = argv[++i];
        else if (strcmp(argv[i], "--top") == 0 && i + 1 < argc) top = atol(argv[++i]);
        else if (argv[i][0] != '-' && name.empty()) name = argv[i];
        else sort = "";
    }
    if ((sort != "rss" && sort != "pid" && sort != "name") || top < 1) {
        fprintf(stderr, "usage: vornctl -H HOSTS ps [--top N] [--sort rss|pid|name] [NAME]\n");
        return CTL_USAGE;
    }
    if (!ctl_view_wanted(ctx)) return run_lines(ctx, "procs_list", "{\"full\":true}", false);
    std::vector<host_t> hosts = hosts_of(ctx);
    replies_t r = gather(ctx, &hosts, "procs_list", "{\"full\":true}");
    rows_t rows;
    for_each_result(hosts, r, [&](const std::string& host, const vc_json& result) {
        struct proc_row {
            long long pid;
            double rss_kb;
            std::string comm, cmd;
        };
        std::vector<proc_row> mine;
        for (const vc_json& p : result.get("procs").elements()) {
            proc_row e = {static_cast<long long>(p.get("pid").num()), p.get("rss_kb").num(), p.get("comm").str(),
                          p.get("cmdline").str()};
            if (name.empty() || e.comm.find(name) != std::string::npos) mine.push_back(std::move(e));
        }
        std::stable_sort(mine.begin(), mine.end(), [&](const proc_row& a, const proc_row& b) {
            if (sort == "name" && a.comm != b.comm) return a.comm < b.comm;
            if (sort == "rss" && a.rss_kb != b.rss_kb) return a.rss_kb > b.rss_kb;
            return a.pid < b.pid;
        });
        if (mine.size() > static_cast<size_t>(top)) mine.resize(static_cast<size_t>(top));
        for (const proc_row& e : mine)
            rows.push_back({host, std::to_string(e.pid), fmt_bytes(e.rss_kb * 1024), e.comm,
                            e.cmd.empty() ? "[" + e.comm + "]" : e.cmd});
    });
    return table_view(ctx, &hosts, {{"HOST"}, {"PID", true}, {"RSS", true}, {"NAME"}, {"COMMAND", false, true}}, rows);
}

int net_view(const ctl_ctx& ctx, const std::string& ports_args) {
    std::vector<host_t> hosts = hosts_of(ctx);
    replies_t addrs = gather(ctx, &hosts, "net_addrs", "{}");
    replies_t ports = gather(ctx, &hosts, "net_ports", ports_args);
    rows_t arows, prows;
    bool listen = true;
    for (size_t i = 0; i < hosts.size(); i++) {
        vc_json_doc a, p;
        if (a.parse(addrs.frames[i]))
            for (const vc_json& e : a.root().get("result").get("addrs").elements())
                arows.push_back({hosts[i].name, e.get("iface").str(), e.get("addr").str()});
        if (!p.parse(ports.frames[i]) || !p.root().get("result").ok()) continue;
        listen = p.root().get("result").get("kind").str() == "listen";
        for (auto& row : view_port_rows(p.root().get("result"), listen)) {
            row.insert(row.begin(), hosts[i].name);
            prows.push_back(std::move(row));
        }
    }
    size_t cols = static_cast<size_t>(term_size().cols);
    if (!arows.empty()) term_print(term_table({{"HOST"}, {"INTERFACE"}, {"ADDRESS"}}, arows, cols));
    std::vector<term_col_t> pc = {{"HOST"}, {listen ? "LISTENING ON" : "LOCAL"}, {"PORT", true}};
    if (!listen) pc.push_back({"PEER"});
    pc.push_back({"PROCESS", false, true});
    pc.push_back({"PID", true});
    if (!prows.empty()) {
        fputc('\n', stdout);
        term_print(term_table(pc, prows, cols));
    }
    return conclude(ctx, hosts, false);
}

// One row per pool, "-" for a host without any.
int pools_view(const ctl_ctx& ctx) {
    std::vector<host_t> hosts = hosts_of(ctx);
    replies_t r = gather(ctx, &hosts, "zpool_list", "{}");
    rows_t rows;
    for_each_result(hosts, r, [&](const std::string& host, const vc_json& result) {
        std::vector<vc_json> pools = result.get("pools").elements();
        for (const vc_json& p : pools) rows.push_back({host, p.get("name").str()});
        if (pools.empty()) rows.push_back({host, "-"});
    });
    return table_view(ctx, &hosts, {{"HOST"}, {"POOL"}}, rows);
}

// ---- streams: one block per host, redrawn together ----

struct blocks_t {
    term_live live{true};
    const std::vector<host_t>* hosts;
    std::vector<std::string> last;  // per host, its last sample
    std::vector<int> samples;
    std::vector<bool> skip_first;
    std::vector<std::string> (*render)(const vc_json&, int, term_size_t);
};

void redraw_blocks(blocks_t* b) {
    term_size_t size = term_size();
    size_t n = b->hosts->size();
    term_size_t each = {std::max(size.rows / static_cast<int>(std::max<size_t>(n, 1)), 4), size.cols};
    std::vector<std::string> lines;
    for (size_t i = 0; i < n; i++) {
        const host_t& h = (*b->hosts)[i];
        if (!h.error.empty()) {
            lines.push_back(h.name + ": " + h.error);
            continue;
        }
        vc_json_doc doc;
        vc_json data;
        if (!b->last[i].empty() && doc.parse(b->last[i])) data = doc.root().get("data");
        std::vector<std::string> block = b->render(data, b->samples[i], each);
        if (!block.empty()) block[0] = h.name + ": " + block[0];
        lines.insert(lines.end(), block.begin(), block.end());
    }
    b->live.draw(lines);
}

void on_block_frame(void* user, size_t host, std::string_view frame) {
    auto* b = static_cast<blocks_t*>(user);
    vc_json_doc doc;
    if (!doc.parse(frame) || doc.root().get("event").str() != "chunk") return;
    auto g = b->live.lock();
    if (b->skip_first[host]) {
        b->skip_first[host] = false;
        return;
    }
    b->last[host] = std::string(frame);
    b->samples[host]++;
    redraw_blocks(b);
}

// Each host's first report holds the tool's averages since boot or import: it is not shown.
int blocks_view(const ctl_ctx& ctx, const char* op, const std::string& args,
                std::vector<std::string> (*render)(const vc_json&, int, term_size_t)) {
    std::vector<host_t> hosts = hosts_of(ctx);
    blocks_t b;
    b.hosts = &hosts;
    b.render = render;
    b.last.resize(hosts.size());
    b.samples.resize(hosts.size());
    b.skip_first.assign(hosts.size(), true);
    b.live.start_ticker([&b](bool) { redraw_blocks(&b); });
    run_all(ctx, &hosts, op, args, on_block_frame, &b, true);
    b.live.stop_ticker();
    {
        auto g = b.live.lock();
        redraw_blocks(&b);
        b.live.finish();
    }
    return conclude(ctx, hosts, false);
}

}  // namespace

bool ctl_host_ok(std::string_view host) {
    if (host.empty() || host[0] == '-') return false;
    for (unsigned char c : host)
        if (c <= ' ' || c == 0x7F) return false;
    return true;
}

int ctl_fleet_main(const ctl_ctx& ctx, int argc, char** argv) {
    const std::string& w = ctx.word;
    std::string args;
    if (w == "info" || w == "sysinfo" || w == "meminfo") {
        if (!ctl_args_from_cli(argc, argv, &args) || !ctl_args_ok(ctx, w, args)) return CTL_USAGE;
        if (!ctl_view_wanted(ctx)) return run_lines(ctx, w, args, false);
        return kv_view(ctx, w.c_str(), args,
                       w == "info"      ? view_info_kv
                       : w == "sysinfo" ? view_sysinfo_kv
                                        : view_remote_meminfo_kv);
    }
    if (w == "smart") {
        if (!view_first_arg(ctx, "smart_get", "device", argc, argv, &args)) return CTL_USAGE;
        if (!ctl_view_wanted(ctx)) return run_lines(ctx, "smart_get", args, false);
        return kv_view(ctx, "smart_get", args, smart_figures);
    }
    if (w == "ps") return ps_view(ctx, argc, argv);
    if (w == "net") {
        if (!ctl_args_from_words(argc, argv, &args) || !ctl_args_ok(ctx, "net_ports", args)) return CTL_USAGE;
        if (!ctl_view_wanted(ctx)) return run_lines(ctx, "net_ports", args, false);
        return net_view(ctx, args);
    }
    if (w == "iostat" || w == "zpool-iostat") {
        bool io = w == "iostat";
        if (argc > (io ? 0 : 1) || (argc == 1 && argv[0][0] == '-')) return view_usage(ctx);
        args = "{}";
        if (argc == 1 && !view_args("pool", argv[0], 0, nullptr, &args)) return CTL_USAGE;
        const char* op = io ? "iostat_stream" : "zpool_iostat_stream";
        if (!ctl_view_wanted(ctx)) return run_lines(ctx, op, args, true);
        return blocks_view(ctx, op, args, io ? view_render_iostat : view_render_zpool);
    }
    if (w == "zpool_list" && argc == 0 && ctl_view_wanted(ctx)) return pools_view(ctx);
    const ctl_op_t* op = ctl_op_find(w);
    if (!op || w == "pty" || w == "pty_attach") {
        ctl_say(ctx,
                "not for many hosts: views info, sysinfo, meminfo, smart, ps, net, iostat, zpool-iostat, and "
                "operations as JSON lines",
                ERR_EREQ);
        return CTL_USAGE;
    }
    if (!ctl_args_from_cli(argc, argv, &args) || !ctl_args_ok(ctx, w, args)) return CTL_USAGE;
    return run_lines(ctx, w, args, op->help && strstr(op->help, "(stream)"));
}
