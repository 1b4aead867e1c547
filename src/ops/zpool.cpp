#include "ops/zpool.h"

#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "base/clock.h"
#include "base/locks.h"
#include "base/text.h"
#include "proc/runner.h"
#include "proc/tools.h"
#include "wire/args.h"
#include "wire/errors.h"

namespace {

constexpr int ZPOOL_KILL_GRACE_MS = 250;
constexpr int ZPOOL_LIST_DEADLINE_MS = 30000;  // one `zpool list`; a pool that hangs in I/O must not hold it
constexpr size_t ZPOOL_PATH_BYTES = 256;
constexpr int ZP_MAX_COLS = 8;
constexpr size_t ZP_COL_BYTES = 80;  // 79 characters and the terminator

using zp_cols_t = char[ZP_MAX_COLS][ZP_COL_BYTES];

// The last path found. It points at a string literal or an interned string that is never
// freed, so a reader holding an older value still holds a valid path.
std::atomic<const char*> g_zpool_path{nullptr};

const char* intern_path(const char* p) {
    static mutex_t mu;
    static std::set<std::string> paths GUARDED_BY(mu);
    lock_guard_t lock(mu);
    return paths.insert(p).first->c_str();
}

bool is_tree_byte(unsigned char c) { return c == 0xE2; }

// The indent of a device row: a tab counts 8, a space or "|" 1, a tree-drawing character
// (three UTF-8 bytes led by 0xE2) 2. `*rest` is set after the indent.
int row_indent(const char* line, const char** rest) {
    int indent = 0;
    const char* p = line;
    for (;;) {
        if (*p == '\t') indent += 8;
        else if (*p == ' ' || *p == '|') indent += 1;
        else if (is_tree_byte(static_cast<unsigned char>(*p))) {
            indent += 2;
            // A lead byte cut off at the end of the line is skipped alone.
            if (p[1] && p[2]) p += 2;
        } else break;
        p++;
    }
    *rest = p;
    return indent;
}

// Splits at spaces and tabs, skipping "|" and stray 0xE2 bytes between columns. A longer run
// than 79 characters is cut and its remainder starts the next column. Returns the count.
int split_row(const char* p, zp_cols_t cols) {
    return text_fields_copy(p, cols, ZP_MAX_COLS, {.seps = " \t|\xE2", .ends = " \t"});
}

bool is_separator(const char* line) { return line[strspn(line, "- \t")] == '\0'; }

// Reads the leading decimal number of `v`; `*end` is set after it. Non-finite values give 0.
double leading_number(const char* v, const char** end) {
    char* e = nullptr;
    double x = strtod(v, &e);
    *end = e;
    return std::isfinite(x) ? x : 0.0;
}

// An operations figure: plain, or with K or M (either case) for thousands or millions; "" and
// "-" give 0.
double parse_ops(const char* v) {
    if (!v[0] || strcmp(v, "-") == 0) return 0.0;
    const char* end;
    double x = leading_number(v, &end);
    int suffix = toupper(static_cast<unsigned char>(*end));
    if (suffix == 'K') return x * 1000.0;
    if (suffix == 'M') return x * 1000000.0;
    return x;
}

// Cuts `name` before its first character that is not a letter, digit, "-", "." or "_".
void zpool_name_sanitize(char* name) {
    for (char* p = name; *p; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (!isalnum(c) && c != '-' && c != '.' && c != '_') {
            *p = '\0';
            return;
        }
    }
}

void append_member(zp_ctx_t* zc, zp_cols_t cols, int n, int indent) {
    const char* cls = indent < 2 ? "zfs_pool" : indent < 4 ? "zfs_vdev" : "zfs_disk";
    int level = indent < 2 ? 0 : indent < 4 ? 1 : 2;
    // A six-column row has no write bandwidth column.
    double write_kb = n >= 7 ? parse_unit_kb(cols[6]) : 0.0;
    sb_t* b = &zc->batch;
    sb_appendz(b, zc->first ? "\"" : ",\"");
    sb_json_escape(b, cols[0], strlen(cols[0]));
    sb_printf(b,
              "\":{\"dev_class\":\"%s\",\"level\":%d,\"read_iops\":%.2f,\"write_iops\":%.2f,\"read_kb\":%.2f,"
              "\"write_kb\":%.2f}",
              cls, level, parse_ops(cols[3]), parse_ops(cols[4]), parse_unit_kb(cols[5]), write_kb);
    zc->first = 0;
}

}  // namespace

const char* find_zpool() {
    const char* cached = g_zpool_path.load(std::memory_order_acquire);
    if (cached && access(cached, X_OK) == 0) return cached;
    char path[ZPOOL_PATH_BYTES];
    const char* found = nullptr;
    if (tool_find({"/sbin/zpool", "/usr/sbin/zpool", "/usr/local/sbin/zpool"}, "zpool", path, sizeof path) == 0)
        found = intern_path(path);
    g_zpool_path.store(found, std::memory_order_release);
    return found;
}

double parse_unit_kb(const char* v) {
    if (!v[0] || strcmp(v, "-") == 0) return 0.0;
    const char* end;
    double x = leading_number(v, &end);
    switch (toupper(static_cast<unsigned char>(*end))) {
    case 'K': return x;
    case 'M': return x * 1024.0;
    case 'G': return x * 1024.0 * 1024.0;
    case 'T': return x * 1024.0 * 1024.0 * 1024.0;
    case 'P': return x * 1024.0 * 1024.0 * 1024.0 * 1024.0;
    case 'E': return x * 1024.0 * 1024.0 * 1024.0 * 1024.0 * 1024.0;
    default: return x / 1024.0;  // plain bytes, or a suffix zpool does not print
    }
}

int flush_batch(zp_ctx_t* zc) {
    if (zc->first || zc->batch.len == 0) return 0;
    sb_t data;
    sb_printf(&data, "{\"ts\":%llu,\"mode\":\"zpool\",\"pool\":\"%s\",\"disks\":{%.*s}}",
              static_cast<unsigned long long>(now_ms()), zc->pool, static_cast<int>(zc->batch.len), zc->batch.buf);
    int rc = data.buf ? emit_chunk(zc->e, data.buf, data.len) : -1;
    zc->batch.len = 0;
    zc->batch.buf[0] = '\0';
    zc->first = 1;
    return rc;
}

int zp_cb(void* ctx, int, const char* line) {
    auto* zc = static_cast<zp_ctx_t*>(ctx);
    if (!line[0]) return 0;
    if (strstr(line, "capacity") && strstr(line, "operations")) {
        int rc = flush_batch(zc);
        zc->in_sample = 1;
        return rc != 0 ? 1 : 0;
    }
    if (!zc->in_sample || is_separator(line)) return 0;
    if (strstr(line, "alloc") && strstr(line, "free")) return 0;
    const char* rest;
    int indent = row_indent(line, &rest);
    if (!*rest) return 0;
    zp_cols_t cols;
    int n = split_row(rest, cols);
    if (n < 6 || !cols[0][0] || strcmp(cols[0], "pool") == 0) return 0;
    append_member(zc, cols, n, indent);
    return 0;
}

op_result op_zpool_iostat_stream(const op_req_t& req) {
    // One byte more than a name may have, so that a longer one is seen rather than cut.
    char pool[ZPOOL_NAME_BYTES + 1] = {};
    arg_get_str(req.js, req.args, req.an, "pool", pool, sizeof pool);
    zpool_name_sanitize(pool);
    if (strlen(pool) >= ZPOOL_NAME_BYTES) return op_err{ERR_EBADREQ, "pool too long"};
    // A pool name begins with a letter; anything else ("-v", "--help") would reach zpool as one
    // of its options.
    if (pool[0] && !isalpha(static_cast<unsigned char>(pool[0]))) return op_err{ERR_EBADREQ, "invalid pool name"};
    return req.stream([&](op_stream_t& s) -> op_result {
        const char* path = find_zpool();
        if (!path)
            return op_err{ERR_ENOENT,
                          "zpool not found (tried /sbin/zpool, /usr/sbin/zpool, /usr/local/sbin/zpool, PATH)"};
        zp_ctx_t zc;
        zc.e = &s.emit;
        memcpy(zc.pool, pool, sizeof zc.pool);
        std::string tool = path;
        char iostat[] = "iostat", verbose[] = "-v", interval[] = "1";
        char* argv[] = {tool.data(), iostat, verbose, zc.pool, interval, nullptr};
        if (!zc.pool[0]) {
            argv[3] = interval;
            argv[4] = nullptr;
        }
        exec_spec_t spec = {argv, tool_envp(), nullptr, 1, ZPOOL_KILL_GRACE_MS};
        exec_result_t res;
        if (exec_stream(&spec, zp_cb, &zc, s.cancel, &res) < 0) return op_err{ERR_ENOENT, "zpool not found"};
        flush_batch(&zc);  // the last sample; a failed write changes nothing now
        return op_result::done(res.exit_code);
    });
}

int cap_cb(void* ctx, int which, const char* line) {
    return dmesg_cap_cb(&static_cast<sb_cap_t*>(ctx)->out, which, line);
}

op_result op_zpool_list(const op_req_t& req) {
    const char* path = find_zpool();
    if (!path) return op_err{ERR_ENOENT, "zpool not found"};
    std::string tool = path;
    char list[] = "list", headerless[] = "-H", opt_o[] = "-o", name[] = "name";
    char* argv[] = {tool.data(), list, headerless, opt_o, name, nullptr};
    // A hung tool ends with its client, or at its deadline.
    exec_spec_t spec = {argv, tool_envp(), nullptr, 1, ZPOOL_KILL_GRACE_MS};
    cancel_token_t until = {.watch_fd = req.fd, .deadline_ms = tool_deadline_ms(ZPOOL_LIST_DEADLINE_MS)};
    sb_cap_t cap;
    exec_result_t res;
    if (exec_stream(&spec, cap_cb, &cap, until, &res) < 0)
        return op_err{ERR_ENOENT, "zpool not found"};  // gone or no longer runnable since it was found
    if (res.timed_out) return op_err{ERR_ENOENT, "zpool timed out"};

    // The exit code is not looked at: "no pools available" holds spaces and gives no pool.
    sb_t r;
    sb_appendz(&r, "{\"pools\":[");
    int count = 0;
    const char* p = cap.out.buf ? cap.out.buf : "";
    while (*p) {
        size_t len = strcspn(p, "\n");
        size_t name_len = strcspn(p, "\t\n");
        if (name_len > 0 && memchr(p, ' ', name_len) == nullptr) {
            sb_appendz(&r, count++ ? ",{\"name\":\"" : "{\"name\":\"");
            sb_json_escape(&r, p, name_len);
            sb_appendz(&r, "\"}");
        }
        p += len + (p[len] == '\n');
    }
    sb_appendz(&r, "]}");
    return op_result::ok(std::move(r));
}
