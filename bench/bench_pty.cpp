// PTY throughput: /bin/cat of a 16 MiB file as the program of a session, its output arriving
// as base64 out chunks that the client decodes as fast as it can. The floor answers "pty" the
// fastest correct way a small server would: cat started with posix_spawn as the session
// leader of a new terminal (its controlling terminal, as descriptors 0-2), the master read in
// 64 KiB reads, and the out chunks of each read (at most 8192 bytes each, the daemon's shape)
// sent with one write. Runs alternate (A B B A) until each side has measured for the
// context's time, at least PTY_MIN_RUNS times. Every byte must arrive: a run that loses any
// fails the scenario, after the table has shown how many.

#include <fcntl.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/b64.h"
#include "base/fdio.h"
#include "base/sb.h"
#include "bench.h"
#include "client.h"

extern char** environ;

namespace {

constexpr size_t PTY_FILE_BYTES = 16u << 20;
constexpr size_t FLOOR_READ_BYTES = 65536;
constexpr size_t OUT_CHUNK_BYTES = 8192;  // output bytes per out chunk, as the daemon sends
constexpr int PTY_MIN_RUNS = 5;           // per side
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

// A new terminal's master (24 by 80, as the daemon's default) and its slave's path.
int open_master(unique_fd* m, char* name, size_t cap) {
    m->reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!*m || grantpt(m->get()) != 0 || unlockpt(m->get()) != 0 || ptsname_r(m->get(), name, cap) != 0) return -1;
    struct winsize ws = {};
    ws.ws_row = 24;
    ws.ws_col = 80;
    return ioctl(m->get(), TIOCSWINSZ, &ws);
}

// `argv` on the terminal `tty`: a new session whose controlling terminal it is (the session
// leader opens it as descriptor 0), 0-2 on it, no other descriptor.
pid_t spawn_on_terminal(const char* tty, std::vector<char*>* argv) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, tty, O_RDWR, 0);
    posix_spawn_file_actions_adddup2(&fa, 0, 1);
    posix_spawn_file_actions_adddup2(&fa, 0, 2);
    posix_spawn_file_actions_addclosefrom_np(&fa, 3);
    posix_spawnattr_t attr;
    floor_spawnattr(&attr);
    short flags = 0;
    posix_spawnattr_getflags(&attr, &flags);
    posix_spawnattr_setflags(&attr, static_cast<short>(flags | POSIX_SPAWN_SETSID));
    pid_t pid = -1;
    int err = posix_spawn(&pid, (*argv)[0], &fa, &attr, argv->data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    return err == 0 ? pid : -1;
}

// The out chunks of `n` terminal bytes, at most OUT_CHUNK_BYTES each.
void floor_out(floor_chunks_t* c, const unsigned char* p, size_t n) {
    static const char HEAD[] = "{\"type\":\"out\",\"b64\":\"";
    for (size_t take; n > 0; p += take, n -= take) {
        take = n < OUT_CHUNK_BYTES ? n : OUT_CHUNK_BYTES;
        c->begin();
        sb_append(&c->out, HEAD, sizeof HEAD - 1);
        if (sb_reserve(&c->out, b64_encoded_len(take) + 2) != 0) return;
        c->out.len += b64_encode(p, take, c->out.buf + c->out.len);
        sb_append(&c->out, "\"}", 2);
        c->end();
    }
}

}  // namespace

int floor_pty(int fd, std::string_view id, std::string_view body) {
    std::string cmd(floor_cmd(body));
    std::vector<std::string> args = floor_argv(body);
    std::vector<char*> argv = {cmd.data()};
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    unique_fd m;
    char tty[128];
    if (open_master(&m, tty, sizeof tty) != 0) return -1;
    pid_t pid = spawn_on_terminal(tty, &argv);
    if (pid < 0) return -1;
    floor_chunks_t frames(id);
    frames.begin();
    sb_appendz(&frames.out, "{\"type\":\"open\",\"job_id\":\"");
    sb_appendz(&frames.out, FLOOR_JOB_ID);
    sb_appendz(&frames.out, "\",\"tty\":\"");
    sb_appendz(&frames.out, tty);
    sb_appendz(&frames.out, "\"}");
    frames.end();
    int rc = frames.flush(fd);
    std::vector<unsigned char> buf(FLOOR_READ_BYTES);
    for (;;) {
        ssize_t r = read(m.get(), buf.data(), buf.size());
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;  // EIO once the program and every copy of the slave are gone
        floor_out(&frames, buf.data(), static_cast<size_t>(r));
        if (rc == 0) rc = frames.flush(fd);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    char exit_json[64];
    snprintf(exit_json, sizeof exit_json, "{\"type\":\"exit\",\"exit_code\":%d}",
             WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st));
    frames.begin();
    sb_appendz(&frames.out, exit_json);
    frames.end();
    if (rc == 0) rc = frames.flush(fd);
    return rc == 0 ? floor_done(fd, id, false, 0) : -1;
}

namespace {

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

struct pty_side_t {
    bench_side_t run;
    uint64_t lost = 0;  // bytes of the file that never reached the client, all runs
};

// One session running cat FILE, timed from its open chunk to its exit chunk; the vornd session
// is closed afterwards.
int run_session(const std::string& sock, const std::string& file, bool vornd, pty_side_t* side) {
    unique_fd fd = vc_connect(sock.c_str());
    if (!fd || vc_send(fd.get(), vc_request("b", "pty", "{\"cmd\":\"/bin/cat\",\"argv\":[\"" + file + "\"]}")) != 0)
        return -1;
    frame_reader_t in(fd.get());
    std::string job_id;
    std::vector<unsigned char> bytes(OUT_CHUNK_BYTES + 16);
    uint64_t t0 = 0, t1 = 0, got = 0;
    for (;;) {
        std::string_view frame;
        if (in.next(&frame) != 0) return -1;
        // Both write an out chunk as ...,"data":{"type":"out","b64":"<text>"}}.
        std::string_view b64 = bench_str_after(frame, "\"data\":{\"type\":\"out\",\"b64\":\"");
        if (!b64.empty()) {
            if (bytes.size() < b64.size() / 4 * 3 + 3) bytes.resize(b64.size() / 4 * 3 + 3);
            ssize_t n = b64_decode(b64.data(), b64.size(), bytes.data(), bytes.size());
            if (n < 0) return -1;
            got += static_cast<uint64_t>(n);
            continue;
        }
        if (job_id.empty() && vc_json_str(frame, "job_id", &job_id)) t0 = bench_now_ns();
        if (frame.find("\"type\":\"exit\"") != std::string_view::npos) t1 = bench_now_ns();
        if (frame.find("\"event\":\"done\"") != std::string_view::npos) break;
        if (frame.find("\"event\":\"error\"") != std::string_view::npos) {
            fprintf(stderr, "vornbench: pty failed: %.*s\n", static_cast<int>(frame.size()), frame.data());
            return -1;
        }
    }
    if (!t0 || !t1) return -1;
    side->run.ns += t1 - t0;
    side->run.bytes += got;
    side->run.runs++;
    side->lost += got < PTY_FILE_BYTES ? PTY_FILE_BYTES - got : 0;
    return vornd ? close_session(sock, job_id) : 0;
}

double rate_mib(const bench_side_t& s) { return s.ns ? s.bytes / MIB * 1e9 / s.ns : 0; }

}  // namespace

int scen_pty_throughput(const bench_ctx_t* ctx, bench_report_t* report) {
    std::string file = ctx->dir + "/pty-16MiB.txt";
    if (make_file(file) != 0) {
        fprintf(stderr, "vornbench: cannot write %s\n", file.c_str());
        return -1;
    }
    bench_daemon_t d;
    bench_floor_t f;
    if (d.start(ctx, "pty-throughput") != 0 || f.start(ctx->dir + "/pty-throughput-floor.sock") != 0) return -1;
    pty_side_t sides[2];  // vornd, floor
    bench_side_t runs[2];
    if (bench_alternate(ctx, "pty", PTY_MIN_RUNS, runs, [&](int s) {
            int rc = run_session(s == 0 ? d.socket_path() : f.socket_path(), file, s == 0, &sides[s]);
            runs[s] = sides[s].run;
            return rc;
        }) != 0)
        return -1;
    unlink(file.c_str());
    report->push_back({"pty-throughput", "cat 16 MiB: decoded MiB/s, open to exit", rate_mib(sides[0].run),
                       rate_mib(sides[1].run), GOAL_RATIO_MIN, 0.8});
    report->push_back({"pty-throughput", "bytes lost, all runs", static_cast<double>(sides[0].lost),
                       static_cast<double>(sides[1].lost), GOAL_VALUE_MAX, 0});
    f.stop();
    if (sides[0].lost || sides[1].lost) {
        fprintf(stderr, "vornbench: pty-throughput: output was lost\n");
        d.stop();
        return -1;
    }
    return d.stop() == 0 ? 0 : -1;
}
