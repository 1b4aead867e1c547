// trace — strace_attach: attaches the system-call tracer to a process (never the daemon) and
// streams its lines as chunk events, until it is cancelled or the client goes away.
//
// The filter a client sends is checked against its character set before it reaches the
// tracer's argument vector, which is built element by element (no shell).
// Threads: the handler runs on its connection's thread, which the stream holds to its end.
// Errors: checks before the job is claimed are replies; later failures are error events.
#pragma once

#include <cstddef>

#include "wire/jsmn.h"
#include "wire/request.h"

constexpr size_t TRACE_FILTER_MAX = 127;

// 1 for a tracer filter of at most TRACE_FILTER_MAX letters, digits and ",_=!%/".
int trace_filter_ok(const char* filter);

op_result op_strace_attach(const op_req_t& req);
