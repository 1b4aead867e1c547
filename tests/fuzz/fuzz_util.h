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

#include "log.h"

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
