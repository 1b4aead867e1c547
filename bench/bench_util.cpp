#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/clock.h"
#include "base/fdio.h"
#include "base/sb.h"
#include "bench.h"
#include "client.h"
#include "wire/frame.h"

extern char** environ;

namespace {

constexpr int DAEMON_START_TIMEOUT_MS = 5000;
constexpr int DAEMON_STOP_GRACE_MS = 5000;

bool write_text_file(const std::string& path, std::string_view text) {
    unique_fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    return fd && write_full(fd.get(), text.data(), text.size()) == 0;
}

// Prints the last lines of the daemon's log, so a failed start says why.
void print_log_tail(const std::string& path) {
    sb_t text;
    read_file_all(path.c_str(), &text, 1 << 20);
    if (!text.buf) return;
    size_t from = text.len > 2000 ? text.len - 2000 : 0;
    fprintf(stderr, "--- %s ---\n%s\n", path.c_str(), text.buf + from);
}

// waitpid without blocking for up to `timeout_ms`; true once the child is reaped.
bool reap_within(pid_t pid, int timeout_ms, int* status) {
    for (int waited = 0;; waited += 10) {
        pid_t r = waitpid(pid, status, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR)) return true;
        if (waited >= timeout_ms) return false;
        sleep_ms(10);
    }
}

}  // namespace

uint64_t bench_now_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

double bench_percentile(std::vector<uint32_t>* v, double p) {
    if (v->empty()) return 0;
    size_t k = static_cast<size_t>(std::lround(p * static_cast<double>(v->size() - 1)));
    std::nth_element(v->begin(), v->begin() + static_cast<std::ptrdiff_t>(k), v->end());
    return (*v)[k];
}

int bench_alternate(const bench_ctx_t* ctx, const char* scenario, int min_runs, bench_side_t sides[2],
                    const std::function<int(int side)>& run) {
    const uint64_t want_ns = static_cast<uint64_t>(ctx->seconds * 1e9);
    for (int i = 0;
         sides[0].ns < want_ns || sides[1].ns < want_ns || sides[0].runs < min_runs || sides[1].runs < min_runs; i++) {
        int s = (i % 4 == 0 || i % 4 == 3) ? 0 : 1;  // A B B A
        if (run(s) != 0) {
            fprintf(stderr, "vornbench: %s run on the %s failed\n", scenario, s == 0 ? "vornd" : "floor");
            return -1;
        }
    }
    return 0;
}

std::string_view bench_str_after(std::string_view frame, std::string_view key) {
    size_t at = frame.find(key);
    if (at == std::string_view::npos) return {};
    size_t start = at + key.size();
    size_t end = frame.find('"', start);
    return end == std::string_view::npos ? std::string_view() : frame.substr(start, end - start);
}

int frame_reader_t::next(std::string_view* body) {
    for (;;) {
        if (have_ - at_ >= 4) {
            const auto* h = reinterpret_cast<const unsigned char*>(buf_.data() + at_);
            size_t n = frame_get_len(h);
            if (have_ - at_ - 4 >= n) {
                *body = std::string_view(buf_.data() + at_ + 4, n);
                at_ += 4 + n;
                return 0;
            }
            if (n + 4 > buf_.size()) buf_.resize(n + 4);
        }
        if (at_ > 0) {
            memmove(buf_.data(), buf_.data() + at_, have_ - at_);
            have_ -= at_;
            at_ = 0;
        }
        ssize_t r = read(fd_, buf_.data() + have_, buf_.size() - have_);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return -1;
        have_ += static_cast<size_t>(r);
    }
}

long bench_proc_status(pid_t pid, const char* field) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    sb_t text;
    if (read_file_all(path, &text, 1 << 16) != 0 || !text.buf) return -1;
    size_t flen = strlen(field);
    for (const char* line = text.buf; line && *line; line = strchr(line, '\n')) {
        if (*line == '\n') line++;
        if (strncmp(line, field, flen) == 0 && line[flen] == ':') return strtol(line + flen + 1, nullptr, 10);
    }
    return -1;
}

// ---- the daemon under measurement ----

bench_daemon_t::~bench_daemon_t() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        int st;
        reap_within(pid_, DAEMON_STOP_GRACE_MS, &st);
    }
}

int bench_daemon_t::start(const bench_ctx_t* ctx, const std::string& name, std::string_view extra_config) {
    std::string conf = ctx->dir + "/" + name + ".conf";
    sock_ = ctx->dir + "/" + name + ".sock";
    log_ = ctx->dir + "/" + name + ".log";
    std::string text = "[socket]\npath = " + sock_ + "\n";
    text += extra_config;
    text += ctx->extra_config;
    if (!write_text_file(conf, text)) {
        fprintf(stderr, "vornbench: cannot write %s: %s\n", conf.c_str(), strerror(errno));
        return -1;
    }

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::string arg0 = ctx->vornd_path, arg1 = "-c";
    char* argv[] = {arg0.data(), arg1.data(), conf.data(), nullptr};
    int err = posix_spawn(&pid_, arg0.c_str(), &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    if (err != 0) {
        pid_ = -1;
        fprintf(stderr, "vornbench: cannot start %s: %s\n", arg0.c_str(), strerror(err));
        return -1;
    }

    for (int waited = 0; waited < DAEMON_START_TIMEOUT_MS; waited += 10) {
        if (vc_connect(sock_.c_str())) return 0;
        int st;
        if (waitpid(pid_, &st, WNOHANG) == pid_) {
            pid_ = -1;
            break;
        }
        sleep_ms(10);
    }
    fprintf(stderr, "vornbench: %s did not come up on %s\n", arg0.c_str(), sock_.c_str());
    print_log_tail(log_);
    return -1;
}

int bench_daemon_t::stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int st = 0;
    if (!reap_within(pid_, DAEMON_STOP_GRACE_MS, &st)) {
        fprintf(stderr, "vornbench: vornd ignored SIGTERM for %d ms; killing it\n", DAEMON_STOP_GRACE_MS);
        kill(pid_, SIGKILL);
        reap_within(pid_, DAEMON_STOP_GRACE_MS, &st);
        st = -1;
    }
    pid_ = -1;
    return st >= 0 && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// ---- ping client ----

void ping_client_t::prepare(std::string_view id) {
    std::string body = vc_request(id, "ping", "{}");
    req_.assign(FRAME_HEADER_BYTES, '\0');
    frame_put_len(reinterpret_cast<unsigned char*>(req_.data()), body.size());
    req_ += body;
    expect_ = "{\"id\":\"";
    expect_ += id;  // ids used here need no escaping
    expect_ += "\",\"ok\":true,\"result\":{\"pong\":true}}";
    buf_.reserve(expect_.size());
}

int ping_client_t::connect(const std::string& socket_path) {
    fd_ = vc_connect(socket_path.c_str());
    if (!fd_) {
        fprintf(stderr, "vornbench: connect %s: %s\n", socket_path.c_str(), strerror(errno));
        return -1;
    }
    return 0;
}

int ping_client_t::once() {
    if (write_full(fd_.get(), req_.data(), req_.size()) != 0) return -1;
    unsigned char hdr[4];
    if (read_full(fd_.get(), hdr, sizeof hdr) != 0) return -1;
    uint32_t n = frame_get_len(hdr);
    if (n != expect_.size()) return -1;  // also bounds the read below
    buf_.resize(n);
    if (read_full(fd_.get(), buf_.data(), n) != 0) return -1;
    return buf_ == expect_ ? 0 : -1;
}
