#include "vornctl_args.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "client.h"

namespace {

using k = ctl_kind;

constexpr long long PID_MAX = 4194304;  // the kernel's own ceiling
constexpr long long BIG = 1LL << 40;

const ctl_arg_t PID = {"pid", k::number, "", "process id (above 1)", 2, PID_MAX};
const ctl_arg_t JOB = {"job_id", k::text, "", "the session's job id (vornctl sessions)"};
const ctl_arg_t ROWS = {"rows", k::number, "24", "terminal rows", 1, 1000};
const ctl_arg_t COLS = {"cols", k::number, "80", "terminal columns", 1, 1000};
const ctl_arg_t CMD = {"cmd", k::text, "", "program to run (on the exec allow-list)"};
const ctl_arg_t ARGV = {"argv", k::words, "[]", "its arguments, a JSON array: argv='[\"-l\",\"/tmp\"]'"};
const ctl_arg_t CONFIRM = {"confirm", k::flag, "false", "must be true: the run takes the machine's memory"};
const ctl_arg_t PASSES = {"passes", k::number, "1", "passes of the test", 1, 16};
const ctl_arg_t EXTENDED = {"extended", k::flag, "false", "the extended tests too"};
const ctl_arg_t IFACE = {"iface", k::text, "", "network interface"};
const ctl_arg_t SNAPLEN = {"snaplen", k::number, "2000", "bytes kept of each packet", 96, 65535};
const ctl_arg_t BPF = {"bpf", k::text, "", "capture filter"};
const ctl_arg_t PORT = {"port", k::number, "5201", "TCP/UDP port", 1, 65535};

std::vector<ctl_arg_t> list_args() {
    std::vector<ctl_arg_t> a = {
        {"level", k::choice, "", "a security level in place of the lists", 0, 0, "dev|safe|locked"}};
    for (const char* l : {"ops", "exec", "pty", "read_file", "write_file", "fio_targets", "procs_kill"})
        a.push_back({l, k::list, "", "ALL, NONE or a comma-separated list"});
    return a;
}

const std::vector<ctl_op_t> OPS = {
    {"ping", "answers pong", {}},
    {"info", "the daemon's version, system, pid and user", {}},
    {"meminfo", "memory and swap figures", {}},
    {"services_check", "whether the file-service daemons run", {}},
    {"iostat_stream", "per-disk I/O statistics every second (stream)", {}},
    {"memprowl_run",
     "memory test tool run (stream)",
     {CONFIRM,
      PASSES,
      {"profile", k::text, "", "test profile"},
      {"mode", k::text, "", "test mode"},
      {"mem", k::text, "", "memory to test, such as 1G"},
      EXTENDED}},
    {"memprowl_kill", "stops the memory test tool", {}},
    {"mem_suspend_run",
     "memory test with the services suspended (detached)",
     {CONFIRM,
      PASSES,
      {"arc_floor_mb", k::number, "0", "ARC floor in MiB", 0, BIG},
      {"mode", k::text, "", "test mode"},
      EXTENDED}},
    {"mem_suspend_cancel", "cancels the suspended memory test", {{"run_id", k::text, "", "the run's id"}}},
    {"fio_run",
     "disk benchmark in a target directory (stream)",
     {{"target_dir", k::text, "", "directory on the fio_targets allow-list"},
      {"test", k::choice, "seq1m", "preset", 0, 0, "seq1m|rnd4k|full|custom"},
      {"size", k::size, "2G", "file size per test"},
      {"direct", k::number, "0", "1: O_DIRECT", 0, 1},
      {"runtime", k::number, "0", "seconds per test (0: until the size is done)", 0, 86400},
      {"rw", k::choice, "read", "custom test's pattern", 0, 0, "read|write|randread|randwrite|rw|randrw"},
      {"bs", k::size, "1M", "custom test's block size"},
      {"iodepth", k::number, "8 (32 random)", "custom test's queue depth", 1, 1024}}},
    {"iperf3_client",
     "network throughput test against a server (stream)",
     {{"host", k::text, "", "server host"},
      PORT,
      {"time", k::number, "10", "seconds", 1, 86400},
      {"parallel", k::number, "1", "parallel streams", 1, 128},
      {"udp", k::flag, "false", "UDP instead of TCP"},
      {"reverse", k::flag, "false", "the server sends"},
      {"bandwidth", k::size, "", "target rate in bits per second per stream (UDP: 1M when unset)"},
      {"json", k::flag, "true", "iperf3's JSON report"}}},
    {"iperf3_server",
     "network throughput server (stream)",
     {PORT, {"one_off", k::flag, "false", "one test, then end"}, {"json", k::flag, "false", "JSON reports"}}},
    {"iperf3_kill", "stops the daemon's iperf3 servers and clients", {}},
    {"zpool_iostat_stream", "ZFS pool I/O statistics every second (stream)", {{"pool", k::text, "", "one pool"}}},
    {"zpool_list", "ZFS pools", {}},
    {"procs_list", "processes", {{"full", k::flag, "true", "with command lines"}}},
    {"procs_kill",
     "signals the processes of a name",
     {{"name", k::text, "", "process name (on the procs_kill allow-list)"},
      {"signal", k::number, "15", "signal number", 1, 64}}},
    {"read_file",
     "a file's contents",
     {{"path", k::text, "", "absolute path (on the read_file allow-list)"},
      {"max_bytes", k::number, "1048576", "bytes at most", 1, 16777216}}},
    {"read_dir", "a directory's entries", {{"path", k::text, "", "absolute path"}}},
    {"dmesg", "the kernel log", {{"max_bytes", k::number, "262144", "bytes at most", 1, 4194304}}},
    {"smart_get",
     "a disk's SMART data",
     {{"device", k::text, "", "block device such as /dev/sda"},
      {"type", k::text, "", "device type for smartctl -d (sat, nvme, scsi, ...)"},
      {"tool", k::choice, "", "seachest: the other SMART tool", 0, 0, "seachest"},
      {"log", k::choice, "", "one log only", 0, 0, "farm|devstat"}}},
    {"smart_scan", "the disks SMART can read", {{"type", k::text, "", "device type for smartctl -d"}}},
    {"dmidecode", "DMI tables", {{"type", k::text, "", "DMI type or keyword"}}},
    {"sysinfo", "host name, kernel and CPUs", {}},
    {"dump_logs", "a log bundle (stream)", {{"output_dir", k::text, "", "where the bundle goes"}}},
    {"exec", "runs a program (stream)", {CMD, ARGV, {"merge_stderr", k::flag, "true", "standard error as output"}}},
    {"pty",
     "a shell on a pseudo-terminal (stream)",
     {{"cmd", k::text, "", "shell (on the pty allow-list)"},
      ARGV,
      {"shell_env", k::text, "", "SHELL for the session"},
      ROWS,
      COLS}},
    {"pty_attach", "the output of a session (stream)", {JOB, {"since", k::number, "0", "output offset", 0, BIG}}},
    {"pty_list", "the shell sessions", {}},
    {"pty_input", "keys for a session", {JOB, {"b64", k::text, "", "the keys, base64"}}},
    {"pty_resize", "a session's window size", {JOB, ROWS, COLS}},
    {"pty_close", "ends a session", {JOB}},
    {"net_addrs", "network addresses", {}},
    {"net_ports",
     "TCP ports",
     {{"kind", k::choice, "listen", "listening or connected", 0, 0, "listen|established"},
      {"proc", k::flag, "false", "with the processes"}}},
    {"bin_check", "which tools are installed", {{"names", k::words, "", "tool names, a JSON array"}}},
    {"mounts", "mounted file systems", {}},
    {"write_file",
     "writes a file",
     {{"path", k::text, "", "absolute path (on the write_file allow-list)"},
      {"data", k::text, "", "the contents"},
      {"mode", k::number, "420 (0644)", "permissions, decimal", 0, 511},
      {"append", k::flag, "false", "append"}}},
    {"exec_detached",
     "starts a program in the background",
     {CMD, ARGV, {"log_path", k::text, "", "its output file"}, {"cwd", k::text, "", "its directory"}}},
    {"config_get", "the live configuration", {}},
    {"config_apply", "changes and saves the configuration", list_args()},
    {"proc_signal", "signals a process", {PID, {"signal", k::text, "", "signal name such as TERM"}}},
    {"proc_renice", "a process's nice value", {PID, {"nice", k::number, "0", "nice value", -20, 19}}},
    {"cpufreq_set",
     "CPU frequency governor and turbo",
     {{"governor", k::text, "", "governor name"}, {"turbo", k::number, "-1", "1 on, 0 off, -1 unchanged", -1, 1}}},
    {"drop_caches", "drops the page cache", {{"level", k::number, "3", "1 pages, 2 inodes, 3 both", 1, 3}}},
    {"proc_openfiles", "a process's open files", {PID}},
    {"proc_detail", "a process's state and figures", {PID}},
    {"cpu_limit", "caps a process's CPU", {PID, {"percent", k::number, "0", "percent of one CPU (0: no cap)", 0, BIG}}},
    {"log_tail",
     "follows a log file (stream)",
     {{"path", k::text, "", "log file"}, {"lines", k::number, "200", "lines before following", 0, 2000}}},
    {"strace_attach",
     "traces a process's system calls (stream)",
     {PID, {"filter", k::text, "", "system calls to trace"}}},
    {"pcap_capture",
     "captures packets into one reply",
     {IFACE,
      SNAPLEN,
      BPF,
      {"count", k::number, "300", "packets at most", 1, 3000},
      {"seconds", k::number, "10", "seconds at most", 1, 60}}},
    {"pcap_stream", "captures packets (stream)", {IFACE, SNAPLEN, BPF, {"out", k::text, "", "capture file"}}},
};

const std::vector<ctl_view_t> VIEWS = {
    {"iostat", "iostat_stream", "iostat", "disk I/O statistics, busiest disk first, redrawn each second"},
    {"zpool-iostat", "zpool_iostat_stream", "zpool-iostat [POOL]", "ZFS pool I/O statistics as the pool's tree"},
    {"fio", "fio_run", "fio TARGET_DIR [key=value ...]", "disk benchmark with live figures and a summary"},
    {"iperf3", "iperf3_client", "iperf3 HOST [key=value ...]",
     "network throughput test, iperf3's lines as they come (json=true: a summary at the end)"},
    {"ps", "procs_list", "ps [--sort cpu|rss|pid|name] [--all] [NAME]", "processes, busiest first"},
    {"smart", "smart_get", "smart DEVICE [type=TYPE]", "a disk's health in a few lines"},
    {"shell", "pty", "shell [SHELL [ARG...]]", "a shell session; Ctrl-] then d detaches"},
    {"attach", "pty_attach", "attach JOB_ID [--since N]", "back into a session"},
    {"sessions", "pty_list", "sessions", "the shell sessions"},
    {"proc", "proc_detail", "proc PID", "a process's detail and open files"},
    {"info", "info", "info", "the daemon's version and system"},
    {"sysinfo", "sysinfo", "sysinfo", "host, kernel and CPU"},
    {"meminfo", "meminfo", "meminfo", "memory as used, buff/cache, available and swap"},
    {"net", "net_ports", "net [kind=established] [proc=true]", "addresses and TCP ports"},
    {"cat", "read_file", "cat PATH [max_bytes=N]", "a file's contents"},
    {"ls", "read_dir", "ls PATH", "a directory, one entry per line"},
    {"tail", "log_tail", "tail PATH [lines=N]", "a log's lines as they come"},
    {"exec", "exec", "exec cmd=PROG [argv='[..]'] [merge_stderr=false]", "runs a program (--text: its own output)"},
    {"config", "config_get", "config", "the live configuration"},
    {"config-apply", "config_apply", "config-apply level=dev|safe|locked | LIST=VALUE ...",
     "changes the configuration"},
    {"cancel", nullptr, "cancel JOB_ID", "stops a job"},
    {"bridge", nullptr, "bridge", "frames between standard input/output and the socket (ssh HOST vornctl bridge)"},
    {"help", nullptr, "help [WORD]", "this list, or one command's arguments"},
};

bool is_integer(std::string_view v, long long* out) {
    if (v.empty() || v.size() > 19) return false;
    size_t i = v[0] == '-' ? 1 : 0;
    if (i == v.size() || v.find_first_not_of("0123456789", i) != std::string_view::npos) return false;
    *out = strtoll(std::string(v).c_str(), nullptr, 10);
    return true;
}

bool is_size(std::string_view v) {
    size_t digits = v.find_first_not_of("0123456789");
    if (digits == 0 || v.find_first_not_of('0') == digits) return false;  // no digits, or only zeros
    return digits == std::string_view::npos || (digits + 1 == v.size() && strchr("KMGkmg", v[digits]));
}

bool in_choices(std::string_view v, const char* choices) {
    for (std::string_view c = choices; !c.empty();) {
        size_t bar = c.find('|');
        if (c.substr(0, bar) == v) return true;
        c = bar == std::string_view::npos ? std::string_view() : c.substr(bar + 1);
    }
    return false;
}

bool all_strings(const vc_json& v) {
    if (!v.is_array()) return false;
    for (const vc_json& e : v.elements())
        if (!e.is_string()) return false;
    return true;
}

// The accepted form of an argument, for a refusal.
std::string form_of(const ctl_arg_t& a) {
    switch (a.kind) {
    case k::number: return "an integer from " + std::to_string(a.lo) + " to " + std::to_string(a.hi);
    case k::flag: return "true or false";
    case k::size: return "digits with an optional K, M or G, above zero (such as 512M or 2G)";
    case k::words: return "a JSON array of strings, such as '[\"-l\"]'";
    case k::choice: return std::string("one of ") + a.choices;
    case k::list: return "ALL, NONE, a comma-separated list or a JSON array of strings";
    case k::text: break;
    }
    return "a string";
}

bool value_fits(const ctl_arg_t& a, const vc_json& v) {
    std::string s = v.str();
    bool scalar = !v.is_array() && !v.is_object();
    long long n = 0;
    switch (a.kind) {
    case k::number: return scalar && is_integer(s, &n) && n >= a.lo && n <= a.hi;
    case k::flag: return s == "true" || s == "false";
    case k::size: return scalar && is_size(s);
    case k::words: return all_strings(v);
    case k::choice: return scalar && (in_choices(s, a.choices) || (s.empty() && !*a.def));  // "": none
    case k::list: return v.is_string() || all_strings(v);
    case k::text: break;
    }
    return scalar;
}

size_t edit_distance(std::string_view a, std::string_view b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); j++) row[j] = j;
    for (size_t i = 1; i <= a.size(); i++) {
        size_t diag = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); j++) {
            size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diag = up;
        }
    }
    return row[b.size()];
}

std::vector<std::string> arg_names(const ctl_op_t& op) {
    std::vector<std::string> names;
    for (const ctl_arg_t& a : op.args) names.push_back(a.name);
    return names;
}

void print_args(FILE* out, const ctl_op_t& op) {
    for (const ctl_arg_t& a : op.args) {
        std::string name = std::string(a.name) + "=";
        fprintf(out, "    %-14s %s; %s%s%s\n", name.c_str(), a.help, form_of(a).c_str(), *a.def ? ", default " : "",
                a.def);
    }
}

}  // namespace

const std::vector<ctl_op_t>& ctl_ops() { return OPS; }
const std::vector<ctl_view_t>& ctl_views() { return VIEWS; }

const ctl_op_t* ctl_op_find(std::string_view name) {
    for (const ctl_op_t& op : OPS)
        if (name == op.name) return &op;
    return nullptr;
}

const ctl_view_t* ctl_view_find(std::string_view name) {
    for (const ctl_view_t& v : VIEWS)
        if (name == v.name) return &v;
    return nullptr;
}

bool ctl_check_args(const ctl_op_t& op, std::string_view args_json, std::string* why) {
    vc_json_doc doc;
    if (!doc.parse(args_json) || !doc.root().is_object()) return true;
    for (const vc_json::member& m : doc.root().members()) {
        const ctl_arg_t* arg = nullptr;
        for (const ctl_arg_t& a : op.args)
            if (m.key == a.name) arg = &a;
        if (!arg) {
            std::string key = vc_json_unescape(m.key), near = ctl_nearest(key, arg_names(op));
            *why = "no argument " + key + (near.empty() ? "" : "; did you mean " + near + "=?");
            if (near.empty() && op.args.empty()) *why += " (it takes none)";
            return false;
        }
        if (!value_fits(*arg, m.value)) {
            *why = std::string(arg->name) + "=" + m.value.str() + ": expected " + form_of(*arg);
            return false;
        }
    }
    return true;
}

std::string ctl_nearest(std::string_view word, const std::vector<std::string>& names) {
    std::string best;
    size_t best_d = 3;
    for (const std::string& n : names) {
        size_t d = edit_distance(word, n);
        if (word.size() >= 3 && n.starts_with(word)) d = std::min<size_t>(d, 2);
        if (d < best_d) best_d = d, best = n;
    }
    return best;
}

std::vector<std::string> ctl_all_names() {
    std::vector<std::string> names;
    for (const ctl_view_t& v : VIEWS) names.push_back(v.name);
    for (const ctl_op_t& op : OPS) names.push_back(op.name);
    return names;
}

bool ctl_print_help(FILE* out, std::string_view word) {
    if (word.empty()) {
        fprintf(out, "Views and commands:\n");
        for (const ctl_view_t& v : VIEWS) fprintf(out, "  %-40s %s\n", v.usage, v.help);
        fprintf(out, "Operations (vornctl OP [key=value ...]; vornctl help OP lists its arguments):\n");
        for (const ctl_op_t& op : OPS) fprintf(out, "  %-20s %s\n", op.name, op.help);
        return true;
    }
    const ctl_view_t* v = ctl_view_find(word);
    const ctl_op_t* op = v && v->op ? ctl_op_find(v->op) : ctl_op_find(word);
    if (!v && !op) return false;
    if (v) fprintf(out, "usage: vornctl %s\n  %s\n", v->usage, v->help);
    else fprintf(out, "usage: vornctl %s [key=value ...]\n  %s\n", op->name, op->help);
    if (op && !op->args.empty()) {
        fprintf(out, "arguments of %s:\n", op->name);
        print_args(out, *op);
    }
    return true;
}

void ctl_print_roff_ops(FILE* out) {
    for (const ctl_op_t& op : OPS) {
        fprintf(out, ".TP\n.B %s\n%s.\n", op.name, op.help);
        for (const ctl_arg_t& a : op.args)
            fprintf(out, ".br\n\\fI%s\\fR= \\(em %s; %s%s%s.\n", a.name, a.help, form_of(a).c_str(),
                    *a.def ? ", default " : "", a.def);
    }
}
