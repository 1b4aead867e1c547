// tuning — kernel tuning through /sys and /proc: cpufreq_set (the CPU frequency governor of
// every processor, and turbo) and drop_caches.
//
// Threads: stateless; handlers run on their connection's thread.
// Errors: every refusal or failure is an op_err the handler hands back.
#pragma once

#include "wire/request.h"

op_result op_cpufreq_set(const op_req_t& req);
op_result op_drop_caches(const op_req_t& req);
