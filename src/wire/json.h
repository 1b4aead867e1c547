// json — read access to a tokenized request, and the strict check on a tool's own JSON.
//
// Token text is always the raw frame bytes: escape sequences are never decoded anywhere in
// the daemon, and keys are compared as raw bytes.
// Threads: pure functions. Errors: as each function says.
#pragma once

#include <cstddef>
#include <string_view>

#include "wire/jsmn.h"

// True when the token's raw text is exactly `s`.
bool json_tok_eq(const char* js, const jsmntok_t* t, const char* s);
// The index of the first token after the one at `i` and everything nested in it (at most
// `ntoks`). The one subtree rule of the daemon and the client.
int json_tok_skip(const jsmntok_t* toks, int ntoks, int i);
// Index, relative to `toks`, of the value of `key` in the object toks[0], or -1. Only the
// object's own keys are compared, as raw bytes; the first match wins.
int json_obj_idx(const char* js, const jsmntok_t* toks, int ntoks, const char* key);
// Copies the token's raw text into `out`, cut to cap-1 bytes, NUL-terminated; cap 0: nothing.
void json_tok_copy(const char* js, const jsmntok_t* t, char* out, size_t cap);
// strtoll of the first 31 bytes of the raw text, whatever the token's kind.
long long json_tok_int(const char* js, const jsmntok_t* t);
// 1 for the raw text true, 0 for false, else -1 (a string "true" counts too).
int json_tok_bool(const char* js, const jsmntok_t* t);

// 1 when `text` is exactly one complete, valid JSON value, optionally surrounded by white
// space. Strict: no raw control bytes in strings, real numbers and literals, commas and colons
// where they belong, nesting at most JSON_CHECK_MAX_DEPTH deep.
constexpr int JSON_CHECK_MAX_DEPTH = 512;
int json_is_one_value(std::string_view text);
