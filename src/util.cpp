#include "util.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

// ---- sb_t ----

sb_t::~sb_t() { sb_free(this); }

sb_t::sb_t(sb_t&& o) noexcept
    : buf(std::exchange(o.buf, nullptr)), len(std::exchange(o.len, 0)), cap(std::exchange(o.cap, 0)) {}

sb_t& sb_t::operator=(sb_t&& o) noexcept {
    if (this != &o) {
        sb_free(this);
        buf = std::exchange(o.buf, nullptr);
        len = std::exchange(o.len, 0);
        cap = std::exchange(o.cap, 0);
    }
    return *this;
}

void sb_init(sb_t* s) {
    s->buf = nullptr;
    s->len = 0;
    s->cap = 0;
}

void sb_free(sb_t* s) {
    if (!s) return;
    free(s->buf);
    sb_init(s);
}

int sb_reserve(sb_t* s, size_t need) {
    if (s->cap > s->len && s->cap - s->len >= need + 1 && need < SIZE_MAX) return 0;
    if (need > SIZE_MAX / 2 - s->len) return -1;
    size_t want = s->len + need + 1;
    size_t cap = s->cap ? s->cap * 2 : 256;
    while (cap < want) cap *= 2;
    char* nb = static_cast<char*>(realloc(s->buf, cap));
    if (!nb) return -1;
    nb[s->len] = '\0';  // a buffer that exists is a C string, even before the first append
    s->buf = nb;
    s->cap = cap;
    return 0;
}

int sb_append(sb_t* s, const char* data, size_t n) {
    if (sb_reserve(s, n) != 0) return -1;
    if (n) memcpy(s->buf + s->len, data, n);
    s->len += n;
    s->buf[s->len] = '\0';
    return 0;
}

int sb_appendz(sb_t* s, const char* c) { return sb_append(s, c, strlen(c)); }

int sb_printf(sb_t* s, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    int n = vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    if (n < 0 || sb_reserve(s, static_cast<size_t>(n)) != 0) {
        va_end(ap2);
        return -1;
    }
    vsnprintf(s->buf + s->len, static_cast<size_t>(n) + 1, fmt, ap2);
    va_end(ap2);
    s->len += static_cast<size_t>(n);
    return 0;
}

int sb_json_escape(sb_t* s, const char* src, size_t n) {
    if (n > SIZE_MAX / 2 || sb_reserve(s, n + 2) != 0) return -1;
    const auto* p = reinterpret_cast<const unsigned char*>(src);
    const auto* end = p + n;
    while (p < end) {
        // Plain bytes go over in runs: one copy per run instead of one call per byte.
        const unsigned char* run = p;
        while (p < end && *p >= 0x20 && *p != '"' && *p != '\\') ++p;
        if (p > run) sb_append(s, reinterpret_cast<const char*>(run), static_cast<size_t>(p - run));
        if (p == end) break;
        char esc[8];
        const char* out = esc;
        size_t len = 2;
        switch (*p) {
        case '\b': out = "\\b"; break;
        case '\t': out = "\\t"; break;
        case '\n': out = "\\n"; break;
        case '\f': out = "\\f"; break;
        case '\r': out = "\\r"; break;
        case '"': out = "\\\""; break;
        case '\\': out = "\\\\"; break;
        default:
            snprintf(esc, sizeof esc, "\\u%04x", *p);
            len = 6;
        }
        sb_append(s, out, len);  // on failure this byte's output is dropped
        ++p;
    }
    return 0;
}

// The members below are built with plain appends, not sb_printf: every reply and event is
// made of them, and two vsnprintf passes per member cost more than the rest of a ping's
// dispatch together. Each reserves its whole length first, so it appends all or nothing.

// `"key":` then `val` (`vlen` bytes, copied as they are) and an optional comma.
static int sb_kv_plain(sb_t* s, const char* key, const char* val, size_t vlen, int comma) {
    size_t klen = strlen(key);
    if (klen > SIZE_MAX / 4 || vlen > SIZE_MAX / 4 || sb_reserve(s, klen + vlen + 4) != 0) return -1;
    sb_append(s, "\"", 1);
    sb_append(s, key, klen);
    sb_append(s, "\":", 2);
    sb_append(s, val, vlen);
    if (comma) sb_append(s, ",", 1);
    return 0;
}

int sb_kv_str(sb_t* s, const char* key, const char* val, int comma) {
    if (sb_kv_plain(s, key, "\"", 1, 0) != 0) return 0;
    if (val) sb_json_escape(s, val, strlen(val));
    sb_append(s, comma ? "\"," : "\"", comma ? 2 : 1);
    return 0;
}

int sb_kv_int(sb_t* s, const char* key, long long val, int comma) {
    char num[24];
    auto r = std::to_chars(num, num + sizeof num, val);
    return sb_kv_plain(s, key, num, static_cast<size_t>(r.ptr - num), comma);
}

int sb_kv_bool(sb_t* s, const char* key, int val, int comma) {
    return val ? sb_kv_plain(s, key, "true", 4, comma) : sb_kv_plain(s, key, "false", 5, comma);
}

int sb_kv_raw(sb_t* s, const char* key, const char* raw, int comma) {
    if (!raw) raw = "null";
    return sb_kv_plain(s, key, raw, strlen(raw), comma);
}

// ---- descriptors and I/O ----

void unique_fd::reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
}

int read_full(int fd, void* buf, size_t n) {
    auto* p = static_cast<char*>(buf);
    while (n > 0) {
        ssize_t r = read(fd, p, n);
        if (r > 0) {
            p += r;
            n -= static_cast<size_t>(r);
        } else if (r == 0 || errno != EINTR) {
            return -1;
        }
    }
    return 0;
}

int write_full(int fd, const void* buf, size_t n) {
    const auto* p = static_cast<const char*>(buf);
    while (n > 0) {
        ssize_t r = write(fd, p, n);
        if (r >= 0) {
            p += r;
            n -= static_cast<size_t>(r);
        } else if (errno != EINTR) {
            return -1;
        }
    }
    return 0;
}

int read_file_all(const char* path, sb_t* out, size_t max_bytes) {
    unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) return -1;
    return read_fd_all(fd.get(), out, max_bytes);
}

int read_fd_all(int fd, sb_t* out, size_t max_bytes) {
    char chunk[4096];
    size_t total = 0;
    for (;;) {
        ssize_t r = read(fd, chunk, sizeof chunk);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) return 0;
        if (static_cast<size_t>(r) > max_bytes - total) return -1;
        total += static_cast<size_t>(r);
        if (sb_append(out, chunk, static_cast<size_t>(r)) != 0) return -1;
    }
}

uint64_t now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// ---- base64 ----

static const char B64_ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

size_t b64_encoded_len(size_t n) { return (n + 2) / 3 * 4; }

size_t b64_encode(const unsigned char* src, size_t n, char* out) {
    char* o = out;
    size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        unsigned v = (unsigned)src[i] << 16 | (unsigned)src[i + 1] << 8 | src[i + 2];
        *o++ = B64_ALPHABET[v >> 18];
        *o++ = B64_ALPHABET[(v >> 12) & 63];
        *o++ = B64_ALPHABET[(v >> 6) & 63];
        *o++ = B64_ALPHABET[v & 63];
    }
    if (i < n) {
        unsigned v = (unsigned)src[i] << 16 | (i + 1 < n ? (unsigned)src[i + 1] << 8 : 0u);
        *o++ = B64_ALPHABET[v >> 18];
        *o++ = B64_ALPHABET[(v >> 12) & 63];
        *o++ = i + 1 < n ? B64_ALPHABET[(v >> 6) & 63] : '=';
        *o++ = '=';
    }
    *o = '\0';
    return static_cast<size_t>(o - out);
}

static int b64_value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

ssize_t b64_decode(const char* src, size_t n, unsigned char* out, size_t cap) {
    uint32_t acc = 0;
    int bits = 0;
    size_t produced = 0;
    for (size_t i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(src[i]);
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
        if (c == '=') break;
        int v = b64_value(c);
        if (v < 0) return -1;
        acc = (acc << 6 | static_cast<uint32_t>(v)) & 0xFFFFFFu;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            if (produced >= cap) return -1;
            out[produced++] = static_cast<unsigned char>(acc >> bits);
        }
    }
    return static_cast<ssize_t>(produced);
}

// ---- identifiers ----

static bool random_bytes(unsigned char* b, size_t n) {
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ssize_t r;
        do r = read(fd, b, n);
        while (r < 0 && errno == EINTR);
        close(fd);
        if (r == static_cast<ssize_t>(n)) return true;
    }
    // Without /dev/urandom (a chroot, a descriptor limit) the kernel still has a source.
    ssize_t r;
    do r = getrandom(b, n, GRND_NONBLOCK);
    while (r < 0 && errno == EINTR);
    return r == static_cast<ssize_t>(n);
}

void gen_id(char* out) {
    unsigned char b[ID_LEN / 2];
    if (!random_bytes(b, sizeof b)) {
        for (auto& x : b) x = static_cast<unsigned char>(rand() & 0xFF);
    }
    static const char HEX[] = "0123456789abcdef";
    for (size_t i = 0; i < sizeof b; i++) {
        out[2 * i] = HEX[b[i] >> 4];
        out[2 * i + 1] = HEX[b[i] & 15];
    }
    out[ID_LEN] = '\0';
}
