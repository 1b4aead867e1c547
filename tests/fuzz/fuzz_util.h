// Shared pieces of the fuzz targets: a sink for the frames handlers write, an in-memory file
// for code that reads by path or descriptor, and quiet logging.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/log.h"

// Where replies and events go: written and forgotten.
inline int fuzz_sink_fd() {
    static int fd = [] {
        log_init("fuzz", LOG_ERR + 1);  // a line per input would drown the fuzzer's own output
        int s = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (s < 0) abort();
        return s;
    }();
    return fd;
}

// One in-memory file whose content is replaced for every input; read it through its
// descriptor or through path().
class fuzz_memfile {
public:
    fuzz_memfile() : fd_(memfd_create("fuzz-input", MFD_CLOEXEC)) {
        if (fd_ < 0) abort();
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    void set(const uint8_t* data, size_t n) {
        if (ftruncate(fd_, 0) != 0 || pwrite(fd_, data, n, 0) != static_cast<ssize_t>(n)) abort();
        lseek(fd_, 0, SEEK_SET);
    }
    int fd() const { return fd_; }
    const char* path() const { return path_.c_str(); }

private:
    int fd_;
    std::string path_;
};

// Calls `line_cb(line)` for each line of `data` as the runner hands lines over: without the
// line feed, and never with a NUL inside (a NUL ends a line as a line feed does).
template <typename F>
void fuzz_each_line(const uint8_t* data, size_t size, F line_cb) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find_first_of(std::string_view("\n\0", 2), pos);
        if (end == std::string_view::npos) end = text.size();
        line_cb(std::string(text.substr(pos, end - pos)).c_str());
        pos = end + 1;
    }
}
