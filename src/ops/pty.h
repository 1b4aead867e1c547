// pty — interactive shells on pseudo-terminals. `pty` starts an allow-listed shell and
// streams its output; `pty_attach` streams an existing session from an offset; `pty_list`,
// `pty_input`, `pty_resize` and `pty_close` list, feed, resize and end sessions. The session
// itself (ring, reader thread, close) belongs to the job table (jobs/pty_session.h).
//
// A stream is: the open chunk (carrying job_id), out chunks, the exit chunk once the shell
// has ended, then "done" with exit_code 0 whatever the shell's own code was.
#pragma once

#include "wire/jsmn.h"

int op_pty(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_pty_attach(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_pty_list(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_pty_input(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_pty_resize(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_pty_close(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
