// zpool — ZFS pool statistics: `zpool_iostat_stream` runs `zpool iostat -v [pool] 1` and
// sends each sample as one chunk {"ts":..,"mode":"zpool","pool":..,"disks":{..}} with a member
// per pool, vdev and disk row; `zpool_list` answers with the imported pools' names.
//
// A sample is sent when the next sample's header ("capacity ... operations") arrives, the
// last one when the tool ends. The tool's path is looked up once and re-checked on each use.
// Threads: the parse state lives on the handler's stack and the callback runs on the same
// connection thread; the path cache is shared and published atomically.
// Errors: flush_batch gives the event write's 0 / -1; zp_cb 1 asks the runner to stop.
#pragma once

#include "base/sb.h"
#include "wire/jsmn.h"
#include "wire/reply.h"
#include "wire/request.h"

constexpr size_t ZPOOL_NAME_BYTES = 64;  // a requested pool name: 63 characters

struct zp_ctx_t {
    op_emit_t* e = nullptr;
    sb_t batch;                        // device members of the sample being collected
    int in_sample = 0;                 // a sample header has been seen
    int first = 1;                     // `batch` holds no member yet
    char pool[ZPOOL_NAME_BYTES] = {};  // the requested pool; empty for all
};

// The whole output of `zpool list`.
struct sb_cap_t {
    sb_t out;
};

// The path of an executable zpool, or null. The string stays valid for the process's life.
const char* find_zpool();
// The line callback for exec_stream (`ctx` is a zp_ctx_t*). 1 when sending a sample failed.
int zp_cb(void* ctx, int which, const char* line);
// The line callback collecting into an sb_cap_t: the line and a line feed. Returns 0.
int cap_cb(void* ctx, int which, const char* line);
// Sends the collected sample as one chunk and empties it. 0 when there was nothing to send.
int flush_batch(zp_ctx_t* zc);
// A bandwidth figure as zpool prints it (bytes, or K/M/G/T/P/E suffixed) in KiB; "" and "-"
// give 0, as does anything that is not a finite number.
double parse_unit_kb(const char* v);

op_result op_zpool_iostat_stream(const op_req_t& req);
op_result op_zpool_list(const op_req_t& req);
