// vornbench — measures vornd against a floor built into the tool: the same work done by the
// simplest honest server, run side by side in the same run on the same machine.
//
//   vornbench [--vornd PATH] [--all | --scenario NAME...] [--rounds N] [--seconds N] [--list]
//
// It starts vornd itself (by default the one next to this binary) on a temporary
// configuration and socket, stops it with SIGTERM, and prints one table of every scenario
// run, with its goal and whether it is met. With --rounds N the whole set runs N times and
// the table shows the medians. Exit status: 0 when every scenario ran (goals met or not:
// this is a measurement, not a test), 1 when one could not run or failed its own checks, 2
// for a usage error.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "bench.h"

namespace {

struct scenario_t {
    const char* name;
    const char* what;
    bench_scenario_fn_t fn;
};

// Run in this order by default. A new scenario is a function and a row here.
const scenario_t SCENARIOS[] = {
    {"ping-latency", "one connection, sequential pings: round-trip p50 and p99", scen_ping_latency},
    {"ping-throughput", "64 connections, a thread each, pinging flat out: requests/s", scen_ping_throughput},
    {"rss", "vornd's resident memory idle, and per idle connection (100 connections)", scen_rss},
    {"exec-stream", "exec of a program printing 1,000,000 lines: lines/s, request to done", scen_exec_stream},
    {"exec-spawn", "exec of /bin/true, sequential: request-to-done p50 and p99", scen_exec_spawn},
    {"pty-throughput", "cat of a 64 MiB file in a PTY session: decoded bytes/s vs a directly read pty",
     scen_pty_throughput},
    {"procs-list", "procs_list full form with 2,000 extra processes: p50 request to reply vs ps", scen_procs_list},
    {"pcap-stream", "a capture tool writing 256 MiB: decoded MB/s, request to done, vs its pipe read directly",
     scen_pcap_stream},
    {"fleet", "info on 16 daemons through vornctl -H and a stand-in ssh vs one ssh per host in turn, and vs one host",
     scen_fleet},
};

constexpr double DEFAULT_SECONDS = 2.0;
constexpr double MAX_SECONDS = 600.0;
constexpr double MIN_SECONDS = 0.1;
constexpr int MAX_ROUNDS = 99;

void usage(FILE* out) {
    fprintf(out,
            "usage: vornbench [--vornd PATH] [--all | --scenario NAME...] [--rounds N] [--seconds N]\n"
            "                 [--config-extra FILE] [--list]\n"
            "  --vornd PATH     daemon binary (default: vornd next to vornbench)\n"
            "  --all            run every scenario (the default)\n"
            "  --scenario NAME  run only this scenario (repeatable)\n"
            "  --rounds N       run the set N times and show the medians (default 1)\n"
            "  --seconds N      measuring time per side of each scenario (default %.0f)\n"
            "  --config-extra FILE  append FILE to every daemon configuration (an [access] section...)\n"
            "  --list           list the scenarios\n",
            DEFAULT_SECONDS);
}

const scenario_t* find_scenario(const char* name) {
    for (const scenario_t& s : SCENARIOS)
        if (strcmp(s.name, name) == 0) return &s;
    return nullptr;
}

std::string default_vornd_path() {
    std::error_code ec;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return "vornd";
    return (self.parent_path() / "vornd").string();
}

struct options_t {
    std::string vornd;
    std::vector<const scenario_t*> run;
    double seconds = DEFAULT_SECONDS;
    int rounds = 1;
    std::string extra_config;
};

// 0 to run, 1 when the work is done (help, list), 2 for a usage error.
int parse_args(int argc, char** argv, options_t* o) {
    for (int i = 1; i < argc; i++) {
        std::string_view a = argv[i];
        const char* val = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "-h" || a == "--help") {
            usage(stdout);
            return 1;
        } else if (a == "--list") {
            for (const scenario_t& s : SCENARIOS) printf("%-16s %s\n", s.name, s.what);
            return 1;
        } else if (a == "--all") {
            o->run.clear();
            for (const scenario_t& s : SCENARIOS) o->run.push_back(&s);
        } else if ((a == "--vornd" || a == "--scenario" || a == "--seconds" || a == "--rounds" ||
                    a == "--config-extra") &&
                   !val) {
            fprintf(stderr, "vornbench: %s needs a value\n", argv[i]);
            return 2;
        } else if (a == "--vornd") {
            o->vornd = argv[++i];
        } else if (a == "--config-extra") {
            std::ifstream f(argv[++i]);
            if (!f) {
                fprintf(stderr, "vornbench: cannot read %s\n", argv[i]);
                return 2;
            }
            o->extra_config.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
        } else if (a == "--scenario") {
            const scenario_t* s = find_scenario(argv[++i]);
            if (!s) {
                fprintf(stderr, "vornbench: unknown scenario %s (see --list)\n", argv[i]);
                return 2;
            }
            o->run.push_back(s);
        } else if (a == "--rounds") {
            char* end = nullptr;
            long n = strtol(argv[++i], &end, 10);
            if (end == argv[i] || *end || n < 1 || n > MAX_ROUNDS) {
                fprintf(stderr, "vornbench: --rounds takes 1 to %d\n", MAX_ROUNDS);
                return 2;
            }
            o->rounds = static_cast<int>(n);
        } else if (a == "--seconds") {
            char* end = nullptr;
            o->seconds = strtod(argv[++i], &end);
            if (end == argv[i] || *end || !(o->seconds >= MIN_SECONDS && o->seconds <= MAX_SECONDS)) {
                fprintf(stderr, "vornbench: --seconds takes %.1f to %.0f\n", MIN_SECONDS, MAX_SECONDS);
                return 2;
            }
        } else {
            usage(stderr);
            return 2;
        }
    }
    if (o->vornd.empty()) o->vornd = default_vornd_path();
    if (o->run.empty())
        for (const scenario_t& s : SCENARIOS) o->run.push_back(&s);
    return 0;
}

std::string fmt_num(double v) {
    if (std::isnan(v)) return "-";
    char b[32];
    snprintf(b, sizeof b, std::fabs(v) >= 1000 ? "%.0f" : "%.1f", v);
    return b;
}

// The goal as text and whether the row meets it ("ok", "MISS", or "-" without a goal).
void judge(const bench_row_t& r, double ratio, std::string* goal, const char** verdict) {
    char b[48];
    bool met = true;
    switch (r.goal) {
    case GOAL_NONE:
        *goal = "-";
        *verdict = "-";
        return;
    case GOAL_RATIO_MAX:
        snprintf(b, sizeof b, "ratio <= %.2g", r.goal_value);
        met = ratio <= r.goal_value;
        break;
    case GOAL_RATIO_MIN:
        snprintf(b, sizeof b, "ratio >= %.2g", r.goal_value);
        met = ratio >= r.goal_value;
        break;
    case GOAL_VALUE_MAX:
        snprintf(b, sizeof b, "vornd <= %g", r.goal_value);
        met = r.vornd <= r.goal_value;
        break;
    }
    *goal = b;
    *verdict = met ? "ok" : "MISS";  // a NaN ratio never meets its goal
}

double median_of(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    if (v.empty()) return std::nan("");
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

double ratio_of(const bench_row_t& r) { return std::isnan(r.floor) || r.floor == 0 ? std::nan("") : r.vornd / r.floor; }

// One row per scenario and metric, in the order of their first appearance: the medians of
// the rounds' figures, and the median of the rounds' own ratios (each round measured both
// sides in the same minutes).
struct merged_row_t {
    bench_row_t row;
    double ratio;
};
std::vector<merged_row_t> merge_rounds(const std::vector<bench_report_t>& rounds) {
    std::vector<merged_row_t> out;
    std::vector<bench_row_t> keys;
    for (const bench_report_t& rep : rounds)
        for (const bench_row_t& r : rep)
            if (std::none_of(keys.begin(), keys.end(),
                             [&](const bench_row_t& k) { return k.scenario == r.scenario && k.metric == r.metric; }))
                keys.push_back(r);
    for (bench_row_t k : keys) {
        std::vector<double> v, f, q;
        for (const bench_report_t& rep : rounds)
            for (const bench_row_t& r : rep)
                if (r.scenario == k.scenario && r.metric == k.metric) {
                    v.push_back(r.vornd);
                    if (!std::isnan(r.floor)) f.push_back(r.floor);
                    if (!std::isnan(ratio_of(r))) q.push_back(ratio_of(r));
                }
        k.vornd = median_of(v);
        k.floor = median_of(f);
        out.push_back({k, median_of(q)});
    }
    return out;
}

constexpr const char* ROW_FORMAT = "%-16s %-38s %10s %10s %6s  %-14s %s\n";

void print_report(const std::vector<merged_row_t>& rows) {
    printf(ROW_FORMAT, "scenario", "metric", "vornd", "floor", "ratio", "goal", "met");
    for (const merged_row_t& m : rows) {
        const bench_row_t& r = m.row;
        std::string goal;
        const char* verdict;
        judge(r, m.ratio, &goal, &verdict);
        char rt[16] = "-";
        if (!std::isnan(m.ratio)) snprintf(rt, sizeof rt, "%.2f", m.ratio);
        printf(ROW_FORMAT, r.scenario.c_str(), r.metric.c_str(), fmt_num(r.vornd).c_str(), fmt_num(r.floor).c_str(), rt,
               goal.c_str(), verdict);
    }
}

void print_machine(const options_t& o) {
    double load[1] = {0};
    getloadavg(load, 1);
    printf("vornbench: %s, %.1f s per side, %d round%s, %u CPUs, load average %.2f\n", o.vornd.c_str(), o.seconds,
           o.rounds, o.rounds == 1 ? "" : "s (medians)", std::thread::hardware_concurrency(), load[0]);
}

}  // namespace

int main(int argc, char** argv) {
    options_t o;
    int rc = parse_args(argc, argv, &o);
    if (rc != 0) return rc == 1 ? 0 : 2;
    if (access(o.vornd.c_str(), X_OK) != 0) {
        fprintf(stderr, "vornbench: %s: %s (use --vornd PATH)\n", o.vornd.c_str(), strerror(errno));
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);  // a daemon that dies mid-run is a failed scenario, not our death

    char tmpl[] = "/tmp/vornbench-XXXXXX";
    if (!mkdtemp(tmpl)) {
        fprintf(stderr, "vornbench: mkdtemp: %s\n", strerror(errno));
        return 1;
    }
    bench_ctx_t ctx = {o.vornd, tmpl, o.seconds, o.extra_config};
    print_machine(o);

    std::vector<bench_report_t> rounds(static_cast<size_t>(o.rounds));
    int failed = 0;
    for (bench_report_t& report : rounds) {
        for (const scenario_t* s : o.run) {
            fprintf(stderr, "vornbench: running %s\n", s->name);
            if (s->fn(&ctx, &report) != 0) {
                fprintf(stderr, "vornbench: scenario %s failed (logs in %s)\n", s->name, ctx.dir.c_str());
                failed++;
            }
        }
    }
    print_report(merge_rounds(rounds));
    double load[1] = {0};
    getloadavg(load, 1);
    printf("vornbench: load average %.2f at the end\n", load[0]);
    if (!failed) {
        std::error_code ec;
        std::filesystem::remove_all(ctx.dir, ec);
    }
    return failed ? 1 : 0;
}
