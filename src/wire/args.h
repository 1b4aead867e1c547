// args — typed access to a request's `args` object, with defaults.
//
// `avail` is the number of tokens from `args_tok` to the end of the request. Values are used
// as their raw token text; only `args`'s own keys are seen, and the first occurrence wins.
// Threads: pure functions.
#pragma once

#include <cstddef>

#include "wire/jsmn.h"

// 0 and the raw text (cut to cap-1) for a string or primitive value; else -1, `out` untouched.
int arg_get_str(const char* js, const jsmntok_t* args_tok, int avail, const char* key, char* out, size_t cap);
// json_tok_int of the value whatever its kind; `defv` when absent or args is no object.
long long arg_get_int(const char* js, const jsmntok_t* args_tok, int avail, const char* key, long long defv);
// 1 or 0 for a value whose text is true or false; else `defv`.
int arg_get_bool(const char* js, const jsmntok_t* args_tok, int avail, const char* key, int defv);
// Copies up to `max` entries of an array value (each cut to 255 bytes; non-scalars give "").
// Returns the count, or -1 when the key is absent or not an array.
int arg_array_strs(const char* js, const jsmntok_t* args_tok, int avail, const char* key, char out[][256], int max);

// The same for values that are used whole, where a cut value would name something else (a
// path, a program, an argument): a value that does not fit is refused instead.
constexpr int ARG_TOO_LONG = -2;  // reply "EBADREQ" "<key> too long"
constexpr int ARG_TOO_MANY = -3;  // reply "EBADREQ" "too many arguments"
// arg_get_str, but ARG_TOO_LONG (`out` untouched) when the text needs `cap` bytes or more.
int arg_get_str_fit(const char* js, const jsmntok_t* args_tok, int avail, const char* key, char* out, size_t cap);
// arg_array_strs, but ARG_TOO_MANY when the array has more than `max` entries and ARG_TOO_LONG
// when an entry has 256 bytes or more; `out` may then be partly written.
int arg_array_strs_fit(const char* js, const jsmntok_t* args_tok, int avail, const char* key, char out[][256], int max);
