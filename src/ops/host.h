// host — the daemon's liveness and the host summary: ping, info, meminfo, services_check,
// sysinfo.
//
// Each answers with exactly one reply built from uname(2) and small files under /proc; none
// of them needs a job or a child process. Arguments and the stream flag are ignored.
// Threads: any connection thread; no shared state.
#pragma once

#include "wire/jsmn.h"

int op_ping(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_info(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_meminfo(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_services_check(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_sysinfo(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
