#include "wire/reply.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/clock.h"
#include "wire/errors.h"
#include "wire/frame.h"

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
    return reply_err_data(fd, req_id, code, msg, nullptr);
}

namespace {

thread_local char t_last_error[REPLY_ERROR_CODE_BYTES] = "";

void note_error(const char* code) { snprintf(t_last_error, sizeof t_last_error, "%s", code ? code : ERR_DEFAULT); }

}  // namespace

void eperm_msg(char* out, size_t cap, unsigned uid) { snprintf(out, cap, "operation not permitted for uid %u", uid); }

const char* reply_last_error() { return t_last_error; }

void reply_error_reset() { t_last_error[0] = '\0'; }

int reply_err_data(int fd, const char* req_id, const char* code, const char* msg, const char* data_json) {
    note_error(code);
    sb_t s;
    sb_appendz(&s, "{");
    sb_kv_str(&s, "id", req_id ? req_id : "", 1);
    sb_kv_bool(&s, "ok", 0, 1);
    sb_kv_str(&s, "code", code ? code : ERR_DEFAULT, 1);
    sb_kv_str(&s, "error", msg ? msg : "", data_json != nullptr);
    if (data_json) sb_kv_raw(&s, "data", data_json, 0);
    sb_appendz(&s, "}");
    return proto_write_frame_sb(fd, &s);
}

// The header members of an event, each followed by a comma; the first event of a stream
// with a job carries its id.
static void event_head(sb_t* s, op_emit_t* e, const char* event) {
    sb_appendz(s, "{");
    sb_kv_str(s, "id", e->req_id ? e->req_id : "", 1);
    sb_kv_str(s, "event", event, 1);
    if (e->job_id && !e->job_id_sent) {
        sb_kv_str(s, "job_id", e->job_id, 1);
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
    size_t at = frame_begin(out);
    if (at == SIZE_MAX) return -1;
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
    note_error(code);
    sb_t body;
    sb_kv_bool(&body, "ok", 0, 1);
    sb_kv_str(&body, "code", code ? code : ERR_DEFAULT, 1);
    sb_kv_str(&body, "error", msg ? msg : "", 0);
    return emit_frame_with_jobid(e, "error", body.buf);
}

// One chunk event per line; a write that fails ends the run (the client is gone).
int log_tail_cb(void* ctx, int, const char* line) {
    sb_t s;
    sb_printf(&s, "{\"t\":%llu,\"line\":\"", static_cast<unsigned long long>(now_ms()));
    sb_json_escape(&s, line, strlen(line));
    sb_appendz(&s, "\"}");
    return emit_chunk(static_cast<op_emit_t*>(ctx), s.buf, s.len) != 0;
}
