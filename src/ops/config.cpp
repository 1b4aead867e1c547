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

#include "base/fdio.h"
#include "base/log.h"
#include "config/config.h"
#include "config/config_file.h"
#include "config/presets.h"
#include "wire/args.h"
#include "wire/errors.h"
#include "wire/reply.h"

namespace {

constexpr size_t LEVEL_ARG_BYTES = 16;
constexpr size_t LIST_ARG_BYTES = 1100;
// What the list parser reads of a value; a longer argument would be stored cut.
constexpr size_t LIST_ARG_PARSED_MAX = CFG_LINE_BYTES - 1;
constexpr mode_t CONF_DIR_MODE = 0755;
constexpr mode_t CONF_FILE_MODE = 0644;

}  // namespace

int op_config_get(int fd, const char* req_id, const char*, const jsmntok_t*, int, int) {
    cfg_snapshot_t c = g_cfg.load();
    sb_t r;
    build_config_json(&r, c.get());
    return reply_ok(fd, req_id, r.buf);
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

// Replaces the lists named by the request's list arguments. 0 when at least one was given and
// all were taken; -1 with `err` set otherwise (the record may then be partly changed).
int apply_list_args(vornd_config_t* next, const char* js, const jsmntok_t* args, int n, op_err* err) {
    bool any = false;
    char value[LIST_ARG_BYTES];
    for (const cfg_list_arg_t& l : CFG_LIST_ARGS) {
        if (arg_get_str(js, args, n, l.name, value, sizeof value) != 0) continue;
        // A line break would start a line of its own in the file: refuse every control byte.
        if (has_control_byte(value)) {
            *err = {ERR_EBADREQ, "invalid list value"};
            return -1;
        }
        // The parser reads only the first part of a longer value and would store an entry cut.
        if (strlen(value) > LIST_ARG_PARSED_MAX) {
            *err = {ERR_EINTERNAL, "serialize overflow"};
            return -1;
        }
        // An entry cut short or dropped would change what the list admits after the reply
        // said it was stored: a cut path prefix admits its siblings.
        if (config_parse_allow_whole(&(next->*l.field), value) != 0) {
            *err = {ERR_EBADREQ, "invalid list value"};
            return -1;
        }
        any = true;
    }
    if (!any) {
        *err = {ERR_EBADREQ, "level or knob overrides required"};
        return -1;
    }
    config_enforce_reversible(&next->ops_enabled);
    return 0;
}

// Fills `next` from the live record and the request. 0, or -1 with `err` set.
int build_next_record(vornd_config_t* next, const char* js, const jsmntok_t* args, int n, op_err* err) {
    char level[LEVEL_ARG_BYTES];
    if (arg_get_str(js, args, n, "level", level, sizeof level) == 0 && level[0]) {
        if (config_preset(next, level) == 0) return 0;  // a level replaces every list: no list argument is read
        *err = {ERR_EBADREQ, "unknown level"};
        return -1;
    }
    return apply_list_args(next, js, args, n, err);
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

// The whole change, one call at a time: 0 with `result` filled, or -1 with `err` set. The
// reply is written after the lock is released, so a slow reader holds up no other apply.
int apply_serialised(const char* js, const jsmntok_t* args, int n, sb_t* result, op_err* err) {
    // One apply at a time, and no SIGHUP reload in between: the copy of the live record, the
    // ".tmp" file, the rename and the reload happen under the reload lock.
    std::lock_guard<std::mutex> lock(g_cfg_reload_mu);
    cfg_snapshot_t live = g_cfg.load();
    auto next = std::make_unique<vornd_config_t>(*live);
    if (build_next_record(next.get(), js, args, n, err) != 0) return -1;

    char text[CFG_TEXT_BYTES];
    int len = config_serialize(next.get(), text, sizeof text);
    if (len < 0) {
        *err = {ERR_EINTERNAL, "serialize overflow"};
        return -1;
    }
    std::string target = live->config_path[0] ? live->config_path : CFG_SYSTEM_PATH;
    live.reset();
    mkdir_p(target.c_str());
    if (write_conf_atomic(target.c_str(), text, static_cast<size_t>(len)) != 0) {
        *err = {ERR_EPERSIST, strerror(errno)};
        log_msg(LOG_WRN, "config_apply: write %s failed: %s", target.c_str(), err->message);
        return -1;
    }
    // The live record becomes exactly what the file says, published whole; a reload that
    // cannot read it (or the token file it names) keeps the live record, and says so.
    if (config_reload(target.c_str()) != 0) {
        *err = {ERR_EPERSIST, "written but not loaded: current configuration kept"};
        return -1;
    }
    build_applied(result, target.c_str());
    return 0;
}

}  // namespace

int op_config_apply(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int) {
    sb_t result;
    op_err err = {nullptr, nullptr};
    if (apply_serialised(js, args, n, &result, &err) != 0) return reply_err(fd, req_id, err.code, err.message);
    return reply_ok(fd, req_id, result.buf);
}
