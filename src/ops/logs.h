// logs — the appliance's logs: dmesg (the kernel log in one reply), log_tail (follows one log
// file in one of a fixed set of locations and streams its new lines) and dump_logs (builds a
// log bundle on disk through the diagnostic tool, or as a tar archive of /var/log, streaming
// the tool's output while it works).
//
// Threads: each handler runs on its connection's thread, which a stream holds to its end;
// a _cancel on another connection stops it through the job.
// Errors: checks before the job is claimed are replies; later failures are error events.
#pragma once

#include "wire/jsmn.h"
#include "wire/request.h"

op_result op_dmesg(const op_req_t& req);
op_result op_log_tail(const op_req_t& req);
op_result op_dump_logs(const op_req_t& req);
