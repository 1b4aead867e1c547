#include "conn.h"

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

#include "config.h"
#include "jobs.h"
#include "log.h"
#include "ops.h"
#include "proto.h"
#include "util.h"

namespace {

constexpr size_t REQ_ID_BYTES = 64;
constexpr size_t OPNAME_BYTES = 64;
constexpr size_t CANCEL_ID_BYTES = 32;

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

bool tok_is(const char* js, const jsmntok_t* t, const char* s, size_t n) {
    return t->end - t->start == static_cast<int>(n) && memcmp(js + t->start, s, n) == 0;
}

// The token check of one request against the record it is served under.
bool token_ok(const vornd_config_t* cfg, const char* js, const jsmntok_t* toks, int ntoks) {
    if (!config_token_required(cfg)) return true;
    int i = json_obj_idx(js, toks, ntoks, "token");
    if (i < 0 || toks[i].type != JSMN_STRING) return false;
    return config_token_matches(cfg, js + toks[i].start, static_cast<size_t>(toks[i].end - toks[i].start));
}

}  // namespace

void handle_cancel(int fd, const char* req_id, const char* js, const jsmntok_t* toks, int ntoks) {
    int a = json_obj_idx(js, toks, ntoks, "args");
    if (a < 0 || toks[a].type != JSMN_OBJECT) {
        reply_err(fd, req_id, "EBADREQ", "args required");
        return;
    }
    int j = json_obj_idx(js, &toks[a], ntoks - a, "job_id");
    if (j < 0) {
        reply_err(fd, req_id, "EBADREQ", "job_id required");
        return;
    }
    char job_id[CANCEL_ID_BYTES];
    json_tok_copy(js, &toks[a + j], job_id, sizeof job_id);
    if (job_cancel(job_id) == 0) reply_ok(fd, req_id, "{\"cancelled\":true}");
    else reply_err(fd, req_id, "ENOENT", "no such job");
}

void conn_handle_request(int fd, const char* js, size_t len, jsmntok_t* toks) {
    conn_dispatch(g_ops, fd, js, len, toks);
}

void conn_dispatch(const op_def_t* table, int fd, const char* js, size_t len, jsmntok_t* toks) {
    jsmn_parser parser;
    jsmn_init(&parser);
    int ntoks = jsmn_parse(&parser, js, len, toks, CONN_MAX_TOKENS);
    if (ntoks <= 0 || toks[0].type != JSMN_OBJECT) {
        reply_err(fd, "", "EPROTO", "invalid JSON");
        return;
    }

    char req_id[REQ_ID_BYTES] = {};
    int i = json_obj_idx(js, toks, ntoks, "id");
    if (i >= 0) json_tok_copy(js, &toks[i], req_id, sizeof req_id);

    int op = json_obj_idx(js, toks, ntoks, "op");
    if (op < 0 || toks[op].type != JSMN_STRING) {
        reply_err(fd, req_id, "EBADREQ", "op required");
        return;
    }

    // One record serves the whole request, even if a reload lands meanwhile.
    cfg_snapshot_t cfg = g_cfg.load();
    if (!token_ok(cfg.get(), js, toks, ntoks)) {
        reply_err(fd, req_id, "EAUTH", "bad or missing token");
        return;
    }

    const char* name = js + toks[op].start;
    size_t namelen = static_cast<size_t>(toks[op].end - toks[op].start);
    if (tok_is(js, &toks[op], "_cancel", 7)) {
        handle_cancel(fd, req_id, js, toks, ntoks);
        return;
    }
    const op_def_t* def = op_find_in(table, name, namelen);
    if (!def) {
        reply_err(fd, req_id, "ENOOP", "unknown op");
        return;
    }
    char opname_z[OPNAME_BYTES];
    json_tok_copy(js, &toks[op], opname_z, sizeof opname_z);
    if (!cfg_allow_exact(&cfg->ops_enabled, opname_z)) {
        reply_err(fd, req_id, "EDISABLED", "op disabled by config");
        return;
    }
    cfg.reset();  // handlers take their own snapshot; a long stream must not pin an old record

    int s = json_obj_idx(js, toks, ntoks, "stream");
    int stream = def->streaming || (s >= 0 && json_tok_bool(js, &toks[s]) == 1);
    int a = json_obj_idx(js, toks, ntoks, "args");
    const jsmntok_t* args_tok = a >= 0 ? &toks[a] : nullptr;
    int args_n = a >= 0 ? ntoks - a : 0;
    def->fn(fd, req_id, js, args_tok, args_n, stream);
}

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
        while (proto_read_frame(fd.get(), &frame) == 0)
            conn_handle_request(fd.get(), frame.buf, frame.len, toks);
        log_msg(LOG_DBG, "connection %d closed", fd.get());
        conn_unregister_fd(fd.get());
    }
    conn_thread_ended();
    return nullptr;
}
