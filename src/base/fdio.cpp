#include "base/fdio.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

void unique_fd::reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
}

int read_full(int fd, void* buf, size_t n) {
    auto* p = static_cast<char*>(buf);
    while (n > 0) {
        ssize_t r = read(fd, p, n);
        if (r > 0) {
            p += r;
            n -= static_cast<size_t>(r);
        } else if (r == 0 || errno != EINTR) {
            return -1;
        }
    }
    return 0;
}

int write_full(int fd, const void* buf, size_t n) {
    const auto* p = static_cast<const char*>(buf);
    while (n > 0) {
        ssize_t r = write(fd, p, n);
        if (r >= 0) {
            p += r;
            n -= static_cast<size_t>(r);
        } else if (errno != EINTR) {
            return -1;
        }
    }
    return 0;
}

int read_file_all(const char* path, sb_t* out, size_t max_bytes) {
    unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) return -1;
    return read_fd_all(fd.get(), out, max_bytes);
}

int read_fd_all(int fd, sb_t* out, size_t max_bytes) {
    char chunk[4096];
    size_t total = 0;
    for (;;) {
        ssize_t r = read(fd, chunk, sizeof chunk);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) return 0;
        if (static_cast<size_t>(r) > max_bytes - total) return -1;
        total += static_cast<size_t>(r);
        if (sb_append(out, chunk, static_cast<size_t>(r)) != 0) return -1;
    }
}

ssize_t read_small_at(int dirfd, const char* path, char* buf, size_t cap) {
    buf[0] = '\0';
    unique_fd f(openat(dirfd, path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!f) return -1;
    ssize_t r;
    do r = read(f.get(), buf, cap - 1);
    while (r < 0 && errno == EINTR);
    if (r < 0) return -1;
    buf[r] = '\0';
    return r;
}

int write_str_file(const char* path, const char* val) {
    unique_fd f(open(path, O_WRONLY | O_CLOEXEC));
    if (!f) return -1;
    ssize_t w;
    do w = write(f.get(), val, strlen(val));
    while (w < 0 && errno == EINTR);
    int saved = errno;
    f.reset();
    errno = saved;
    return w < 0 ? -1 : 0;
}

int open_dir_no_links(const char* path) {
    unique_fd dir(open(path[0] == '/' ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (const char* p = path; dir && *p;) {
        p += strspn(p, "/");
        size_t n = strcspn(p, "/");
        if (n == 0) break;
        std::string name(p, n);
        int next = openat(dir.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        struct stat st;
        // With O_DIRECTORY a link reads as "not a directory"; it is told apart here.
        if (next < 0 && errno == ENOTDIR && fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(st.st_mode))
            errno = ELOOP;
        dir.reset(next);
        p += n;
    }
    return dir ? dir.release() : -1;
}

scoped_dir list_dir(int dfd) {
    int own = fcntl(dfd, F_DUPFD_CLOEXEC, 0);
    scoped_dir d(own >= 0 ? fdopendir(own) : nullptr);
    if (!d && own >= 0) close(own);
    if (d) rewinddir(d.get());  // the duplicate shares the position of earlier passes
    return d;
}

bool fd_real_path(int fd, std::string* out) {
    char link[32], real[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, real, sizeof real);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof real) return false;
    out->assign(real, static_cast<size_t>(n));
    return true;
}

int fd_limit() {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < INT_MAX)
        return static_cast<int>(rl.rlim_cur);
    return 65536;
}

// Called by the spawn routine's child, which runs in the daemon's memory: nothing here may be
// instrumented by a sanitizer, and the loop is for kernels without close_range.
__attribute__((no_sanitize("address", "thread", "undefined"), noinline)) void fd_close_from_3(int limit) {
    if (syscall(SYS_close_range, 3u, ~0u, 0u) != 0)
        for (int fd = 3; fd < limit; fd++) syscall(SYS_close, fd);
}
