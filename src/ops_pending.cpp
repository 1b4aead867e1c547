// Operations whose rows are in the table but whose families are still being built: each
// answers as an unknown operation would, until its module defines the handler.
#include "ops.h"

#define VORND_PENDING_OP(name)                                                        \
    int op_##name(int fd, const char* req_id, const char*, const jsmntok_t*, int, int) { \
        return reply_err(fd, req_id, "ENOOP", "unknown op");                             \
    }




// ---- tracing and capture ----
VORND_PENDING_OP(strace_attach)
VORND_PENDING_OP(pcap_capture)
VORND_PENDING_OP(pcap_stream)
// ----
