#include "ops/net.h"

#include <unistd.h>

#include <cstring>
#include <utility>

#include "base/text.h"
#include "proc/tools.h"
#include "wire/args.h"
#include "wire/errors.h"

namespace {

constexpr size_t KIND_ARG_BYTES = 16;
constexpr int BIN_CHECK_MAX_NAMES = 16;
constexpr size_t BIN_CHECK_PATH_BYTES = 512;
// How long one run of ip, ss or netstat may take: each reads kernel tables once.
constexpr int IP_DEADLINE_MS = 10000;
constexpr int PORTS_DEADLINE_MS = 10000;

const op_err IP_MISSING = {ERR_ENOENT, "ip(8) not found"};
const op_err PORTS_TOOL_MISSING = {ERR_ENOENT, "neither ss nor netstat found"};

void append_escaped(sb_t* s, std::string_view v) { sb_json_escape(s, v.data(), v.size()); }

std::string_view cut(std::string_view v, size_t max) { return v.size() > max ? v.substr(0, max) : v; }

}  // namespace

int ip_parse_addr_line(std::string_view line, ip_addr_entry_t* out) {
    std::string_view tok[4];
    if (text_fields(line, tok, 4) < 4) return -1;
    *out = ip_addr_entry_t{cut(tok[1], NET_FIELD_MAX), cut(tok[3], NET_FIELD_MAX)};
    return 0;
}

int net_addrs_build_json(std::string_view text, sb_t* out) {
    if (sb_appendz(out, "{\"addrs\":[") != 0) return -1;
    bool first = true;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        ip_addr_entry_t e;
        if (line.empty() || ip_parse_addr_line(line, &e) != 0) continue;
        sb_appendz(out, first ? "{\"iface\":\"" : ",{\"iface\":\"");
        append_escaped(out, e.iface);
        sb_appendz(out, "\",\"addr\":\"");
        append_escaped(out, e.addr);
        sb_appendz(out, "\"}");
        first = false;
    }
    return sb_appendz(out, "]}");
}

op_result op_net_addrs(const op_req_t& req) {
    const char* prog = first_exec({"/sbin/ip", "/usr/sbin/ip"});
    if (!prog) prog = "/bin/ip";
    // A program that is not there cannot run: say so instead of answering an empty list.
    if (access(prog, X_OK) != 0) return IP_MISSING;
    char* argv[] = {const_cast<char*>(prog),   const_cast<char*>("-4"),   const_cast<char*>("-o"),
                    const_cast<char*>("addr"), const_cast<char*>("show"), nullptr};
    sb_t text;
    exec_result_t res;
    if (run_capture(argv, &text, &res, req.fd, IP_DEADLINE_MS) != 0)
        // nothing could be started: to the client the tool is missing
        return IP_MISSING;
    if (res.timed_out) return op_err{ERR_ENOENT, "ip timed out"};
    sb_t s;
    net_addrs_build_json(std::string_view(text.buf ? text.buf : "", text.len), &s);
    return op_result::ok(std::move(s));
}

// Chooses ss (three places) or else netstat, and fills `argv` for the kind wanted.
static const char* net_ports_argv(bool listen, bool proc, char** argv) {
    const char* ss = first_exec({"/usr/sbin/ss", "/sbin/ss", "/usr/bin/ss"});
    int i = 0;
    if (ss) {
        argv[i++] = const_cast<char*>(ss);
        if (listen) {
            argv[i++] = const_cast<char*>(proc ? "-ltnHp" : "-ltnH");
        } else {
            argv[i++] = const_cast<char*>(proc ? "-tnHp" : "-tnH");
            argv[i++] = const_cast<char*>("state");
            argv[i++] = const_cast<char*>("established");
        }
    } else {
        const char* ns = first_exec({"/bin/netstat"});
        argv[i++] = const_cast<char*>(ns ? ns : "/usr/bin/netstat");
        if (listen) argv[i++] = const_cast<char*>(proc ? "-ltnp" : "-ltn");
        else argv[i++] = const_cast<char*>(proc ? "-tnp" : "-tn");
    }
    argv[i] = nullptr;
    return ss ? "ss" : "netstat";
}

op_result op_net_ports(const op_req_t& req) {
    char kind[KIND_ARG_BYTES] = "listen";
    arg_get_str(req.js, req.args, req.an, "kind", kind, sizeof kind);
    int proc = arg_get_bool(req.js, req.args, req.an, "proc", 0);
    char* argv[6];
    const char* tool = net_ports_argv(strcmp(kind, "listen") == 0, proc != 0, argv);
    if (access(argv[0], X_OK) != 0) return PORTS_TOOL_MISSING;
    sb_t text;
    exec_result_t res;
    if (run_capture(argv, &text, &res, req.fd, PORTS_DEADLINE_MS) != 0)
        // nothing could be started: to the client the tool is missing
        return PORTS_TOOL_MISSING;
    if (res.timed_out) {
        sb_t msg;
        sb_printf(&msg, "%s timed out", tool);
        return op_err{ERR_ENOENT, msg.buf};
    }
    sb_t s;
    sb_printf(&s, "{\"tool\":\"%s\",", tool);
    sb_kv_str(&s, "kind", kind, 1);
    sb_appendz(&s, "\"text\":\"");
    sb_json_escape(&s, text.buf ? text.buf : "", text.len);
    sb_appendz(&s, "\"}");
    return op_result::ok(std::move(s));
}

op_result op_bin_check(const op_req_t& req) {
    char names[BIN_CHECK_MAX_NAMES][256];
    int count = arg_array_strs(req.js, req.args, req.an, "names", names, BIN_CHECK_MAX_NAMES);
    if (count <= 0) return op_err{ERR_EREQ, "names array required"};
    sb_t s;
    sb_appendz(&s, "{\"results\":{");
    for (int i = 0; i < count; i++) {
        char path[BIN_CHECK_PATH_BYTES] = "";
        // An empty name would "find" the first system directory itself.
        bool found = names[i][0] && binfind(names[i], nullptr, path, sizeof path) == 0;
        sb_appendz(&s, i ? ",\"" : "\"");
        sb_json_escape(&s, names[i], strlen(names[i]));
        sb_printf(&s, "\":{\"found\":%s,", found ? "true" : "false");
        sb_kv_str(&s, "path", found ? path : "", 0);
        sb_appendz(&s, "}");
    }
    sb_appendz(&s, "}}");
    return op_result::ok(std::move(s));
}
