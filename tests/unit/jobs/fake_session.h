// A session slot without a terminal or a reader thread: the table sees a running session with
// these fields until the object goes, which frees the slot as a finished close does.
#pragma once

#include "jobs/jobs_internal.h"
#include "jobs/pty_session.h"

struct fake_session_t {
    job_t* job;
    pty_session_t s;
    fake_session_t(job_t* j, pid_t shell, const char* tty = "") : job(j), s(j, -1, shell, 24, 80, tty, 16) {
        lock_guard_t lock(g_jobs_mu);
        j->session = &s;
        j->pid = shell;
        job_transition(j, job_state_t::claimed, job_state_t::running);
    }
    ~fake_session_t() {
        lock_guard_t lock(g_jobs_mu);
        job_transition(job, job_state_t::running, job_state_t::ending);
        job_free_locked(job);
    }
};
