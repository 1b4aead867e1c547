// sb — the growable byte string `sb_t` that every JSON text of the daemon is built in, and
// its JSON escaping.
//
// Threads: an `sb_t` belongs to one thread. Errors: functions returning int give 0 on
// success and -1 when memory runs out.
#pragma once

#include <cstddef>
#include <string_view>

// Growable byte string. All zero when empty; once `buf` is set, `buf[len]` is 0 after every
// successful append, so it doubles as a C string when the content holds no NUL. Move-only:
// the buffer is freed when the owner goes out of scope.
struct sb_t {
    char* buf = nullptr;
    size_t len = 0;
    size_t cap = 0;

    sb_t() = default;
    ~sb_t();
    sb_t(const sb_t&) = delete;
    sb_t& operator=(const sb_t&) = delete;
    sb_t(sb_t&& o) noexcept;
    sb_t& operator=(sb_t&& o) noexcept;
};

void sb_init(sb_t* s);
void sb_free(sb_t* s);  // accepts null
// Room for `need` more bytes plus the terminator. Capacity grows from 256 by doubling. The
// check is inline: every append of every event makes it.
int sb_grow(sb_t* s, size_t need);
inline int sb_reserve(sb_t* s, size_t need) {
    if (s->cap > s->len && s->cap - s->len > need) return 0;
    return sb_grow(s, need);
}
int sb_append(sb_t* s, const char* data, size_t n);
int sb_appendz(sb_t* s, const char* c);
int sb_printf(sb_t* s, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Appends `n` bytes escaped for the inside of a JSON string (no quotes). Control bytes
// become \b \t \n \f \r or \u00xx; quote and backslash are escaped; everything from 0x20
// up (0x7F and UTF-8 included) passes unchanged. Returns -1 only when the first reservation
// fails; a byte whose output cannot be stored later is dropped.
int sb_json_escape(sb_t* s, const char* src, size_t n);
// `"key":` then the value. Keys are program constants and are not escaped. Each appends a
// comma when `comma` is non-zero. sb_kv_str escapes its value (null gives "") and returns 0;
// sb_kv_raw copies its value as it is (null gives null).
int sb_kv_str(sb_t* s, const char* key, const char* val, int comma);
int sb_kv_int(sb_t* s, const char* key, long long val, int comma);
int sb_kv_bool(sb_t* s, const char* key, int val, int comma);
int sb_kv_raw(sb_t* s, const char* key, const char* raw, int comma);

// The content as a view (empty for a string that never held anything).
inline std::string_view sb_view(const sb_t& s) { return std::string_view(s.buf ? s.buf : "", s.len); }
// Hands the heap block of `s` to the caller (who frees it) and leaves `s` empty.
char* sb_detach(sb_t* s);
