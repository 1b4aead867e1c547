// procs — processes: procs_list (every process) and procs_kill (every process of a name on
// the procs_kill allow-list), and one-reply control of a single process given by its id:
// proc_signal, proc_renice, proc_openfiles, proc_detail and cpu_limit.
//
// Ids below 2 are refused, and so is the daemon itself where a mistake would end it (a
// signal, a CPU cap).
// Threads: stateless; handlers run on their connection's thread.
// Errors: every failure is an error reply.
#pragma once

#include "wire/request.h"

op_result op_procs_list(const op_req_t& req);
op_result op_procs_kill(const op_req_t& req);
op_result op_proc_signal(const op_req_t& req);
op_result op_proc_renice(const op_req_t& req);
op_result op_proc_openfiles(const op_req_t& req);
op_result op_proc_detail(const op_req_t& req);
op_result op_cpu_limit(const op_req_t& req);
