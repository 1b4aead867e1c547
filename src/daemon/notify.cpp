#include "daemon/notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/fdio.h"
#include "base/log.h"

namespace {

// A send waits at most this long for room in the manager's queue: the accept loop and the
// stop must not hang on a manager that stopped reading.
constexpr int NOTIFY_SEND_TIMEOUT_MS = 1000;

// The manager's socket, set once by notify_init before any other thread runs.
struct notify_target_t {
    unique_fd fd;
    struct sockaddr_un addr = {};
    socklen_t addr_len = 0;
};
notify_target_t g_target;

// The address named by `name`: a path, or "@name" for the abstract namespace (a leading NUL
// byte). False for anything else, or a name longer than an address holds.
bool notify_address(const std::string& name, notify_target_t* t) {
    if (name.empty() || (name[0] != '/' && name[0] != '@') || name.size() >= sizeof t->addr.sun_path) return false;
    t->addr.sun_family = AF_UNIX;
    memcpy(t->addr.sun_path, name.data(), name.size());
    if (name[0] == '@') t->addr.sun_path[0] = '\0';
    // An abstract name is exactly its bytes; a path keeps its terminating NUL.
    t->addr_len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + name.size() + (name[0] == '/'));
    return true;
}

}  // namespace

void notify_init() {
    const char* value = getenv("NOTIFY_SOCKET");
    if (!value) return;
    const std::string name = value;
    unsetenv("NOTIFY_SOCKET");
    if (!notify_address(name, &g_target)) {
        log_msg(LOG_WRN, "NOTIFY_SOCKET %s is no socket address: the service manager is not told", name.c_str());
        return;
    }
    g_target.fd.reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!g_target.fd) {
        log_msg(LOG_WRN, "NOTIFY_SOCKET socket: %s", strerror(errno));
        return;
    }
    struct timeval tv = {NOTIFY_SEND_TIMEOUT_MS / 1000, (NOTIFY_SEND_TIMEOUT_MS % 1000) * 1000L};
    setsockopt(g_target.fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

void notify_send(const char* state) {
    if (!g_target.fd) return;
    if (sendto(g_target.fd.get(), state, strlen(state), MSG_NOSIGNAL,
               reinterpret_cast<const struct sockaddr*>(&g_target.addr), g_target.addr_len) < 0)
        log_msg(LOG_DBG, "notify %.*s: %s", static_cast<int>(strcspn(state, "\n")), state, strerror(errno));
}

void notify_reloading() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    char state[64];
    snprintf(state, sizeof state, "RELOADING=1\nMONOTONIC_USEC=%llu",
             static_cast<unsigned long long>(ts.tv_sec) * 1000000ULL +
                 static_cast<unsigned long long>(ts.tv_nsec) / 1000);
    notify_send(state);
}
