#include "base/ids.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

static bool random_bytes(unsigned char* b, size_t n) {
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ssize_t r;
        do r = read(fd, b, n);
        while (r < 0 && errno == EINTR);
        close(fd);
        if (r == static_cast<ssize_t>(n)) return true;
    }
    // Without /dev/urandom (a chroot, a descriptor limit) the kernel still has a source.
    ssize_t r;
    do r = getrandom(b, n, GRND_NONBLOCK);
    while (r < 0 && errno == EINTR);
    return r == static_cast<ssize_t>(n);
}

void gen_id(char* out) {
    unsigned char b[ID_LEN / 2];
    if (!random_bytes(b, sizeof b)) {
        for (auto& x : b) x = static_cast<unsigned char>(rand() & 0xFF);
    }
    static const char HEX[] = "0123456789abcdef";
    for (size_t i = 0; i < sizeof b; i++) {
        out[2 * i] = HEX[b[i] >> 4];
        out[2 * i + 1] = HEX[b[i] & 15];
    }
    out[ID_LEN] = '\0';
}
