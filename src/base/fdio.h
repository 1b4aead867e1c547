// fdio — owning descriptors and directories, and the few ways the daemon reads and writes
// whole files: EINTR-safe full reads and writes, whole-file reads with a byte limit, one
// bounded read of a small (kernel) file, one write into an existing file; and the closing of
// every descriptor above the standard three in a new child.
//
// Threads: nothing here keeps shared state; an owner belongs to one thread.
// Errors: functions returning int give 0 (or a count) on success and -1 on failure, with
// errno from the failed call.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>

#include "base/sb.h"

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

// Owns an open directory stream (and its descriptor).
struct scoped_dir_closer {
    void operator()(DIR* d) const { closedir(d); }
};
using scoped_dir = std::unique_ptr<DIR, scoped_dir_closer>;

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

// Reads at most `cap - 1` bytes of `path` (relative to `dirfd`, or AT_FDCWD) into `buf` with
// one read and NUL-terminates them: a file that changes between two calls is never stitched
// together. The byte count, or -1 (buf emptied) when the file cannot be opened or read.
// A link as the last component is not followed and a FIFO never blocks the open: these are
// files of /proc and /sys, or control files in directories another user may write.
ssize_t read_small_at(int dirfd, const char* path, char* buf, size_t cap);
// Opens the existing file `path` write-only (no creation, no truncation) and writes `val` with
// one write. 0 when the write returned a non-negative count (a short write included), -1 when
// the open or the write failed, with errno kept from that call.
int write_str_file(const char* path, const char* val);

// Opens the directory `path` (from the working directory when relative) entering every component with O_NOFOLLOW, so no
// symbolic link anywhere on the way is followed: a link another user planted in a directory
// it may write cannot send root elsewhere. The descriptor, or -1 with errno (ELOOP for a
// link, ENOTDIR for any other non-directory).
int open_dir_no_links(const char* path);
// A listing of the directory `dfd` from its start, on a duplicate: `dfd` stays open and its
// own position is untouched. Null when it cannot be listed.
scoped_dir list_dir(int dfd);
// The path the kernel gives for the open file `fd` (the /proc/self/fd link): what the
// descriptor really is, whatever name opened it. false when it cannot be read.
bool fd_real_path(int fd, std::string* out);

// The bound for fd_close_from_3, read before a fork: getrlimit is not async-signal-safe.
int fd_limit();
// In a new child: closes every descriptor from 3 upward, close-on-exec or not. Raw system
// calls only: async-signal-safe, and safe in a child that shares the parent's memory.
void fd_close_from_3(int limit);
