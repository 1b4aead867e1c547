// exec — running a client's choice of program from the exec allow-list: `exec` streams
// its output lines as chunk events and ends with its exit code; `exec_detached` starts it
// detached from the daemon (through an intermediate process that leads a new session and
// ends once the program has started), output appended to a log file, and answers once the
// program runs: a program that cannot be started is reported, with the system's reason.
//
// The allow-list rule is exact: `cmd` is compared as received, so a bare name must be listed
// as that name and a path as that path. A bare name is resolved by the tool lookup.
// Threads: handlers run on their connection's thread; nothing is shared but the job slot.
#pragma once

#include "wire/jsmn.h"
#include "wire/request.h"

op_result op_exec(const op_req_t& req);
op_result op_exec_detached(const op_req_t& req);
