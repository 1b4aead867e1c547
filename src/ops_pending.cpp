// Operations whose rows are in the table but whose families are still being built: each
// answers as an unknown operation would, until its module defines the handler.
#include "ops.h"

#define VORND_PENDING_OP(name)                                                        \
    int op_##name(int fd, const char* req_id, const char*, const jsmntok_t*, int, int) { \
        return reply_err(fd, req_id, "ENOOP", "unknown op");                             \
    }

// ---- memory tests ----
VORND_PENDING_OP(memprowl_run)
VORND_PENDING_OP(memprowl_kill)
VORND_PENDING_OP(mem_suspend_run)
VORND_PENDING_OP(mem_suspend_cancel)
// ----


// ---- process listing, control and kernel tuning ----
VORND_PENDING_OP(procs_list)
VORND_PENDING_OP(procs_kill)
VORND_PENDING_OP(proc_signal)
VORND_PENDING_OP(proc_renice)
VORND_PENDING_OP(cpufreq_set)
VORND_PENDING_OP(drop_caches)
VORND_PENDING_OP(proc_openfiles)
VORND_PENDING_OP(proc_detail)
VORND_PENDING_OP(cpu_limit)
// ----

// ---- tracing and capture ----
VORND_PENDING_OP(strace_attach)
VORND_PENDING_OP(pcap_capture)
VORND_PENDING_OP(pcap_stream)
// ----
