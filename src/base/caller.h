// caller — who is on the other end of a connection: the peer's uid, gid, pid and supplementary
// groups as the kernel reported them when the connection was accepted.
//
// The main thread reads them once (caller_read) and hands them to the connection's thread,
// which publishes its caller in a thread_local pointer (caller_set) for the time it serves the
// connection. Handlers keep their signature: the job table (owner of a new job) and the PTY
// code (creating uid) read the caller through caller_current.
// Threads: a caller_t belongs to its connection's thread; caller_current is per thread and
// null on every thread that serves no connection (start-up, readers, tests that dispatch
// directly), where no identity check applies.
// Errors: 0 / -1.
#pragma once

#include <sys/types.h>

// Supplementary groups kept per caller; a peer in more groups has the rest cut (in the order
// the kernel reports them), so a class that only such a late membership would grant is not
// granted.
constexpr int CALLER_MAX_GROUPS = 64;
// What /proc/PID/comm holds, NUL included; and the longest user name kept for log lines.
constexpr int CALLER_COMM_BYTES = 16;
constexpr int CALLER_USER_BYTES = 33;

struct caller_t {
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    pid_t pid = 0;
    int ngroups = 0;
    gid_t groups[CALLER_MAX_GROUPS] = {};
    // Filled once, by caller_names, when the first audit line of the connection is written.
    bool named = false;
    char comm[CALLER_COMM_BYTES] = {};
    char user[CALLER_USER_BYTES] = {};
};

// The peer of the connected socket `fd`. 0, or -1 when the kernel gives no credentials (the
// supplementary groups are optional: a kernel without them leaves ngroups 0).
int caller_read(int fd, caller_t* out);
// The caller of the connection this thread serves, or null.
caller_t* caller_current();
// Sets (or with null clears) this thread's caller; `c` must outlive the setting.
void caller_set(caller_t* c);
// True when `c` is root, or when there is no caller (no check applies).
bool caller_is_root(const caller_t* c);
// True when `gid` is the caller's group or one of its supplementary groups.
bool caller_in_group(const caller_t* c, gid_t gid);
// Whether `c` may act on something created by `owner`: root, the owner itself, or a caller
// that holds the control class (`has_control`). No caller: always.
bool caller_may_act_on(const caller_t* c, uid_t owner, bool has_control);
// Fills comm (from /proc/PID/comm) and user (the passwd name, else empty) once; later calls
// do nothing. Never called on the request path of an operation that is not audited.
void caller_names(caller_t* c);
