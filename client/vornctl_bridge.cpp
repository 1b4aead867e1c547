// `vornctl bridge`: frames between standard input/output and the daemon's socket, for a
// remote `ssh HOST vornctl bridge`. Only the frame boundaries are looked at: a length outside
// what a reader accepts ends the relay before the frame's first byte passes, so no peer can
// push an unbounded frame through it. Both directions are relayed at once with bounded
// buffers: a stream's events flow out while a later request may still flow in.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "client.h"
#include "vornctl.h"
#include "wire/errors.h"
#include "wire/frame.h"

namespace {

constexpr size_t RELAY_BUFFER_BYTES = size_t{64} * 1024;
// The daemon refuses requests above FRAME_MAX_BYTES; its replies (a file read in one) may be
// longer, up to what vornctl itself reads.
constexpr size_t REPLY_MAX_BYTES = 64u << 20;

struct relay_t {
    relay_t(int in_fd, int out_fd, const char* from_whom, size_t max_len)
        : in(in_fd), out(out_fd), from(from_whom), max(max_len) {}
    int in, out;
    const char* from;  // for the message on a bad frame
    size_t max;
    char buf[RELAY_BUFFER_BYTES];
    size_t len = 0;      // bytes held
    size_t sent = 0;     // of them written out
    size_t checked = 0;  // of them known to lie within good frames
    size_t left = 0;     // body bytes of the current frame after `checked`
    bool eof = false;
    long long bad = -1;  // the refused length
};

// Moves `checked` over whole headers and bodies; stops at an incomplete header or a bad one.
void check(relay_t* r) {
    while (r->checked < r->len && r->bad < 0) {
        if (r->left) {
            size_t n = std::min(r->left, r->len - r->checked);
            r->checked += n;
            r->left -= n;
            continue;
        }
        if (r->len - r->checked < FRAME_HEADER_BYTES) return;
        uint32_t n = frame_get_len(reinterpret_cast<const unsigned char*>(r->buf + r->checked));
        if (n == 0 || n > r->max) {
            r->bad = n;
            return;
        }
        r->checked += FRAME_HEADER_BYTES;
        r->left = n;
    }
}

bool can_read(const relay_t& r) { return !r.eof && r.bad < 0 && r.len < sizeof r.buf; }
bool can_write(const relay_t& r) { return r.checked > r.sent; }

// One read into the buffer; false on an error other than "try again".
bool pull(relay_t* r) {
    if (r->sent == r->len) r->len = r->sent = r->checked = 0;
    if (r->sent > 0 && r->len == sizeof r->buf) {
        memmove(r->buf, r->buf + r->sent, r->len - r->sent);
        r->len -= r->sent;
        r->checked -= r->sent;
        r->sent = 0;
    }
    ssize_t n = read(r->in, r->buf + r->len, sizeof r->buf - r->len);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    if (n == 0) r->eof = true;
    r->len += static_cast<size_t>(n);
    check(r);
    return true;
}

bool push(relay_t* r) {
    ssize_t n = write(r->out, r->buf + r->sent, r->checked - r->sent);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    r->sent += static_cast<size_t>(n);
    return true;
}

// Writes what was checked before the relay ends (blocking: nothing else is left to do).
void drain(relay_t* r) {
    int flags = fcntl(r->out, F_GETFL);
    if (flags >= 0) fcntl(r->out, F_SETFL, flags & ~O_NONBLOCK);
    while (can_write(*r) && push(r)) {
    }
}

void set_nonblocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

int refuse(const ctl_ctx& ctx, const relay_t& r) {
    ctl_say(ctx,
            "a frame of " + std::to_string(r.bad) + " bytes from " + r.from + " is outside 1.." + std::to_string(r.max),
            ERR_EPROTO);
    return CTL_FAIL;
}

}  // namespace

int ctl_cmd_bridge(const ctl_ctx& ctx, int argc, char**) {
    if (argc != 0) {
        fprintf(stderr, "usage: vornctl [-s SOCKET] bridge\n");
        return CTL_USAGE;
    }
    unique_fd sock = ctl_connect_or_say(ctx);
    if (!sock) return CTL_UNREACHABLE;
    signal(SIGPIPE, SIG_IGN);
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, sock.get()}) set_nonblocking(fd);
    relay_t up(STDIN_FILENO, sock.get(), "the client", FRAME_MAX_BYTES),
        down(sock.get(), STDOUT_FILENO, "vornd", REPLY_MAX_BYTES);
    for (;;) {
        struct pollfd p[3] = {
            {STDIN_FILENO, static_cast<short>(can_read(up) ? POLLIN : 0), 0},
            {STDOUT_FILENO, static_cast<short>(can_write(down) ? POLLOUT : 0), 0},
            {sock.get(), static_cast<short>((can_read(down) ? POLLIN : 0) | (can_write(up) ? POLLOUT : 0)), 0}};
        if (poll(p, 3, -1) < 0) {
            if (errno == EINTR) continue;
            return CTL_FAIL;
        }
        // An error or hang-up on an output means its reader is gone: nothing more can pass.
        if ((p[1].revents & (POLLERR | POLLHUP)) || (p[2].revents & POLLERR)) return CTL_OK;
        bool ok = true;
        if (p[0].revents & (POLLIN | POLLHUP)) ok &= pull(&up);
        if (p[2].revents & (POLLIN | POLLHUP)) ok &= pull(&down);
        if (p[2].revents & POLLOUT) ok &= push(&up);
        if (p[1].revents & POLLOUT) ok &= push(&down);
        if (!ok) return CTL_FAIL;
        for (relay_t* r : {&up, &down}) {
            if (r->bad < 0 && !r->eof) continue;
            drain(r);  // the good frames before a bad one, or before the end, still pass
            return r->bad >= 0 ? refuse(ctx, *r) : CTL_OK;
        }
    }
}
