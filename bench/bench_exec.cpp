// Scenarios of command execution: the throughput of an `exec` stream (a program printing
// 1,000,000 short lines, request to "done") and the request-to-"done" latency of `exec` of
// /bin/true. The floor answers "exec" the fastest correct way a small server would: it starts
// the program with posix_spawn (the parent's memory is not copied) with the runner's
// guarantees (one pipe for standard output and error, /dev/null stdin, no other descriptor,
// default signal dispositions and an empty mask), reads the pipe in 64 KiB reads and writes
// the chunk frames of each read (the daemon's shape, one per line) with one write, then "done".

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/fdio.h"
#include "base/sb.h"
#include "bench.h"
#include "client.h"

extern char** environ;

namespace {

constexpr int STREAM_LINES = 1000000;
constexpr int STREAM_RUNS = 5;   // per side
constexpr int SPAWN_SLICES = 6;  // per side
constexpr int SPAWN_WARMUP = 20;
constexpr size_t FLOOR_READ_BYTES = 65536;

const char* const SEQ_CANDIDATES[] = {"/usr/bin/seq", "/bin/seq"};
const char* const TRUE_CANDIDATES[] = {"/bin/true", "/usr/bin/true"};

const char* first_executable(const char* const* c, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (access(c[i], X_OK) == 0) return c[i];
    return nullptr;
}

// ---- the floor's exec ----

// The chunk frame of one non-empty line, appended to the request's gathered frames.
void floor_line(floor_chunks_t* c, std::string_view line) {
    static const char DATA[] = "{\"type\":\"line\",\"stream\":1,\"text\":\"";
    if (line.empty()) return;
    c->begin();
    sb_append(&c->out, DATA, sizeof DATA - 1);
    sb_json_escape(&c->out, line.data(), line.size());
    sb_append(&c->out, "\"}", 2);
    c->end();
}

}  // namespace

// The strings of the "argv" array of `body` (plain strings, escapes kept as written).
std::vector<std::string> floor_argv(std::string_view body) {
    std::vector<std::string> out;
    size_t p = body.find("\"argv\"");
    if (p == std::string_view::npos) return out;
    p = body.find('[', p);
    size_t end = body.find(']', p);
    while (p != std::string_view::npos && p < end) {
        size_t a = body.find('"', p + 1);
        if (a == std::string_view::npos || a > end) break;
        size_t b = body.find('"', a + 1);
        out.emplace_back(body.substr(a + 1, b - a - 1));
        p = b + 1;
    }
    return out;
}

std::string_view floor_cmd(std::string_view body) {
    size_t p = body.find("\"cmd\":\"");
    if (p == std::string_view::npos) return {};
    p += 7;
    return body.substr(p, body.find('"', p) - p);
}

void floor_spawnattr(posix_spawnattr_t* a) {
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_init(a);
    posix_spawnattr_setsigdefault(a, &all);
    posix_spawnattr_setsigmask(a, &none);
    posix_spawnattr_setflags(a, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
}

pid_t floor_spawn(const std::string& cmd, const std::vector<std::string>& args, int* out_r) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(cmd.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, p[1], 1);
    posix_spawn_file_actions_adddup2(&fa, p[1], 2);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&fa, 3);
    posix_spawnattr_t attr;
    floor_spawnattr(&attr);
    pid_t pid = -1;
    int err = posix_spawn(&pid, argv[0], &fa, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    close(p[1]);
    if (err != 0) {
        close(p[0]);
        return -1;
    }
    *out_r = p[0];
    return pid;
}

int floor_done(int fd, std::string_view id, bool first, int code) {
    std::string frame;
    floor_reply_head(&frame, id);
    frame += "\"event\":\"done\",";
    if (first) frame += std::string("\"job_id\":\"") + FLOOR_JOB_ID + "\",";
    frame += "\"ok\":true,\"exit_code\":" + std::to_string(code) + "}";
    return floor_send(fd, &frame);
}

int floor_exec(int fd, std::string_view id, std::string_view body) {
    int out_r = -1;
    pid_t pid = floor_spawn(std::string(floor_cmd(body)), floor_argv(body), &out_r);
    if (pid < 0) return -1;
    std::string buf(FLOOR_READ_BYTES, '\0'), carry;
    floor_chunks_t frames(id);
    int rc = 0;
    for (;;) {
        ssize_t n = read(out_r, buf.data(), buf.size());
        if (n <= 0) break;
        std::string_view chunk(buf.data(), static_cast<size_t>(n));
        for (size_t lf; (lf = chunk.find('\n')) != std::string_view::npos; chunk.remove_prefix(lf + 1)) {
            if (carry.empty()) {
                floor_line(&frames, chunk.substr(0, lf));
            } else {
                carry.append(chunk.substr(0, lf));
                floor_line(&frames, carry);
                carry.clear();
            }
        }
        carry.append(chunk);
        if (rc == 0) rc = frames.flush(fd);
    }
    floor_line(&frames, carry);
    if (rc == 0) rc = frames.flush(fd);
    close(out_r);
    int st = 0;
    waitpid(pid, &st, 0);
    if (rc != 0) return -1;
    return floor_done(fd, id, frames.first, WIFEXITED(st) ? WEXITSTATUS(st) : -1);
}

// ---- the client side ----

namespace {

struct stream_tally_t {
    long chunks = 0;
    std::string first;  // the first frame's body
    std::string last_chunk;
    std::string done;  // the ending frame's body
};

// Reads frames of one request until "done" or "error", counting chunks. -1 on a connection
// error.
int read_stream(frame_reader_t* in, stream_tally_t* t) {
    for (;;) {
        std::string_view body;
        if (in->next(&body) != 0) return -1;
        if (t->first.empty()) t->first = body;
        size_t ev = body.find("\"event\":\"");
        if (ev == std::string_view::npos) return -1;
        if (body[ev + 9] == 'c') {
            if (++t->chunks == STREAM_LINES) t->last_chunk = body;
            continue;
        }
        t->done = body;
        return 0;
    }
}

// One request on `fd`; the wall time from before the send to the ending frame, in ns.
int run_request(int fd, const std::string& req, frame_reader_t* in, stream_tally_t* t, uint64_t* ns) {
    uint64_t t0 = bench_now_ns();
    if (vc_send(fd, req) != 0 || read_stream(in, t) != 0) return -1;
    *ns = bench_now_ns() - t0;
    return 0;
}

std::string mask_job_id(std::string s) {
    size_t p = s.find("\"job_id\":\"");
    if (p != std::string::npos) s.replace(p + 10, 16, "X");
    return s;
}

// The stream's first, last and ending frames must be the same on both sides.
bool stream_looks_right(const stream_tally_t& t, const char* side) {
    const std::string first =
        "{\"id\":\"x1\",\"event\":\"chunk\",\"job_id\":\"X\",\"data\":{\"type\":\"line\","
        "\"stream\":1,\"text\":\"1\"}}";
    const std::string last = "{\"id\":\"x1\",\"event\":\"chunk\",\"data\":{\"type\":\"line\",\"stream\":1,\"text\":\"" +
                             std::to_string(STREAM_LINES) + "\"}}";
    const std::string done = "{\"id\":\"x1\",\"event\":\"done\",\"ok\":true,\"exit_code\":0}";
    if (t.chunks == STREAM_LINES && mask_job_id(t.first) == first && t.last_chunk == last && t.done == done)
        return true;
    fprintf(stderr, "vornbench: %s stream: %ld chunks, first %s, last %s, end %s\n", side, t.chunks, t.first.c_str(),
            t.last_chunk.c_str(), t.done.c_str());
    return false;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int scen_exec_stream(const bench_ctx_t* ctx, bench_report_t* report) {
    const char* seq = first_executable(SEQ_CANDIDATES, 2);
    if (!seq) {
        fprintf(stderr, "vornbench: no seq program\n");
        return -1;
    }
    bench_daemon_t d;
    bench_floor_t f;
    if (d.start(ctx, "exec-stream") != 0 || f.start(ctx->dir + "/exec-stream-floor.sock") != 0) return -1;
    std::string req = vc_request("x1", "exec",
                                 std::string("{\"cmd\":\"") + seq + "\",\"argv\":[\"" + std::to_string(STREAM_LINES) +
                                     "\"]}");
    const char* names[2] = {"vornd", "floor"};
    unique_fd fds[2] = {vc_connect(d.socket_path().c_str()), vc_connect(f.socket_path().c_str())};
    if (!fds[0] || !fds[1]) return -1;
    frame_reader_t in[2] = {frame_reader_t(fds[0].get()), frame_reader_t(fds[1].get())};
    std::vector<double> rate[2];
    for (int i = 0; i < 2 * STREAM_RUNS; i++) {
        int s = (i % 4 == 0 || i % 4 == 3) ? 0 : 1;  // A B B A
        stream_tally_t t;
        uint64_t ns = 0;
        if (run_request(fds[s].get(), req, &in[s], &t, &ns) != 0 || !stream_looks_right(t, names[s])) return -1;
        rate[s].push_back(STREAM_LINES * 1e9 / static_cast<double>(ns));
    }
    report->push_back({"exec-stream", "median lines/s, request to done", median(rate[0]), median(rate[1]),
                       GOAL_RATIO_MIN, 0.9});
    f.stop();
    return d.stop() == 0 ? 0 : -1;
}

int scen_exec_spawn(const bench_ctx_t* ctx, bench_report_t* report) {
    const char* prog = first_executable(TRUE_CANDIDATES, 2);
    if (!prog) return -1;
    bench_daemon_t d;
    bench_floor_t f;
    if (d.start(ctx, "exec-spawn") != 0 || f.start(ctx->dir + "/exec-spawn-floor.sock") != 0) return -1;
    std::string req = vc_request("x1", "exec", std::string("{\"cmd\":\"") + prog + "\"}");
    const std::string done = "{\"id\":\"x1\",\"event\":\"done\",\"job_id\":\"X\",\"ok\":true,\"exit_code\":0}";
    unique_fd fds[2] = {vc_connect(d.socket_path().c_str()), vc_connect(f.socket_path().c_str())};
    if (!fds[0] || !fds[1]) return -1;
    frame_reader_t in[2] = {frame_reader_t(fds[0].get()), frame_reader_t(fds[1].get())};
    auto once = [&](int s, std::vector<uint32_t>* lat) {
        stream_tally_t t;
        uint64_t ns = 0;
        if (run_request(fds[s].get(), req, &in[s], &t, &ns) != 0 || mask_job_id(t.done) != done) {
            fprintf(stderr, "vornbench: exec-spawn: unexpected end %s\n", t.done.c_str());
            return -1;
        }
        if (lat) lat->push_back(ns > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ns));
        return 0;
    };
    for (int s = 0; s < 2; s++)
        for (int i = 0; i < SPAWN_WARMUP; i++)
            if (once(s, nullptr) != 0) return -1;
    std::vector<uint32_t> lat[2];
    uint64_t slice = static_cast<uint64_t>(ctx->seconds * 1e9 / SPAWN_SLICES);
    for (int i = 0; i < 2 * SPAWN_SLICES; i++) {
        int s = (i % 4 == 0 || i % 4 == 3) ? 0 : 1;
        for (uint64_t end = bench_now_ns() + slice; bench_now_ns() < end;)
            if (once(s, &lat[s]) != 0) return -1;
    }
    double p50[2], p99[2];
    for (int s = 0; s < 2; s++) {
        p50[s] = bench_percentile(&lat[s], 0.50) / 1000.0;
        p99[s] = bench_percentile(&lat[s], 0.99) / 1000.0;
    }
    report->push_back({"exec-spawn", "p50 request to done, /bin/true (us)", p50[0], p50[1], GOAL_RATIO_MAX, 1.1});
    report->push_back({"exec-spawn", "p99 request to done, /bin/true (us)", p99[0], p99[1], GOAL_RATIO_MAX, 1.1});
    f.stop();
    return d.stop() == 0 ? 0 : -1;
}
