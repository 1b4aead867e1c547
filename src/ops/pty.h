// pty — interactive shells on pseudo-terminals. `pty` starts an allow-listed shell and
// streams its output; `pty_attach` streams an existing session from an offset; `pty_list`,
// `pty_input`, `pty_resize` and `pty_close` list, feed, resize and end sessions. The session
// itself (ring, reader thread, close) belongs to the job table (jobs/pty_session.h).
//
// Each handler checks its request and hands back the reply or a refusal for dispatch to
// write. A stream is: the open chunk (carrying job_id), out chunks, the exit chunk once the
// shell has ended, then "done" with exit_code 0 whatever the shell's own code was; the two
// streaming handlers write that "done" themselves, dispatch writes an error event.
#pragma once

#include "wire/request.h"

op_result op_pty(const op_req_t& req);
op_result op_pty_attach(const op_req_t& req);
op_result op_pty_list(const op_req_t& req);
op_result op_pty_input(const op_req_t& req);
op_result op_pty_resize(const op_req_t& req);
op_result op_pty_close(const op_req_t& req);
