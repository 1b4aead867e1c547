#include "spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "base/fdio.h"

namespace {

constexpr int POLL_STEP_MS = 10;

void sleep_step() { std::this_thread::sleep_for(std::chrono::milliseconds(POLL_STEP_MS)); }

}  // namespace

spawned_t spawn_program(const std::vector<std::string>& argv, const std::string& cwd) {
    spawned_t s;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return s;
    s.out.reset(out[0]);
    unique_fd out_w(out[1]);
    if (pipe2(err, O_CLOEXEC) != 0) return s;
    s.err.reset(err[0]);
    unique_fd err_w(err[1]);
    // Built before the fork: the child only makes async-signal-safe calls.
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    s.pid = fork();
    if (s.pid == 0) {
        int null_fd = open("/dev/null", O_RDONLY);
        if (null_fd < 0 || dup2(null_fd, 0) < 0 || dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0) _exit(126);
        close_range(3, ~0U, 0);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        execv(args[0], args.data());
        _exit(127);
    }
    return s;
}

int wait_exit(pid_t pid, int timeout_ms) {
    int st = 0;
    for (int waited = 0;; waited += POLL_STEP_MS) {
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        if (r < 0 && errno != EINTR) return -1;
        if (waited >= timeout_ms) {
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            return -1;
        }
        sleep_step();
    }
}

std::string read_to_end(int fd, int timeout_ms) {
    std::string s;
    char buf[4096];
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) return s;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return s;
        s.append(buf, static_cast<size_t>(n));
    }
}

run_result_t run_program(const std::vector<std::string>& argv, int timeout_ms) {
    run_result_t r;
    spawned_t s = spawn_program(argv);
    if (s.pid < 0) return r;
    // The outputs here are a few lines: one pipe never fills while the other is read.
    r.out = read_to_end(s.out.get(), timeout_ms);
    r.err = read_to_end(s.err.get(), timeout_ms);
    r.status = wait_exit(s.pid, timeout_ms);
    return r;
}

bool eventually(const std::function<bool()>& cond, int timeout_ms) {
    for (int waited = 0;; waited += POLL_STEP_MS) {
        if (cond()) return true;
        if (waited >= timeout_ms) return false;
        sleep_step();
    }
}
