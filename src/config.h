// config — the configuration record, its file, the allow-lists and the token.
//
// The live record is published whole: `g_cfg.load()` hands out an immutable snapshot that a
// request keeps for all its checks, and a reload builds a new record aside and swaps it in,
// so no reader ever sees a half-written one. Loading never fails: every outcome leaves a
// usable record (the dev-permissive defaults at worst).
// Threads: load() from any thread; config_load from the main thread (SIGHUP) or a connection
// thread (config_apply), which serialises its own calls.
#pragma once

#include <memory>
#include <mutex>

enum cfg_allow_mode_t {
    CFG_ALLOW_NONE = 0,  // nothing is allowed
    CFG_ALLOW_LIST = 1,  // only what matches an entry
    CFG_ALLOW_ALL = 2,   // everything
};

constexpr int CFG_ALLOW_MAX_ENTRIES = 32;
constexpr int CFG_ALLOW_ENTRY_BYTES = 128;

// One allow-list, a plain value. ALL and NONE always have n == 0; LIST with n == 0 allows nothing.
struct cfg_allow_t {
    cfg_allow_mode_t mode;
    char prefixes[CFG_ALLOW_MAX_ENTRIES][CFG_ALLOW_ENTRY_BYTES];
    int n;
};

struct vornd_config_t {
    char socket_path[256];
    int socket_mode;
    char socket_group[64];
    cfg_allow_t ops_enabled;
    char auth_token_file[256];
    char auth_token[256];
    int auth_token_len;
    cfg_allow_t paths_fio;
    cfg_allow_t paths_read_file;
    cfg_allow_t paths_write_file;
    cfg_allow_t procs_kill;
    cfg_allow_t exec_binaries;
    cfg_allow_t pty_shells;
    char config_path[256];  // the file this record was loaded from; empty when none
};

extern const char* const CFG_DEFAULT_SOCKET_PATH;       // "/opt/vorn/var/run/vornd.sock"
extern const char* const CFG_SYSTEM_PATH;               // "/opt/vorn/etc/vornd.conf"

using cfg_snapshot_t = std::shared_ptr<const vornd_config_t>;

// The published record. A snapshot stays valid for as long as its holder keeps it.
class cfg_holder_t {
public:
    cfg_holder_t();
    cfg_snapshot_t load() const;
    void store(cfg_snapshot_t next);

private:
    mutable std::mutex mu_;  // guards cur_ only for the pointer copy; leaf lock
    cfg_snapshot_t cur_;
};

extern cfg_holder_t g_cfg;

// Resets to the defaults, loads the file (`path_or_null`, else ./vornd.conf, else the system
// path) and its token, and publishes the result. Always returns 0.
int config_load(const char* path_or_null);

// The dev-permissive defaults: everything open but file writing.
void config_set_defaults(vornd_config_t* c);
// Fills `*a` from an allow-list value: ALL, NONE (any case), or entries split at commas and
// spaces, optionally inside one pair of quotes; at most 32 entries of 127 characters.
void config_parse_allow(cfg_allow_t* a, const char* value);
// 1 when `value` begins with an entry (byte prefix, no path-component boundary), else 0.
// A null list allows.
int cfg_allow_check(const cfg_allow_t* a, const char* value);
// 1 when `value` equals an entry byte for byte, else 0. A null list allows.
int cfg_allow_exact(const cfg_allow_t* a, const char* value);
// 1 when the published record enables operation `name`.
int config_op_enabled(const char* name);
// Constant-time comparison of a request's token bytes with the record's token. 1 when equal.
int config_token_matches(const vornd_config_t* c, const char* tok, size_t len);
