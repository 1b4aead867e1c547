// ops — the operation table, the reply and event envelopes, and the argument accessors that
// every handler uses.
//
// A handler reads its arguments, does its work and writes exactly one reply frame, or for a
// stream a run of event frames ending in "done" or "error". All pointers it receives live
// only for the call. Every string a handler puts into JSON goes through the escaping of
// util.h; values taken from a request are used as their raw token text.
// Threads: handlers run on their connection's thread; an op_emit_t belongs to that thread.
// Errors: writers return 0, or -1 when the frame could not be written.
#pragma once

#include <cstddef>

#include "jsmn.h"
#include "util.h"

struct job_s;
struct sb_t;
struct cfg_allow_t;
struct vornd_config_t;

using op_fn_t = int (*)(int fd, const char* req_id, const char* args_js, const jsmntok_t* args_tok,
                        int args_n, int stream);

struct op_def_t {
    const char* name;  // null in the terminating row
    int streaming;     // always answers with events
    int needs_root;    // descriptive only; dispatch does not check it
    op_fn_t fn;
};

// The table: 51 rows, then a row whose name is null.
extern const op_def_t g_ops[];

// The first row whose name is exactly these `namelen` bytes, or null.
const op_def_t* op_find(const char* name, size_t namelen);
// The same lookup in another table of the same shape.
const op_def_t* op_find_in(const op_def_t* table, const char* name, size_t namelen);

// {"id":..,"ok":true,"result":<result_json or null>}
int reply_ok(int fd, const char* req_id, const char* result_json);
// {"id":..,"ok":false,"code":<code or "ERR">,"error":<msg>}
int reply_err(int fd, const char* req_id, const char* code, const char* msg);

// Stream context of one request. The first event written carries the job's id.
struct op_emit_t {
    int fd;
    const char* req_id;  // null sends an empty id
    job_s* job;          // null when the stream has no job (table full)
    int job_id_sent;
};

// Header members (id, event, job_id once), then `body_kv` (members already formatted), "}".
int emit_frame_with_jobid(op_emit_t* e, const char* event, const char* body_kv);
// "chunk" with "data": the first `n` bytes of `data_json`, a JSON value without NUL bytes.
int emit_chunk(op_emit_t* e, const char* data_json, size_t n);
// Appends to `out` the whole frame (4-byte length, then the body) that emit_chunk would
// write, for a stream that gathers several frames into one write. -1 (and `out` as before)
// when memory ran out.
int emit_chunk_append(sb_t* out, op_emit_t* e, const char* data_json, size_t n);
// For streams that build many chunk frames themselves: appends to `head` the start that
// every chunk of `e` has once its job id has gone (or with no job), {"id":..,"event":"chunk",
// "data":. A frame is then 4 length bytes, the head, the data and "}", the length filled in
// by frame_set_length(out, where the frame starts).
int emit_chunk_head(const op_emit_t* e, sb_t* head);
void frame_set_length(sb_t* out, size_t at);
// "log" with "stream" (1 stdout, 2 stderr) and the escaped line as "msg".
int emit_log(op_emit_t* e, int which, const char* msg);
// "done" with "ok":true, "exit_code" and, when given, the raw "result".
int emit_done(op_emit_t* e, int exit_code, const char* result_json);
// "error" with "ok":false, "code" (null: "ERR") and "error".
int emit_stream_error(op_emit_t* e, const char* code, const char* msg);

// Argument accessors over the request's `args` object. `avail` is the handler's args_n.
// 0 and the raw text (cut to cap-1) for a string or primitive value; else -1, `out` untouched.
int arg_get_str(const char* js, const jsmntok_t* args_tok, int avail, const char* key, char* out,
                size_t cap);
// json_tok_int of the value whatever its kind; `defv` when absent or args is no object.
long long arg_get_int(const char* js, const jsmntok_t* args_tok, int avail, const char* key,
                      long long defv);
// 1 or 0 for a value whose text is true or false; else `defv`.
int arg_get_bool(const char* js, const jsmntok_t* args_tok, int avail, const char* key, int defv);
// Copies up to `max` entries of an array value (each cut to 255 bytes; non-scalars give "").
// Returns the count, or -1 when the key is absent or not an array.
int arg_array_strs(const char* js, const jsmntok_t* args_tok, int avail, const char* key,
                   char out[][256], int max);

// The same for values that are used whole, where a cut value would name something else (a
// path, a program, an argument): a value that does not fit is refused instead.
constexpr int ARG_TOO_LONG = -2;  // reply "EBADREQ" "<key> too long"
constexpr int ARG_TOO_MANY = -3;  // reply "EBADREQ" "too many arguments"
// arg_get_str, but ARG_TOO_LONG (`out` untouched) when the text needs `cap` bytes or more.
int arg_get_str_fit(const char* js, const jsmntok_t* args_tok, int avail, const char* key, char* out,
                    size_t cap);
// arg_array_strs, but ARG_TOO_MANY when the array has more than `max` entries and ARG_TOO_LONG
// when an entry has 256 bytes or more; `out` may then be partly written.
int arg_array_strs_fit(const char* js, const jsmntok_t* args_tok, int avail, const char* key,
                       char out[][256], int max);

// ---- handlers, by module ----

// ops.cpp
int op_ping(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);

// ops_memprowl.cpp
int op_memprowl_run(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_memprowl_kill(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);

// ops_mem_suspend.cpp
int op_mem_suspend_run(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_mem_suspend_cancel(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);

// ops_fio.cpp
int op_fio_run(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);

// ops_iperf.cpp
int op_iperf3_client(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_iperf3_server(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_iperf3_kill(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);

// ops_zpool.cpp
int op_zpool_iostat_stream(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_zpool_list(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);

// ops_misc.cpp
int op_read_dir(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_write_file(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_mounts(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_net_addrs(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_net_ports(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_bin_check(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);

// ops_util.cpp
int op_procs_list(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_procs_kill(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_read_file(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_dmesg(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_smart_get(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_smart_scan(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_dmidecode(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_dump_logs(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);

// ops_thrum.cpp
int op_proc_signal(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_proc_renice(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_cpufreq_set(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_drop_caches(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_proc_openfiles(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_proc_detail(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_cpu_limit(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_log_tail(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_strace_attach(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_pcap_capture(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_pcap_stream(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);

// ops_basic.cpp
int op_info(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_meminfo(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_services_check(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_sysinfo(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);

// ops_iostat.cpp
int op_iostat_stream(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);

// ops_exec.cpp
int op_exec(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_exec_detached(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);

// ops_config.cpp
int op_config_get(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_config_apply(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
// The configuration file text for `*c` in `buf`: its length, or -1 (buf emptied) when it does
// not fit `cap` with its NUL or the loader would not read it back whole: a line above
// CFG_LINE_BYTES - 1 bytes with its newline, a line feed inside a value, a list value that
// does not fit 1199 characters.
int config_serialize(const vornd_config_t* c, char* buf, size_t cap);
// One list's file value: ALL, NONE, or the entries joined by ",". Its length, or -1 (out
// emptied) when it does not fit `cap` with its NUL.
int allow_value(const cfg_allow_t* a, char* out, size_t cap);
// Appends the JSON object of `*c`: level, config_path, socket, then the seven lists.
void build_config_json(sb_t* r, const vornd_config_t* c);
// Appends "key":{"mode":"ALL|LIST|NONE","list":[entries]}.
void allow_json(sb_t* r, const char* key, const cfg_allow_t* a);

// ops_pty.cpp
int op_pty(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_pty_attach(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_pty_list(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_pty_input(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_pty_resize(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_pty_close(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
