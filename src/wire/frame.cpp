#include "wire/frame.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/clock.h"

namespace {

std::atomic<int> g_frame_timeout_ms{PROTO_FRAME_TIMEOUT_MS};
std::atomic<int> g_send_timeout_ms{PROTO_SEND_TIMEOUT_MS};

// Waits up to `timeout_ms` (at least 0) for `events`; false when the time ran out. An error
// or hang-up counts as ready: the next read or write reports it.
bool wait_ready(int fd, short events, long long timeout_ms) {
    struct pollfd p = {fd, events, 0};
    int r;
    do r = poll(&p, 1, static_cast<int>(timeout_ms < 0 ? 0 : timeout_ms));
    while (r < 0 && errno == EINTR);
    return r != 0;
}

// Reads exactly `n` bytes before `deadline` (now_ms time). 0, or -1 on end of stream, an
// error or the deadline. Bytes already there are taken without a poll: a frame's rest has
// almost always arrived with its header.
int read_until(int fd, unsigned char* p, size_t n, uint64_t deadline) {
    bool socket = true;
    while (n > 0) {
        ssize_t r = socket ? recv(fd, p, n, MSG_DONTWAIT) : -1;
        if (r < 0 && socket && errno == ENOTSOCK) socket = false;
        if (r < 0 && !socket) {  // a plain read could block past the deadline: poll first
            if (!wait_ready(fd, POLLIN, static_cast<long long>(deadline - now_ms()))) return -1;
            r = read(fd, p, n);
        }
        if (r > 0) {
            p += r;
            n -= static_cast<size_t>(r);
            continue;
        }
        if (r == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) return -1;
        if (errno != EINTR && !wait_ready(fd, POLLIN, static_cast<long long>(deadline - now_ms()))) return -1;
    }
    return 0;
}

// The connection cannot be trusted once a frame went out in part or not at all.
int end_connection(int fd) {
    shutdown(fd, SHUT_RDWR);
    return -1;
}

// Moves `*iov` past `n` bytes that were written, dropping the entries done with.
void advance_iov(struct iovec** iov, int* cnt, size_t n) {
    while (n > 0 || (*cnt > 0 && (*iov)->iov_len == 0)) {
        size_t take = n < (*iov)->iov_len ? n : (*iov)->iov_len;
        (*iov)->iov_base = static_cast<char*>((*iov)->iov_base) + take;
        (*iov)->iov_len -= take;
        n -= take;
        if ((*iov)->iov_len == 0) {
            ++*iov;
            --*cnt;
        }
    }
}

// Writes every byte of `iov` (advanced in place), waiting for room at most the send timeout
// since the last byte that left. A descriptor that is no socket gets plain blocking writes.
int write_vec(int fd, struct iovec* iov, int cnt) {
    const int timeout = g_send_timeout_ms.load(std::memory_order_relaxed);
    uint64_t deadline = 0;  // armed while the socket takes nothing
    struct msghdr m = {};
    bool socket = true;
    advance_iov(&iov, &cnt, 0);
    while (cnt > 0) {
        m.msg_iov = iov;
        m.msg_iovlen = static_cast<size_t>(cnt);
        ssize_t w = socket ? sendmsg(fd, &m, MSG_DONTWAIT | MSG_NOSIGNAL) : writev(fd, iov, cnt);
        if (w < 0 && errno == ENOTSOCK && socket) {
            socket = false;
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && (!socket || (errno != EAGAIN && errno != EWOULDBLOCK))) return end_connection(fd);
        if (w > 0) {
            deadline = 0;
            advance_iov(&iov, &cnt, static_cast<size_t>(w));
            continue;
        }
        uint64_t now = now_ms();
        if (deadline == 0) deadline = now + static_cast<uint64_t>(timeout);
        if (now >= deadline || !wait_ready(fd, POLLOUT, static_cast<long long>(deadline - now)))
            return end_connection(fd);
    }
    return 0;
}

}  // namespace

void proto_set_timeouts(int frame_ms, int send_ms) {
    if (frame_ms > 0) g_frame_timeout_ms.store(frame_ms);
    if (send_ms > 0) g_send_timeout_ms.store(send_ms);
}

int proto_read_frame(int fd, sb_t* out, const frame_budget_t* budget) {
    unsigned char hdr[4];
    // Waiting for a frame to begin has no bound: front ends keep idle connections open. The
    // one read usually brings the whole header.
    ssize_t got;
    do got = read(fd, hdr, sizeof hdr);
    while (got < 0 && errno == EINTR);
    if (got <= 0) return -1;
    uint64_t deadline = now_ms() + static_cast<uint64_t>(g_frame_timeout_ms.load(std::memory_order_relaxed));
    size_t have = static_cast<size_t>(got);
    if (read_until(fd, hdr + have, sizeof hdr - have, deadline) != 0) return -1;
    uint32_t len = frame_get_len(hdr);
    if (len == 0 || len > FRAME_MAX_BYTES) return -1;
    if (budget && !budget->take(budget->ctx, len)) return -1;
    out->len = 0;
    int r = sb_reserve(out, len) == 0 ? read_until(fd, reinterpret_cast<unsigned char*>(out->buf), len, deadline) : -1;
    if (budget) budget->give(budget->ctx, len);
    if (r != 0) return -1;
    out->len = len;
    out->buf[len] = '\0';
    return 0;
}

int proto_write_frame_sb(int fd, sb_t* s) {
    unsigned char hdr[4];
    frame_put_len(hdr, s->len);
    // Header and body leave in one system call when the socket takes them whole.
    struct iovec iov[2] = {{hdr, sizeof hdr}, {s->buf, s->len}};
    return write_vec(fd, iov, s->len > 0 ? 2 : 1);
}

void proto_bound_writes(int fd) {
    int ms = g_send_timeout_ms.load(std::memory_order_relaxed);
    struct timeval tv = {ms / 1000, static_cast<suseconds_t>(ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool proto_peer_gone(int fd) {
    struct pollfd p = {fd, 0, 0};  // no event asked for: hang-up and error are always reported
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
}

int proto_write_all(int fd, const void* buf, size_t n) {
    struct iovec iov = {const_cast<void*>(buf), n};
    return write_vec(fd, &iov, 1);
}

int frame_batch_t::flush(int fd) {
    if (out.len > 0 && !failed && proto_write_all(fd, out.buf, out.len) != 0) failed = true;
    out.len = 0;
    return failed ? -1 : 0;
}
