#include "config/presets.h"

#include <cstring>
#include <memory>

const char* const PRESET_ALWAYS_OPS[PRESET_ALWAYS_COUNT] = {"ping", "info", "config_get", "config_apply"};

const char* const SAFE_OPS[SAFE_OPS_COUNT] = {
    "ping",       "info",      "meminfo",   "services_check", "iostat_stream", "zpool_iostat_stream", "zpool_list",
    "procs_list", "read_file", "read_dir",  "dmesg",          "smart_get",     "dmidecode",           "sysinfo",
    "net_addrs",  "net_ports", "bin_check", "mounts",         "config_get",    "config_apply",
};

namespace {

const char* const LEVELS[] = {"dev", "safe", "locked"};

void allow_set(cfg_allow_t* a, cfg_allow_mode_t mode) {
    a->mode = mode;
    a->n = 0;
}

// The caller has checked that the list has room.
void allow_append(cfg_allow_t* a, const char* name) {
    size_t len = strnlen(name, CFG_ALLOW_ENTRY_BYTES - 1);
    memcpy(a->prefixes[a->n], name, len);
    a->prefixes[a->n][len] = '\0';
    a->n++;
}

// Empties `a` into a LIST and fills it with `names` in order, while there is room.
void allow_set_list(cfg_allow_t* a, const char* const* names, int count) {
    allow_set(a, CFG_ALLOW_LIST);
    for (int i = 0; i < count && a->n < CFG_ALLOW_MAX_ENTRIES; i++) allow_append(a, names[i]);
}

bool allow_has(const cfg_allow_t* a, const char* name) {
    for (int i = 0; i < a->n && i < CFG_ALLOW_MAX_ENTRIES; i++)
        if (strncmp(a->prefixes[i], name, CFG_ALLOW_ENTRY_BYTES) == 0) return true;
    return false;
}

// Same mode and, for a LIST, the same entries in the same order. The entries of ALL and NONE
// lists mean nothing and are not compared.
bool allow_eq(const cfg_allow_t* a, const cfg_allow_t* b) {
    if (a->mode != b->mode) return false;
    if (a->mode != CFG_ALLOW_LIST) return true;
    if (a->n != b->n) return false;
    for (int i = 0; i < a->n && i < CFG_ALLOW_MAX_ENTRIES; i++)
        if (strncmp(a->prefixes[i], b->prefixes[i], CFG_ALLOW_ENTRY_BYTES) != 0) return false;
    return true;
}

// The seven lists in the order they are compared; a level differs from another in the first.
bool lists_eq(const vornd_config_t* a, const vornd_config_t* b) {
    return allow_eq(&a->ops_enabled, &b->ops_enabled) && allow_eq(&a->exec_binaries, &b->exec_binaries) &&
           allow_eq(&a->pty_shells, &b->pty_shells) && allow_eq(&a->paths_read_file, &b->paths_read_file) &&
           allow_eq(&a->paths_write_file, &b->paths_write_file) && allow_eq(&a->paths_fio, &b->paths_fio) &&
           allow_eq(&a->procs_kill, &b->procs_kill);
}

}  // namespace

int config_preset(vornd_config_t* c, const char* level) {
    if (strcmp(level, "dev") == 0) {
        allow_set(&c->ops_enabled, CFG_ALLOW_ALL);
        allow_set(&c->exec_binaries, CFG_ALLOW_ALL);
        allow_set(&c->pty_shells, CFG_ALLOW_ALL);
        allow_set(&c->paths_read_file, CFG_ALLOW_ALL);
        allow_set(&c->paths_fio, CFG_ALLOW_ALL);
        allow_set(&c->procs_kill, CFG_ALLOW_ALL);
    } else if (strcmp(level, "safe") == 0) {
        allow_set_list(&c->ops_enabled, SAFE_OPS, SAFE_OPS_COUNT);
        allow_set(&c->paths_read_file, CFG_ALLOW_ALL);
        allow_set(&c->exec_binaries, CFG_ALLOW_NONE);
        allow_set(&c->pty_shells, CFG_ALLOW_NONE);
        allow_set(&c->paths_fio, CFG_ALLOW_NONE);
        allow_set(&c->procs_kill, CFG_ALLOW_NONE);
        config_enforce_reversible(&c->ops_enabled);  // adds nothing: SAFE_OPS holds all four
    } else if (strcmp(level, "locked") == 0) {
        allow_set_list(&c->ops_enabled, PRESET_ALWAYS_OPS, PRESET_ALWAYS_COUNT);
        allow_set(&c->exec_binaries, CFG_ALLOW_NONE);
        allow_set(&c->pty_shells, CFG_ALLOW_NONE);
        allow_set(&c->paths_read_file, CFG_ALLOW_NONE);
        allow_set(&c->paths_fio, CFG_ALLOW_NONE);
        allow_set(&c->procs_kill, CFG_ALLOW_NONE);
    } else {
        return -1;
    }
    allow_set(&c->paths_write_file, CFG_ALLOW_NONE);  // no level opens file writing
    return 0;
}

const char* config_level(const vornd_config_t* c) {
    // The record is large; the scratch copy lives on the heap, not on a connection's stack.
    auto scratch = std::make_unique<vornd_config_t>();
    for (const char* level : LEVELS) {
        *scratch = *c;
        config_preset(scratch.get(), level);
        if (lists_eq(scratch.get(), c)) return level;
    }
    return "custom";
}

void config_enforce_reversible(cfg_allow_t* ops) {
    if (ops->mode != CFG_ALLOW_LIST) return;
    for (const char* name : PRESET_ALWAYS_OPS) {
        if (allow_has(ops, name)) continue;
        if (ops->n >= CFG_ALLOW_MAX_ENTRIES) continue;  // a full list gets nothing, silently
        allow_append(ops, name);
    }
}
