#include "config.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <strings.h>

#include "log.h"

const char* const CFG_DEFAULT_SOCKET_PATH = "/opt/vorn/var/run/vornd.sock";
const char* const CFG_SYSTEM_PATH = "/opt/vorn/etc/vornd.conf";

namespace {

constexpr size_t LINE_BYTES = CFG_LINE_BYTES;
constexpr const char* LOCAL_PATH = "./vornd.conf";

// Copies at most cap-1 bytes and terminates.
void copy_cut(char* dst, size_t cap, const char* src) {
    size_t n = strnlen(src, cap - 1);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Strips leading and trailing white space in place; returns the first kept byte.
char* trim(char* s) {
    while (is_space(*s)) s++;
    size_t n = strlen(s);
    while (n > 0 && is_space(s[n - 1])) s[--n] = '\0';
    return s;
}

void allow_init_all(cfg_allow_t* a) {
    a->mode = CFG_ALLOW_ALL;
    a->n = 0;
}

int parse_octal(const char* s) {
    int v = 0;
    for (; *s >= '0' && *s <= '7'; s++) {
        if (v > 0777777) break;  // far beyond any mode; stop before the value overflows
        v = v * 8 + (*s - '0');
    }
    return v;
}

cfg_allow_t* allow_field(vornd_config_t* c, const char* section, const char* key) {
    if (strcmp(key, "enabled") == 0) return strcmp(section, "ops") == 0 ? &c->ops_enabled : nullptr;
    if (strcmp(key, "allow") != 0) return nullptr;
    if (strcmp(section, "paths.fio_targets") == 0) return &c->paths_fio;
    if (strcmp(section, "paths.read_file") == 0) return &c->paths_read_file;
    if (strcmp(section, "paths.write_file") == 0) return &c->paths_write_file;
    if (strcmp(section, "procs_kill") == 0) return &c->procs_kill;
    if (strcmp(section, "exec") == 0) return &c->exec_binaries;
    if (strcmp(section, "pty") == 0) return &c->pty_shells;
    return nullptr;
}

void apply_pair(vornd_config_t* c, const char* section, const char* key, const char* value) {
    if (strcmp(section, "socket") == 0) {
        if (strcmp(key, "path") == 0) {
            copy_cut(c->socket_path, sizeof c->socket_path, value);
        } else if (strcmp(key, "mode") == 0) {
            c->socket_mode = parse_octal(value);
        } else if (strcmp(key, "group") == 0) {
            if (!*value || strcasecmp(value, "ALL") == 0 || strcasecmp(value, "NONE") == 0)
                c->socket_group[0] = '\0';
            else
                copy_cut(c->socket_group, sizeof c->socket_group, value);
        }
        return;
    }
    if (strcmp(section, "security") == 0) {
        if (strcmp(key, "auth_token_file") == 0)
            copy_cut(c->auth_token_file, sizeof c->auth_token_file, value);
        return;
    }
    if (cfg_allow_t* a = allow_field(c, section, key)) config_parse_allow(a, value);
}

void parse_line(vornd_config_t* c, char* raw, char* section, size_t section_cap) {
    char* line = trim(raw);
    if (!*line || *line == '#' || *line == ';') return;
    if (*line == '[') {
        char* close = strchr(line + 1, ']');
        if (!close) return;
        *close = '\0';
        copy_cut(section, section_cap, line + 1);
        return;
    }
    char* eq = strchr(line, '=');
    if (!eq) return;
    *eq = '\0';
    apply_pair(c, section, trim(line), trim(eq + 1));
}

// 0 after reading the file, -1 when it cannot be opened (the record is then unchanged).
int load_from(vornd_config_t* c, const char* path) {
    FILE* f = fopen(path, "re");
    if (!f) return -1;
    char line[LINE_BYTES];
    char section[64] = "";
    // A physical line longer than the buffer arrives in pieces, each taken as a line.
    while (fgets(line, sizeof line, f)) parse_line(c, line, section, sizeof section);
    fclose(f);
    copy_cut(c->config_path, sizeof c->config_path, path);
    return 0;
}

void load_token(vornd_config_t* c) {
    c->auth_token[0] = '\0';
    c->auth_token_len = 0;
    if (!c->auth_token_file[0]) return;
    FILE* f = fopen(c->auth_token_file, "re");
    if (!f) {
        log_msg(LOG_WRN, "auth_token_file %s not readable — auth disabled", c->auth_token_file);
        return;
    }
    char buf[256];
    if (!fgets(buf, sizeof buf, f)) buf[0] = '\0';
    fclose(f);
    size_t n = strlen(buf);
    while (n > 0 && (buf[n - 1] == '\t' || buf[n - 1] == '\n' || buf[n - 1] == '\r' || buf[n - 1] == ' '))
        n--;
    memcpy(c->auth_token, buf, n);
    c->auth_token[n] = '\0';
    c->auth_token_len = static_cast<int>(n);
    if (n > 0) log_msg(LOG_INF, "auth token loaded (%d bytes)", c->auth_token_len);
}

void load_into(vornd_config_t* c, const char* path_or_null) {
    config_set_defaults(c);
    if (path_or_null) {
        if (load_from(c, path_or_null) != 0) {
            log_msg(LOG_WRN, "config not found at %s — using dev-permissive defaults", path_or_null);
            return;
        }
    } else {
        const char* candidates[] = {LOCAL_PATH, CFG_SYSTEM_PATH};
        bool loaded = false;
        for (const char* p : candidates) {
            if (access(p, R_OK) == 0 && load_from(c, p) == 0) {
                loaded = true;
                break;
            }
        }
        if (!loaded) {
            log_msg(LOG_INF,
                    "no config found — using dev-permissive defaults (socket %s mode 0%o, all ops open)",
                    c->socket_path, static_cast<unsigned>(c->socket_mode));
            load_token(c);
            return;
        }
    }
    log_msg(LOG_INF, "loaded config: %s", c->config_path);
    load_token(c);
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
    std::lock_guard<std::mutex> lock(mu_);
    return cur_;
}

void cfg_holder_t::store(cfg_snapshot_t next) {
    std::lock_guard<std::mutex> lock(mu_);
    cur_.swap(next);
    // the old record is released after the lock, when `next` goes out of scope
}

void config_set_defaults(vornd_config_t* c) {
    memset(c, 0, sizeof *c);
    copy_cut(c->socket_path, sizeof c->socket_path, CFG_DEFAULT_SOCKET_PATH);
    c->socket_mode = 0666;
    allow_init_all(&c->ops_enabled);
    allow_init_all(&c->paths_fio);
    allow_init_all(&c->paths_read_file);
    c->paths_write_file.mode = CFG_ALLOW_NONE;
    allow_init_all(&c->procs_kill);
    allow_init_all(&c->exec_binaries);
    allow_init_all(&c->pty_shells);
}

int config_load(const char* path_or_null) {
    auto next = std::make_shared<vornd_config_t>();
    load_into(next.get(), path_or_null);
    g_cfg.store(std::move(next));
    return 0;
}

void config_parse_allow(cfg_allow_t* a, const char* value) {
    char buf[LINE_BYTES];
    copy_cut(buf, sizeof buf, value);
    char* v = buf;
    if (*v == '\'' || *v == '"') {
        char q = *v++;
        if (char* close = strchr(v, q)) *close = '\0';
    }
    a->n = 0;
    if (strcasecmp(v, "ALL") == 0) {
        a->mode = CFG_ALLOW_ALL;
        return;
    }
    if (strcasecmp(v, "NONE") == 0) {
        a->mode = CFG_ALLOW_NONE;
        return;
    }
    a->mode = CFG_ALLOW_LIST;
    while (*v && a->n < CFG_ALLOW_MAX_ENTRIES) {
        v += strspn(v, ", ");
        size_t len = strcspn(v, ", ");
        if (len == 0) break;
        size_t keep = len < CFG_ALLOW_ENTRY_BYTES - 1 ? len : CFG_ALLOW_ENTRY_BYTES - 1;
        memcpy(a->prefixes[a->n], v, keep);
        a->prefixes[a->n][keep] = '\0';
        a->n++;
        v += len;
    }
}

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

int config_op_enabled(const char* name) {
    cfg_snapshot_t c = g_cfg.load();
    return cfg_allow_exact(&c->ops_enabled, name);
}

int config_token_matches(const vornd_config_t* c, const char* tok, size_t len) {
    if (len != static_cast<size_t>(c->auth_token_len)) return 0;
    // Every byte is compared whatever the earlier ones held, so timing tells nothing.
    unsigned char diff = 0;
    for (size_t i = 0; i < len; i++)
        diff |= static_cast<unsigned char>(tok[i] ^ c->auth_token[i]);
    return diff == 0;
}
