// host — the daemon's liveness and the host summary: ping, info, meminfo, services_check,
// sysinfo.
//
// Each hands back one result, built from uname(2) and small files under /proc, for dispatch to
// reply with; none of them needs a job or a child process, and arguments are ignored.
// Threads: any connection thread; no shared state.
#pragma once

#include "wire/request.h"

op_result op_ping(const op_req_t& req);
op_result op_info(const op_req_t& req);
op_result op_meminfo(const op_req_t& req);
op_result op_services_check(const op_req_t& req);
op_result op_sysinfo(const op_req_t& req);
