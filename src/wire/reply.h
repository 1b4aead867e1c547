// reply — the reply and event envelopes every handler writes.
//
// A handler writes exactly one reply frame, or for a stream a run of event frames ending in
// "done" or "error". Every string put into JSON goes through the escaping of base/sb.h;
// values taken from a request are used as their raw token text.
// Threads: handlers run on their connection's thread; an op_emit_t belongs to that thread.
// Errors: writers return 0, or -1 when the frame could not be written.
#pragma once

#include <cstddef>

#include "base/sb.h"

struct job_s;

// {"id":..,"ok":true,"result":<result_json or null>}
int reply_ok(int fd, const char* req_id, const char* result_json);
// {"id":..,"ok":false,"code":<code or "ERR">,"error":<msg>}
int reply_err(int fd, const char* req_id, const char* code, const char* msg);
// reply_err with "data":<data_json> after "error" (a JSON value, copied as it is) telling how
// far the request got; null data_json: as reply_err.
int reply_err_data(int fd, const char* req_id, const char* code, const char* msg, const char* data_json);

// Stream context of one request. The first event written carries the job's id; the job
// table's job_emit builds one for a job.
struct op_emit_t {
    op_emit_t(int fd_, const char* req_id_, job_s* job_, const char* job_id_)
        : fd(fd_), req_id(req_id_), job(job_), job_id(job_id_) {}
    op_emit_t(int, const char*, job_s*, int) = delete;  // the job id is text, never a flag

    int fd;
    const char* req_id;  // null sends an empty id
    job_s* job;          // null when the stream has no job (table full)
    const char* job_id;  // the job's id; null when there is none to send
    int job_id_sent = 0;
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
// "log" with "stream" (1 stdout, 2 stderr) and the escaped line as "msg".
int emit_log(op_emit_t* e, int which, const char* msg);
// "done" with "ok":true, "exit_code" and, when given, the raw "result".
int emit_done(op_emit_t* e, int exit_code, const char* result_json);
// "error" with "ok":false, "code" (null: "ERR") and "error".
int emit_stream_error(op_emit_t* e, const char* code, const char* msg);

// The message of a caller's "EPERM" refusal: "operation not permitted for uid N".
constexpr size_t EPERM_MSG_BYTES = 48;
void eperm_msg(char* out, size_t cap, unsigned uid);

// The code of the last error reply or error event written on this thread since
// reply_error_reset ("" when none, cut to 15 bytes): how the audit line of a request learns
// its result without the handlers' help.
constexpr size_t REPLY_ERROR_CODE_BYTES = 16;
const char* reply_last_error();
void reply_error_reset();

// Line callback of the log tail and the tracer: one chunk {"t":<now_ms>,"line":"<escaped>"}
// per line to the op_emit_t `ctx`; 1 (stop the tool) when the write failed.
int log_tail_cb(void* ctx, int which, const char* line);
