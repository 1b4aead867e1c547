// proto — frames on a connection and read access to a tokenized request.
//
// A frame is a 4-byte big-endian length and that many body bytes. A received body must hold
// 1 to FRAME_MAX_BYTES bytes; anything else fails the read and the caller closes the
// connection without a reply. Token text is always the raw frame bytes: escape sequences are
// never decoded anywhere in the daemon.
// Threads: stateless; one thread writes a connection's frames. Errors: 0 / -1.
#pragma once

#include <cstddef>

#include "jsmn.h"
#include "util.h"

constexpr size_t FRAME_MAX_BYTES = 1048576;

// Reads one whole frame into `out`, replacing its content (its capacity is kept for reuse).
int proto_read_frame(int fd, sb_t* out);
// Writes the header for `s->len` bytes and then the content.
int proto_write_frame_sb(int fd, sb_t* s);

// Index, relative to `toks`, of the value of `key` in the object toks[0], or -1. Only the
// object's own keys are compared, as raw bytes; the first match wins.
int json_obj_idx(const char* js, const jsmntok_t* toks, int ntoks, const char* key);
// Copies the token's raw text into `out`, cut to cap-1 bytes, NUL-terminated; cap 0: nothing.
void json_tok_copy(const char* js, const jsmntok_t* t, char* out, size_t cap);
// strtoll of the first 31 bytes of the raw text, whatever the token's kind.
long long json_tok_int(const char* js, const jsmntok_t* t);
// 1 for the raw text true, 0 for false, else -1 (a string "true" counts too).
int json_tok_bool(const char* js, const jsmntok_t* t);
