// iperf — the network throughput test: `iperf3_client` and `iperf3_server` run iperf3 and
// stream its output; `iperf3_kill` ends every iperf3 process on the machine.
//
// Output lines become chunks: a line that is one JSON value as it stands, a multi-line JSON
// document (the tool's -J report) gathered into one chunk, and every other line as a record
// {"type":"line","stream":N,"text":..}.
// Threads: the parse state lives on the handler's stack; the callback runs on the connection
// thread. Errors: the callback returns 1 when an event write failed (the client is gone).
#pragma once

#include <cstddef>

#include "base/sb.h"
#include "wire/jsmn.h"
#include "wire/reply.h"
#include "wire/request.h"

// A document is gathered up to this size (it must fit one frame); a larger one is sent as
// the lines it came in.
constexpr size_t IPERF_DOC_MAX_BYTES = 1047552;

struct iperf_ctx_t {
    op_emit_t* e = nullptr;
    sb_t doc;            // the lines of an unfinished JSON document, joined by "\n"
    int collecting = 0;  // `doc` holds the start of a document
    int which = 1;       // the stream the document's first line came from
    int depth = 0;       // brackets open in `doc`, outside strings
    int in_string = 0;
    int escaped = 0;
};

// The line callback for exec_stream (`ctx` is an iperf_ctx_t*). 1 when a write failed.
int iperf_cb(void* ctx, int which, const char* line);
// At the tool's end: a document left unfinished goes out as the lines it came in.
int iperf_flush(iperf_ctx_t* c);
// 1 for a command name of the iperf3 family: "iperf3", or "iperf3-" followed by anything.
int iperf3_name_matches(const char* comm);

op_result op_iperf3_client(const op_req_t& req);
op_result op_iperf3_server(const op_req_t& req);
op_result op_iperf3_kill(const op_req_t& req);
