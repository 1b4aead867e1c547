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

// ---- pools, disk and network benchmarks ----
VORND_PENDING_OP(fio_run)
VORND_PENDING_OP(iperf3_client)
VORND_PENDING_OP(iperf3_server)
VORND_PENDING_OP(iperf3_kill)
VORND_PENDING_OP(zpool_iostat_stream)
VORND_PENDING_OP(zpool_list)
// ----


// ---- tracing and capture ----
VORND_PENDING_OP(strace_attach)
VORND_PENDING_OP(pcap_capture)
VORND_PENDING_OP(pcap_stream)
// ----
