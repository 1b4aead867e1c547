// b64 — base64 (standard alphabet, padded) for the binary payloads of events and arguments.
// Threads: pure functions.
#pragma once

#include <sys/types.h>

#include <cstddef>

size_t b64_encoded_len(size_t n);
// Writes b64_encoded_len(n) characters and a NUL into `out`; returns the text length.
size_t b64_encode(const unsigned char* src, size_t n, char* out);
// Tolerant decoder: skips blanks, stops at the first '=', accepts missing padding. Returns the
// byte count, or -1 for a character outside the alphabet or output beyond `cap`.
ssize_t b64_decode(const char* src, size_t n, unsigned char* out, size_t cap);
