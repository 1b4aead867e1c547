// Scenarios of the daemon's spine: ping round-trip latency on one connection, ping
// throughput over many connections, and the daemon's resident memory when idle and per
// idle connection. vornd and the floor run in alternating slices (A B B A ...) so that a
// change in the machine's load during the run falls on both sides alike.

#include <cmath>
#include <cstdio>
#include <latch>

#include "base/clock.h"
#include "bench.h"

namespace {

constexpr int LATENCY_SLICES = 10;               // per side
constexpr size_t LATENCY_MAX_SAMPLES = 2000000;  // per side
constexpr int WARMUP_PINGS = 2000;
constexpr int THROUGHPUT_CONNS = 16;
constexpr int THROUGHPUT_SLICES = 2;  // per side
constexpr int RSS_CONNS = 100;
constexpr int RSS_SETTLE_MS = 300;
constexpr int THREADS_WAIT_MS = 5000;

uint64_t slice_ns(const bench_ctx_t* ctx, int slices) { return static_cast<uint64_t>(ctx->seconds * 1e9 / slices); }

// Sequential round trips on `c` for `ns` nanoseconds; appends each one's time in ns.
int ping_for(ping_client_t* c, uint64_t ns, std::vector<uint32_t>* lat) {
    uint64_t end = bench_now_ns() + ns;
    for (;;) {
        uint64_t t0 = bench_now_ns();
        if (t0 >= end || lat->size() >= LATENCY_MAX_SAMPLES) return 0;
        if (c->once() != 0) return -1;
        uint64_t d = bench_now_ns() - t0;
        lat->push_back(d > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(d));
    }
}

int warm_up(ping_client_t* c) {
    for (int i = 0; i < WARMUP_PINGS; i++)
        if (c->once() != 0) return -1;
    return 0;
}

struct side_t {
    const char* name;
    std::string sock;
    std::vector<uint32_t> lat;
    uint64_t requests = 0;
    uint64_t ns = 0;
};

// THROUGHPUT_CONNS connections to side->sock, each pinging on its own thread for `ns`;
// adds the completed round trips and the measured time to `side`.
int throughput_slice(side_t* side, uint64_t ns) {
    std::latch ready(THROUGHPUT_CONNS + 1);
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> done{0};
    std::atomic<int> failed{0};
    std::vector<std::thread> th;
    for (int i = 0; i < THROUGHPUT_CONNS; i++) {
        th.emplace_back([&, i] {
            ping_client_t c;
            bool ok = c.open(side->sock, "tp" + std::to_string(i)) == 0;
            ready.arrive_and_wait();
            uint64_t n = 0;
            while (ok && !stop.load(std::memory_order_relaxed)) {
                if (c.once() != 0) ok = false;
                else n++;
            }
            if (!ok) failed++;
            done += n;
        });
    }
    ready.arrive_and_wait();
    uint64_t t0 = bench_now_ns();
    sleep_ms(static_cast<int>(ns / 1000000));
    stop = true;
    uint64_t t1 = bench_now_ns();
    for (auto& t : th) t.join();
    side->requests += done;
    side->ns += t1 - t0;
    if (failed)
        fprintf(stderr, "vornbench: %d of %d %s connections failed\n", failed.load(), THROUGHPUT_CONNS, side->name);
    return failed ? -1 : 0;
}

// Waits until process `pid` runs at least `want` threads.
int wait_threads(pid_t pid, long want) {
    for (int waited = 0; waited < THREADS_WAIT_MS; waited += 10) {
        if (bench_proc_status(pid, "Threads") >= want) return 0;
        sleep_ms(10);
    }
    fprintf(stderr, "vornbench: process %d did not reach %ld threads\n", static_cast<int>(pid), want);
    return -1;
}

// RSS of `pid` before, after RSS_CONNS idle connections to `sock`, and after one ping on
// each (the connection has then served a request and is idle again). In KiB.
struct rss_steps_t {
    long base = -1, opened = -1, pinged = -1;
};

int rss_steps(pid_t pid, const std::string& sock, rss_steps_t* out) {
    std::vector<ping_client_t> cs(RSS_CONNS);
    for (int i = 0; i < RSS_CONNS; i++) cs[i].prepare("rss" + std::to_string(i));
    sleep_ms(RSS_SETTLE_MS);
    long threads = bench_proc_status(pid, "Threads");
    out->base = bench_proc_status(pid, "VmRSS");
    for (auto& c : cs)
        if (c.connect(sock) != 0) return -1;
    if (wait_threads(pid, threads + RSS_CONNS) != 0) return -1;
    sleep_ms(RSS_SETTLE_MS);
    out->opened = bench_proc_status(pid, "VmRSS");
    for (auto& c : cs)
        if (c.once() != 0) return -1;
    sleep_ms(RSS_SETTLE_MS);
    out->pinged = bench_proc_status(pid, "VmRSS");
    return 0;
}

double per_conn(long from, long to) { return static_cast<double>(to - from) / RSS_CONNS; }

}  // namespace

int scen_ping_latency(const bench_ctx_t* ctx, bench_report_t* report) {
    bench_daemon_t d;
    bench_floor_t f;
    if (d.start(ctx, "ping-latency") != 0 || f.start(ctx->dir + "/ping-latency-floor.sock") != 0) return -1;
    side_t sides[2] = {{"vornd", d.socket_path(), {}}, {"floor", f.socket_path(), {}}};
    ping_client_t cl[2];
    for (int s = 0; s < 2; s++) {
        sides[s].lat.reserve(LATENCY_MAX_SAMPLES);
        if (cl[s].open(sides[s].sock, "lat1") != 0 || warm_up(&cl[s]) != 0) {
            fprintf(stderr, "vornbench: ping to the %s failed\n", sides[s].name);
            return -1;
        }
    }
    uint64_t ns = slice_ns(ctx, LATENCY_SLICES);
    for (int i = 0; i < 2 * LATENCY_SLICES; i++) {
        int s = (i % 4 == 0 || i % 4 == 3) ? 0 : 1;  // A B B A
        if (ping_for(&cl[s], ns, &sides[s].lat) != 0) {
            fprintf(stderr, "vornbench: ping to the %s failed\n", sides[s].name);
            return -1;
        }
    }
    double p50[2], p99[2];
    for (int s = 0; s < 2; s++) {
        p50[s] = bench_percentile(&sides[s].lat, 0.50) / 1000.0;
        p99[s] = bench_percentile(&sides[s].lat, 0.99) / 1000.0;
    }
    report->push_back({"ping-latency", "p50 round trip (us)", p50[0], p50[1], GOAL_RATIO_MAX, 1.1});
    report->push_back({"ping-latency", "p99 round trip (us)", p99[0], p99[1], GOAL_NONE, 0});
    f.stop();
    return d.stop() == 0 ? 0 : -1;
}

int scen_ping_throughput(const bench_ctx_t* ctx, bench_report_t* report) {
    bench_daemon_t d;
    bench_floor_t f;
    if (d.start(ctx, "ping-throughput") != 0 || f.start(ctx->dir + "/ping-throughput-floor.sock") != 0) return -1;
    side_t sides[2] = {{"vornd", d.socket_path(), {}}, {"floor", f.socket_path(), {}}};
    uint64_t ns = slice_ns(ctx, THROUGHPUT_SLICES);
    for (int i = 0; i < 2 * THROUGHPUT_SLICES; i++) {
        int s = (i % 4 == 0 || i % 4 == 3) ? 0 : 1;
        if (throughput_slice(&sides[s], ns) != 0) return -1;
    }
    double rate[2];
    for (int s = 0; s < 2; s++) rate[s] = sides[s].ns ? sides[s].requests * 1e9 / sides[s].ns : 0;
    std::string metric = "requests/s, " + std::to_string(THROUGHPUT_CONNS) + " connections";
    report->push_back({"ping-throughput", metric, rate[0], rate[1], GOAL_RATIO_MIN, 0.9});
    f.stop();
    return d.stop() == 0 ? 0 : -1;
}

// The floor process is a copy of vornbench, so its idle size says nothing about a server and
// is not shown; its growth per connection is the floor's per-connection figure.
int scen_rss(const bench_ctx_t* ctx, bench_report_t* report) {
    bench_daemon_t d;
    if (d.start(ctx, "rss") != 0) return -1;
    rss_steps_t v, fl;
    if (rss_steps(d.pid(), d.socket_path(), &v) != 0) return -1;
    bench_floor_t f;
    if (f.start(ctx->dir + "/rss-floor.sock") != 0 || rss_steps(f.pid(), f.socket_path(), &fl) != 0) return -1;
    const double none = std::nan("");
    report->push_back({"rss", "idle RSS (KiB)", static_cast<double>(v.base), none, GOAL_VALUE_MAX, 4096});
    report->push_back({"rss", "RSS per idle connection (KiB)", per_conn(v.base, v.opened), per_conn(fl.base, fl.opened),
                       GOAL_VALUE_MAX, 64});
    report->push_back({"rss", "RSS per connection after a ping (KiB)", per_conn(v.base, v.pinged),
                       per_conn(fl.base, fl.pinged), GOAL_VALUE_MAX, 64});
    return d.stop() == 0 ? 0 : -1;
}
