// The process list with 2,000 extra sleeping processes: `procs_list` in its full form
// (name, command line, resident size), request to reply, against `ps -eo pid,comm,args,rss`
// run as a program to completion (the same fields, read from the same /proc) with its output
// read to the end. The "floor" column of this scenario is ps.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/fdio.h"
#include "bench.h"
#include "client.h"

extern char** environ;

namespace {

constexpr int EXTRA_PROCESSES = 2000;
constexpr int LIST_SLICES = 6;  // per side
constexpr int LIST_WARMUP = 3;  // per side
constexpr size_t PS_READ_BYTES = 65536;

const char* const PS_CANDIDATES[] = {"/bin/ps", "/usr/bin/ps"};

// Children of this process, each blocked reading a pipe whose only write end is held here:
// closing it ends them all, also when vornbench itself dies.
class sleepers_t {
public:
    sleepers_t() = default;
    ~sleepers_t() {
        hold_.reset();
        for (pid_t p : pids_) waitpid(p, nullptr, 0);
    }
    sleepers_t(const sleepers_t&) = delete;
    sleepers_t& operator=(const sleepers_t&) = delete;

    int start(int n) {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0) return -1;
        unique_fd r(p[0]);
        hold_.reset(p[1]);
        for (int i = 0; i < n; i++) {
            pid_t pid = fork();
            if (pid < 0) {
                perror("vornbench: fork of a sleeping process");
                return -1;
            }
            if (pid == 0) {
                dup2(r.get(), 0);
                close_range(3, ~0U, 0);
                char c;
                (void)!read(0, &c, 1);
                _exit(0);
            }
            pids_.push_back(pid);
        }
        return 0;
    }

private:
    unique_fd hold_;
    std::vector<pid_t> pids_;
};

size_t count_of(const std::string& s, std::string_view part) {
    size_t n = 0;
    for (size_t at = 0; (at = s.find(part, at)) != std::string::npos; at += part.size()) n++;
    return n;
}

// Runs ps to its end; its output in `out`. -1 when it cannot run or fails.
int run_ps(const char* ps, std::string* out) {
    char* argv[] = {const_cast<char*>(ps), const_cast<char*>("-eo"), const_cast<char*>("pid,comm,args,rss"), nullptr};
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        int dn = open("/dev/null", O_RDONLY);
        if (dn < 0 || dup2(dn, 0) < 0 || dup2(p[1], 1) < 0) _exit(126);
        close_range(3, ~0U, 0);
        execve(ps, argv, environ);
        _exit(127);
    }
    close(p[1]);
    unique_fd r(p[0]);
    if (pid < 0) return -1;
    out->clear();
    char buf[PS_READ_BYTES];
    for (ssize_t n; (n = read(r.get(), buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        out->append(buf, static_cast<size_t>(n));
    }
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(st) && WEXITSTATUS(st) == 0 ? 0 : -1;
}

}  // namespace

int scen_procs_list(const bench_ctx_t* ctx, bench_report_t* report) {
    const char* ps = nullptr;
    for (const char* c : PS_CANDIDATES)
        if (!ps && access(c, X_OK) == 0) ps = c;
    if (!ps) {
        fprintf(stderr, "vornbench: no ps program\n");
        return -1;
    }
    bench_daemon_t d;
    if (d.start(ctx, "procs-list") != 0) return -1;
    sleepers_t sleepers;
    if (sleepers.start(EXTRA_PROCESSES) != 0) return -1;
    unique_fd conn = vc_connect(d.socket_path().c_str());
    if (!conn) return -1;
    const std::string req = vc_request("p1", "procs_list", "{\"full\":true}");
    std::string reply, text;
    // Both sides must list at least the extra processes.
    auto once = [&](int side, std::vector<uint32_t>* lat) {
        uint64_t t0 = bench_now_ns();
        bool ran = side == 0 ? vc_send(conn.get(), req) == 0 && vc_recv(conn.get(), &reply) == 0
                             : run_ps(ps, &text) == 0;
        uint64_t ns = bench_now_ns() - t0;
        size_t listed = side == 0 ? count_of(reply, "{\"pid\":") : count_of(text, "\n");
        if (!ran || listed < EXTRA_PROCESSES ||
            (side == 0 && reply.rfind("{\"id\":\"p1\",\"ok\":true,\"result\":{\"procs\":[", 0) != 0)) {
            fprintf(stderr, "vornbench: procs-list: %s listed %zu processes\n", side == 0 ? "vornd" : "ps", listed);
            return -1;
        }
        if (lat) lat->push_back(ns > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ns));
        return 0;
    };
    for (int s = 0; s < 2; s++)
        for (int i = 0; i < LIST_WARMUP; i++)
            if (once(s, nullptr) != 0) return -1;
    std::vector<uint32_t> lat[2];
    uint64_t slice = static_cast<uint64_t>(ctx->seconds * 1e9 / LIST_SLICES);
    for (int i = 0; i < 2 * LIST_SLICES; i++) {
        int s = (i % 4 == 0 || i % 4 == 3) ? 0 : 1;  // A B B A
        for (uint64_t end = bench_now_ns() + slice; bench_now_ns() < end;)
            if (once(s, &lat[s]) != 0) return -1;
    }
    report->push_back({"procs-list", "p50 full list, 2000 extra procs (ms)", bench_percentile(&lat[0], 0.50) / 1e6,
                       bench_percentile(&lat[1], 0.50) / 1e6, GOAL_RATIO_MAX, 0.8});
    return d.stop() == 0 ? 0 : -1;
}
