// util — the daemon's small shared tools: the growable byte string `sb_t` and its JSON
// escaping, an owning descriptor, EINTR-safe whole reads and writes, base64, identifiers,
// the monotonic millisecond clock and whole-file reading.
//
// Threads: nothing here keeps shared state; an `sb_t` or `unique_fd` belongs to one thread.
// Errors: functions returning int give 0 on success and -1 on failure (memory or I/O).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

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
// Room for `need` more bytes plus the terminator. Capacity grows from 256 by doubling.
int sb_reserve(sb_t* s, size_t need);
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

// Owns one descriptor and closes it on destruction. Hand-over is visible as release().
class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    ~unique_fd() { reset(); }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    unique_fd(unique_fd&& o) noexcept : fd_(o.release()) {}
    unique_fd& operator=(unique_fd&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// Reads exactly `n` bytes, retrying on EINTR and short reads. 0 on success, -1 on end of
// stream or error.
int read_full(int fd, void* buf, size_t n);
// Writes all `n` bytes, retrying on EINTR and short writes. 0 on success, -1 on error.
int write_full(int fd, const void* buf, size_t n);

// Appends the whole file to `out`. -1 when it cannot be opened or read, or when it is larger
// than `max_bytes`; on failure `out` keeps the whole chunks appended before the limit.
int read_file_all(const char* path, sb_t* out, size_t max_bytes);
// read_file_all from an open descriptor, up to its end; the caller keeps the descriptor.
int read_fd_all(int fd, sb_t* out, size_t max_bytes);

uint64_t now_ms();  // CLOCK_MONOTONIC in milliseconds

size_t b64_encoded_len(size_t n);
// Writes b64_encoded_len(n) characters and a NUL into `out`; returns the text length.
size_t b64_encode(const unsigned char* src, size_t n, char* out);
// Tolerant decoder: skips blanks, stops at the first '=', accepts missing padding. Returns the
// byte count, or -1 for a character outside the alphabet or output beyond `cap`.
ssize_t b64_decode(const char* src, size_t n, unsigned char* out, size_t cap);

constexpr size_t ID_LEN = 16;
// Writes 16 lower-case hexadecimal digits and a NUL (17 bytes) from the kernel's random source.
void gen_id(char* out);
