#include "ops/config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "base/fdio.h"
#include "base/log.h"
#include "config/config.h"
#include "config/config_file.h"
#include "config/presets.h"
#include "wire/args.h"
#include "wire/errors.h"

namespace {

constexpr size_t LEVEL_ARG_BYTES = 16;
constexpr size_t LIST_ARG_BYTES = 1100;
// What the list parser reads of a value; a longer argument would be stored cut.
constexpr size_t LIST_ARG_PARSED_MAX = CFG_LINE_BYTES - 1;
constexpr mode_t CONF_DIR_MODE = 0755;
constexpr mode_t CONF_FILE_MODE = 0644;

// A list value longer than the loader reads, or a file larger than its text buffer.
const op_err SERIALIZE_OVERFLOW = {ERR_EINTERNAL, "serialize overflow"};

}  // namespace

op_result op_config_get(const op_req_t&) {
    cfg_snapshot_t c = g_cfg.load();
    sb_t r;
    build_config_json(&r, c.get());
    return op_result::ok(std::move(r));
}

namespace {

// Creates the directories above `target` from the root down, mode 0755. Errors, an existing
// directory included, are left to the open that follows.
void mkdir_p(const char* target) {
    const char* last = strrchr(target, '/');
    if (!last) return;
    std::string dir(target, static_cast<size_t>(last - target));
    for (size_t i = 1; i < dir.size(); i++)
        if (dir[i] == '/') mkdir(dir.substr(0, i).c_str(), CONF_DIR_MODE);
    if (!dir.empty()) mkdir(dir.c_str(), CONF_DIR_MODE);
}

// Makes the rename itself durable; a failure here leaves a whole file either way.
void sync_parent_dir(const char* target) {
    const char* last = strrchr(target, '/');
    std::string dir = !last ? "." : last == target ? "/" : std::string(target, static_cast<size_t>(last - target));
    unique_fd d(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d) fsync(d.get());
}

// Removes the temporary file after a failed step and keeps that step's errno.
int fail_and_unlink(unique_fd* fd, const std::string& tmp) {
    int e = errno;
    fd->reset();
    unlink(tmp.c_str());
    errno = e;
    return -1;
}

// The mode, owner and group of the file being replaced pass to its successor: an
// administrator's 0600 or root:vorn 0640 stays so. A new file keeps the mode it was created with.
int keep_attributes(int fd, const char* target) {
    struct stat st;
    if (lstat(target, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    if (fchown(fd, st.st_uid, st.st_gid) != 0) return -1;
    return fchmod(fd, st.st_mode & 07777);
}

// Replaces `target` with `text` through "<target>.tmp": write all, fsync, rename. 0 on
// success; -1 with errno of the failed step, the target untouched and no ".tmp" left behind.
// The temporary file is always a new one: whatever holds its name (a link, a hard link to
// another file) is removed first, never followed or written into.
int write_conf_atomic(const char* target, const char* text, size_t len) {
    std::string tmp = std::string(target) + ".tmp";
    unlink(tmp.c_str());
    unique_fd fd(open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, CONF_FILE_MODE));
    if (!fd) return -1;
    if (keep_attributes(fd.get(), target) != 0) return fail_and_unlink(&fd, tmp);
    if (write_full(fd.get(), text, len) != 0) return fail_and_unlink(&fd, tmp);
    // A file whose bytes may not have reached the disk is not reported as persisted.
    if (fsync(fd.get()) != 0) return fail_and_unlink(&fd, tmp);
    fd.reset();
    if (rename(tmp.c_str(), target) != 0) {
        unique_fd none;
        return fail_and_unlink(&none, tmp);
    }
    sync_parent_dir(target);
    return 0;
}

bool has_control_byte(const char* s) {
    for (; *s; s++)
        if (static_cast<unsigned char>(*s) < 0x20 || *s == 0x7F) return true;
    return false;
}

// Replaces the lists named by the request's list arguments. Null when at least one was given
// and all were taken, else the refusal (the record may then be partly changed).
const op_err* apply_list_args(vornd_config_t* next, const char* js, const jsmntok_t* args, int n) {
    static const op_err INVALID = {ERR_EBADREQ, "invalid list value"};
    static const op_err NONE = {ERR_EBADREQ, "level or knob overrides required"};
    bool any = false;
    char value[LIST_ARG_BYTES];
    for (const cfg_list_arg_t& l : CFG_LIST_ARGS) {
        if (arg_get_str(js, args, n, l.name, value, sizeof value) != 0) continue;
        // A line break would start a line of its own in the file: refuse every control byte.
        if (has_control_byte(value)) return &INVALID;
        // The parser reads only the first part of a longer value and would store an entry cut.
        if (strlen(value) > LIST_ARG_PARSED_MAX) return &SERIALIZE_OVERFLOW;
        // An entry cut short or dropped would change what the list admits after the reply
        // said it was stored: a cut path prefix admits its siblings.
        if (config_parse_allow_whole(&(next->*l.field), value) != 0) return &INVALID;
        any = true;
    }
    if (!any) return &NONE;
    config_enforce_reversible(&next->ops_enabled);
    return nullptr;
}

// Fills `next` from the live record and the request. Null, or the refusal.
const op_err* build_next_record(vornd_config_t* next, const char* js, const jsmntok_t* args, int n) {
    static const op_err UNKNOWN_LEVEL = {ERR_EBADREQ, "unknown level"};
    char level[LEVEL_ARG_BYTES];
    if (arg_get_str(js, args, n, "level", level, sizeof level) == 0 && level[0]) {
        // A level replaces every list: no list argument is read.
        return config_preset(next, level) == 0 ? nullptr : &UNKNOWN_LEVEL;
    }
    return apply_list_args(next, js, args, n);
}

// The success object for the record now live, written to `target`.
void build_applied(sb_t* r, const char* target) {
    cfg_snapshot_t now = g_cfg.load();
    log_msg(LOG_INF, "config_apply: level=%s persisted to %s", config_level(now.get()), target);
    sb_appendz(r, "{\"persisted\":true,\"persisted_path\":\"");
    sb_json_escape(r, target, strlen(target));
    sb_appendz(r, "\",\"socket_restart_required\":false,\"config\":");
    build_config_json(r, now.get());
    sb_appendz(r, "}");
}

// The whole change, one call at a time: the result, or why nothing (or not all) was applied.
// The lock is released before the reply is written, so a slow reader holds up no other apply.
op_result apply_serialised(const char* js, const jsmntok_t* args, int n) {
    static const op_err NOT_LOADED = {ERR_EPERSIST, "written but not loaded: current configuration kept"};
    // One apply at a time, and no SIGHUP reload in between: the copy of the live record, the
    // ".tmp" file, the rename and the reload happen under the reload lock.
    std::lock_guard<std::mutex> lock(g_cfg_reload_mu);
    cfg_snapshot_t live = g_cfg.load();
    auto next = std::make_unique<vornd_config_t>(*live);
    if (const op_err* refused = build_next_record(next.get(), js, args, n)) return *refused;

    char text[CFG_TEXT_BYTES];
    int len = config_serialize(next.get(), text, sizeof text);
    if (len < 0) return SERIALIZE_OVERFLOW;
    std::string target = live->config_path[0] ? live->config_path : CFG_SYSTEM_PATH;
    live.reset();
    mkdir_p(target.c_str());
    if (write_conf_atomic(target.c_str(), text, static_cast<size_t>(len)) != 0) {
        const char* why = strerror(errno);
        log_msg(LOG_WRN, "config_apply: write %s failed: %s", target.c_str(), why);
        return op_err{ERR_EPERSIST, why};
    }
    // The live record becomes exactly what the file says, published whole; a reload that
    // cannot read it (or the token file it names) keeps the live record, and says so.
    if (config_reload(target.c_str()) != 0) return NOT_LOADED;
    sb_t result;
    build_applied(&result, target.c_str());
    return op_result::ok(std::move(result));
}

}  // namespace

op_result op_config_apply(const op_req_t& req) { return apply_serialised(req.js, req.args, req.an); }
