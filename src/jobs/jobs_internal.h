// jobs_internal — what the job table's two source files share and the unit tests reach:
// the table mutex and the ring append. Nothing outside the jobs module includes this.
#pragma once

#include <cstddef>
#include <mutex>

#include "jobs/jobs.h"

// The table lock (guards in_use, id, is_pty, closing, master_fd, rows, cols, scans).
std::mutex& jobs_table_mu();

// Appends `n` output bytes to the session's ring: the bytes get the next stream offsets, the
// oldest are overwritten once the ring is full. Caller holds job->rmu. No ring: nothing.
void job_ring_append(job_t* job, const unsigned char* data, size_t n);
