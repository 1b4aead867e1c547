#include "ops/iostat.h"

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/clock.h"
#include "base/text.h"
#include "jobs/jobs.h"
#include "proc/procfs.h"
#include "proc/runner.h"
#include "proc/tools.h"
#include "wire/errors.h"

namespace {

constexpr int IOSTAT_MAX_COLS = 24;
constexpr size_t IOSTAT_COL_BYTES = 32;  // 31 characters and the terminator
constexpr size_t IOSTAT_PATH_BYTES = 256;
constexpr int IOSTAT_KILL_GRACE_MS = 250;

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
        rc = data.buf ? emit_chunk(ic->e, data.buf, data.len) : -1;
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

int op_iostat_stream(int fd, const char* req_id, const char*, const jsmntok_t*, int, int stream) {
    if (!stream) return reply_err(fd, req_id, ERR_EBADREQ, "iostat_stream requires stream=true");
    job_t* job = job_alloc();
    op_emit_t e = job_emit(fd, req_id, job);
    char path[IOSTAT_PATH_BYTES];
    if (tool_find({"/sbin/iostat", "/usr/sbin/iostat", "/usr/bin/iostat", "/usr/local/bin/iostat", "/bin/iostat"},
                  "iostat", path, sizeof path) != 0) {
        emit_stream_error(&e, ERR_ENOENT, "iostat not found");
        job_release(job);
        return 0;
    }
    // At most one iostat stream delivers at a time: an older one ends with its "done".
    exec_kill_own_children_named("iostat");

    char opt_x[] = "-x";
    char interval[] = "1";
    char* argv[] = {path, opt_x, interval, nullptr};
    exec_spec_t spec = {argv, tool_envp(), nullptr, 1, IOSTAT_KILL_GRACE_MS, fd};
    iostat_ctx_t ic;
    ic.e = &e;
    exec_result_t res;
    int rc = exec_stream(&spec, iostat_cb, &ic, job, &res);
    flush_batch(&ic);  // the last report; a failed write changes nothing now
    if (rc < 0) emit_stream_error(&e, ERR_ESPAWN, "iostat spawn failed");
    else emit_done(&e, res.exit_code, nullptr);
    job_release(job);
    return 0;
}
