// The floor: what the simplest honest server with the daemon's framing costs. It does the
// work every request needs (a whole-frame read, finding the id and the op, building the
// reply, one write per reply) and nothing else, so vornd's distance from it is the cost
// of the daemon's own machinery.

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bench.h"

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
    {"ping", floor_ping},
    {nullptr, nullptr},
};

// The raw text of the string value of the member named by `q`, the key with its quotes (the
// first occurrence followed by a colon), without its quotes; false when there is none.
// Escapes are skipped, not decoded.
bool find_str_member(std::string_view body, std::string_view q, std::string_view* out) {
    for (size_t at = body.find(q); at != std::string_view::npos; at = body.find(q, at + 1)) {
        size_t p = at + q.size();
        while (p < body.size() && (body[p] == ' ' || body[p] == '\t' || body[p] == '\n' || body[p] == '\r')) p++;
        if (p >= body.size() || body[p] != ':') continue;
        p++;
        while (p < body.size() && (body[p] == ' ' || body[p] == '\t' || body[p] == '\n' || body[p] == '\r')) p++;
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
    size_t n = frame->size() - 4;
    (*frame)[0] = static_cast<char>(n >> 24);
    (*frame)[1] = static_cast<char>(n >> 16);
    (*frame)[2] = static_cast<char>(n >> 8);
    (*frame)[3] = static_cast<char>(n);
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

int floor_ping(int fd, std::string_view id, std::string_view) {
    std::string out;
    floor_reply_head(&out, id);
    out += "\"ok\":true,\"result\":{\"pong\":true}}";
    return floor_send(fd, &out);
}

int bench_floor_t::start(const std::string& socket_path) {
    sock_ = socket_path;
    lfd_.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    wake_fd_.reset(eventfd(0, EFD_CLOEXEC));
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (!lfd_ || !wake_fd_ || sock_.size() >= sizeof addr.sun_path) {
        fprintf(stderr, "vornbench: floor socket %s: %s\n", sock_.c_str(), strerror(errno));
        return -1;
    }
    memcpy(addr.sun_path, sock_.c_str(), sock_.size());
    unlink(sock_.c_str());
    if (bind(lfd_.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(lfd_.get(), FLOOR_BACKLOG) != 0) {
        fprintf(stderr, "vornbench: floor bind %s: %s\n", sock_.c_str(), strerror(errno));
        return -1;
    }
    acceptor_ = std::thread(&bench_floor_t::accept_loop, this);
    return 0;
}

void bench_floor_t::stop() {
    if (acceptor_.joinable()) {
        uint64_t one = 1;
        write_full(wake_fd_.get(), &one, sizeof one);
        acceptor_.join();
    }
    {
        std::lock_guard<std::mutex> g(mu_);
        for (conn_t& c : conns_)
            if (c.fd >= 0) shutdown(c.fd, SHUT_RDWR);
    }
    for (conn_t& c : conns_) c.th.join();
    conns_.clear();
    if (lfd_) unlink(sock_.c_str());
    lfd_.reset();
}

void bench_floor_t::accept_loop() {
    for (;;) {
        struct pollfd p[2] = {{lfd_.get(), POLLIN, 0}, {wake_fd_.get(), POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR) return;
        if (p[1].revents) return;
        if (!(p[0].revents & POLLIN)) continue;
        int cfd = accept4(lfd_.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (cfd < 0) continue;
        std::lock_guard<std::mutex> g(mu_);
        conn_t& c = conns_.emplace_back();
        c.fd = cfd;
        c.th = std::thread(&bench_floor_t::serve, this, &c);
    }
}

// One connection: header, bounds, whole body, dispatch; ends at end of stream, a bad
// length or a failed write, like the daemon's connection loop.
void bench_floor_t::serve(conn_t* c) {
    int fd;
    {
        std::lock_guard<std::mutex> g(mu_);
        fd = c->fd;
    }
    std::string body;
    for (;;) {
        unsigned char hdr[4];
        if (read_full(fd, hdr, sizeof hdr) != 0) break;
        uint32_t n = (uint32_t)hdr[0] << 24 | (uint32_t)hdr[1] << 16 | (uint32_t)hdr[2] << 8 | hdr[3];
        if (n == 0 || n > FLOOR_FRAME_MAX_BYTES) break;
        body.resize(n);
        if (read_full(fd, body.data(), n) != 0) break;
        if (floor_dispatch(fd, body) != 0) break;
    }
    std::lock_guard<std::mutex> g(mu_);
    close(c->fd);
    c->fd = -1;
}
