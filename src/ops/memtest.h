// memtest — memory tests. `memprowl_run` runs the memory test tool in the foreground of a
// request (its JSON records as chunk events and every other line as a log event);
// `memprowl_kill` kills every process of that name. `mem_suspend_run` and
// `mem_suspend_cancel` drive a test through the orchestrator script, one at a time on the
// machine.
//
// The tool's records are forwarded unchanged, so a standard-output line goes out as a
// chunk only when it is one complete JSON value; anything else is a log line and can never
// break the client's frame.
//
// mem_suspend_run claims the sentinel directory, makes the run's work directory and starts
// the script fully detached (own session, out of reach of the OOM killer, SIGHUP ignored,
// output appended to the run's orch.log); mem_suspend_cancel finds the script through the pid
// files it wrote and sends it SIGTERM.
// The sentinel is the lock between runs, also across daemon restarts: creating the directory
// is the claim, "claiming" and "started" mark a claim whose script has not yet written its
// "pid", and a claim 30 seconds old without a live script is stale and taken over. The
// script removes the directory when it ends; the daemon only after a failed launch.
// Threads: handlers run on their connection's thread. Suspend runs are serialised by a mutex
// (claim through launch) so that two runs never both take a fresh claim for stale.
// Errors: every suspend failure is an error reply; a failure after the claim releases it.
#pragma once

#include "wire/jsmn.h"
#include "wire/request.h"

op_result op_memprowl_run(const op_req_t& req);
op_result op_memprowl_kill(const op_req_t& req);
op_result op_mem_suspend_run(const op_req_t& req);
op_result op_mem_suspend_cancel(const op_req_t& req);
