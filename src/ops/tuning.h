// tuning — kernel tuning through /sys and /proc: cpufreq_set (the CPU frequency governor of
// every processor, and turbo) and drop_caches.
//
// Threads: stateless; handlers run on their connection's thread.
// Errors: every failure is an error reply.
#pragma once

#include "wire/jsmn.h"

int op_cpufreq_set(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_drop_caches(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
