// cancel — what ends a run before its child does: a raised flag (a client's _cancel, the
// daemon's stop), the client's hang-up, or a deadline. The runner watches all three through
// one token; a job's token points into its slot, a capture's holds only its deadline and the
// client's connection.
// Threads: the flag and the published child are atomics: the run stores and polls them while
// other threads raise or read them. A token itself belongs to the run's thread.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <mutex>

struct cancel_token_t {
    const std::atomic<int>* flag = nullptr;  // non-zero stops the run; null: nobody cancels it
    int watch_fd = -1;                       // watched (never read) for hang-up; -1: none
    int deadline_ms = 0;                     // from the run's start; 0: none
    // Where the run publishes its child for whoever signals it by number (a job's cancel, the
    // daemon's stop), and the lock those signals go out under: the child is forgotten under
    // it before it is reaped, so no signal reaches a process that reuses the number. Null:
    // nobody else signals the child.
    std::atomic<pid_t>* child = nullptr;
    std::mutex* child_mu = nullptr;

    bool cancelled() const { return flag && flag->load() != 0; }
    void publish_child(pid_t pid) const {
        if (child) child->store(pid);
    }
    void forget_child() const {
        if (!child) return;
        std::lock_guard<std::mutex> lock(*child_mu);
        child->store(0);
    }
};
