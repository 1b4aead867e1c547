// notify — the daemon's state told to the service manager that started it: ready, reloading,
// stopping. The manager names its datagram socket in NOTIFY_SOCKET (a path, or "@name" for an
// abstract one); without that variable nothing is sent.
//
// Threads: notify_init once at start-up, before any other thread; the sends from the main
// thread (the manager takes the sender's pid as the daemon's).
// Errors: none reach the caller: a message that cannot be sent is dropped with a DBG line, and
// an unusable NOTIFY_SOCKET is reported once (WRN) at start-up.
#pragma once

// Reads NOTIFY_SOCKET and removes it from the environment, so that no child (a shell, a
// program run on a client's behalf) can speak to the service manager in the daemon's name.
// Call after the standard descriptors are held: the socket opened here must not become one.
void notify_init();
// Sends `state` ("READY=1", "STOPPING=1") as one datagram.
void notify_send(const char* state);
// Sends "RELOADING=1" with "MONOTONIC_USEC=" and the monotonic clock in microseconds, which
// tells the manager when the reload began.
void notify_reloading();
