// text — splitting a line of a tool's output into fields, and the character-set rule for words
// a client sends.
// Threads: pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// How a line splits. Fields are separated by runs of `seps`; a field ends at the first byte of
// `ends` (empty: of `seps`), or after `max_len` bytes, the rest of a longer run then starting
// the next field.
struct text_split_t {
    std::string_view seps = " \t";
    std::string_view ends = {};
    size_t max_len = SIZE_MAX;
};

// Views of the first `max` fields of `line` in `out`; returns how many.
int text_fields(std::string_view line, std::string_view* out, int max, const text_split_t& rule = {});

// text_fields into fixed buffers: each field is NUL-terminated in its own `W` bytes, a longer
// run being cut at W - 1 bytes (its rest starting the next field). `max` is at most 64.
template <size_t W>
int text_fields_copy(std::string_view line, char (*out)[W], int max, text_split_t rule = {}) {
    std::string_view f[64];
    rule.max_len = W - 1;
    int n = text_fields(line, f, max < 64 ? max : 64, rule);
    for (int i = 0; i < n; i++) {
        f[i].copy(out[i], W - 1);
        out[i][f[i].size()] = '\0';
    }
    return n;
}

// True when `s` holds at most `max` characters, each an ASCII letter, a digit or a byte of
// `extra`.
bool text_chars_ok(const char* s, size_t max, const char* extra);
