#include "daemon/conn.h"

#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "base/fdio.h"
#include "base/log.h"
#include "base/sb.h"
#include "daemon/dispatch.h"
#include "wire/frame.h"

namespace {

// The live connections: what the stop sequence shuts down and waits for.
std::mutex g_conns_mu;                  // guards g_conn_fds and g_conn_threads; a leaf lock
std::condition_variable g_conns_ended;  // a connection thread has ended
std::vector<int> g_conn_fds;            // open descriptors; one leaves the list before it is closed
int g_conn_threads = 0;                 // threads started and not yet ended

void conn_unregister_fd(int fd) {
    std::lock_guard<std::mutex> lock(g_conns_mu);
    auto it = std::find(g_conn_fds.begin(), g_conn_fds.end(), fd);
    if (it != g_conn_fds.end()) g_conn_fds.erase(it);
}

// The last thing a connection thread does: nothing of the daemon is touched after it, so the
// stop sequence may tear the process down once the count is 0.
void conn_thread_ended() {
    std::lock_guard<std::mutex> lock(g_conns_mu);
    g_conn_threads--;
    g_conns_ended.notify_all();
}

}  // namespace

int conn_start(int fd) {
    proto_bound_writes(fd);
    {
        std::lock_guard<std::mutex> lock(g_conns_mu);
        g_conn_fds.push_back(fd);
        g_conn_threads++;
    }
    pthread_t th;
    int err = pthread_create(&th, nullptr, conn_thread, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
    if (err == 0) return 0;
    conn_unregister_fd(fd);
    close(fd);
    conn_thread_ended();
    errno = err;
    return -1;
}

int conn_count() {
    std::lock_guard<std::mutex> lock(g_conns_mu);
    return g_conn_threads;
}

bool conn_shutdown_all(int timeout_ms) {
    std::unique_lock<std::mutex> lock(g_conns_mu);
    // A descriptor leaves the list under this lock before its thread closes it, so none
    // shut down here can be a reused number.
    for (int fd : g_conn_fds) shutdown(fd, SHUT_RDWR);
    return g_conns_ended.wait_for(lock, std::chrono::milliseconds(timeout_ms), [] { return g_conn_threads == 0; });
}

void* conn_thread(void* arg) {
    pthread_detach(pthread_self());
    {
        unique_fd fd(static_cast<int>(reinterpret_cast<intptr_t>(arg)));
        sb_t frame;
        jsmntok_t toks[CONN_MAX_TOKENS];
        while (proto_read_frame(fd.get(), &frame) == 0) conn_handle_request(fd.get(), frame.buf, frame.len, toks);
        log_msg(LOG_DBG, "connection %d closed", fd.get());
        conn_unregister_fd(fd.get());
    }
    conn_thread_ended();
    return nullptr;
}
