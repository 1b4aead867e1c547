// pcap-stream: a stand-in capture tool that writes 256 MiB of zeros as fast as it can, run by
// vornd's pcap_stream and delivered as base64 chunk events that the client decodes, against
// the floor: the same program's pipe read directly with the runner's 16 KiB reads, each read
// base64-encoded into the same chunk event and sent with one write. PATH is pointed at the
// stand-in while the scenario runs: the floor finds it there, and the daemon's own tool lookup
// is asked (bin_check) to find the same file.
// Runs alternate (A B B A) until each side has measured for the context's time, at least
// PCAP_MIN_RUNS times; the figure is decoded bytes per second from the request to "done".

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/b64.h"
#include "base/clock.h"
#include "base/fdio.h"
#include "bench.h"
#include "client.h"

namespace {

constexpr uint64_t PCAP_STREAM_BYTES = 256ull << 20;
constexpr size_t PCAP_READ_BYTES = 16384;  // the runner's raw read size
constexpr int PCAP_MIN_RUNS = 2;           // per side

// One chunk frame of the daemon's shape for `n` bytes, appended to `frame`.
void floor_chunk(std::string* frame, std::string_view id, const char* buf, size_t n, bool* first) {
    floor_reply_head(frame, id);
    *frame += "\"event\":\"chunk\",";
    if (*first) {
        *frame += std::string("\"job_id\":\"") + FLOOR_JOB_ID + "\",";
        *first = false;
    }
    char head[64];
    snprintf(head, sizeof head, "\"data\":{\"t\":%llu,\"b64\":\"", static_cast<unsigned long long>(now_ms()));
    *frame += head;
    size_t at = frame->size();
    frame->resize(at + b64_encoded_len(n) + 1);  // b64_encode ends with a NUL
    frame->resize(at + b64_encode(reinterpret_cast<const unsigned char*>(buf), n, frame->data() + at));
    *frame += "\"}}";
}

// One pcap_stream request on a new connection, timed from the send to "done".
int run_side(const std::string& sock, bench_side_t* side) {
    unique_fd fd = vc_connect(sock.c_str());
    uint64_t t0 = bench_now_ns();
    if (!fd || vc_send(fd.get(), vc_request("p", "pcap_stream", R"({"iface":"lo"})")) != 0) return -1;
    std::string frame;
    std::vector<unsigned char> bytes(PCAP_READ_BYTES + 16);
    uint64_t got = 0;
    for (;;) {
        if (vc_recv(fd.get(), &frame) != 0) return -1;
        std::string_view b64 = bench_str_after(frame, "\"b64\":\"");
        if (b64.empty()) break;
        ssize_t n = b64_decode(b64.data(), b64.size(), bytes.data(), bytes.size());
        if (n < 0) return -1;
        got += static_cast<uint64_t>(n);
    }
    uint64_t ns = bench_now_ns() - t0;
    if (frame.find("\"event\":\"done\",\"ok\":true,\"exit_code\":0}") == std::string::npos ||
        got != PCAP_STREAM_BYTES) {
        fprintf(stderr, "vornbench: pcap-stream: %llu bytes, then %s\n", static_cast<unsigned long long>(got),
                frame.c_str());
        return -1;
    }
    side->ns += ns;
    side->bytes += got;
    side->runs++;
    return 0;
}

// Points PATH at `dir` first while it lives, so the tool lookup finds the stand-in there.
class path_first {
public:
    explicit path_first(const std::string& dir) {
        const char* cur = getenv("PATH");
        if (cur) old_ = cur;
        had_ = cur != nullptr;
        setenv("PATH", (dir + ":" + old_).c_str(), 1);
    }
    ~path_first() {
        if (had_) setenv("PATH", old_.c_str(), 1);
        else unsetenv("PATH");
    }

private:
    std::string old_;
    bool had_ = false;
};

double rate_mb(const bench_side_t& s) { return s.ns ? s.bytes / 1e6 * 1e9 / s.ns : 0; }

// The first executable `name` in a directory of PATH, as a tool lookup ends; empty for none.
std::string path_lookup(const char* name) {
    const char* path = getenv("PATH");
    for (std::string_view dirs = path ? path : ""; !dirs.empty();) {
        size_t colon = dirs.find(':');
        std::string dir(dirs.substr(0, colon));
        dirs.remove_prefix(colon == std::string_view::npos ? dirs.size() : colon + 1);
        std::string candidate = dir + "/" + name;
        if (!dir.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

// The path the daemon's tool lookup gives for `name` (its bin_check answer); empty for none.
std::string daemon_lookup(const std::string& sock, const char* name) {
    unique_fd fd = vc_connect(sock.c_str());
    std::string reply, path;
    std::string args = std::string("{\"names\":[\"") + name + "\"]}";
    if (!fd || vc_send(fd.get(), vc_request("b", "bin_check", args)) != 0 || vc_recv(fd.get(), &reply) != 0) return {};
    std::string_view found = bench_str_after(reply, "\"path\":\"");
    return std::string(found);
}

}  // namespace

int floor_pcap_stream(int fd, std::string_view id, std::string_view) {
    int out_r = -1;
    std::string prog = path_lookup("pcapstream");
    pid_t pid = prog.empty() ? -1 : floor_spawn(prog, {"lo", "2000"}, &out_r);
    if (pid < 0) return -1;
    unique_fd in(out_r);
    std::vector<char> buf(PCAP_READ_BYTES);
    std::string frame;
    bool first = true;
    int rc = 0;
    while (rc == 0) {
        ssize_t n = read(in.get(), buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        floor_chunk(&frame, id, buf.data(), static_cast<size_t>(n), &first);
        rc = floor_send(fd, &frame);
    }
    in.reset();
    int st = 0;
    waitpid(pid, &st, 0);
    if (rc != 0) return -1;
    return floor_done(fd, id, first, WIFEXITED(st) ? WEXITSTATUS(st) : -1);
}

int scen_pcap_stream(const bench_ctx_t* ctx, bench_report_t* report) {
    const std::string bin = ctx->dir + "/pcap-bin";
    const std::string tool = bin + "/pcapstream";
    std::string script = "#!/bin/sh\nexec dd if=/dev/zero bs=1M count=" + std::to_string(PCAP_STREAM_BYTES >> 20) +
                         " status=none\n";
    FILE* f = (mkdir(bin.c_str(), 0755) == 0 || errno == EEXIST) ? fopen(tool.c_str(), "w") : nullptr;
    if (!f || fputs(script.c_str(), f) < 0 || fclose(f) != 0 || chmod(tool.c_str(), 0755) != 0) {
        fprintf(stderr, "vornbench: cannot write %s\n", tool.c_str());
        return -1;
    }
    path_first path(bin);
    bench_daemon_t d;
    bench_floor_t fl;
    if (d.start(ctx, "pcap-stream") != 0 || fl.start(ctx->dir + "/pcap-stream-floor.sock") != 0) return -1;
    if (daemon_lookup(d.socket_path(), "pcapstream") != tool || path_lookup("pcapstream") != tool) {
        fprintf(stderr, "vornbench: the tool lookup finds another pcapstream first\n");
        return -1;
    }
    bench_side_t sides[2];  // vornd, floor
    if (bench_alternate(ctx, "pcap-stream", PCAP_MIN_RUNS, sides,
                        [&](int s) { return run_side(s == 0 ? d.socket_path() : fl.socket_path(), &sides[s]); }) != 0)
        return -1;
    report->push_back({"pcap-stream", "256 MiB: decoded MB/s, request to done", rate_mb(sides[0]), rate_mb(sides[1]),
                       GOAL_RATIO_MIN, 0.8});
    fl.stop();
    return d.stop() == 0 ? 0 : -1;
}
