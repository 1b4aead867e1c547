#include "ops.h"

#include <cstring>

#include "jobs.h"
#include "proto.h"
#include "util.h"

// The 51 operations in their fixed order, then the terminating row. Lookup is a linear scan
// in this order.
const op_def_t g_ops[] = {
    {.name = "ping", .streaming = 0, .needs_root = 0, .fn = op_ping},
    {.name = "info", .streaming = 0, .needs_root = 0, .fn = op_info},
    {.name = "meminfo", .streaming = 0, .needs_root = 0, .fn = op_meminfo},
    {.name = "services_check", .streaming = 0, .needs_root = 0, .fn = op_services_check},
    {.name = "iostat_stream", .streaming = 1, .needs_root = 0, .fn = op_iostat_stream},
    {.name = "memprowl_run", .streaming = 1, .needs_root = 1, .fn = op_memprowl_run},
    {.name = "memprowl_kill", .streaming = 0, .needs_root = 1, .fn = op_memprowl_kill},
    {.name = "mem_suspend_run", .streaming = 0, .needs_root = 1, .fn = op_mem_suspend_run},
    {.name = "mem_suspend_cancel", .streaming = 0, .needs_root = 1, .fn = op_mem_suspend_cancel},
    {.name = "fio_run", .streaming = 1, .needs_root = 0, .fn = op_fio_run},
    {.name = "iperf3_client", .streaming = 1, .needs_root = 0, .fn = op_iperf3_client},
    {.name = "iperf3_server", .streaming = 1, .needs_root = 0, .fn = op_iperf3_server},
    {.name = "iperf3_kill", .streaming = 0, .needs_root = 0, .fn = op_iperf3_kill},
    {.name = "zpool_iostat_stream", .streaming = 1, .needs_root = 0, .fn = op_zpool_iostat_stream},
    {.name = "zpool_list", .streaming = 0, .needs_root = 0, .fn = op_zpool_list},
    {.name = "procs_list", .streaming = 0, .needs_root = 0, .fn = op_procs_list},
    {.name = "procs_kill", .streaming = 0, .needs_root = 1, .fn = op_procs_kill},
    {.name = "read_file", .streaming = 0, .needs_root = 0, .fn = op_read_file},
    {.name = "read_dir", .streaming = 0, .needs_root = 0, .fn = op_read_dir},
    {.name = "dmesg", .streaming = 0, .needs_root = 0, .fn = op_dmesg},
    {.name = "smart_get", .streaming = 0, .needs_root = 1, .fn = op_smart_get},
    {.name = "smart_scan", .streaming = 0, .needs_root = 1, .fn = op_smart_scan},
    {.name = "dmidecode", .streaming = 0, .needs_root = 1, .fn = op_dmidecode},
    {.name = "sysinfo", .streaming = 0, .needs_root = 0, .fn = op_sysinfo},
    {.name = "dump_logs", .streaming = 1, .needs_root = 1, .fn = op_dump_logs},
    {.name = "exec", .streaming = 1, .needs_root = 0, .fn = op_exec},
    {.name = "pty", .streaming = 1, .needs_root = 0, .fn = op_pty},
    {.name = "pty_attach", .streaming = 1, .needs_root = 0, .fn = op_pty_attach},
    {.name = "pty_list", .streaming = 0, .needs_root = 0, .fn = op_pty_list},
    {.name = "pty_input", .streaming = 0, .needs_root = 0, .fn = op_pty_input},
    {.name = "pty_resize", .streaming = 0, .needs_root = 0, .fn = op_pty_resize},
    {.name = "pty_close", .streaming = 0, .needs_root = 0, .fn = op_pty_close},
    {.name = "net_addrs", .streaming = 0, .needs_root = 0, .fn = op_net_addrs},
    {.name = "net_ports", .streaming = 0, .needs_root = 0, .fn = op_net_ports},
    {.name = "bin_check", .streaming = 0, .needs_root = 0, .fn = op_bin_check},
    {.name = "mounts", .streaming = 0, .needs_root = 0, .fn = op_mounts},
    {.name = "write_file", .streaming = 0, .needs_root = 1, .fn = op_write_file},
    {.name = "exec_detached", .streaming = 0, .needs_root = 1, .fn = op_exec_detached},
    {.name = "config_get", .streaming = 0, .needs_root = 0, .fn = op_config_get},
    {.name = "config_apply", .streaming = 0, .needs_root = 1, .fn = op_config_apply},
    {.name = "proc_signal", .streaming = 0, .needs_root = 1, .fn = op_proc_signal},
    {.name = "proc_renice", .streaming = 0, .needs_root = 1, .fn = op_proc_renice},
    {.name = "cpufreq_set", .streaming = 0, .needs_root = 1, .fn = op_cpufreq_set},
    {.name = "drop_caches", .streaming = 0, .needs_root = 1, .fn = op_drop_caches},
    {.name = "proc_openfiles", .streaming = 0, .needs_root = 1, .fn = op_proc_openfiles},
    {.name = "proc_detail", .streaming = 0, .needs_root = 1, .fn = op_proc_detail},
    {.name = "cpu_limit", .streaming = 0, .needs_root = 1, .fn = op_cpu_limit},
    {.name = "log_tail", .streaming = 1, .needs_root = 0, .fn = op_log_tail},
    {.name = "strace_attach", .streaming = 1, .needs_root = 1, .fn = op_strace_attach},
    {.name = "pcap_capture", .streaming = 0, .needs_root = 1, .fn = op_pcap_capture},
    {.name = "pcap_stream", .streaming = 1, .needs_root = 1, .fn = op_pcap_stream},
    {.name = nullptr, .streaming = 0, .needs_root = 0, .fn = nullptr},
};

const op_def_t* op_find_in(const op_def_t* table, const char* name, size_t namelen) {
    for (const op_def_t* op = table; op->name; op++)
        if (strlen(op->name) == namelen && memcmp(op->name, name, namelen) == 0) return op;
    return nullptr;
}

const op_def_t* op_find(const char* name, size_t namelen) { return op_find_in(g_ops, name, namelen); }

int op_ping(int fd, const char* req_id, const char*, const jsmntok_t*, int, int) {
    return reply_ok(fd, req_id, "{\"pong\":true}");
}

// ---- replies ----

int reply_ok(int fd, const char* req_id, const char* result_json) {
    sb_t s;
    sb_appendz(&s, "{");
    sb_kv_str(&s, "id", req_id ? req_id : "", 1);
    sb_kv_bool(&s, "ok", 1, 1);
    sb_kv_raw(&s, "result", result_json ? result_json : "null", 0);
    sb_appendz(&s, "}");
    return proto_write_frame_sb(fd, &s);
}

int reply_err(int fd, const char* req_id, const char* code, const char* msg) {
    sb_t s;
    sb_appendz(&s, "{");
    sb_kv_str(&s, "id", req_id ? req_id : "", 1);
    sb_kv_bool(&s, "ok", 0, 1);
    sb_kv_str(&s, "code", code ? code : "ERR", 1);
    sb_kv_str(&s, "error", msg ? msg : "", 0);
    sb_appendz(&s, "}");
    return proto_write_frame_sb(fd, &s);
}

// ---- events ----

// The header members of an event, each followed by a comma; the first event of a stream
// with a job carries its id.
static void event_head(sb_t* s, op_emit_t* e, const char* event) {
    sb_appendz(s, "{");
    sb_kv_str(s, "id", e->req_id ? e->req_id : "", 1);
    sb_kv_str(s, "event", event, 1);
    if (e->job && !e->job_id_sent) {
        sb_kv_str(s, "job_id", e->job->id, 1);
        e->job_id_sent = 1;
    }
}

int emit_frame_with_jobid(op_emit_t* e, const char* event, const char* body_kv) {
    sb_t s;
    event_head(&s, e, event);
    if (body_kv) sb_appendz(&s, body_kv);
    if (s.len > 0 && s.buf[s.len - 1] == ',') s.buf[--s.len] = '\0';
    sb_appendz(&s, "}");
    return proto_write_frame_sb(e->fd, &s);
}

int emit_chunk(op_emit_t* e, const char* data_json, size_t n) {
    sb_t body;
    sb_appendz(&body, "\"data\":");
    sb_append(&body, data_json, n);
    return emit_frame_with_jobid(e, "chunk", body.buf);
}

int emit_chunk_append(sb_t* out, op_emit_t* e, const char* data_json, size_t n) {
    size_t at = out->len;
    static const char NO_LENGTH_YET[4] = {0, 0, 0, 0};
    if (sb_append(out, NO_LENGTH_YET, 4) != 0) return -1;
    event_head(out, e, "chunk");
    sb_appendz(out, "\"data\":");
    sb_append(out, data_json, n);
    if (sb_appendz(out, "}") != 0) {
        out->len = at;  // a frame cut short must not reach the wire
        return -1;
    }
    frame_set_length(out, at);
    return 0;
}

int emit_chunk_head(const op_emit_t* e, sb_t* head) {
    sb_appendz(head, "{");
    sb_kv_str(head, "id", e->req_id ? e->req_id : "", 1);
    sb_kv_str(head, "event", "chunk", 1);
    return sb_appendz(head, "\"data\":");
}

void frame_set_length(sb_t* out, size_t at) {
    size_t body = out->len - at - 4;
    auto* h = reinterpret_cast<unsigned char*>(out->buf + at);
    h[0] = static_cast<unsigned char>(body >> 24);
    h[1] = static_cast<unsigned char>(body >> 16);
    h[2] = static_cast<unsigned char>(body >> 8);
    h[3] = static_cast<unsigned char>(body);
}

int emit_log(op_emit_t* e, int which, const char* msg) {
    sb_t body;
    sb_kv_int(&body, "stream", which, 1);
    sb_kv_str(&body, "msg", msg ? msg : "", 0);
    return emit_frame_with_jobid(e, "log", body.buf);
}

int emit_done(op_emit_t* e, int exit_code, const char* result_json) {
    sb_t body;
    sb_kv_bool(&body, "ok", 1, 1);
    sb_kv_int(&body, "exit_code", exit_code, result_json ? 1 : 0);
    if (result_json) sb_kv_raw(&body, "result", result_json, 0);
    return emit_frame_with_jobid(e, "done", body.buf);
}

int emit_stream_error(op_emit_t* e, const char* code, const char* msg) {
    sb_t body;
    sb_kv_bool(&body, "ok", 0, 1);
    sb_kv_str(&body, "code", code ? code : "ERR", 1);
    sb_kv_str(&body, "error", msg ? msg : "", 0);
    return emit_frame_with_jobid(e, "error", body.buf);
}

// ---- arguments ----

// Index of the first token after the value at `k` and everything nested in it. A key's size
// is 1 (its value), a container's size its entries.
static int tok_skip(const jsmntok_t* toks, int avail, int k) {
    for (int pending = 1; pending > 0 && k < avail; k++) pending += toks[k].size - 1;
    return k;
}

static int args_find_value(const char* js, const jsmntok_t* args_tok, int avail, const char* key) {
    if (!args_tok || args_tok->type != JSMN_OBJECT) return -1;
    return json_obj_idx(js, args_tok, avail, key);
}

// The value of `key` when it is a string or primitive, else null.
static const jsmntok_t* scalar_value(const char* js, const jsmntok_t* args_tok, int avail, const char* key) {
    int i = args_find_value(js, args_tok, avail, key);
    if (i < 0) return nullptr;
    const jsmntok_t* v = &args_tok[i];
    return v->type == JSMN_STRING || v->type == JSMN_PRIMITIVE ? v : nullptr;
}

int arg_get_str(const char* js, const jsmntok_t* args_tok, int avail, const char* key, char* out,
                size_t cap) {
    const jsmntok_t* v = scalar_value(js, args_tok, avail, key);
    if (!v) return -1;
    json_tok_copy(js, v, out, cap);
    return 0;
}

long long arg_get_int(const char* js, const jsmntok_t* args_tok, int avail, const char* key,
                      long long defv) {
    int i = args_find_value(js, args_tok, avail, key);
    return i < 0 ? defv : json_tok_int(js, &args_tok[i]);
}

int arg_get_bool(const char* js, const jsmntok_t* args_tok, int avail, const char* key, int defv) {
    int i = args_find_value(js, args_tok, avail, key);
    if (i < 0) return defv;
    int b = json_tok_bool(js, &args_tok[i]);
    return b < 0 ? defv : b;
}

static int tok_len(const jsmntok_t* t) { return t->end - t->start; }

// Copies up to `max` entries; with `whole`, an entry that would be cut gives ARG_TOO_LONG.
static int array_strs(const char* js, const jsmntok_t* args_tok, int avail, const char* key,
                      char out[][256], int max, bool whole) {
    int i = args_find_value(js, args_tok, avail, key);
    if (i < 0 || args_tok[i].type != JSMN_ARRAY) return -1;
    if (whole && args_tok[i].size > max) return ARG_TOO_MANY;
    int count = args_tok[i].size < max ? args_tok[i].size : max;
    int n = 0;
    for (int k = i + 1; n < count && k < avail; n++) {
        const jsmntok_t* t = &args_tok[k];
        bool scalar = t->type == JSMN_STRING || t->type == JSMN_PRIMITIVE;
        if (whole && scalar && tok_len(t) >= 256) return ARG_TOO_LONG;
        if (scalar) json_tok_copy(js, t, out[n], 256);
        else out[n][0] = '\0';
        k = tok_skip(args_tok, avail, k);  // an object or array entry spans several tokens
    }
    return n;
}

int arg_array_strs(const char* js, const jsmntok_t* args_tok, int avail, const char* key,
                   char out[][256], int max) {
    return array_strs(js, args_tok, avail, key, out, max, false);
}

int arg_array_strs_fit(const char* js, const jsmntok_t* args_tok, int avail, const char* key,
                       char out[][256], int max) {
    return array_strs(js, args_tok, avail, key, out, max, true);
}

int arg_get_str_fit(const char* js, const jsmntok_t* args_tok, int avail, const char* key, char* out,
                    size_t cap) {
    const jsmntok_t* v = scalar_value(js, args_tok, avail, key);
    if (!v) return -1;
    if (static_cast<size_t>(tok_len(v)) >= cap) return ARG_TOO_LONG;
    json_tok_copy(js, v, out, cap);
    return 0;
}
