// dispatch — one request frame from tokens to handler: tokenize, check the envelope and the
// token, answer _cancel, find the operation, check that it is enabled, call it with its
// op_req_t, and write what the handler hands back (wire/request.h): the reply, or a stream's
// last event. A streaming row's job slot is dispatch's: claimed inside req.stream, once the
// handler's arguments have passed, and given back before the stream's last event.
//
// Dispatch errors, in the order they are checked: invalid JSON, no op, a bad token, (_cancel's
// own), an unknown op, an op the configuration disables, an op whose class the caller does not
// hold ("EPERM" "operation not permitted for uid N"). Each is an error reply; none closes the
// connection. A control request is logged (audit.h) once its handler returned, and so is each
// refusal by token, configuration or class.
// Threads: called on the connection's thread; each request is checked against one snapshot of
// the configuration.
#pragma once

#include <cstddef>

#include "wire/jsmn.h"

constexpr unsigned CONN_MAX_TOKENS = 1024;

// Handles one request frame of `len` bytes (NUL-terminated at js[len]) on `fd`, with
// `toks` as scratch for CONN_MAX_TOKENS tokens.
void conn_handle_request(int fd, const char* js, size_t len, jsmntok_t* toks);
// conn_handle_request with the operations of `table` (rows ending in a null name) in place of
// g_ops; what a test or fuzzer uses to reach dispatch without the real handlers.
struct op_def_t;
void conn_dispatch(const op_def_t* table, int fd, const char* js, size_t len, jsmntok_t* toks);

// The _cancel request: {"cancelled":true}, or "ENOENT" "no such job", or "EPERM" when the job
// is another uid's and the caller is neither root nor holds the control class (`has_control`).
void handle_cancel(int fd, const char* req_id, const char* js, const jsmntok_t* toks, int ntoks,
                   bool has_control = true);
