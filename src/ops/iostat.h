// iostat — the disk statistics stream: runs `iostat -x 1`, parses its reports line by
// line and sends each report as one chunk event {"ts":..,"mode":"iostat","disks":{..}}.
//
// A report ends when the next one begins: at a line holding "extended device statistics", or
// at a header line ("Device"/"device") while columns are already known (Linux iostat prints no
// marker); the last report is sent when the tool ends.
// All streams share one iostat child: it starts with the first stream, each stream sends the
// reports that arrive after it joined (its first event carrying its own job id), and the child
// is stopped when the last stream leaves (cancelled by its job id, its client gone, or a failed
// write). When the tool ends by itself or cannot start, every stream gets that end.
// Threads: one producer thread runs the tool and parses its output into reports; each stream
// writes them on its own connection thread. Errors: flush_batch gives the event write's 0 / -1
// (always 0 when the report is published to the streams).
#pragma once

#include "base/sb.h"
#include "wire/jsmn.h"
#include "wire/reply.h"
#include "wire/request.h"

struct iostat_ctx_t {
    op_emit_t* e = nullptr;
    sb_t batch;       // device members of the current report, comma-separated
    int col_rps = 0;  // column indexes; -1 when the header lacks the column
    int col_wps = 0;
    int col_krs = 0;
    int col_kws = 0;
    int col_await = 0;  // sysstat before 11.5; later ones print r_await and w_await only
    int col_rawait = 0;
    int col_wawait = 0;
    int col_util = 0;
    int col_svct = 0;
    int col_queue = 0;
    int reading = 0;         // device rows of a report are expected
    int have_cols = 0;       // a header has set the indexes
    int first_in_batch = 1;  // `batch` holds no entry yet
    // When set, takes each report's data in place of a chunk written to `e`.
    void (*publish)(const char* data, size_t n) = nullptr;
};

// The line callback for exec_stream (`ctx` is an iostat_ctx_t*). 1 asks to stop the tool
// (the client is gone), else 0.
int iostat_cb(void* ctx, int which, const char* line);
// Sends the collected report as one chunk (nothing when it is empty) and empties it.
int flush_batch(iostat_ctx_t* ic);
// The class of a device name: "nvme_part", "nvme", "sata", "md", "dm" or "other"; null for
// loop devices, which are never reported.
const char* iostat_dev_class(const char* name);

op_result op_iostat_stream(const op_req_t& req);
