#include "daemon/conn.h"

#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_map>
#include <vector>

#include "base/fdio.h"
#include "base/locks.h"
#include "base/log.h"
#include "base/sb.h"
#include "daemon/dispatch.h"
#include "wire/frame.h"

namespace {

// The live connections: what the stop sequence shuts down and waits for.
mutex_t g_conns_mu;                     // a leaf lock
std::condition_variable g_conns_ended;  // a connection thread has ended
// Open descriptors; one leaves the list before it is closed.
std::vector<int> g_conn_fds GUARDED_BY(g_conns_mu);
int g_conn_threads GUARDED_BY(g_conns_mu) = 0;  // threads started and not yet ended

void conn_unregister_fd(int fd) {
    lock_guard_t lock(g_conns_mu);
    auto it = std::find(g_conn_fds.begin(), g_conn_fds.end(), fd);
    if (it != g_conn_fds.end()) g_conn_fds.erase(it);
}

// The last thing a connection thread does: nothing of the daemon is touched after it, so the
// stop sequence may tear the process down once the count is 0.
void conn_thread_ended() {
    lock_guard_t lock(g_conns_mu);
    g_conn_threads--;
    g_conns_ended.notify_all();
}

// What each uid other than root holds: its connections and the bytes its incomplete frames
// announced. An entry goes once both are 0.
struct uid_use_t {
    int conns = 0;
    size_t frame_bytes = 0;
};
mutex_t g_uid_mu;  // a leaf lock
std::unordered_map<uid_t, uid_use_t> g_uid_use GUARDED_BY(g_uid_mu);
std::atomic<size_t> g_uid_frame_budget{CONN_UID_FRAME_BUDGET_BYTES};

void uid_forget_if_idle(uid_t uid) REQUIRES(g_uid_mu) {
    auto it = g_uid_use.find(uid);
    if (it != g_uid_use.end() && it->second.conns == 0 && it->second.frame_bytes == 0) g_uid_use.erase(it);
}

void conn_uid_leave(uid_t uid) {
    if (uid == 0) return;
    lock_guard_t lock(g_uid_mu);
    g_uid_use[uid].conns--;
    uid_forget_if_idle(uid);
}

// The frame budget of a connection: `ctx` is its caller.
bool uid_frame_take(void* ctx, size_t n) {
    uid_t uid = static_cast<const caller_t*>(ctx)->uid;
    if (uid == 0) return true;
    lock_guard_t lock(g_uid_mu);
    uid_use_t& u = g_uid_use[uid];
    if (n > g_uid_frame_budget.load(std::memory_order_relaxed) - u.frame_bytes) return false;
    u.frame_bytes += n;
    return true;
}

void uid_frame_give(void* ctx, size_t n) {
    uid_t uid = static_cast<const caller_t*>(ctx)->uid;
    if (uid == 0) return;
    lock_guard_t lock(g_uid_mu);
    g_uid_use[uid].frame_bytes -= n;
    uid_forget_if_idle(uid);
}

struct conn_arg_t {
    int fd;
    caller_t who;
};

}  // namespace

bool conn_uid_admit(uid_t uid) {
    if (uid == 0) return true;
    lock_guard_t lock(g_uid_mu);
    uid_use_t& u = g_uid_use[uid];
    if (u.conns >= CONN_MAX_PER_UID) return false;
    u.conns++;
    return true;
}

void conn_set_uid_frame_budget(size_t bytes) {
    if (bytes > 0) g_uid_frame_budget.store(bytes);
}

int conn_start(int fd, const caller_t& who) {
    proto_bound_writes(fd);
    auto* arg = new (std::nothrow) conn_arg_t{fd, who};
    {
        lock_guard_t lock(g_conns_mu);
        g_conn_fds.push_back(fd);
        g_conn_threads++;
    }
    pthread_t th;
    int err = arg ? pthread_create(&th, nullptr, conn_thread, arg) : ENOMEM;
    if (err == 0) return 0;
    delete arg;
    conn_unregister_fd(fd);
    close(fd);
    conn_uid_leave(who.uid);
    conn_thread_ended();
    errno = err;
    return -1;
}

int conn_count() {
    lock_guard_t lock(g_conns_mu);
    return g_conn_threads;
}

bool conn_shutdown_all(int timeout_ms) {
    unique_lock_t lock(g_conns_mu);
    // A descriptor leaves the list under this lock before its thread closes it, so none
    // shut down here can be a reused number.
    for (int fd : g_conn_fds) shutdown(fd, SHUT_RDWR);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (g_conn_threads != 0)
        if (g_conns_ended.wait_until(lock.native(), until) == std::cv_status::timeout) return g_conn_threads == 0;
    return true;
}

void* conn_thread(void* arg) {
    pthread_detach(pthread_self());
    {
        std::unique_ptr<conn_arg_t> own(static_cast<conn_arg_t*>(arg));
        caller_t* who = &own->who;
        unique_fd fd(own->fd);
        caller_set(who);
        const frame_budget_t budget = {uid_frame_take, uid_frame_give, who};
        sb_t frame;
        jsmntok_t toks[CONN_MAX_TOKENS];
        while (proto_read_frame(fd.get(), &frame, &budget) == 0)
            conn_handle_request(fd.get(), frame.buf, frame.len, toks);
        log_msg(LOG_DBG, "connection %d closed", fd.get());
        caller_set(nullptr);
        conn_unregister_fd(fd.get());
        fd.reset();
        conn_uid_leave(who->uid);
    }
    conn_thread_ended();
    return nullptr;
}
