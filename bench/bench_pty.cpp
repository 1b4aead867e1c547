// PTY throughput: /bin/cat of a 64 MiB file as the program of a vornd session, its output
// arriving as base64 out chunks that the client decodes, against the floor: the same cat on
// a pseudo-terminal whose master this tool reads directly. Runs alternate (A B B A) until
// each side has measured for the context's time, at least PTY_MIN_RUNS times.

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench.h"
#include "client.h"

namespace {

constexpr size_t PTY_FILE_BYTES = 64u << 20;
constexpr size_t PTY_READ_BYTES = 8192;
constexpr int PTY_MIN_RUNS = 2;  // per side
constexpr double MIB = 1048576.0;

// Printable text without line feeds: a terminal turns each LF into CR LF, and without them
// both sides' byte counts are the file's size.
int make_file(const std::string& path) {
    unique_fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) return -1;
    std::string block(1 << 20, '\0');
    for (size_t i = 0; i < block.size(); i++) block[i] = static_cast<char>('!' + i % 90);
    for (size_t done = 0; done < PTY_FILE_BYTES; done += block.size())
        if (write_full(fd.get(), block.data(), block.size()) != 0) return -1;
    return 0;
}

// The floor: cat FILE as the session leader of a new terminal; the master read to its end.
int floor_run(const std::string& file, bench_side_t* side) {
    unique_fd m(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    char name[128];
    if (!m || grantpt(m.get()) != 0 || unlockpt(m.get()) != 0 || ptsname_r(m.get(), name, sizeof name) != 0)
        return -1;
    unique_fd slave(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!slave) return -1;
    uint64_t t0 = bench_now_ns();
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        ioctl(slave.get(), TIOCSCTTY, 0);
        dup2(slave.get(), 0);
        dup2(slave.get(), 1);
        dup2(slave.get(), 2);
        execl("/bin/cat", "cat", file.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    slave.reset();
    if (pid < 0) return -1;
    char buf[PTY_READ_BYTES];
    uint64_t got = 0;
    for (;;) {
        ssize_t r = read(m.get(), buf, sizeof buf);
        if (r > 0) got += static_cast<uint64_t>(r);
        else if (r < 0 && errno == EINTR) continue;
        else break;  // EIO once cat has gone
    }
    waitpid(pid, nullptr, 0);
    side->ns += bench_now_ns() - t0;
    side->bytes += got;
    side->runs++;
    return 0;
}

int close_session(const std::string& sock, const std::string& job_id) {
    unique_fd fd = vc_connect(sock.c_str());
    std::string reply;
    if (!fd || vc_send(fd.get(), vc_request("c", "pty_close", "{\"job_id\":\"" + job_id + "\"}")) != 0 ||
        vc_recv(fd.get(), &reply) != 0 || reply.find("\"closed\":true") == std::string::npos) {
        fprintf(stderr, "vornbench: pty_close failed: %s\n", reply.c_str());
        return -1;
    }
    return 0;
}

// One session running cat FILE, timed from its open chunk to its exit chunk.
int vornd_run(const std::string& sock, const std::string& file, bench_side_t* side) {
    unique_fd fd = vc_connect(sock.c_str());
    if (!fd || vc_send(fd.get(), vc_request("b", "pty", "{\"cmd\":\"/bin/cat\",\"argv\":[\"" + file + "\"]}")) != 0)
        return -1;
    std::string frame, job_id;
    std::vector<unsigned char> bytes(PTY_READ_BYTES + 16);
    uint64_t t0 = 0, t1 = 0, got = 0;
    for (;;) {
        if (vc_recv(fd.get(), &frame) != 0) return -1;
        // The daemon writes an out chunk as ...,"data":{"type":"out","b64":"<text>"}}.
        std::string_view b64 = bench_str_after(frame, "\"data\":{\"type\":\"out\",\"b64\":\"");
        if (!b64.empty()) {
            if (bytes.size() < b64.size() / 4 * 3 + 3) bytes.resize(b64.size() / 4 * 3 + 3);
            ssize_t n = b64_decode(b64.data(), b64.size(), bytes.data(), bytes.size());
            if (n < 0) return -1;
            got += static_cast<uint64_t>(n);
            continue;
        }
        if (job_id.empty() && vc_json_str(frame, "job_id", &job_id)) t0 = bench_now_ns();
        if (frame.find("\"type\":\"exit\"") != std::string::npos) t1 = bench_now_ns();
        if (frame.find("\"event\":\"done\"") != std::string::npos) break;
        if (frame.find("\"event\":\"error\"") != std::string::npos) {
            fprintf(stderr, "vornbench: pty failed: %s\n", frame.c_str());
            return -1;
        }
    }
    if (!t0 || !t1) return -1;
    side->ns += t1 - t0;
    side->bytes += got;
    side->runs++;
    return close_session(sock, job_id);
}

double rate_mib(const bench_side_t& s) { return s.ns ? s.bytes / MIB * 1e9 / s.ns : 0; }
double per_run_mib(const bench_side_t& s) { return s.runs ? s.bytes / MIB / s.runs : 0; }

}  // namespace

int scen_pty_throughput(const bench_ctx_t* ctx, bench_report_t* report) {
    std::string file = ctx->dir + "/pty-64MiB.txt";
    if (make_file(file) != 0) {
        fprintf(stderr, "vornbench: cannot write %s\n", file.c_str());
        return -1;
    }
    bench_daemon_t d;
    if (d.start(ctx, "pty-throughput") != 0) return -1;
    bench_side_t sides[2];  // vornd, floor
    if (bench_alternate(ctx, "pty", PTY_MIN_RUNS, sides, [&](int s) {
            return s == 0 ? vornd_run(d.socket_path(), file, &sides[0]) : floor_run(file, &sides[1]);
        }) != 0)
        return -1;
    unlink(file.c_str());
    report->push_back({"pty-throughput", "cat 64 MiB: decoded MiB/s, open to exit", rate_mib(sides[0]),
                       rate_mib(sides[1]), GOAL_RATIO_MIN, 0.5});
    // A tail that falls more than the ring behind skips bytes by design; this row shows how many.
    report->push_back({"pty-throughput", "MiB delivered of 64 per run", per_run_mib(sides[0]),
                       per_run_mib(sides[1]), GOAL_NONE, 0});
    return d.stop() == 0 ? 0 : -1;
}
