#include "proto.h"

#include <sys/uio.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

int proto_read_frame(int fd, sb_t* out) {
    unsigned char hdr[4];
    if (read_full(fd, hdr, sizeof hdr) != 0) return -1;
    uint32_t len = (uint32_t)hdr[0] << 24 | (uint32_t)hdr[1] << 16 | (uint32_t)hdr[2] << 8 | hdr[3];
    if (len == 0 || len > FRAME_MAX_BYTES) return -1;
    out->len = 0;
    if (sb_reserve(out, len) != 0) return -1;
    if (read_full(fd, out->buf, len) != 0) return -1;
    out->len = len;
    out->buf[len] = '\0';
    return 0;
}

static void put_be32(unsigned char* p, size_t n) {
    uint32_t len = static_cast<uint32_t>(n);  // frames the daemon writes carry the low 32 bits
    p[0] = static_cast<unsigned char>(len >> 24);
    p[1] = static_cast<unsigned char>(len >> 16);
    p[2] = static_cast<unsigned char>(len >> 8);
    p[3] = static_cast<unsigned char>(len);
}

int proto_write_frame_sb(int fd, sb_t* s) {
    unsigned char hdr[4];
    put_be32(hdr, s->len);
    if (s->len == 0) return write_full(fd, hdr, sizeof hdr);
    // Header and body leave in one system call when the socket takes them whole.
    struct iovec iov[2] = {{hdr, sizeof hdr}, {s->buf, s->len}};
    ssize_t w;
    do w = writev(fd, iov, 2);
    while (w < 0 && errno == EINTR);
    if (w < 0) return -1;
    size_t done = static_cast<size_t>(w);
    if (done < sizeof hdr) {
        if (write_full(fd, hdr + done, sizeof hdr - done) != 0) return -1;
        done = sizeof hdr;
    }
    return write_full(fd, s->buf + (done - sizeof hdr), s->len - (done - sizeof hdr));
}

static bool tok_text_eq(const char* js, const jsmntok_t* t, const char* s) {
    size_t n = strlen(s);
    return t->end - t->start == static_cast<int>(n) && memcmp(js + t->start, s, n) == 0;
}

int json_obj_idx(const char* js, const jsmntok_t* toks, int ntoks, const char* key) {
    if (ntoks < 1 || toks[0].type != JSMN_OBJECT) return -1;
    if (toks[0].size <= 0 || ntoks == 1) return -1;
    int i = 1;
    int examined = 0;
    for (;;) {
        if (toks[i].type == JSMN_STRING && tok_text_eq(js, &toks[i], key))
            return i + 1 < ntoks ? i + 1 : -1;
        examined++;
        i++;
        if (i >= ntoks) return -1;
        // Skip the value's whole subtree: each container adds its children to the count.
        long pending = 1;
        while (pending > 0 && i < ntoks) {
            pending--;
            if (toks[i].type == JSMN_ARRAY) pending += toks[i].size;
            else if (toks[i].type == JSMN_OBJECT) pending += 2L * toks[i].size;
            i++;
        }
        if (i >= ntoks || examined == toks[0].size) return -1;
    }
}

void json_tok_copy(const char* js, const jsmntok_t* t, char* out, size_t cap) {
    if (cap == 0) return;
    size_t n = t->end > t->start ? static_cast<size_t>(t->end - t->start) : 0;
    if (n > cap - 1) n = cap - 1;
    memcpy(out, js + t->start, n);
    out[n] = '\0';
}

long long json_tok_int(const char* js, const jsmntok_t* t) {
    char buf[32];
    json_tok_copy(js, t, buf, sizeof buf);
    return strtoll(buf, nullptr, 10);
}

int json_tok_bool(const char* js, const jsmntok_t* t) {
    if (tok_text_eq(js, t, "true")) return 1;
    if (tok_text_eq(js, t, "false")) return 0;
    return -1;
}
