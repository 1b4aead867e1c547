// The floor: what the simplest honest server with the daemon's framing costs. It does the
// work every request needs (a whole-frame read, finding the id and the op, building the
// reply, one write per reply) and nothing else, so vornd's distance from it is the cost
// of the daemon's own machinery.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/clock.h"
#include "base/fdio.h"
#include "base/sb.h"
#include "bench.h"
#include "client.h"
#include "wire/frame.h"

namespace {

constexpr size_t FLOOR_FRAME_MAX_BYTES = 1048576;
constexpr size_t FLOOR_ID_BYTES = 63;
constexpr int FLOOR_BACKLOG = 128;

struct floor_op_t {
    const char* name;  // null in the terminating row
    floor_op_fn_t fn;
};

// The operations the floor answers; a scenario that measures another one adds its row.
const floor_op_t FLOOR_OPS[] = {
    {"ping", floor_ping}, {"exec", floor_exec}, {"pty", floor_pty}, {"pcap_stream", floor_pcap_stream},
    {nullptr, nullptr},
};

size_t skip_blanks(std::string_view s, size_t p) {
    while (p < s.size() && (s[p] == ' ' || s[p] == '\t' || s[p] == '\n' || s[p] == '\r')) p++;
    return p;
}

// The raw text of the string value of the member named by `q`, the key with its quotes (the
// first occurrence followed by a colon), without its quotes; false when there is none.
// Escapes are skipped, not decoded.
bool find_str_member(std::string_view body, std::string_view q, std::string_view* out) {
    for (size_t at = body.find(q); at != std::string_view::npos; at = body.find(q, at + 1)) {
        size_t p = skip_blanks(body, at + q.size());
        if (p >= body.size() || body[p] != ':') continue;
        p = skip_blanks(body, p + 1);
        if (p >= body.size() || body[p] != '"') return false;
        size_t start = ++p;
        while (p < body.size() && body[p] != '"') p += body[p] == '\\' ? 2 : 1;
        if (p >= body.size()) return false;
        *out = body.substr(start, p - start);
        return true;
    }
    return false;
}

int floor_unknown_op(int fd, std::string_view id) {
    std::string out;
    floor_reply_head(&out, id);
    out += "\"ok\":false,\"code\":\"ENOOP\",\"error\":\"unknown op\"}";
    return floor_send(fd, &out);
}

int floor_dispatch(int fd, std::string_view body) {
    std::string_view id, op;
    find_str_member(body, "\"id\"", &id);
    if (id.size() > FLOOR_ID_BYTES) id = id.substr(0, FLOOR_ID_BYTES);
    if (!find_str_member(body, "\"op\"", &op)) return floor_unknown_op(fd, id);
    for (const floor_op_t* o = FLOOR_OPS; o->name; o++)
        if (op == o->name) return o->fn(fd, id, body);
    return floor_unknown_op(fd, id);
}

}  // namespace

int floor_send(int fd, std::string* frame) {
    frame_put_len(reinterpret_cast<unsigned char*>(frame->data()), frame->size() - FRAME_HEADER_BYTES);
    return write_full(fd, frame->data(), frame->size());
}

int floor_reply_head(std::string* out, std::string_view id) {
    out->assign(4, '\0');
    *out += "{\"id\":\"";
    sb_t esc;
    if (sb_json_escape(&esc, id.data(), id.size()) != 0) return -1;
    out->append(esc.buf, esc.len);
    *out += "\",";
    return 0;
}

floor_chunks_t::floor_chunks_t(std::string_view id) {
    floor_reply_head(&head_, id);
    head_.erase(0, 4);
    head_ += "\"event\":\"chunk\",";
    first_head_ = head_ + "\"job_id\":\"" + FLOOR_JOB_ID + "\",\"data\":";
    head_ += "\"data\":";
}

void floor_chunks_t::begin() {
    const std::string& h = first ? first_head_ : head_;
    first = false;
    at_ = out.len;
    if (sb_reserve(&out, 4 + h.size()) != 0) return;
    memset(out.buf + out.len, 0, 4);
    memcpy(out.buf + out.len + 4, h.data(), h.size());
    out.len += 4 + h.size();
}

void floor_chunks_t::end() {
    sb_append(&out, "}", 1);
    frame_set_length(&out, at_);
}

int floor_chunks_t::flush(int fd) {
    int rc = out.len ? write_full(fd, out.buf, out.len) : 0;
    out.len = 0;
    return rc;
}

int floor_ping(int fd, std::string_view id, std::string_view) {
    std::string out;
    floor_reply_head(&out, id);
    out += "\"ok\":true,\"result\":{\"pong\":true}}";
    return floor_send(fd, &out);
}

// ---- the floor process ----

namespace {

constexpr int FLOOR_START_TIMEOUT_MS = 5000;
constexpr int FLOOR_STOP_TIMEOUT_MS = 5000;
constexpr int FLOOR_CTL_FD = 3;

// One connection: header, bounds, whole body, dispatch; ends at end of stream, a bad
// length or a failed write, like the daemon's connection loop.
void floor_serve(int fd) {
    std::string body;
    for (;;) {
        unsigned char hdr[4];
        if (read_full(fd, hdr, sizeof hdr) != 0) break;
        uint32_t n = frame_get_len(hdr);
        if (n == 0 || n > FLOOR_FRAME_MAX_BYTES) break;
        body.resize(n);
        if (read_full(fd, body.data(), n) != 0) break;
        if (floor_dispatch(fd, body) != 0) break;
    }
    close(fd);
}

int floor_listen(const std::string& path) {
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return -1;
    memcpy(addr.sun_path, path.c_str(), path.size());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    unlink(path.c_str());
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, FLOOR_BACKLOG) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The floor process's body: accepts until the control descriptor reports end of file, a
// detached thread per connection. Never returns.
[[noreturn]] void floor_main(const std::string& path) {
    int lfd = floor_listen(path);
    if (lfd < 0) {
        fprintf(stderr, "vornbench: floor socket %s: %s\n", path.c_str(), strerror(errno));
        _exit(1);
    }
    for (;;) {
        struct pollfd p[2] = {{lfd, POLLIN, 0}, {FLOOR_CTL_FD, POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR) break;
        if (p[1].revents) break;
        if (!(p[0].revents & POLLIN)) continue;
        int cfd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        if (cfd >= 0) std::thread(floor_serve, cfd).detach();
    }
    unlink(path.c_str());
    _exit(0);  // connection threads end with the process
}

}  // namespace

int bench_floor_t::start(const std::string& socket_path) {
    sock_ = socket_path;
    if (bench_proc_status(getpid(), "Threads") != 1) {
        fprintf(stderr, "vornbench: the floor must be started while vornbench runs one thread\n");
        return -1;
    }
    int ctl[2];
    if (pipe2(ctl, O_CLOEXEC) != 0) return -1;
    fflush(nullptr);  // the child must not write out our buffered output again
    pid_ = fork();
    if (pid_ == 0) {
        // Only the control pipe stays: a descriptor of ours (a vornd connection) held open
        // here would hide its closing from the daemon.
        if (dup2(ctl[0], FLOOR_CTL_FD) != FLOOR_CTL_FD) _exit(1);
        close_range(FLOOR_CTL_FD + 1, ~0U, 0);
        floor_main(sock_);
    }
    close(ctl[0]);
    ctl_.reset(ctl[1]);
    if (pid_ < 0) {
        fprintf(stderr, "vornbench: fork: %s\n", strerror(errno));
        return -1;
    }
    for (int waited = 0; waited < FLOOR_START_TIMEOUT_MS; waited += 10) {
        if (vc_connect(sock_.c_str())) return 0;
        sleep_ms(10);
    }
    fprintf(stderr, "vornbench: the floor did not come up on %s\n", sock_.c_str());
    return -1;
}

void bench_floor_t::stop() {
    if (pid_ <= 0) return;
    ctl_.reset();
    int st;
    bool reaped = false;
    for (int waited = 0; !reaped && waited < FLOOR_STOP_TIMEOUT_MS; waited += 10) {
        pid_t r = waitpid(pid_, &st, WNOHANG);
        reaped = r == pid_ || (r < 0 && errno != EINTR);
        if (!reaped) sleep_ms(10);
    }
    if (!reaped) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &st, 0);
    }
    pid_ = -1;
}
