// jobs_internal — what the job table's two source files share and the unit tests reach:
// slot lookups and frees under the table lock, and the ring append. Nothing outside the jobs
// module includes this.
#pragma once

#include <cstddef>

#include "jobs/jobs.h"
#include "jobs/pty_session.h"

// The taken (not free) slot with this id; null for a null or empty id.
job_t* job_live_locked(const char* id) REQUIRES(g_jobs_mu);
// Frees a claimed slot, or a session slot whose close has torn it down (ending), clearing it;
// any other slot is left as it is.
void job_free_locked(job_t* job) REQUIRES(g_jobs_mu);
// Appends `n` output bytes to the session's ring: the bytes get the next stream offsets, the
// oldest are overwritten once the ring is full. No ring: nothing.
void pty_ring_append(pty_session_t* s, const unsigned char* data, size_t n) REQUIRES(s->rmu);
