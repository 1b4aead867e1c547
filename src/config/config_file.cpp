#include "config/config_file.h"

#include <grp.h>
#include <pwd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

#include "base/log.h"
#include "config/presets.h"

const cfg_file_list_t CFG_FILE_LISTS[CFG_LIST_COUNT] = {
    {"ops", "enabled", &vornd_config_t::ops_enabled},
    {"paths.fio_targets", "allow", &vornd_config_t::paths_fio},
    {"paths.read_file", "allow", &vornd_config_t::paths_read_file},
    {"paths.write_file", "allow", &vornd_config_t::paths_write_file},
    {"procs_kill", "allow", &vornd_config_t::procs_kill},
    {"exec", "allow", &vornd_config_t::exec_binaries},
    {"pty", "allow", &vornd_config_t::pty_shells},
};

const cfg_list_arg_t CFG_LIST_ARGS[CFG_LIST_COUNT] = {
    {"ops", &vornd_config_t::ops_enabled},
    {"exec", &vornd_config_t::exec_binaries},
    {"pty", &vornd_config_t::pty_shells},
    {"read_file", &vornd_config_t::paths_read_file},
    {"write_file", &vornd_config_t::paths_write_file},
    {"fio_targets", &vornd_config_t::paths_fio},
    {"procs_kill", &vornd_config_t::procs_kill},
};

namespace {

// ---- reading ----

// Copies at most cap-1 bytes and terminates.
void copy_cut(char* dst, size_t cap, const char* src) {
    size_t n = strnlen(src, cap - 1);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Strips leading and trailing white space in place; returns the first kept byte.
char* trim(char* s) {
    while (is_space(*s)) s++;
    size_t n = strlen(s);
    while (n > 0 && is_space(s[n - 1])) s[--n] = '\0';
    return s;
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
    for (const cfg_file_list_t& l : CFG_FILE_LISTS)
        if (strcmp(section, l.section) == 0 && strcmp(key, l.key) == 0) return &(c->*l.field);
    return nullptr;
}

// What a line was, for the loader's warnings.
enum line_kind_t {
    LINE_USED,
    LINE_UNKNOWN_SECTION,
    LINE_UNKNOWN_KEY,
    LINE_NO_SECTION,
    LINE_NO_EQUALS,
    LINE_NO_BRACKET
};

bool known_section(const char* section) {
    if (strcmp(section, "socket") == 0 || strcmp(section, "security") == 0 || strcmp(section, "access") == 0)
        return true;
    for (const cfg_file_list_t& l : CFG_FILE_LISTS)
        if (strcmp(section, l.section) == 0) return true;
    return false;
}

// Sets the field a section and key name; false when the pair names none.
bool apply_pair(vornd_config_t* c, const char* section, const char* key, const char* value) {
    if (strcmp(section, "socket") == 0) {
        if (strcmp(key, "path") == 0) {
            copy_cut(c->socket_path, sizeof c->socket_path, value);
        } else if (strcmp(key, "mode") == 0) {
            c->socket_mode = parse_octal(value);
        } else if (strcmp(key, "group") == 0) {
            if (!*value || strcasecmp(value, "ALL") == 0 || strcasecmp(value, "NONE") == 0) c->socket_group[0] = '\0';
            else copy_cut(c->socket_group, sizeof c->socket_group, value);
        } else {
            return false;
        }
        return true;
    }
    if (strcmp(section, "security") == 0) {
        if (strcmp(key, "auth_token_file") != 0) return false;
        copy_cut(c->auth_token_file, sizeof c->auth_token_file, value);
        return true;
    }
    if (strcmp(section, "access") == 0) {
        cfg_principals_t* p = strcmp(key, "observe") == 0   ? &c->access.observe
                              : strcmp(key, "control") == 0 ? &c->access.control
                                                            : nullptr;
        if (p) config_parse_allow(&p->names, value);
        return p != nullptr;
    }
    cfg_allow_t* a = allow_field(c, section, key);
    if (a) config_parse_allow(a, value);
    return a != nullptr;
}

// Parses one line into `c`. `*key` points into `raw` when the kind names a key.
line_kind_t parse_line(vornd_config_t* c, char* raw, char* section, size_t section_cap, const char** key) {
    char* line = trim(raw);
    if (!*line || *line == '#' || *line == ';') return LINE_USED;
    if (*line == '[') {
        char* close = strchr(line + 1, ']');
        if (!close) return LINE_NO_BRACKET;
        *close = '\0';
        copy_cut(section, section_cap, line + 1);
        if (strcmp(section, "access") == 0) c->access.present = 1;
        return known_section(section) ? LINE_USED : LINE_UNKNOWN_SECTION;
    }
    char* eq = strchr(line, '=');
    if (!eq) return LINE_NO_EQUALS;
    *eq = '\0';
    *key = trim(line);
    if (!section[0]) return LINE_NO_SECTION;
    if (apply_pair(c, section, *key, trim(eq + 1))) return LINE_USED;
    // Keys of a section already reported as unknown are not reported one by one.
    return known_section(section) ? LINE_UNKNOWN_KEY : LINE_USED;
}

// A name from the file as it may appear in a log line: at most 63 bytes, each byte outside
// printable ASCII shown as '?', so a hostile file cannot forge or split log lines.
std::string printable(const char* s) {
    std::string out;
    for (size_t i = 0; s[i] && i < 63; i++) {
        unsigned char ch = static_cast<unsigned char>(s[i]);
        out += ch >= 0x20 && ch < 0x7f ? static_cast<char>(ch) : '?';
    }
    return out;
}

// One warning for a line that set nothing although it was meant to: a misspelled key must not
// leave a list open in silence.
void warn_line(const char* path, int line_no, line_kind_t kind, const char* section, const char* key) {
    std::string where = printable(path) + ":" + std::to_string(line_no);
    switch (kind) {
    case LINE_UNKNOWN_SECTION:
        log_msg(LOG_WRN, "%s: unknown section [%s] — ignored", where.c_str(), printable(section).c_str());
        break;
    case LINE_UNKNOWN_KEY:
        log_msg(LOG_WRN, "%s: unknown key '%s' in [%s] — ignored", where.c_str(), printable(key).c_str(),
                printable(section).c_str());
        break;
    case LINE_NO_SECTION:
        log_msg(LOG_WRN, "%s: key '%s' before any section — ignored", where.c_str(), printable(key).c_str());
        break;
    case LINE_NO_EQUALS: log_msg(LOG_WRN, "%s: line without '=' — ignored", where.c_str()); break;
    case LINE_NO_BRACKET: log_msg(LOG_WRN, "%s: section header without ']' — ignored", where.c_str()); break;
    case LINE_USED: break;
    }
}

constexpr size_t NAME_DB_BUF_BYTES = 4096;

bool all_digits(const char* s) { return *s && strspn(s, "0123456789") == strlen(s); }

bool lookup_uid(const char* name, uid_t* out) {
    if (all_digits(name)) {
        *out = static_cast<uid_t>(strtoul(name, nullptr, 10));
        return true;
    }
    struct passwd pw, *found = nullptr;
    char buf[NAME_DB_BUF_BYTES];
    if (getpwnam_r(name, &pw, buf, sizeof buf, &found) != 0 || !found) return false;
    *out = found->pw_uid;
    return true;
}

bool lookup_gid(const char* name, gid_t* out) {
    struct group gr, *found = nullptr;
    char buf[NAME_DB_BUF_BYTES];
    if (getgrnam_r(name, &gr, buf, sizeof buf, &found) == 0 && found) {
        *out = found->gr_gid;
        return true;
    }
    if (!all_digits(name)) return false;
    *out = static_cast<gid_t>(strtoul(name, nullptr, 10));
    return true;
}

// ---- writing ----

constexpr size_t ALLOW_VALUE_BYTES = 1200;  // one list's value in the file, NUL included

const char* const CONF_HEADER = "# vornd configuration — generated by config_apply; managed by the Preferences UI.\n\n";

// Entries in use; a count out of range never reaches past the array.
int list_count(const cfg_allow_t* a) {
    if (a->mode != CFG_ALLOW_LIST || a->n < 0) return 0;
    return a->n < CFG_ALLOW_MAX_ENTRIES ? a->n : CFG_ALLOW_MAX_ENTRIES;
}

// The parser strips a value's outer white space, opens a leading quote, and reads a value of
// exactly ALL or NONE as that mode. A list whose joined text would be read so gets a leading
// separator; one whose last entry ends in white space gets a trailing one.
bool needs_leading_sep(const cfg_allow_t* a) {
    int n = list_count(a);
    if (n < 1) return false;
    const char* first = a->prefixes[0];
    if (first[0] == '\'' || first[0] == '"' || is_space(first[0])) return true;
    return n == 1 && (strcasecmp(first, "ALL") == 0 || strcasecmp(first, "NONE") == 0);
}

bool needs_trailing_sep(const cfg_allow_t* a) {
    int n = list_count(a);
    if (n < 1) return false;
    const char* last = a->prefixes[n - 1];
    size_t len = strnlen(last, CFG_ALLOW_ENTRY_BYTES - 1);
    return len > 0 && is_space(last[len - 1]);
}

// Appends `n` bytes at out[*len] when they fit below `cap` with a NUL; false when they do not.
bool put_bytes(char* out, size_t cap, size_t* len, const char* s, size_t n) {
    if (n >= cap - *len) return false;
    memcpy(out + *len, s, n);
    *len += n;
    out[*len] = '\0';
    return true;
}

// The generated text being built; once it no longer fits, later pieces only count their length.
struct text_out_t {
    char* buf;
    size_t cap;
    size_t len;
    bool failed;
};

__attribute__((format(printf, 2, 3))) void text_put(text_out_t* t, const char* fmt, ...) {
    size_t room = t->len < t->cap ? t->cap - t->len : 0;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(room ? t->buf + t->len : nullptr, room, fmt, ap);
    va_end(ap);
    if (n < 0) t->failed = true;
    else t->len += static_cast<size_t>(n);
}

bool has_line_feed(const char* s) { return strchr(s, '\n') != nullptr; }

// True when every line of `text` (its line feed included) fits the loader's line buffer.
bool lines_fit(const char* text, size_t len) {
    size_t line_start = 0;
    for (size_t i = 0; i < len; i++) {
        if (text[i] != '\n') continue;
        if (i + 1 - line_start > static_cast<size_t>(CFG_LINE_BYTES - 1)) return false;
        line_start = i + 1;
    }
    return len - line_start <= static_cast<size_t>(CFG_LINE_BYTES - 1);
}

// The socket, token and header pieces; false when a value would split its line.
bool serialize_head(text_out_t* t, const vornd_config_t* c) {
    if (has_line_feed(c->socket_path) || has_line_feed(c->socket_group) || has_line_feed(c->auth_token_file))
        return false;
    text_put(t, "%s", CONF_HEADER);
    text_put(t, "[socket]\npath  = %s\nmode  = 0%o\n", c->socket_path, static_cast<unsigned>(c->socket_mode));
    if (c->socket_group[0]) text_put(t, "group = %s\n", c->socket_group);
    text_put(t, "\n");
    if (c->auth_token_file[0]) text_put(t, "[security]\nauth_token_file = %s\n\n", c->auth_token_file);
    return true;
}

}  // namespace

namespace {

// The [access] section after the lists, as the file had it: levels never change who may act.
bool serialize_access(text_out_t* t, const cfg_access_t* a) {
    char observe[ALLOW_VALUE_BYTES], control[ALLOW_VALUE_BYTES];
    if (allow_value(&a->observe.names, observe, sizeof observe) < 0 || has_line_feed(observe)) return false;
    if (allow_value(&a->control.names, control, sizeof control) < 0 || has_line_feed(control)) return false;
    text_put(t, "\n[access]\nobserve = %s\ncontrol = %s\n", observe, control);
    return true;
}

}  // namespace

int allow_value(const cfg_allow_t* a, char* out, size_t cap) {
    if (cap == 0) return -1;
    out[0] = '\0';
    size_t len = 0;
    bool ok = true;
    if (a->mode == CFG_ALLOW_ALL) {
        ok = put_bytes(out, cap, &len, "ALL", 3);
    } else if (a->mode != CFG_ALLOW_LIST) {
        ok = put_bytes(out, cap, &len, "NONE", 4);
    } else {
        int n = list_count(a);
        if (needs_leading_sep(a)) ok = put_bytes(out, cap, &len, ",", 1);
        for (int i = 0; ok && i < n; i++) {
            if (i > 0) ok = put_bytes(out, cap, &len, ",", 1);
            const char* e = a->prefixes[i];
            if (ok) ok = put_bytes(out, cap, &len, e, strnlen(e, CFG_ALLOW_ENTRY_BYTES - 1));
        }
        if (ok && needs_trailing_sep(a)) ok = put_bytes(out, cap, &len, ",", 1);
    }
    if (!ok) {
        out[0] = '\0';
        return -1;
    }
    return static_cast<int>(len);
}

int config_serialize(const vornd_config_t* c, char* buf, size_t cap) {
    if (cap == 0) return -1;
    buf[0] = '\0';
    text_out_t t = {buf, cap, 0, false};
    if (!serialize_head(&t, c)) return -1;
    char value[ALLOW_VALUE_BYTES];
    size_t count = sizeof CFG_FILE_LISTS / sizeof CFG_FILE_LISTS[0];
    for (size_t i = 0; i < count; i++) {
        const cfg_file_list_t& l = CFG_FILE_LISTS[i];
        if (allow_value(&(c->*l.field), value, sizeof value) < 0 || has_line_feed(value)) {
            buf[0] = '\0';
            return -1;
        }
        text_put(&t, "[%s]\n%s = %s%s", l.section, l.key, value, i + 1 < count ? "\n\n" : "\n");
    }
    if (c->access.present && !serialize_access(&t, &c->access)) {
        buf[0] = '\0';
        return -1;
    }
    if (t.failed || t.len >= cap || !lines_fit(buf, t.len)) {
        buf[0] = '\0';
        return -1;
    }
    return static_cast<int>(t.len);
}

void allow_json(sb_t* r, const char* key, const cfg_allow_t* a) {
    const char* mode = a->mode == CFG_ALLOW_ALL ? "ALL" : a->mode == CFG_ALLOW_LIST ? "LIST" : "NONE";
    sb_printf(r, "\"%s\":{\"mode\":\"%s\",\"list\":[", key, mode);
    int n = list_count(a);
    for (int i = 0; i < n; i++) {
        sb_appendz(r, i ? ",\"" : "\"");
        sb_json_escape(r, a->prefixes[i], strnlen(a->prefixes[i], CFG_ALLOW_ENTRY_BYTES - 1));
        sb_appendz(r, "\"");
    }
    sb_appendz(r, "]}");
}

void build_config_json(sb_t* r, const vornd_config_t* c) {
    char mode[16];
    snprintf(mode, sizeof mode, "0%o", static_cast<unsigned>(c->socket_mode));
    sb_appendz(r, "{");
    sb_kv_str(r, "level", config_level(c), 1);
    sb_kv_str(r, "config_path", c->config_path, 1);
    sb_appendz(r, "\"socket\":{");
    sb_kv_str(r, "path", c->socket_path, 1);
    sb_kv_str(r, "mode", mode, 1);
    sb_kv_str(r, "group", c->socket_group, 0);
    sb_appendz(r, "}");
    for (const cfg_list_arg_t& l : CFG_LIST_ARGS) {
        sb_appendz(r, ",");
        allow_json(r, l.name, &(c->*l.field));
    }
    if (c->access.present) {
        sb_appendz(r, ",\"access\":{");
        allow_json(r, "observe", &c->access.observe.names);
        sb_appendz(r, ",");
        allow_json(r, "control", &c->access.control.names);
        sb_appendz(r, "}");
    }
    sb_appendz(r, "}");
}

void config_access_resolve(cfg_principals_t* p, const char* path) {
    p->nuids = 0;
    p->ngids = 0;
    if (p->names.mode != CFG_ALLOW_LIST) return;
    for (int i = 0; i < p->names.n && i < CFG_ALLOW_MAX_ENTRIES; i++) {
        const char* e = p->names.prefixes[i];
        bool ok = e[0] == '@' ? lookup_gid(e + 1, &p->gids[p->ngids]) : lookup_uid(e, &p->uids[p->nuids]);
        if (!ok) {
            log_msg(LOG_WRN, "%s: [access] no such %s '%s' — matches nobody", printable(path).c_str(),
                    e[0] == '@' ? "group" : "user", printable(e).c_str());
            continue;
        }
        if (e[0] == '@') p->ngids++;
        else p->nuids++;
    }
}

int config_file_read(vornd_config_t* c, const char* path) {
    FILE* f = fopen(path, "re");
    if (!f) return -1;
    char line[CFG_LINE_BYTES];
    char section[64] = "";
    int line_no = 0;
    bool at_line_start = true;
    // A physical line longer than the buffer arrives in pieces, each taken as a line; the
    // pieces share the physical line's number.
    while (fgets(line, sizeof line, f)) {
        if (at_line_start) line_no++;
        size_t len = strlen(line);
        at_line_start = len > 0 && line[len - 1] == '\n';
        const char* key = "";
        line_kind_t kind = parse_line(c, line, section, sizeof section, &key);
        if (kind != LINE_USED) warn_line(path, line_no, kind, section, key);
    }
    bool failed = ferror(f) != 0;  // a directory, an I/O error: not a file that was read
    fclose(f);
    if (failed) return -1;
    if (c->access.present) {
        config_access_resolve(&c->access.observe, path);
        config_access_resolve(&c->access.control, path);
    }
    // Recorded as found from here: reloads and config_apply run after the move to "/".
    copy_cut(c->config_path, sizeof c->config_path, config_absolute_path(path).c_str());
    return 0;
}
