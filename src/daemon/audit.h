// audit — the trail of who did what: one "AUD" line per control request, written once its
// handler has returned, and one per refusal (EAUTH, EDISABLED, EPERM, observe requests
// included). Observe requests that run are not logged.
//
//   uid=1001(bob) pid=4242 comm=vornctl op=exec id=7 job=9f.. result=ok cmd=/usr/bin/ls argc=2
//
// The result is "ok" or the code of the last error reply or event the request wrote
// (reply_last_error); job= names the job it took (job_last_claimed), when it took one. After
// the result come the arguments that say what was acted on, a fixed set per operation, as raw
// request text: never file data, terminal input or a token. Every value shows bytes 0x21-0x7e
// (backslash aside) as they are and any other as \xHH, at most 64 bytes, then "..", so no
// request can forge or split a line.
// The caller's user and command names are looked up once per connection, with its first line.
// Threads: the connection's thread; the caller is caller_current(). Without a caller (a test or
// fuzzer dispatching directly) nothing is written.
#pragma once

#include <cstddef>

#include "wire/jsmn.h"

// Clears this thread's last error and last claimed job: called before a handler runs.
void audit_begin();
// Writes the line of request `req_id` for operation `op` (`oplen` raw bytes), its arguments in
// `args` (null when absent, `args_n` tokens from it). `refused`: the refusal's code, or null to
// take the handler's result.
void audit_line(const char* op, size_t oplen, const char* req_id, const char* js, const jsmntok_t* args, int args_n,
                const char* refused);
