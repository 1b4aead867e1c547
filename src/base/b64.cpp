#include "base/b64.h"

#include <cstdint>

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
