#include "ops/iostat.h"

#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/locks.h"
#include "base/text.h"
#include "proc/runner.h"
#include "proc/tools.h"
#include "wire/errors.h"

namespace {

constexpr int IOSTAT_MAX_COLS = 24;
constexpr size_t IOSTAT_COL_BYTES = 32;  // 31 characters and the terminator
constexpr size_t IOSTAT_PATH_BYTES = 256;
constexpr int IOSTAT_KILL_GRACE_MS = 250;
constexpr int IOSTAT_WAIT_MS = 200;           // how often a stream looks at its cancel flag and client
constexpr size_t IOSTAT_BACKLOG_REPORTS = 8;  // a slow client loses the oldest reports beyond these

using cols_t = char[IOSTAT_MAX_COLS][IOSTAT_COL_BYTES];

// Splits at spaces and tabs. A run longer than 31 characters is cut and its remainder starts
// the next column; columns beyond the 24th are ignored. Returns the count.
int split_cols(const char* line, cols_t cols) { return text_fields_copy(line, cols, IOSTAT_MAX_COLS); }

// Index of the first column named `a` (or, when absent, `b`), else -1.
int find_col(cols_t cols, int n, const char* a, const char* b = nullptr) {
    for (int i = 0; i < n; i++)
        if (strcmp(cols[i], a) == 0) return i;
    if (b)
        for (int i = 0; i < n; i++)
            if (strcmp(cols[i], b) == 0) return i;
    return -1;
}

bool is_header(const char* line) { return strncmp(line, "Device", 6) == 0 || strncmp(line, "device", 6) == 0; }

void parse_header(iostat_ctx_t* ic, const char* line) {
    cols_t cols;
    int n = split_cols(line, cols);
    ic->col_rps = find_col(cols, n, "r/s");
    ic->col_wps = find_col(cols, n, "w/s");
    ic->col_krs = find_col(cols, n, "rkB/s", "kr/s");
    ic->col_kws = find_col(cols, n, "wkB/s", "kw/s");
    ic->col_await = find_col(cols, n, "await");
    ic->col_rawait = find_col(cols, n, "r_await");
    ic->col_wawait = find_col(cols, n, "w_await");
    ic->col_util = find_col(cols, n, "%util");
    ic->col_svct = find_col(cols, n, "svctm");
    ic->col_queue = find_col(cols, n, "aqu-sz", "avgqu-sz");
    ic->reading = 1;
    ic->have_cols = 1;
}

// A figure of the row: 0 when the column is absent, beyond the row, or not a finite number
// (a "nan" printed as %.2f would not be JSON).
double figure(cols_t cols, int n, int idx) {
    if (idx < 0 || idx >= n) return 0.0;
    double v = strtod(cols[idx], nullptr);
    return std::isfinite(v) ? v : 0.0;
}

// The mean latency of all requests: the tool's own "await" when it prints one, else the reads'
// and writes' latencies weighted by their rates (0 when the disk was idle).
double mean_await(const iostat_ctx_t* ic, cols_t cols, int n) {
    if (ic->col_await >= 0) return figure(cols, n, ic->col_await);
    double rps = figure(cols, n, ic->col_rps), wps = figure(cols, n, ic->col_wps);
    if (rps + wps <= 0) return 0.0;
    return (rps * figure(cols, n, ic->col_rawait) + wps * figure(cols, n, ic->col_wawait)) / (rps + wps);
}

void append_device(iostat_ctx_t* ic, cols_t cols, int n, const char* cls) {
    sb_t* b = &ic->batch;
    sb_appendz(b, ic->first_in_batch ? "\"" : ",\"");
    sb_json_escape(b, cols[0], strlen(cols[0]));
    sb_printf(b,
              "\":{\"dev_class\":\"%s\",\"read_iops\":%.2f,\"write_iops\":%.2f,\"read_kb\":%.2f,"
              "\"write_kb\":%.2f,\"await\":%.2f,\"util\":%.2f,\"svc_t\":%.2f,\"queue\":%.2f,\"r_await\":%.2f,"
              "\"w_await\":%.2f}",
              cls, figure(cols, n, ic->col_rps), figure(cols, n, ic->col_wps), figure(cols, n, ic->col_krs),
              figure(cols, n, ic->col_kws), mean_await(ic, cols, n), figure(cols, n, ic->col_util),
              figure(cols, n, ic->col_svct), figure(cols, n, ic->col_queue), figure(cols, n, ic->col_rawait),
              figure(cols, n, ic->col_wawait));
    ic->first_in_batch = 0;
}

// Ends the current report: sends it and waits for a header again. 1 when the send failed.
int end_report(iostat_ctx_t* ic) {
    int rc = flush_batch(ic);
    ic->reading = 0;
    ic->have_cols = 0;
    return rc != 0 ? 1 : 0;
}

}  // namespace

const char* iostat_dev_class(const char* name) {
    if (strncmp(name, "loop", 4) == 0) return nullptr;
    if (strncmp(name, "nvme", 4) == 0) return strchr(name, 'p') ? "nvme_part" : "nvme";
    if (strncmp(name, "sd", 2) == 0) return "sata";
    if (strncmp(name, "md", 2) == 0) return "md";
    if (strncmp(name, "dm-", 3) == 0) return "dm";
    return "other";
}

int flush_batch(iostat_ctx_t* ic) {
    int rc = 0;
    if (!ic->first_in_batch && ic->batch.len > 0) {
        sb_t data;
        sb_printf(&data, "{\"ts\":%llu,\"mode\":\"iostat\",\"disks\":{%.*s}}",
                  static_cast<unsigned long long>(now_ms()), static_cast<int>(ic->batch.len), ic->batch.buf);
        if (!data.buf) rc = -1;
        else if (ic->publish) ic->publish(data.buf, data.len);
        else rc = emit_chunk(ic->e, data.buf, data.len);
    }
    ic->batch.len = 0;
    if (ic->batch.buf) ic->batch.buf[0] = '\0';
    ic->first_in_batch = 1;
    return rc;
}

int iostat_cb(void* ctx, int, const char* line) {
    auto* ic = static_cast<iostat_ctx_t*>(ctx);
    if (strstr(line, "extended device statistics")) return end_report(ic);
    // Linux iostat starts every report with its header and prints no marker line.
    if (is_header(line) && ic->have_cols) {
        int stop = end_report(ic);
        parse_header(ic, line);
        return stop;
    }
    if (!ic->have_cols) {
        if (is_header(line)) parse_header(ic, line);
        return 0;
    }
    if (!line[0]) {
        ic->reading = 0;
        return 0;
    }
    if (!ic->reading) return 0;
    cols_t cols;
    int n = split_cols(line, cols);
    if (n < 2) return 0;
    const char* cls = iostat_dev_class(cols[0]);
    if (cls) append_device(ic, cols, n, cls);
    return 0;
}

namespace {

// One stream following the shared tool; it lives on its connection thread's stack.
struct iostat_sub_t {
    // All guarded by the hub's mu.
    std::deque<std::string> reports;  // published, not yet taken by the stream; oldest first
    bool linked = false;              // in the hub's list: the producer publishes to it
    bool ended = false;               // the tool has ended; spawn_failed and exit_code say how
    bool spawn_failed = false;
    int exit_code = 0;
};

// The shared tool. Lock order: ctl_mu before mu. The producer thread takes only mu, so a
// stream holding ctl_mu may join it.
struct iostat_hub_t {
    mutex_t ctl_mu;                               // starting and joining the producer
    pthread_t thread GUARDED_BY(ctl_mu){};        // the producer, until joined
    bool thread_live GUARDED_BY(ctl_mu) = false;  // started and not yet joined (it may have returned)
    // The producer's program: written under ctl_mu while no producer runs, read by the producer.
    char path[IOSTAT_PATH_BYTES] = {};
    mutex_t mu;                                      // also guards every linked stream's fields
    std::condition_variable cv;                      // a report was published or the tool ended
    std::vector<iostat_sub_t*> subs GUARDED_BY(mu);  // the linked streams
    // A producer takes new streams; false once it ends or is told to stop.
    bool running GUARDED_BY(mu) = false;
    // Raised when the last stream leaves: the runner then stops the tool as it stops a
    // cancelled one. No job of the table, so no client can see or cancel it.
    std::atomic<int> stop{0};
};

iostat_hub_t g_hub;

void hub_publish(const char* data, size_t n) {
    {
        lock_guard_t lock(g_hub.mu);
        for (iostat_sub_t* s : g_hub.subs) {
            if (s->reports.size() >= IOSTAT_BACKLOG_REPORTS) s->reports.pop_front();
            s->reports.emplace_back(data, n);
        }
    }
    g_hub.cv.notify_all();
}

// The tool is gone: every linked stream gets its end and is unlinked; the next stream starts
// a new producer.
void hub_end(bool spawn_failed, int exit_code) {
    {
        lock_guard_t lock(g_hub.mu);
        for (iostat_sub_t* s : g_hub.subs) {
            s->linked = false;
            s->ended = true;
            s->spawn_failed = spawn_failed;
            s->exit_code = exit_code;
        }
        g_hub.subs.clear();
        g_hub.running = false;
    }
    g_hub.cv.notify_all();
}

void* iostat_produce(void*) {
    char opt_x[] = "-x";
    char interval[] = "1";
    char* argv[] = {g_hub.path, opt_x, interval, nullptr};
    exec_spec_t spec = {argv, tool_envp(), nullptr, 1, IOSTAT_KILL_GRACE_MS};
    iostat_ctx_t ic;
    ic.publish = hub_publish;
    exec_result_t res;
    int rc = exec_stream(&spec, iostat_cb, &ic, cancel_token_t{.flag = &g_hub.stop}, &res);
    flush_batch(&ic);  // the last report
    hub_end(rc < 0, res.exit_code);
    return nullptr;
}

void join_producer() REQUIRES(g_hub.ctl_mu) {
    if (!g_hub.thread_live) return;
    pthread_join(g_hub.thread, nullptr);
    g_hub.thread_live = false;
}

// Links `sub`, starting the tool (`path`) when none runs. The child of a producer that was
// told to stop is gone before a new one starts: the leaving stream joins it under ctl_mu.
// 0, or -1 when no producer thread could be started (`sub` is not linked).
int hub_join(iostat_sub_t* sub, const char* path) {
    lock_guard_t ctl(g_hub.ctl_mu);
    bool start;
    {
        lock_guard_t lock(g_hub.mu);
        g_hub.subs.push_back(sub);
        sub->linked = true;
        start = !g_hub.running;
        g_hub.running = true;
    }
    if (!start) return 0;
    join_producer();  // one that ended by itself; it has reaped its child
    snprintf(g_hub.path, sizeof g_hub.path, "%s", path);
    g_hub.stop.store(0);
    if (pthread_create(&g_hub.thread, nullptr, iostat_produce, nullptr) == 0) {
        g_hub.thread_live = true;
        return 0;
    }
    lock_guard_t lock(g_hub.mu);
    std::erase(g_hub.subs, sub);
    sub->linked = false;
    g_hub.running = false;
    return -1;
}

// Unlinks `sub`. The last stream out stops the tool and waits until it is gone.
void hub_leave(iostat_sub_t* sub) {
    lock_guard_t ctl(g_hub.ctl_mu);
    {
        lock_guard_t lock(g_hub.mu);
        if (sub->linked) std::erase(g_hub.subs, sub);
        sub->linked = false;
        if (!g_hub.subs.empty()) return;
        if (g_hub.running) g_hub.stop.store(1);
        g_hub.running = false;
    }
    join_producer();
}

// A client that hung up (or whose connection a failed write shut down) reads as hang-up.
bool client_gone(int fd) {
    struct pollfd p = {fd, 0, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL));
}

enum class follow_end_t { tool_ended, cancelled, client_gone };

// Writes each report published to `sub` until the tool ends, the stream is cancelled or the
// client is gone (a failed write included).
follow_end_t follow(op_emit_t* e, iostat_sub_t* sub, const cancel_token_t& cancel) {
    for (;;) {
        std::deque<std::string> got;
        bool ended;
        {
            unique_lock_t lock(g_hub.mu);
            g_hub.cv.wait_for(lock.native(), std::chrono::milliseconds(IOSTAT_WAIT_MS),
                              [sub] { return !sub->reports.empty() || sub->ended; });
            got.swap(sub->reports);
            ended = sub->ended;
        }
        for (const std::string& r : got)
            if (emit_chunk(e, r.data(), r.size()) != 0) return follow_end_t::client_gone;
        if (ended) return follow_end_t::tool_ended;
        if (cancel.cancelled()) return follow_end_t::cancelled;
        if (client_gone(cancel.watch_fd)) return follow_end_t::client_gone;
    }
}

}  // namespace

op_result op_iostat_stream(const op_req_t& req) {
    return req.stream([](op_stream_t& s) -> op_result {
        char path[IOSTAT_PATH_BYTES];
        if (tool_find({"/sbin/iostat", "/usr/sbin/iostat", "/usr/bin/iostat", "/usr/local/bin/iostat", "/bin/iostat"},
                      "iostat", path, sizeof path) != 0)
            return op_err{ERR_ENOENT, "iostat not found"};
        iostat_sub_t sub;
        if (hub_join(&sub, path) != 0) return op_err{ERR_ESPAWN, "iostat spawn failed"};
        follow_end_t how = follow(&s.emit, &sub, s.cancel);
        // Leaving first: a cancelled stream's "done" comes once the tool it alone used is gone.
        // Unlinked now: nothing writes `sub` any more.
        hub_leave(&sub);
        if (how == follow_end_t::cancelled) return op_result::done(-1);
        if (how == follow_end_t::client_gone) return op_result::sent();  // nobody to tell
        if (sub.spawn_failed) return op_err{ERR_ESPAWN, "iostat spawn failed"};
        return op_result::done(sub.exit_code);
    });
}
