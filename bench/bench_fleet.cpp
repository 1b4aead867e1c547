// Fleet: `info` on FLEET_HOSTS local daemons standing in for appliances, reached through a
// stand-in ssh (a script that ignores its options and runs the remote command against the
// host's socket). vornctl -H asks them all at once, each through a bridge; the comparison is
// what an administrator did without it, one `ssh HOST vornctl info` after the other through
// the same stand-in. Both sides pay the same process starts per host; only the waiting
// differs. A second row holds the fan-out against one host alone: asking 16 should cost
// less than twice asking one. Each figure is the median of runs alternated until each side
// has measured for the context's time, at least FLEET_MIN_RUNS times.
// The set is measured twice: with a stand-in that connects at once, where only the process
// starts count (and a machine with few CPUs does them no faster for starting them together),
// and with one that first sleeps SSH_SETUP_MS, for the round trips of a real connection's key
// exchange and authentication, which fan-out overlaps.

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench.h"

extern char** environ;

namespace {

constexpr int FLEET_HOSTS = 16;
constexpr int FLEET_MIN_RUNS = 5;
constexpr int SSH_SETUP_MS = 100;

// Runs argv with VORNCTL_SSH set, output discarded; its exit status, or -1.
int run_quiet(const std::vector<std::string>& words, const std::string& ssh) {
    std::vector<std::string> env_text = {"VORNCTL_SSH=" + ssh};
    for (char** e = environ; *e; e++)
        if (strncmp(*e, "VORNCTL_SSH=", 12) != 0) env_text.push_back(*e);
    std::vector<char*> argv, envp;
    for (const std::string& w : words) argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(nullptr);
    for (std::string& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int err = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (err != 0) return -1;
    int st = 0;
    while (waitpid(pid, &st, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

double median_ms(std::vector<double> v) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Writes the stand-in ssh: options skipped, the host mapped to its daemon's socket, the
// remote command (`vornctl WORDS`) run against it after `delay_ms`.
int write_ssh(const std::string& path, const std::string& cases, const std::string& vornctl, int delay_ms) {
    FILE* f = fopen(path.c_str(), "we");
    if (!f) return -1;
    fprintf(f,
            "#!/bin/sh\n"
            "while [ $# -gt 0 ]; do case $1 in -o) shift 2;; -*) shift;; *) break;; esac; done\n"
            "case $1 in\n%s  *) exit 255;;\nesac\n"
            "%s"
            "shift 2\n"  // the host and the word vornctl
            "exec %s -s \"$s\" \"$@\"\n",
            cases.c_str(), delay_ms ? ("sleep " + std::to_string(delay_ms / 1000.0) + "\n").c_str() : "",
            vornctl.c_str());
    fclose(f);
    return chmod(path.c_str(), 0755);
}

// The three ways in turn until each has had its time: all hosts through -H, one host
// through -H, one ssh per host. Two rows, named after `label`.
int measure(const bench_ctx_t* ctx, const std::string& ssh, const std::string& vornctl, const std::string& hosts,
            const std::string& label, bench_report_t* report) {
    std::vector<double> ms[3];
    uint64_t spent[3] = {0, 0, 0};
    const uint64_t want_ns = static_cast<uint64_t>(ctx->seconds * 1e9);
    for (int run = 0; run < FLEET_MIN_RUNS || spent[0] < want_ns || spent[2] < want_ns; run++) {
        for (int way = 0; way < 3; way++) {
            uint64_t t0 = bench_now_ns();
            int st = 0;
            if (way < 2) {
                st = run_quiet({vornctl, "-H", way == 0 ? hosts : "fleet0", "--json", "info"}, ssh);
            } else {
                for (int i = 0; i < FLEET_HOSTS && st == 0; i++)
                    st = run_quiet({ssh, "-o", "BatchMode=yes", "fleet" + std::to_string(i), "vornctl", "info"}, ssh);
            }
            uint64_t ns = bench_now_ns() - t0;
            if (st != 0) {
                fprintf(stderr, "vornbench: fleet: a run failed with status %d\n", st);
                return -1;
            }
            spent[way] += ns;
            ms[way].push_back(static_cast<double>(ns) / 1e6);
        }
    }
    double fan = median_ms(ms[0]), one = median_ms(ms[1]), seq = median_ms(ms[2]);
    report->push_back({"fleet", "16 hosts -H / in turn" + label + " (ms)", fan, seq, GOAL_NONE, 0});
    report->push_back({"fleet", "16 hosts / 1 host -H" + label + " (ms)", fan, one, GOAL_RATIO_MAX, 2.0});
    return 0;
}

}  // namespace

int scen_fleet(const bench_ctx_t* ctx, bench_report_t* report) {
    std::string vornctl = (std::filesystem::path(ctx->vornd_path).parent_path() / "vornctl").string();
    if (access(vornctl.c_str(), X_OK) != 0) {
        fprintf(stderr, "vornbench: fleet: no vornctl next to %s\n", ctx->vornd_path.c_str());
        return -1;
    }
    std::vector<std::unique_ptr<bench_daemon_t>> daemons;
    std::string cases, hosts;
    for (int i = 0; i < FLEET_HOSTS; i++) {
        daemons.push_back(std::make_unique<bench_daemon_t>());
        std::string name = "fleet" + std::to_string(i);
        if (daemons.back()->start(ctx, name) != 0) return -1;
        cases += "  " + name + ") s=" + daemons.back()->socket_path() + ";;\n";
        hosts += (i ? "," : "") + name;
    }
    for (int delay : {0, SSH_SETUP_MS}) {
        const std::string ssh = ctx->dir + "/fleet-ssh-" + std::to_string(delay);
        std::string label = delay ? " +" + std::to_string(delay) + "ms" : "";
        if (write_ssh(ssh, cases, vornctl, delay) != 0 || measure(ctx, ssh, vornctl, hosts, label, report) != 0)
            return -1;
    }
    return 0;
}
