// procs — processes: procs_list (every process) and procs_kill (every process of a name on
// the procs_kill allow-list), and one-reply control of a single process given by its id:
// proc_signal, proc_renice, proc_openfiles, proc_detail and cpu_limit.
//
// Ids below 2 are refused, and so is the daemon itself where a mistake would end it (a
// signal, a CPU cap).
// Threads: stateless; handlers run on their connection's thread.
// Errors: every failure is an error reply.
#pragma once

#include "wire/jsmn.h"

int op_procs_list(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_procs_kill(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_proc_signal(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_proc_renice(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_proc_openfiles(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_proc_detail(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_cpu_limit(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
