// bench — vornbench's shared parts: the run context, the report rows, the daemon under
// measurement, the in-tool floor server, ping clients and the timing helpers.
//
// A scenario measures vornd and the floor side by side and appends rows to the report.
// Adding one is adding a function (declared below under its file's name) and a row to the
// table in vornbench.cpp; a scenario that needs the floor to answer a new operation adds a
// handler and a row to the floor's table in bench_floor.cpp.
// Threads: the context and the report belong to the main thread; a scenario may run client
// threads but joins them before it returns.
// Errors: 0 / -1, with the reason already printed on standard error.
#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/fdio.h"
#include "base/sb.h"

struct bench_ctx_t {
    std::string vornd_path;
    std::string dir;           // temporary directory for configurations, sockets and logs
    double seconds;            // measuring time per side (vornd, floor) of one scenario
    std::string extra_config;  // appended to every daemon configuration (--config-extra)
};

enum bench_goal_t {
    GOAL_NONE = 0,
    GOAL_RATIO_MAX,  // vornd / floor <= goal_value
    GOAL_RATIO_MIN,  // vornd / floor >= goal_value
    GOAL_VALUE_MAX,  // vornd <= goal_value
};

struct bench_row_t {
    std::string scenario;
    std::string metric;  // names its unit: "p50 round trip (us)"
    double vornd;
    double floor;  // NaN when the floor has no such figure
    bench_goal_t goal;
    double goal_value;
};

using bench_report_t = std::vector<bench_row_t>;
using bench_scenario_fn_t = int (*)(const bench_ctx_t* ctx, bench_report_t* report);

// ---- bench_util.cpp ----

uint64_t bench_now_ns();  // CLOCK_MONOTONIC
// The value at fraction `p` (0..1) of the sorted samples; reorders `v`. 0 when empty.
double bench_percentile(std::vector<uint32_t>* v, double p);
// A numeric field of /proc/PID/status ("VmRSS" in KiB, "Threads"), or -1.
long bench_proc_status(pid_t pid, const char* field);
// The figures of one side of a throughput scenario, summed over its runs.
struct bench_side_t {
    uint64_t bytes = 0;  // decoded (vornd) or read (floor) bytes
    uint64_t ns = 0;
    int runs = 0;
};
// Calls run(0) for vornd and run(1) for the floor in the order A B B A ... until each side
// has measured for the context's time and run at least `min_runs` times. 0, or -1 (with the
// failed side named) as soon as a run returns non-zero.
int bench_alternate(const bench_ctx_t* ctx, const char* scenario, int min_runs, bench_side_t sides[2],
                    const std::function<int(int side)>& run);

// The text between the first `key` in `frame` and the next double quote: the value of a
// string member that needs no escapes, `key` ending with its opening quote. Empty when absent.
std::string_view bench_str_after(std::string_view frame, std::string_view key);

// Reads the frames of one connection through a large reused buffer, so that a client reading
// a fast stream costs little next to the server it measures.
class frame_reader_t {
public:
    explicit frame_reader_t(int fd) : fd_(fd), buf_(1u << 20, '\0') {}
    // The next frame's body, valid until the next call. 0, or -1 on end of stream or an error.
    int next(std::string_view* body);

private:
    int fd_;
    std::string buf_;
    size_t have_ = 0, at_ = 0;
};

// One vornd process on a private socket in the context's directory, started with
// "-c <dir>/<name>.conf" (a [socket] section, then `extra_config`), standard error to
// "<dir>/<name>.log". The destructor kills a daemon that was not stopped.
class bench_daemon_t {
public:
    bench_daemon_t() = default;
    ~bench_daemon_t();
    bench_daemon_t(const bench_daemon_t&) = delete;
    bench_daemon_t& operator=(const bench_daemon_t&) = delete;

    // Starts the daemon and waits until its socket accepts a connection.
    int start(const bench_ctx_t* ctx, const std::string& name, std::string_view extra_config = "");
    // SIGTERM, then waits for the exit (SIGKILL after a grace). Returns the exit status or -1.
    int stop();
    pid_t pid() const { return pid_; }
    const std::string& socket_path() const { return sock_; }

private:
    pid_t pid_ = -1;
    std::string sock_, log_;
};

// One connection that sends a prebuilt ping frame and checks each reply byte for byte
// against the one both servers must send. Request and reply buffers are reused, so the
// client adds no allocation to a round trip.
class ping_client_t {
public:
    // prepare() builds the frames for `id` (which must need no JSON escaping); connect()
    // opens the connection; open() does both.
    void prepare(std::string_view id);
    int connect(const std::string& socket_path);
    int open(const std::string& socket_path, std::string_view id) {
        prepare(id);
        return connect(socket_path);
    }
    // One round trip; -1 on a connection error or a reply that differs from the expected one.
    int once();
    int fd() const { return fd_.get(); }

private:
    unique_fd fd_;
    std::string req_, expect_, buf_;
};

// ---- bench_floor.cpp ----

// The floor: a minimal thread-per-connection server with the daemon's framing (4-byte
// big-endian length, 1 B to 1 MiB body). Each frame is read whole, its "id" and "op" are
// found by a plain scan, and the op's handler builds and writes the reply.
// It runs in a process of its own, forked from vornbench, so that it pays what vornd pays
// for being another process (address-space switches on every wake-up); a floor sharing the
// client's process would be cheaper for a reason that has nothing to do with the server.
class bench_floor_t {
public:
    bench_floor_t() = default;
    ~bench_floor_t() { stop(); }
    bench_floor_t(const bench_floor_t&) = delete;
    bench_floor_t& operator=(const bench_floor_t&) = delete;

    // Forks the floor process and waits until it accepts connections. This process must run
    // one thread at that moment (fork copies only the caller's thread).
    int start(const std::string& socket_path);
    // Ends the floor process and reaps it; idempotent.
    void stop();
    pid_t pid() const { return pid_; }
    const std::string& socket_path() const { return sock_; }

private:
    pid_t pid_ = -1;
    unique_fd ctl_;  // the floor process exits when this, its only link to us, closes
    std::string sock_;
};

// A floor handler answers one request: `id` is the raw id text (cut to 63 bytes), `body`
// the whole frame. It writes its frames with floor_send. 0 keeps the connection, -1 closes it.
using floor_op_fn_t = int (*)(int fd, std::string_view id, std::string_view body);

// Sends `frame` as one frame with one write: `frame` holds 4 placeholder bytes, then the body.
int floor_send(int fd, std::string* frame);
// Starts a reply frame in `out`: the placeholder header and {"id":"<id escaped>",
int floor_reply_head(std::string* out, std::string_view id);

int floor_ping(int fd, std::string_view id, std::string_view body);

// The chunk events of one request gathered for one write, each frame exactly as the daemon
// writes it: length, {"id":..,"event":"chunk", the job id in the first one, "data":<data>}.
struct floor_chunks_t {
    explicit floor_chunks_t(std::string_view id);
    // Starts a frame; the caller then appends its data JSON to `out`.
    void begin();
    // Ends the frame begun last and fills in its length.
    void end();
    // Writes everything gathered with one write and empties `out`. 0, or -1 on a write error.
    int flush(int fd);

    sb_t out;
    bool first = true;  // no frame has carried the job id yet

private:
    std::string head_;        // {"id":"<id escaped>","event":"chunk","data":
    std::string first_head_;  // the same with the job id before "data"
    size_t at_ = 0;           // where the frame begun last starts
};

constexpr const char* FLOOR_JOB_ID = "0123456789abcdef";  // the shape of a real id

// ---- bench_ping.cpp ----

int scen_ping_latency(const bench_ctx_t* ctx, bench_report_t* report);
int scen_ping_throughput(const bench_ctx_t* ctx, bench_report_t* report);
int scen_rss(const bench_ctx_t* ctx, bench_report_t* report);

// ---- bench_exec.cpp ----

int floor_exec(int fd, std::string_view id, std::string_view body);
// The "cmd" string and the strings of the "argv" array of a request (raw text, escapes kept).
std::string_view floor_cmd(std::string_view body);
std::vector<std::string> floor_argv(std::string_view body);
// Starts `cmd` with `args` through posix_spawn with the runner's guarantees: one pipe for
// standard output and error, /dev/null as standard input, no other descriptor, default
// signal dispositions, an empty signal mask. Its pid and the pipe's read end in *out_r; -1
// when it cannot be started.
pid_t floor_spawn(const std::string& cmd, const std::vector<std::string>& args, int* out_r);
// The attributes every floor child gets: default dispositions for every signal, empty mask.
void floor_spawnattr(posix_spawnattr_t* a);
// The floor's "done" frame with `code`; with `first`, the job id that no chunk carried yet.
int floor_done(int fd, std::string_view id, bool first, int code);
int scen_exec_stream(const bench_ctx_t* ctx, bench_report_t* report);
int scen_exec_spawn(const bench_ctx_t* ctx, bench_report_t* report);

// ---- bench_pty.cpp ----

int floor_pty(int fd, std::string_view id, std::string_view body);
int scen_pty_throughput(const bench_ctx_t* ctx, bench_report_t* report);

// ---- bench_procs.cpp ----

int scen_procs_list(const bench_ctx_t* ctx, bench_report_t* report);

// ---- bench_pcap.cpp ----

int floor_pcap_stream(int fd, std::string_view id, std::string_view body);
int scen_pcap_stream(const bench_ctx_t* ctx, bench_report_t* report);

// ---- bench_fleet.cpp ----

int scen_fleet(const bench_ctx_t* ctx, bench_report_t* report);
