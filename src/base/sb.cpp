#include "base/sb.h"

#include <charconv>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

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

int sb_grow(sb_t* s, size_t need) {
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
        default: snprintf(esc, sizeof esc, "\\u%04x", *p); len = 6;
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

char* sb_detach(sb_t* s) {
    char* out = s->buf;
    sb_init(s);
    return out;
}
