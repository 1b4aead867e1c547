#include "ops/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "base/fdio.h"
#include "base/text.h"
#include "wire/args.h"
#include "wire/errors.h"
#include "wire/json.h"

namespace {

constexpr size_t PATH_ARG_BYTES = 256;  // path arguments: 255 characters, longer are refused
constexpr long long READ_FILE_DEFAULT_BYTES = 1048576;
constexpr unsigned long long READ_FILE_MAX_BYTES = 16777216;
constexpr size_t WRITE_DATA_MAX = 4194304;
constexpr int WRITE_MODE_DEFAULT = 0644;
constexpr size_t PROC_MOUNTS_MAX = 16777216;

void append_escaped(sb_t* s, std::string_view v) { sb_json_escape(s, v.data(), v.size()); }

}  // namespace

// ---- path rule ----

int path_has_dotdot(std::string_view path) {
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t end = path.find('/', pos);
        if (end == std::string_view::npos) end = path.size();
        if (path.substr(pos, end - pos) == "..") return 1;
        pos = end + 1;
    }
    return 0;
}

int ops_path_allowed(const cfg_allow_t* a, const char* path) {
    if (!cfg_allow_check(a, path)) return 0;
    return a && a->mode == CFG_ALLOW_LIST && path_has_dotdot(path) ? 0 : 1;
}

int ops_real_path_allowed(const cfg_allow_t* a, int fd, const char* name) {
    if (!a || a->mode != CFG_ALLOW_LIST) return 1;
    std::string path;                                          // ends in "/" only for the root
    if (!fd_real_path(fd, &path) || path[0] != '/') return 0;  // no path the list could judge: refused
    std::string below = path == "/" ? path : path + "/";
    if (name) return cfg_allow_check(a, (below + name).c_str());
    if (cfg_allow_check(a, path.c_str())) return 1;
    // A directory listed with its slash ("/srv/data/") admits the directory itself.
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && cfg_allow_check(a, below.c_str());
}

// ---- parsers ----

int mounts_parse_line(std::string_view line, mount_entry_t* out) {
    std::string_view f[4];
    if (text_fields(line, f, 4, {.seps = " "}) < 3) return -1;
    *out = mount_entry_t{f[0], f[1], f[2], f[3]};
    return 0;
}

int mounts_is_snapshot(std::string_view mountpoint) { return mountpoint.find("/.zfs/") != std::string_view::npos; }

static void mounts_append_entry(sb_t* s, const mount_entry_t& m) {
    sb_appendz(s, "{\"src\":\"");
    append_escaped(s, m.src);
    sb_appendz(s, "\",\"mountpoint\":\"");
    append_escaped(s, m.mountpoint);
    sb_appendz(s, "\",\"fstype\":\"");
    append_escaped(s, m.fstype);
    sb_appendz(s, "\",\"opts\":\"");
    append_escaped(s, m.opts);
    sb_appendz(s, "\"}");
}

int mounts_build_json(std::string_view table, sb_t* out) {
    if (sb_appendz(out, "{\"mounts\":[") != 0) return -1;
    size_t first_len = out->len;
    size_t pos = 0;
    while (pos < table.size()) {
        size_t end = table.find('\n', pos);
        if (end == std::string_view::npos) end = table.size();
        std::string_view line = table.substr(pos, end - pos);
        pos = end + 1;
        mount_entry_t m;
        if (line.empty() || mounts_parse_line(line, &m) != 0 || mounts_is_snapshot(m.mountpoint)) continue;
        // Later entries are dropped so the reply stays within one comfortable frame.
        if (out->len >= MOUNTS_REPLY_SOFT_MAX) break;
        if (out->len > first_len) sb_appendz(out, ",");
        mounts_append_entry(out, m);
    }
    return sb_appendz(out, "]}");
}

// ---- file operations ----

namespace {

const op_err READ_NOT_LISTED = {ERR_EFORBIDDEN, "path not in allowlist"};
const op_err WRITE_NOT_LISTED = {ERR_EFORBIDDEN, "path not in write allowlist"};

// Reads "path" into `path` (PATH_ARG_BYTES): null, or the refusal of a missing or long one.
const op_err* path_arg(const op_req_t& req, char* path) {
    static const op_err TOO_LONG = {ERR_EBADREQ, "path too long"};
    static const op_err MISSING = {ERR_EREQ, "path required"};
    if (arg_get_str_fit(req.js, req.args, req.an, "path", path, PATH_ARG_BYTES) == ARG_TOO_LONG) return &TOO_LONG;
    return path[0] ? nullptr : &MISSING;
}

// Reads the regular file `path` (at most `limit` bytes) into `data` after the list's second test
// on what it turned out to be. Null, or the refusal. The file is first only named (O_PATH), so
// a FIFO or a device is refused before anything opens it: opening one can block or act (a
// watchdog starts counting). It is then opened through that descriptor, the same inode. It is
// closed when this returns, so no reply is sent while the daemon still holds it.
const op_err* read_listed_file(const cfg_allow_t* list, const char* path, size_t limit, sb_t* data) {
    static const op_err READ_FAILED = {ERR_EIO, "read failed"};
    static const op_err NOT_REGULAR = {ERR_EBADREQ, "not a regular file"};
    unique_fd named(open(path, O_PATH | O_CLOEXEC));  // links followed: the real path is judged
    if (!named) return &READ_FAILED;
    if (!ops_real_path_allowed(list, named.get(), nullptr)) return &READ_NOT_LISTED;
    struct stat st;
    if (fstat(named.get(), &st) != 0 || !S_ISREG(st.st_mode)) return &NOT_REGULAR;
    char self[32];
    snprintf(self, sizeof self, "/proc/self/fd/%d", named.get());
    unique_fd f(open(self, O_RDONLY | O_NOCTTY | O_CLOEXEC));
    if (!f) return &READ_FAILED;
    return read_fd_all(f.get(), data, limit) == 0 ? nullptr : &READ_FAILED;
}

}  // namespace

op_result op_read_file(const op_req_t& req) {
    char path[PATH_ARG_BYTES] = "";
    if (const op_err* refused = path_arg(req, path)) return *refused;
    long long want = arg_get_int(req.js, req.args, req.an, "max_bytes", READ_FILE_DEFAULT_BYTES);
    cfg_snapshot_t cfg = g_cfg.load();
    if (!ops_path_allowed(&cfg->paths_read_file, path)) return READ_NOT_LISTED;
    // A negative value is huge as an unsigned number and falls back to the default too.
    size_t limit = static_cast<unsigned long long>(want) <= READ_FILE_MAX_BYTES ? static_cast<size_t>(want)
                                                                                : READ_FILE_DEFAULT_BYTES;
    sb_t data;
    if (const op_err* failed = read_listed_file(&cfg->paths_read_file, path, limit, &data)) return *failed;
    sb_t s;
    sb_appendz(&s, "{\"path\":\"");
    sb_json_escape(&s, path, strlen(path));
    sb_printf(&s, "\",\"size\":%zu,\"data\":\"", data.len);
    sb_json_escape(&s, data.buf ? data.buf : "", data.len);
    sb_appendz(&s, "\"}");
    return op_result::ok(std::move(s));
}

static void read_dir_append_entry(sb_t* s, int dir_fd, const char* name, bool first) {
    struct stat st;
    bool ok = fstatat(dir_fd, name, &st, 0) == 0;  // follows links: a dangling one reports -1
    sb_appendz(s, first ? "{\"name\":\"" : ",{\"name\":\"");
    sb_json_escape(s, name, strlen(name));
    sb_printf(s, "\",\"is_dir\":%s,\"size\":%lld}", ok && S_ISDIR(st.st_mode) ? "true" : "false",
              ok ? static_cast<long long>(st.st_size) : -1LL);
}

op_result op_read_dir(const op_req_t& req) {
    static const op_err OPEN_FAILED = {ERR_EIO, "opendir failed"};
    char path[PATH_ARG_BYTES] = "";
    if (const op_err* refused = path_arg(req, path)) return *refused;
    cfg_snapshot_t cfg = g_cfg.load();
    if (!ops_path_allowed(&cfg->paths_read_file, path)) return READ_NOT_LISTED;
    unique_fd dir_fd(open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir_fd) return OPEN_FAILED;
    if (!ops_real_path_allowed(&cfg->paths_read_file, dir_fd.get(), nullptr)) return READ_NOT_LISTED;
    scoped_dir d(fdopendir(dir_fd.get()));
    if (!d) return OPEN_FAILED;
    dir_fd.release();  // the stream owns it now
    sb_t s;
    sb_appendz(&s, "{\"entries\":[");
    bool first = true;
    while (struct dirent* e = readdir(d.get())) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        read_dir_append_entry(&s, dirfd(d.get()), e->d_name, first);
        first = false;
    }
    sb_appendz(&s, "]}");
    return op_result::ok(std::move(s));
}

// The "data" member's raw token text: escapes stay as written, a non-string is its JSON text.
static bool write_data_arg(const char* js, const jsmntok_t* args, int n, std::string_view* out) {
    if (!args || args->type != JSMN_OBJECT) return false;
    int i = json_obj_idx(js, args, n, "data");
    if (i < 0) return false;
    const jsmntok_t* t = &args[i];
    *out = std::string_view(js + t->start, static_cast<size_t>(t->end - t->start));
    return true;
}

// Opens the directory that holds `path` and points `name` at its last component. The
// descriptor, or an invalid one.
static unique_fd open_parent(const char* path, const char** name) {
    const char* slash = strrchr(path, '/');
    *name = slash ? slash + 1 : path;
    std::string dir = !slash ? "." : slash == path ? "/" : std::string(path, static_cast<size_t>(slash - path));
    return unique_fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

op_result op_write_file(const op_req_t& req) {
    static const op_err OPEN_FAILED = {ERR_EIO, "open failed"};
    char path[PATH_ARG_BYTES] = "";
    if (const op_err* refused = path_arg(req, path)) return *refused;
    cfg_snapshot_t cfg = g_cfg.load();
    if (!ops_path_allowed(&cfg->paths_write_file, path)) return WRITE_NOT_LISTED;
    std::string_view data;
    if (!write_data_arg(req.js, req.args, req.an, &data)) return op_err{ERR_EREQ, "data required"};
    if (data.size() > WRITE_DATA_MAX) return op_err{ERR_ETOOBIG, "data too large"};
    // Never a set-user-id, set-group-id or sticky file, whatever the client asks for.
    auto mode = static_cast<mode_t>(arg_get_int(req.js, req.args, req.an, "mode", WRITE_MODE_DEFAULT) & 0777);
    int append = arg_get_bool(req.js, req.args, req.an, "append", 0);

    const char* name = nullptr;
    unique_fd dir = open_parent(path, &name);
    if (!dir) return OPEN_FAILED;
    // The file is opened in the directory that was judged, so a link swapped in between cannot
    // redirect it; a link as the last component is never followed.
    if (!ops_real_path_allowed(&cfg->paths_write_file, dir.get(), name)) return WRITE_NOT_LISTED;
    // O_NONBLOCK: a FIFO without a reader fails at once instead of holding the thread.
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | (append ? O_APPEND : O_TRUNC);
    unique_fd out(openat(dir.get(), name, flags, mode));
    if (!out && errno == ELOOP) return op_err{ERR_EFORBIDDEN, "path is a symbolic link"};
    if (!out) return OPEN_FAILED;
    fcntl(out.get(), F_SETFL, fcntl(out.get(), F_GETFL) & ~O_NONBLOCK);
    if (write_full(out.get(), data.data(), data.size()) != 0) return op_err{ERR_EIO, "write failed"};
    sb_t s;
    sb_printf(&s, "{\"written\":%zu}", data.size());
    return op_result::ok(std::move(s));
}

op_result op_mounts(const op_req_t&) {
    sb_t table;
    if (read_file_all("/proc/mounts", &table, PROC_MOUNTS_MAX) != 0) return op_err{ERR_EIO, "cannot read /proc/mounts"};
    sb_t s;
    mounts_build_json(std::string_view(table.buf ? table.buf : "", table.len), &s);
    return op_result::ok(std::move(s));
}
