// frame — frames on a connection.
//
// A frame is a 4-byte big-endian length and that many body bytes. A received body must hold
// 1 to FRAME_MAX_BYTES bytes; anything else fails the read and the caller closes the
// connection without a reply.
// Timeouts: a connection may stay idle between frames for ever, but once the first byte of a
// frame has arrived the whole frame must arrive within the frame timeout. A write that makes no
// progress for the send timeout fails. Any failed write ends the connection: it is shut down
// both ways, so every later write on it fails at once, its next read ends, and a stream runner
// watching it for hang-up stops its child.
// Threads: one thread reads and writes a connection's frames; the timeouts are set once at
// start-up. Errors: 0 / -1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/sb.h"

// Where the daemon listens unless its configuration says otherwise, and where clients look.
constexpr const char VORND_DEFAULT_SOCKET_PATH[] = "/opt/vorn/var/run/vornd.sock";

constexpr size_t FRAME_MAX_BYTES = 1048576;
constexpr size_t FRAME_HEADER_BYTES = 4;
constexpr int PROTO_FRAME_TIMEOUT_MS = 30000;
constexpr int PROTO_SEND_TIMEOUT_MS = 10000;

// Replaces the two timeouts (a value below 1 keeps the current one). Called once, before the
// first connection; the daemon's test options shorten them.
void proto_set_timeouts(int frame_ms, int send_ms);

// A bound on the bytes that incomplete frames may hold, shared by connections as its owner
// decides: take(ctx, n) is asked before a body of n bytes is read (false refuses the frame,
// and the read fails); give(ctx, n) returns them once the body is complete or its read failed.
struct frame_budget_t {
    bool (*take)(void* ctx, size_t n);
    void (*give)(void* ctx, size_t n);
    void* ctx;
};

// Reads one whole frame into `out`, replacing its content (its capacity is kept for reuse),
// its body counted against `budget` while it arrives (null: no bound but FRAME_MAX_BYTES).
int proto_read_frame(int fd, sb_t* out, const frame_budget_t* budget = nullptr);
// Writes the header for `s->len` bytes and then the content.
int proto_write_frame_sb(int fd, sb_t* s);
// Gives a new connection the send timeout as its socket option too, so that a blocking write
// that does not go through this module cannot hang for ever either.
void proto_bound_writes(int fd);
// True when the connection has hung up (both directions shut, by the peer or by a failed
// write) or has an error. Nothing is read: a request already sent stays queued. A client that
// only shut down its sending side is still there.
bool proto_peer_gone(int fd);
// Writes all `n` bytes to a connection under the send timeout, for callers that gather whole
// frames themselves. On a descriptor that is no socket it is a plain blocking write.
int proto_write_all(int fd, const void* buf, size_t n);

// The 4-byte big-endian length of a frame header. Frames the daemon writes carry the low 32
// bits of their length. Inline: a stream builds one header per line it sends.
inline void frame_put_len(unsigned char* hdr, size_t len) {
    const auto n = static_cast<uint32_t>(len);
    hdr[0] = static_cast<unsigned char>(n >> 24);
    hdr[1] = static_cast<unsigned char>(n >> 16);
    hdr[2] = static_cast<unsigned char>(n >> 8);
    hdr[3] = static_cast<unsigned char>(n);
}
inline uint32_t frame_get_len(const unsigned char* hdr) {
    return static_cast<uint32_t>(hdr[0]) << 24 | static_cast<uint32_t>(hdr[1]) << 16 |
           static_cast<uint32_t>(hdr[2]) << 8 | hdr[3];
}

// For writers that gather whole frames in one buffer: frame_begin appends a frame's 4 length
// bytes and returns where the frame starts (SIZE_MAX, `out` unchanged, when memory ran out);
// frame_set_length fills them in once the body that runs to the end of `out` is appended.
inline size_t frame_begin(sb_t* out) {
    const size_t at = out->len;
    if (sb_reserve(out, FRAME_HEADER_BYTES) != 0) return SIZE_MAX;
    memset(out->buf + at, 0, FRAME_HEADER_BYTES);
    out->len += FRAME_HEADER_BYTES;
    return at;
}
inline void frame_set_length(sb_t* out, size_t at) {
    frame_put_len(reinterpret_cast<unsigned char*>(out->buf + at), out->len - at - FRAME_HEADER_BYTES);
}

// Frames gathered in one buffer and written to a connection with one write: a stream that
// turns one read of a child's output into several events sends them together. Once a write
// has failed the connection is gone and nothing more is written.
struct frame_batch_t {
    sb_t out;
    bool failed = false;

    // Writes the gathered frames and empties the buffer. 0, or -1 once a write has failed.
    int flush(int fd);
};
