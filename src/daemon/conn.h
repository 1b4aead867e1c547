// conn — one thread per accepted connection: it reads a frame and hands it to dispatch, until
// the peer goes or a frame is refused.
//
// Requests on one connection are strictly sequential. An error reply never closes the
// connection; a frame with a bad length prefix (0 or above 1 MiB) always does, silently.
// The thread owns the descriptor and closes it.
// Threads: conn_start, conn_count and conn_shutdown_all are called by the main thread; the
// registry of live connections has its own lock (a leaf), taken by each connection thread
// once at its end.
// Budgets per uid (root is exempt): at most CONN_MAX_PER_UID connections, and at most
// CONN_UID_FRAME_BUDGET_BYTES held by the incomplete frames of all its connections together; a
// frame whose announced body would take its uid over is refused by closing its connection.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "base/caller.h"

// Client connections served at once; the main thread closes any beyond at once.
constexpr int CONN_MAX = 512;
constexpr int CONN_MAX_PER_UID = 64;
constexpr size_t CONN_UID_FRAME_BUDGET_BYTES = size_t{64} << 20;

// Counts one more connection of `uid`: false (nothing counted) when it already has
// CONN_MAX_PER_UID. Root always passes. A connection admitted so is handed to conn_start.
bool conn_uid_admit(uid_t uid);
// Replaces CONN_UID_FRAME_BUDGET_BYTES (a test option; 0 keeps it). Called before the first
// connection.
void conn_set_uid_frame_budget(size_t bytes);

// Registers `fd`, admitted for caller `who` by conn_uid_admit, and serves it on a new detached
// thread running conn_thread, which owns and closes it and ends the admission. 0, or -1 with
// errno set to the thread creation's error (`fd` is then closed and the admission ended).
int conn_start(int fd, const caller_t& who);
// Connections being served (their threads have not ended yet).
int conn_count();
// At stop: shuts every connection down both ways, so each thread's read or write ends, then
// waits up to `timeout_ms` for their threads. True when none is left.
bool conn_shutdown_all(int timeout_ms);

// Thread body; `arg` is the connection's own heap record (descriptor and caller), which it
// frees. Returns null.
void* conn_thread(void* arg);
