#include "config/config.h"

#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "base/log.h"
#include "config/config_file.h"
#include "config/presets.h"
#include "wire/frame.h"

const char* const CFG_SYSTEM_PATH = "/opt/vorn/etc/vornd.conf";

namespace {

constexpr size_t LINE_BYTES = CFG_LINE_BYTES;
constexpr const char* LOCAL_PATH = "./vornd.conf";

std::atomic<bool> g_strict{false};

// Copies at most cap-1 bytes and terminates.
void copy_cut(char* dst, size_t cap, const char* src) {
    size_t n = strnlen(src, cap - 1);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

void allow_init_all(cfg_allow_t* a) {
    a->mode = CFG_ALLOW_ALL;
    a->n = 0;
}

// The file named, else the first candidate that is readable and loads. 0, or -1 for none.
int load_file(vornd_config_t* c, const char* path_or_null) {
    if (path_or_null) return config_file_read(c, path_or_null);
    for (const char* p : {LOCAL_PATH, CFG_SYSTEM_PATH}) {
        if (access(p, R_OK) != 0) continue;
        config_set_base(c);  // a candidate that failed half-way leaves nothing behind
        if (config_file_read(c, p) == 0) return 0;
    }
    return -1;
}

enum token_state_t { TOKEN_OK, TOKEN_UNREADABLE, TOKEN_EMPTY };

// Reads the first line of the token file, trailing blanks removed. TOKEN_OK also when no file
// is named (no token then); the other states leave the token empty.
token_state_t load_token(vornd_config_t* c) {
    c->auth_token[0] = '\0';
    c->auth_token_len = 0;
    if (!c->auth_token_file[0]) return TOKEN_OK;
    FILE* f = fopen(c->auth_token_file, "re");
    if (!f) return TOKEN_UNREADABLE;
    char buf[256];
    if (!fgets(buf, sizeof buf, f)) buf[0] = '\0';
    bool failed = ferror(f) != 0;
    fclose(f);
    if (failed) return TOKEN_UNREADABLE;
    size_t n = strlen(buf);
    while (n > 0 && (buf[n - 1] == '\t' || buf[n - 1] == '\n' || buf[n - 1] == '\r' || buf[n - 1] == ' ')) n--;
    if (n == 0) return TOKEN_EMPTY;
    memcpy(c->auth_token, buf, n);
    c->auth_token[n] = '\0';
    c->auth_token_len = static_cast<int>(n);
    return TOKEN_OK;
}

const char* token_trouble(token_state_t t) { return t == TOKEN_EMPTY ? "empty" : "not readable"; }

void publish(std::shared_ptr<vornd_config_t> next) {
    int token_len = next->auth_token_len;
    g_cfg.store(std::move(next));
    if (token_len > 0) log_msg(LOG_INF, "auth token loaded (%d bytes)", token_len);
}

}  // namespace

cfg_holder_t g_cfg;
std::mutex g_cfg_reload_mu;

cfg_holder_t::cfg_holder_t() {
    auto c = std::make_shared<vornd_config_t>();
    config_set_defaults(c.get());
    cur_ = std::move(c);
}

cfg_snapshot_t cfg_holder_t::load() const {
    lock_guard_t lock(mu_);
    return cur_;
}

void cfg_holder_t::store(cfg_snapshot_t next) {
    lock_guard_t lock(mu_);
    cur_.swap(next);
    // the old record is released after the lock, when `next` goes out of scope
}

void config_set_defaults(vornd_config_t* c) {
    memset(c, 0, sizeof *c);
    copy_cut(c->socket_path, sizeof c->socket_path, VORND_DEFAULT_SOCKET_PATH);
    c->socket_mode = 0666;
    allow_init_all(&c->ops_enabled);
    allow_init_all(&c->paths_fio);
    allow_init_all(&c->paths_read_file);
    c->paths_write_file.mode = CFG_ALLOW_NONE;
    allow_init_all(&c->procs_kill);
    allow_init_all(&c->exec_binaries);
    allow_init_all(&c->pty_shells);
    allow_init_all(&c->access.observe.names);
    allow_init_all(&c->access.control.names);
}

void config_set_strict(bool on) { g_strict.store(on); }

void config_set_base(vornd_config_t* c) {
    config_set_defaults(c);
    if (!g_strict.load()) return;
    config_preset(c, "locked");
    c->socket_mode = 0600;
}

int config_load(const char* path_or_null) {
    auto next = std::make_shared<vornd_config_t>();
    config_set_base(next.get());
    bool found = load_file(next.get(), path_or_null) == 0;
    if (!found && g_strict.load()) {
        if (path_or_null) log_msg(LOG_ERR, "config not readable at %s — refusing to start", path_or_null);
        else log_msg(LOG_ERR, "config not readable at %s or %s — refusing to start", LOCAL_PATH, CFG_SYSTEM_PATH);
        return -1;
    }
    if (!found) {
        config_set_defaults(next.get());
        if (path_or_null) log_msg(LOG_WRN, "config not found at %s — using dev-permissive defaults", path_or_null);
        else
            log_msg(LOG_INF, "no config found — using dev-permissive defaults (socket %s mode 0%o, all ops open)",
                    next->socket_path, static_cast<unsigned>(next->socket_mode));
    } else {
        log_msg(LOG_INF, "loaded config: %s", next->config_path);
        token_state_t t = load_token(next.get());
        if (t != TOKEN_OK) {
            // A token that was asked for and cannot be had locks the door instead of opening it.
            next->auth_locked = 1;
            log_msg(LOG_WRN, "auth_token_file %s %s — every request refused", next->auth_token_file, token_trouble(t));
        }
    }
    publish(std::move(next));
    return 0;
}

int config_reload(const char* path_or_null) {
    auto next = std::make_shared<vornd_config_t>();
    config_set_base(next.get());
    if (load_file(next.get(), path_or_null) != 0) {
        if (path_or_null) log_msg(LOG_WRN, "config not readable at %s — current configuration kept", path_or_null);
        else log_msg(LOG_WRN, "no config found at %s or %s — current configuration kept", LOCAL_PATH, CFG_SYSTEM_PATH);
        return -1;
    }
    token_state_t t = load_token(next.get());
    if (t != TOKEN_OK) {
        log_msg(LOG_WRN, "auth_token_file %s %s — current configuration kept", next->auth_token_file, token_trouble(t));
        return -1;
    }
    log_msg(LOG_INF, "loaded config: %s", next->config_path);
    publish(std::move(next));
    return 0;
}

// The grammar of an allow-list value. With `whole`, a value that would lose something (an
// entry above 127 characters, a 33rd entry, text past what the buffer holds) gives -1 and
// leaves `*a` as it was; without it such a value is cut, as a hand-written file is read.
static int parse_allow(cfg_allow_t* a, const char* value, bool whole) {
    char buf[LINE_BYTES];
    if (whole && strnlen(value, sizeof buf) >= sizeof buf) return -1;
    copy_cut(buf, sizeof buf, value);
    char* v = buf;
    if (*v == '\'' || *v == '"') {
        char q = *v++;
        if (char* close = strchr(v, q)) *close = '\0';
    }
    cfg_allow_t next;
    next.n = 0;
    next.mode = strcasecmp(v, "ALL") == 0    ? CFG_ALLOW_ALL
                : strcasecmp(v, "NONE") == 0 ? CFG_ALLOW_NONE
                                             : CFG_ALLOW_LIST;
    while (next.mode == CFG_ALLOW_LIST) {
        v += strspn(v, ", ");
        size_t len = strcspn(v, ", ");
        if (len == 0) break;
        if (whole && (len >= CFG_ALLOW_ENTRY_BYTES || next.n == CFG_ALLOW_MAX_ENTRIES)) return -1;
        if (next.n == CFG_ALLOW_MAX_ENTRIES) break;
        size_t keep = len < CFG_ALLOW_ENTRY_BYTES - 1 ? len : CFG_ALLOW_ENTRY_BYTES - 1;
        memcpy(next.prefixes[next.n], v, keep);
        next.prefixes[next.n][keep] = '\0';
        next.n++;
        v += len;
    }
    a->mode = next.mode;
    a->n = next.n;
    memcpy(a->prefixes, next.prefixes, sizeof a->prefixes[0] * static_cast<size_t>(next.n));
    return 0;
}

void config_parse_allow(cfg_allow_t* a, const char* value) { parse_allow(a, value, false); }

int config_parse_allow_whole(cfg_allow_t* a, const char* value) { return parse_allow(a, value, true); }

static int allow_match(const cfg_allow_t* a, const char* value, bool exact) {
    if (!a) return 1;
    if (a->mode == CFG_ALLOW_ALL) return 1;
    if (a->mode != CFG_ALLOW_LIST || !value) return 0;
    int n = a->n < CFG_ALLOW_MAX_ENTRIES ? a->n : CFG_ALLOW_MAX_ENTRIES;
    for (int i = 0; i < n; i++) {
        const char* e = a->prefixes[i];
        size_t len = strnlen(e, CFG_ALLOW_ENTRY_BYTES);
        if (exact ? strcmp(value, e) == 0 : strncmp(value, e, len) == 0) return 1;
    }
    return 0;
}

int cfg_allow_check(const cfg_allow_t* a, const char* value) { return allow_match(a, value, false); }

int cfg_allow_exact(const cfg_allow_t* a, const char* value) { return allow_match(a, value, true); }

int config_op_enabled(const vornd_config_t* c, const char* name) { return cfg_allow_exact(&c->ops_enabled, name); }

namespace {

bool principals_match(const cfg_principals_t* p, const caller_t* who) {
    if (p->names.mode == CFG_ALLOW_ALL) return true;
    for (int i = 0; i < p->nuids; i++)
        if (p->uids[i] == who->uid) return true;
    for (int i = 0; i < p->ngids; i++)
        if (caller_in_group(who, p->gids[i])) return true;
    return false;
}

}  // namespace

bool config_access_allows(const vornd_config_t* c, const caller_t* who, bool control) {
    if (!c->access.present || caller_is_root(who)) return true;
    if (principals_match(&c->access.control, who)) return true;
    return !control && principals_match(&c->access.observe, who);
}

int config_token_required(const vornd_config_t* c) { return c->auth_token_len > 0 || c->auth_locked; }

int config_token_matches(const vornd_config_t* c, const char* tok, size_t len) {
    if (c->auth_locked) return 0;
    if (len != static_cast<size_t>(c->auth_token_len)) return 0;
    // Every byte is compared whatever the earlier ones held, so timing tells nothing.
    unsigned char diff = 0;
    for (size_t i = 0; i < len; i++) diff |= static_cast<unsigned char>(tok[i] ^ c->auth_token[i]);
    return diff == 0;
}

std::string config_absolute_path(const char* path) {
    if (!path[0] || path[0] == '/') return path;
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) return path;
    std::string joined = cwd;
    if (joined.back() != '/') joined += '/';
    joined += path[0] == '.' && path[1] == '/' ? path + 2 : path;
    return joined.size() < sizeof(vornd_config_t::config_path) ? joined : path;
}
