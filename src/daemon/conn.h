// conn — one thread per accepted connection: it reads a frame and hands it to dispatch, until
// the peer goes or a frame is refused.
//
// Requests on one connection are strictly sequential. An error reply never closes the
// connection; a frame with a bad length prefix (0 or above 1 MiB) always does, silently.
// The thread owns the descriptor and closes it.
// Threads: conn_start, conn_count and conn_shutdown_all are called by the main thread; the
// registry of live connections has its own lock (a leaf), taken by each connection thread
// once at its end.
#pragma once

// Client connections served at once; the main thread closes any beyond at once.
constexpr int CONN_MAX = 512;

// Registers `fd` and serves it on a new detached thread running conn_thread, which owns and
// closes it. 0, or -1 with errno set to the thread creation's error (`fd` is then closed).
int conn_start(int fd);
// Connections being served (their threads have not ended yet).
int conn_count();
// At stop: shuts every connection down both ways, so each thread's read or write ends, then
// waits up to `timeout_ms` for their threads. True when none is left.
bool conn_shutdown_all(int timeout_ms);

// Thread body; `arg` carries the connection descriptor as an integer value. Returns null.
void* conn_thread(void* arg);
