// Host views, each made of one or two replies: `info`, `sysinfo`, `meminfo` as aligned
// "key  value" text; `net` (addresses and TCP ports as two tables); `smart DEVICE` (a disk's
// health in a few lines); `ps [--sort rss|pid|name] [NAME]`; `proc PID` (detail and open
// files side by side).

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "base/clock.h"
#include "vornctl_term.h"
#include "vornctl_views.h"
#include "wire/errors.h"

namespace {

using kv_t = std::vector<std::pair<std::string, std::string>>;

size_t screen_cols() { return static_cast<size_t>(term_size().cols); }

// Runs each request in turn: JSON lines when no view is wanted; otherwise the replies into
// `frames`/`docs`. The worst status of them.
int call_all(const ctl_ctx& ctx, const std::vector<std::pair<std::string, std::string>>& reqs,
             std::vector<std::string>* frames, std::vector<vc_json_doc>* docs) {
    int worst = CTL_OK;
    frames->resize(reqs.size());
    *docs = std::vector<vc_json_doc>(reqs.size());
    for (size_t i = 0; i < reqs.size(); i++) {
        int st = ctl_view_wanted(ctx) ? view_call(ctx, reqs[i].first, reqs[i].second, &(*frames)[i], &(*docs)[i])
                                      : ctl_run_op(ctx, reqs[i].first, reqs[i].second);
        worst = std::max(worst, st);
        if (st == CTL_UNREACHABLE) break;  // the next request would say so again
    }
    return worst;
}

std::vector<std::string> split_words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string s; in >> s;) w.push_back(s);
    return w;
}

std::string rest_from(const std::vector<std::string>& w, size_t from) {
    std::string s;
    for (size_t i = from; i < w.size(); i++) s += (i > from ? " " : "") + w[i];
    return s;
}

std::string kib(double kb) { return kb < 0 ? "-" : fmt_bytes(kb * 1024); }

// ---- info, sysinfo, meminfo ----

// A reply-only view of key=value words or --args, like the generic form.
int run_kv_view(const ctl_ctx& ctx, const char* op, int argc, char** argv, kv_t (*to_kv)(const vc_json&)) {
    std::string args, frame;
    if (!ctl_args_from_cli(argc, argv, &args) || !ctl_args_ok(ctx, op, args)) return CTL_USAGE;
    if (!ctl_view_wanted(ctx)) return ctl_run_op(ctx, op, args);
    vc_json_doc doc;
    int st = view_call(ctx, op, args, &frame, &doc);
    if (st == CTL_OK) term_print(term_kv(to_kv(doc.root().get("result")), screen_cols()));
    return st;
}

kv_t info_kv(const vc_json& r) {
    return {{"version", r.get("version").str()},
            {"system", r.get("sysname").str() + " " + r.get("release").str()},
            {"machine", r.get("machine").str()},
            {"euid", r.get("euid").str()},
            {"pid", r.get("pid").str()}};
}

kv_t sysinfo_kv(const vc_json& r) {
    std::string model;
    int cpus = 0;
    std::istringstream in(r.get("cpuinfo").str());
    for (std::string line; std::getline(in, line);) {
        size_t colon = line.find(':');
        std::string key = line.substr(0, std::min(colon, line.find_first_of(" \t")));
        if (key == "processor") cpus++;
        size_t value = colon == std::string::npos ? colon : line.find_first_not_of(" \t", colon + 1);
        if (model.empty() && line.starts_with("model name") && value != std::string::npos) model = line.substr(value);
    }
    return {{"host", r.get("nodename").str()},    {"system", r.get("sysname").str() + " " + r.get("release").str()},
            {"kernel", r.get("version").str()},   {"machine", r.get("machine").str()},
            {"cpu", model.empty() ? "-" : model}, {"cpus", std::to_string(cpus)}};
}

// A figure of /proc/meminfo in bytes, -1 when absent.
double meminfo_bytes(const std::string& text, const char* key) {
    size_t at = text.find("\n" + std::string(key) + ":");
    if (at == std::string::npos) return -1;
    return atof(text.c_str() + at + strlen(key) + 2) * 1024;
}

// The daemon's reply has the totals; the split of the memory in use (buffers, caches, swap in
// use) comes from /proc/meminfo of the daemon's host, read by the caller when that is this
// host (its socket is local); "-" when it is not. `text` starts with a line feed.
kv_t meminfo_kv_of(const vc_json& r, const std::string& text) {
    double total = r.get("mem_total").num(), avail = r.get("mem_available").num(), free = r.get("mem_free").num();
    double swap = r.get("swap_total").num();
    double buffers = meminfo_bytes(text, "Buffers"), cached = meminfo_bytes(text, "Cached");
    double reclaimable = std::max(meminfo_bytes(text, "SReclaimable"), 0.0),
           swap_free = meminfo_bytes(text, "SwapFree");
    std::string share = total > 0 ? "  (" + fmt_fixed(avail * 100 / total, 0) + "%)" : "";
    kv_t kv = {{"total", fmt_bytes(total)}};
    double cache = buffers + cached + reclaimable;
    bool split = buffers >= 0 && cached >= 0;
    kv.push_back({"used", split ? fmt_bytes(std::max(total - free - cache, 0.0)) : "-"});
    kv.push_back({"buff/cache", split ? fmt_bytes(cache) : "-"});
    kv.push_back({"free", fmt_bytes(free)});
    kv.push_back({"available", fmt_bytes(avail) + share});
    kv.push_back({"swap", fmt_bytes(swap) + (swap_free >= 0 ? "  (used " + fmt_bytes(swap - swap_free) + ")" : "")});
    return kv;
}

kv_t meminfo_kv(const vc_json& r) {
    std::string text = "\n";
    FILE* f = fopen("/proc/meminfo", "re");
    if (f) {
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
        fclose(f);
    }
    return meminfo_kv_of(r, text);
}

// ---- net ----

// The process holding a port: ss writes users:(("name",pid=N,fd=M),...), netstat PID/name.
// A second holder shows as "+N" after the first one's name.
std::pair<std::string, std::string> port_owner(const std::string& text, bool netstat) {
    if (netstat) {
        size_t slash = text.find('/');
        if (slash == std::string::npos) return {text == "-" ? "" : text, ""};
        return {text.substr(slash + 1), text.substr(0, slash)};
    }
    size_t q = text.find("((\"");
    if (q == std::string::npos) return {text, ""};
    size_t end = text.find('"', q + 3);
    size_t pid = text.find("pid=", q);
    std::string name = text.substr(q + 3, end == std::string::npos ? std::string::npos : end - q - 3);
    std::string id = pid == std::string::npos
                         ? ""
                         : text.substr(pid + 4, text.find_first_not_of("0123456789", pid + 4) - pid - 4);
    size_t more = 0;
    for (size_t at = text.find("),(", q); at != std::string::npos; at = text.find("),(", at + 3)) more++;
    return {more ? name + " +" + std::to_string(more) : name, id};
}

std::vector<std::vector<std::string>> port_rows(const vc_json& result, bool listen) {
    bool netstat = result.get("tool").str() == "netstat";
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(result.get("text").str());
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> w = split_words(line);
        // ss: State Recv-Q Send-Q Local Peer [Process]; netstat: Proto Recv-Q Send-Q Local Foreign State [PID/Program]
        if (w.size() < 5 || (netstat && !w[0].starts_with("tcp"))) continue;
        const std::string& local = w[3];
        size_t colon = local.rfind(':');
        std::string addr = colon == std::string::npos ? local : local.substr(0, colon);
        std::string port = colon == std::string::npos ? "" : local.substr(colon + 1);
        std::vector<std::string> row = {addr, port};
        if (!listen) row.push_back(w[4]);
        auto [name, pid] = port_owner(rest_from(w, netstat ? 6 : 5), netstat);
        row.push_back(name);
        row.push_back(pid);
        rows.push_back(std::move(row));
    }
    auto port_of = [](const std::vector<std::string>& r) { return atol(r[1].c_str()); };
    std::stable_sort(rows.begin(), rows.end(), [&](const auto& a, const auto& b) { return port_of(a) < port_of(b); });
    return rows;
}

// ---- smart ----

// The raw value of an ATA attribute by its id, or "-".
std::string ata_attribute(const vc_json& smart, int id) {
    for (const vc_json& a : smart.get("ata_smart_attributes").get("table").elements())
        if (a.get("id").num(-1) == id) return a.get("raw").get("value").str("-");
    return "-";
}

kv_t smart_kv(const vc_json& r) {
    vc_json nvme = r.get("nvme_smart_health_information_log");
    vc_json status = r.get("smart_status").get("passed");
    kv_t kv = {{"device", r.get("device").get("name").str("-")},
               {"model", r.get("model_name").str("-")},
               {"serial", r.get("serial_number").str("-")},
               {"temperature",
                r.get("temperature").get("current").ok() ? r.get("temperature").get("current").str() + " C" : "-"},
               {"power-on hours", r.get("power_on_time").get("hours").str("-")},
               {"reallocated sectors", ata_attribute(r, 5)},
               {"pending sectors", ata_attribute(r, 197)}};
    if (nvme.ok()) {
        kv.push_back({"media errors", nvme.get("media_errors").str("-")});
        kv.push_back({"spare available", nvme.get("available_spare").str("-") + "%"});
    }
    if (!status.ok() && !r.get("model_name").ok()) kv.clear();  // the disk was not read: only the messages
    kv.push_back({"overall", !status.ok() ? "unknown" : status.is_true() ? "PASSED" : "FAILED"});
    for (const vc_json& m : r.get("smartctl").get("messages").elements())
        kv.push_back({m.get("severity").str("note"), m.get("string").str()});
    return kv;
}

// ---- ps ----

constexpr int CPU_SAMPLE_MS = 500;
constexpr size_t PS_NAME_MAX_COLS = 16;

struct proc_t {
    long long pid;
    std::string comm, cmdline;
    double rss_kb;
    double cpu = -1;  // percent of one CPU; -1 unknown
    std::string state = "-", user = "-";
};

// What the list lacks, read from this host's /proc (the daemon's host: its socket is local):
// state, user and CPU ticks so far. False when the process is gone or the pid now belongs to
// a process of another name.
bool proc_local(proc_t* p, long long* ticks) {
    std::string dir = "/proc/" + std::to_string(p->pid);
    FILE* f = fopen((dir + "/stat").c_str(), "re");
    if (!f) return false;
    char buf[1024];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    std::string text(buf, n);
    size_t open = text.find('('), close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || text.substr(open + 1, close - open - 1) != p->comm)
        return false;
    std::istringstream rest(text.substr(close + 2));
    std::vector<std::string> f3;  // from the state (field 3) on
    for (std::string w; f3.size() < 13 && rest >> w;) f3.push_back(w);
    if (f3.size() < 13) return false;
    p->state = f3[0];
    *ticks = atoll(f3[11].c_str()) + atoll(f3[12].c_str());  // utime, stime
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) {
        struct passwd pw, *found = nullptr;
        char pwbuf[1024];
        getpwuid_r(st.st_uid, &pw, pwbuf, sizeof pwbuf, &found);
        p->user = found ? found->pw_name : std::to_string(st.st_uid);
    }
    return true;
}

// %CPU over CPU_SAMPLE_MS: two samples of each listed process's ticks.
void sample_cpu(std::vector<proc_t>* ps) {
    std::vector<long long> before(ps->size(), -1);
    for (size_t i = 0; i < ps->size(); i++)
        if (!proc_local(&(*ps)[i], &before[i])) before[i] = -1;
    uint64_t start = now_ms();
    usleep(CPU_SAMPLE_MS * 1000);
    double seconds = static_cast<double>(now_ms() - start) / 1000, hz = static_cast<double>(sysconf(_SC_CLK_TCK));
    for (size_t i = 0; i < ps->size(); i++) {
        long long after = 0;
        if (before[i] >= 0 && proc_local(&(*ps)[i], &after))
            (*ps)[i].cpu = static_cast<double>(after - before[i]) / hz / seconds * 100;
    }
}

// The processes whose name holds `name` (all when empty), sorted.
std::vector<proc_t> procs_of(const vc_json& result, const std::string& name, const std::string& sort) {
    std::vector<proc_t> ps;
    for (const vc_json& p : result.get("procs").elements()) {
        proc_t e = {static_cast<long long>(p.get("pid").num()), p.get("comm").str(), p.get("cmdline").str(),
                    p.get("rss_kb").num()};
        if (name.empty() || e.comm.find(name) != std::string::npos) ps.push_back(std::move(e));
    }
    sample_cpu(&ps);
    auto by = [&](const proc_t& a, const proc_t& b) {
        if (sort == "pid") return a.pid < b.pid;
        if (sort == "name" && a.comm != b.comm) return a.comm < b.comm;
        if (sort == "cpu" && a.cpu != b.cpu) return a.cpu > b.cpu;
        if ((sort == "cpu" || sort == "rss") && a.rss_kb != b.rss_kb) return a.rss_kb > b.rss_kb;
        return a.pid < b.pid;
    };
    std::sort(ps.begin(), ps.end(), by);
    return ps;
}

// ---- proc ----

std::vector<std::string> detail_lines(const vc_json& d) {
    auto figure = [&](const char* k) {
        std::string v = d.get(k).str("-");
        return v == "-1" ? std::string("-") : v;
    };
    auto bytes = [&](const char* k) { return d.get(k).num(-1) < 0 ? std::string("-") : fmt_bytes(d.get(k).num()); };
    return term_kv({{"state", d.get("state").str()},
                    {"ppid", figure("ppid")},
                    {"uid", figure("uid")},
                    {"threads", figure("threads")},
                    {"rss", kib(d.get("vmrss_kb").num(-1))},
                    {"vsize", kib(d.get("vmsize_kb").num(-1))},
                    {"ctx switches", figure("vol_ctxt") + " / " + figure("nonvol_ctxt")},
                    {"read", bytes("read_bytes")},
                    {"written", bytes("write_bytes")},
                    {"open fds", figure("fd_count")},
                    {"wchan", d.get("wchan").str()}},
                   0);
}

std::vector<std::string> file_lines(const vc_json& files) {
    std::vector<std::vector<std::string>> rows;
    for (const vc_json& f : files.get("files").elements())
        rows.push_back({f.get("fd").str(), f.get("type").str(), f.get("target").str()});
    std::stable_sort(rows.begin(), rows.end(),
                     [](const auto& a, const auto& b) { return atol(a[0].c_str()) < atol(b[0].c_str()); });
    return term_table({{"FD", true}, {"TYPE"}, {"TARGET", false, true}}, rows, 0);
}

// Two blocks next to each other when the screen is wide enough, else one after the other.
void print_side_by_side(const std::vector<std::string>& left, const std::vector<std::string>& right, size_t cols) {
    size_t lw = 0;
    for (const std::string& l : left) lw = std::max(lw, term_width(l));
    if (right.empty() || lw + 4 + 24 > cols) {
        term_print(left);
        if (!right.empty()) fputc('\n', stdout);
        term_print(right);
        return;
    }
    std::vector<std::string> lines;
    for (size_t i = 0; i < std::max(left.size(), right.size()); i++) {
        std::string l = term_pad(i < left.size() ? left[i] : "", lw) + "    " + (i < right.size() ? right[i] : "");
        l.erase(l.find_last_not_of(' ') + 1);
        lines.push_back(term_cut(l, cols));
    }
    term_print(lines);
}

}  // namespace

int ctl_cmd_info(const ctl_ctx& ctx, int argc, char** argv) { return run_kv_view(ctx, "info", argc, argv, info_kv); }

int ctl_cmd_sysinfo(const ctl_ctx& ctx, int argc, char** argv) {
    return run_kv_view(ctx, "sysinfo", argc, argv, sysinfo_kv);
}

int ctl_cmd_meminfo(const ctl_ctx& ctx, int argc, char** argv) {
    return run_kv_view(ctx, "meminfo", argc, argv, meminfo_kv);
}

int ctl_cmd_smart(const ctl_ctx& ctx, int argc, char** argv) {
    std::string args, frame;
    if (!view_first_arg(ctx, "smart_get", "device", argc, argv, &args)) return CTL_USAGE;
    if (!ctl_view_wanted(ctx)) return ctl_run_op(ctx, "smart_get", args);
    vc_json_doc doc;
    int st = view_call(ctx, "smart_get", args, &frame, &doc);
    if (st != CTL_OK) return st;
    vc_json r = doc.root().get("result");
    if (r.get("text").ok()) {  // smartctl printed no JSON: its own words
        std::string text = term_clean(r.get("text").str());
        fputs(text.c_str(), stdout);
        return st;
    }
    std::vector<std::string> lines = term_kv(smart_kv(r), screen_cols());
    for (std::string& l : lines)
        if (l.starts_with("overall ") && l.ends_with("FAILED") && term_colour())
            l.replace(l.size() - 6, 6, "\033[1;31mFAILED\033[0m");
    term_print(lines);
    // smartctl's exit status: bit 0 a command line it could not parse, bit 1 a device it
    // could not open; either way nothing was read.
    long long exit_status = static_cast<long long>(r.get("smartctl").get("exit_status").num(0));
    if ((exit_status & 3) == 0) return st;
    bool wants_type = false;
    for (const vc_json& m : r.get("smartctl").get("messages").elements())
        wants_type |= m.get("string").str().find("-d ") != std::string::npos;
    ctl_say(ctx,
            std::string(argv[0]) + " was not read (smartctl exit status " + std::to_string(exit_status) + ")" +
                (wants_type ? "; name its type: type=sat, type=scsi, type=nvme, ..." : ""),
            ERR_EIO);
    return CTL_FAIL;
}

int ctl_cmd_net(const ctl_ctx& ctx, int argc, char** argv) {
    std::string ports_args;
    if (!ctl_args_from_words(argc, argv, &ports_args) || !ctl_args_ok(ctx, "net_ports", ports_args)) return CTL_USAGE;
    std::vector<std::string> frames;
    std::vector<vc_json_doc> docs;
    int st = call_all(ctx, {{"net_addrs", "{}"}, {"net_ports", ports_args}}, &frames, &docs);
    if (!ctl_view_wanted(ctx)) return st;
    size_t cols = screen_cols();
    std::vector<std::vector<std::string>> addrs;
    for (const vc_json& a : docs[0].root().get("result").get("addrs").elements())
        addrs.push_back({a.get("iface").str(), a.get("addr").str()});
    if (docs[0].root().get("result").ok()) term_print(term_table({{"INTERFACE"}, {"ADDRESS"}}, addrs, cols));
    vc_json ports = docs[1].root().get("result");
    if (!ports.ok()) return st;
    bool listen = ports.get("kind").str() == "listen";
    std::vector<term_col_t> pc = {{listen ? "LISTENING ON" : "LOCAL"}, {"PORT", true}};
    if (!listen) pc.push_back({"PEER"});
    pc.push_back({"PROCESS", false, true});
    pc.push_back({"PID", true});
    fputc('\n', stdout);
    term_print(term_table(pc, port_rows(ports, listen), cols));
    return st;
}

int ctl_cmd_ps(const ctl_ctx& ctx, int argc, char** argv) {
    std::string sort = "cpu", name, frame;
    bool all = false;
    for (int i = 0; i < argc; i++) {
        if (strcmp(argv[i], "--sort") == 0 && i + 1 < argc) sort = argv[++i];
        else if (strcmp(argv[i], "--all") == 0) all = true;
        else if (argv[i][0] != '-' && name.empty()) name = argv[i];
        else sort = "";
    }
    if (sort != "cpu" && sort != "rss" && sort != "pid" && sort != "name") return view_usage(ctx);
    if (!ctl_view_wanted(ctx)) return ctl_run_op(ctx, "procs_list", "{\"full\":true}");
    vc_json_doc doc;
    int st = view_call(ctx, "procs_list", "{\"full\":true}", &frame, &doc);
    if (st != CTL_OK) return st;
    std::vector<std::vector<std::string>> rows;
    for (const proc_t& p : procs_of(doc.root().get("result"), name, sort))
        rows.push_back({std::to_string(p.pid), p.user, p.state, p.cpu < 0 ? "-" : fmt_fixed(p.cpu, 1), kib(p.rss_kb),
                        term_cut(term_clean(p.comm), PS_NAME_MAX_COLS),
                        p.cmdline.empty() ? "[" + p.comm + "]" : p.cmdline});
    // The header stays on screen: rows beyond its height are summed up in one line.
    size_t room = static_cast<size_t>(std::max(term_size().rows - 3, 1)), hidden = 0;
    if (!all && term_is_tty() && rows.size() > room) {
        hidden = rows.size() - room;
        rows.resize(room);
    }
    term_print(
        term_table({{"PID", true}, {"USER"}, {"S"}, {"%CPU", true}, {"RSS", true}, {"NAME"}, {"COMMAND", false, true}},
                   rows, screen_cols()));
    if (hidden) printf("... %zu more (--all shows every row)\n", hidden);
    return st;
}

int ctl_cmd_proc(const ctl_ctx& ctx, int argc, char** argv) {
    if (argc != 1 || strspn(argv[0], "0123456789") != strlen(argv[0]) || !*argv[0] || strlen(argv[0]) > 10) {
        fprintf(stderr, "usage: vornctl proc PID\n");
        return CTL_USAGE;
    }
    std::string args = std::string("{\"pid\":") + argv[0] + "}";
    std::vector<std::string> frames;
    std::vector<vc_json_doc> docs;
    int st = call_all(ctx, {{"proc_detail", args}, {"proc_openfiles", args}}, &frames, &docs);
    if (!ctl_view_wanted(ctx)) return st;
    vc_json detail = docs[0].root().get("result"), files = docs[1].root().get("result");
    if (!detail.ok() && !files.ok()) return st;
    size_t cols = screen_cols();
    std::string cmd = detail.get("cmdline").str();
    printf("%s\n",
           term_cut(term_clean("process " + std::string(argv[0]) + (cmd.empty() ? "" : ": " + cmd)), cols).c_str());
    print_side_by_side(detail.ok() ? detail_lines(detail) : std::vector<std::string>{},
                       files.ok() ? file_lines(files) : std::vector<std::string>{}, cols);
    return st;
}

view_kv_t view_info_kv(const vc_json& result) { return info_kv(result); }
view_kv_t view_sysinfo_kv(const vc_json& result) { return sysinfo_kv(result); }
view_kv_t view_remote_meminfo_kv(const vc_json& result) { return meminfo_kv_of(result, "\n"); }
view_kv_t view_smart_kv(const vc_json& result) { return smart_kv(result); }
std::vector<std::vector<std::string>> view_port_rows(const vc_json& result, bool listen) {
    return port_rows(result, listen);
}
