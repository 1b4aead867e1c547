#include "daemon/audit.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "base/caller.h"
#include "base/log.h"
#include "config/config_file.h"
#include "jobs/jobs.h"
#include "wire/json.h"
#include "wire/reply.h"

namespace {

constexpr size_t AUDIT_VALUE_BYTES = 64;
constexpr int AUDIT_MAX_KEYS = 3;

// The arguments that say what an operation acted on. "argc" is the length of "argv"; "lists"
// the list arguments config_apply was given.
struct audit_detail_t {
    const char* op;
    const char* keys[AUDIT_MAX_KEYS];
};

const audit_detail_t AUDIT_DETAILS[] = {
    {"_cancel", {"job_id"}},
    {"exec", {"cmd", "argc"}},
    {"exec_detached", {"cmd", "argc"}},
    {"pty", {"cmd", "argc"}},
    {"pty_attach", {"job_id"}},
    {"pty_input", {"job_id"}},
    {"pty_resize", {"job_id"}},
    {"pty_close", {"job_id"}},
    {"read_file", {"path"}},
    {"read_dir", {"path"}},
    {"write_file", {"path"}},
    {"log_tail", {"path"}},
    {"dump_logs", {"output_dir"}},
    {"proc_signal", {"pid", "signal"}},
    {"procs_kill", {"name", "signal"}},
    {"proc_renice", {"pid", "nice"}},
    {"cpu_limit", {"pid", "percent"}},
    {"proc_openfiles", {"pid"}},
    {"proc_detail", {"pid"}},
    {"strace_attach", {"pid", "filter"}},
    {"pcap_capture", {"iface", "bpf"}},
    {"pcap_stream", {"iface", "bpf"}},
    {"cpufreq_set", {"governor", "turbo"}},
    {"drop_caches", {"level"}},
    {"config_apply", {"level", "lists"}},
    {"fio_run", {"target_dir", "test"}},
    {"iperf3_client", {"host", "port"}},
    {"iperf3_server", {"port"}},
    {"memprowl_run", {"mode"}},
};

// Appends `n` raw bytes as a value of the line (see audit.h).
void put_value(std::string* out, const char* s, size_t n) {
    size_t shown = 0;
    for (size_t i = 0; i < n; i++) {
        unsigned char ch = static_cast<unsigned char>(s[i]);
        char esc[8];
        bool plain = ch > 0x20 && ch < 0x7f && ch != '\\';
        size_t w = plain ? 1 : 4;
        if (shown + w > AUDIT_VALUE_BYTES) {
            *out += "..";
            return;
        }
        if (plain) *out += static_cast<char>(ch);
        else {
            snprintf(esc, sizeof esc, "\\x%02x", ch);
            *out += esc;
        }
        shown += w;
    }
    if (n == 0) *out += "-";
}

void put_token(std::string* out, const char* js, const jsmntok_t* t) {
    put_value(out, js + t->start, static_cast<size_t>(t->end - t->start));
}

// The lists config_apply was given, by name.
void put_lists(std::string* out, const char* js, const jsmntok_t* args, int n) {
    std::string names;
    for (const cfg_list_arg_t& l : CFG_LIST_ARGS)
        if (json_obj_idx(js, args, n, l.name) >= 0) names += names.empty() ? l.name : std::string(",") + l.name;
    if (names.empty()) return;
    *out += " lists=";
    *out += names;
}

void put_details(std::string* out, const char* op, const char* js, const jsmntok_t* args, int n) {
    if (!args || args->type != JSMN_OBJECT) return;
    for (const audit_detail_t& d : AUDIT_DETAILS) {
        if (strcmp(d.op, op) != 0) continue;
        for (const char* key : d.keys) {
            if (!key) break;
            if (strcmp(key, "lists") == 0) {
                put_lists(out, js, args, n);
                continue;
            }
            bool count = strcmp(key, "argc") == 0;
            int i = json_obj_idx(js, args, n, count ? "argv" : key);
            if (i < 0) continue;
            *out += ' ';
            *out += key;
            *out += '=';
            if (count) *out += std::to_string(args[i].type == JSMN_ARRAY ? args[i].size : 0);
            else put_token(out, js, &args[i]);
        }
        return;
    }
}

}  // namespace

void audit_begin() {
    reply_error_reset();
    job_claim_reset();
}

void audit_line(const char* op, size_t oplen, const char* req_id, const char* js, const jsmntok_t* args, int args_n,
                const char* refused) {
    caller_t* who = caller_current();
    if (!who) return;
    caller_names(who);
    std::string line = "uid=" + std::to_string(who->uid) + "(";
    put_value(&line, who->user, strlen(who->user));
    line += ") pid=" + std::to_string(who->pid) + " comm=";
    put_value(&line, who->comm, strlen(who->comm));
    line += " op=";
    put_value(&line, op, oplen);
    line += " id=";
    put_value(&line, req_id, strlen(req_id));
    const char* job = job_last_claimed();
    if (!refused && job[0]) line += std::string(" job=") + job;
    const char* err = refused ? refused : reply_last_error();
    line += " result=";
    line += err[0] ? err : "ok";
    std::string opname(op, oplen);
    put_details(&line, opname.c_str(), js, args, args_n);
    log_msg(LOG_AUD, "%s", line.c_str());
}
