// Child processes for tests that run the programs themselves (command line, vornctl), and a
// polling helper for conditions that have no event to wait on.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "base/fdio.h"

struct spawned_t {
    pid_t pid = -1;
    unique_fd out;  // the child's standard output
    unique_fd err;  // the child's standard error
};

// Starts `argv` (argv[0] is a path) with standard input from /dev/null, in `cwd` when it is
// not empty. pid is -1 when the fork fails.
spawned_t spawn_program(const std::vector<std::string>& argv, const std::string& cwd = "");

// Waits for `pid` to exit: its exit status, or -1 when it died of a signal or was still
// running after `timeout_ms` (it is killed then).
int wait_exit(pid_t pid, int timeout_ms = 10000);

// Reads `fd` until end of stream or `timeout_ms`.
std::string read_to_end(int fd, int timeout_ms = 10000);

struct run_result_t {
    int status = -1;
    std::string out, err;
};

// Runs `argv` to its end and collects both outputs.
run_result_t run_program(const std::vector<std::string>& argv, int timeout_ms = 10000);

// Checks `cond` every 10 ms until it holds (true) or `timeout_ms` passes (false).
bool eventually(const std::function<bool()>& cond, int timeout_ms = 5000);
