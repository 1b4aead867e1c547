// config — the configuration record, its file, the allow-lists and the token.
//
// The live record is published whole: `g_cfg.load()` hands out an immutable snapshot that a
// request keeps for all its checks, and a reload builds a new record aside and swaps it in,
// so no reader ever sees a half-written one.
// Failures close, never open: start-up without any file runs on the dev-permissive defaults
// (strict mode refuses to start instead), but a reload that cannot read its file or its token keeps the live record, and a token file
// that is named but unreadable or empty at start-up locks every request out.
// Threads: load() from any thread; config_load once at start-up; config_reload from the main
// thread (SIGHUP) or a connection thread (config_apply), each time under g_cfg_reload_mu.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "base/caller.h"
#include "base/locks.h"

enum cfg_allow_mode_t {
    CFG_ALLOW_NONE = 0,  // nothing is allowed
    CFG_ALLOW_LIST = 1,  // only what matches an entry
    CFG_ALLOW_ALL = 2,   // everything
};

constexpr int CFG_ALLOW_MAX_ENTRIES = 32;
constexpr int CFG_ALLOW_ENTRY_BYTES = 128;
// The loader reads the file through a buffer of this size: a line of more than
// CFG_LINE_BYTES - 1 bytes (its newline included) is read back in pieces.
constexpr int CFG_LINE_BYTES = 1024;

// One allow-list, a plain value. ALL and NONE always have n == 0; LIST with n == 0 allows nothing.
struct cfg_allow_t {
    cfg_allow_mode_t mode;
    char prefixes[CFG_ALLOW_MAX_ENTRIES][CFG_ALLOW_ENTRY_BYTES];
    int n;
};

// The callers one class of operations admits: the list as the file gives it (user names,
// "@group" names, numeric uids) and what its entries resolved to when the file was loaded. An
// entry that did not resolve is kept in `names` (the file is written back as it was) and
// matches nobody.
struct cfg_principals_t {
    cfg_allow_t names;
    int nuids;
    uid_t uids[CFG_ALLOW_MAX_ENTRIES];
    int ngids;
    gid_t gids[CFG_ALLOW_MAX_ENTRIES];
};

// The [access] section. Without it (present 0) every caller that can open the socket may
// run every operation; a key the section leaves out is ALL.
struct cfg_access_t {
    int present;
    cfg_principals_t observe;
    cfg_principals_t control;
};

struct vornd_config_t {
    char socket_path[256];
    int socket_mode;
    char socket_group[64];
    cfg_allow_t ops_enabled;
    char auth_token_file[256];
    char auth_token[256];
    int auth_token_len;
    int auth_locked;  // 1: a token file was named but gave no token, so no request matches
    cfg_allow_t paths_fio;
    cfg_allow_t paths_read_file;
    cfg_allow_t paths_write_file;
    cfg_allow_t procs_kill;
    cfg_allow_t exec_binaries;
    cfg_allow_t pty_shells;
    cfg_access_t access;
    char config_path[256];  // the file this record was loaded from; empty when none
};

extern const char* const CFG_SYSTEM_PATH;  // "/opt/vorn/etc/vornd.conf"

using cfg_snapshot_t = std::shared_ptr<const vornd_config_t>;

// The published record. A snapshot stays valid for as long as its holder keeps it.
class cfg_holder_t {
public:
    cfg_holder_t();
    cfg_snapshot_t load() const;
    void store(cfg_snapshot_t next);

private:
    mutable mutex_t mu_;  // held only for the pointer copy; leaf lock
    cfg_snapshot_t cur_ GUARDED_BY(mu_);
};

extern cfg_holder_t g_cfg;

// Held around every reload, from reading the file to publishing the record, and by
// config_apply from its copy of the live record to its own reload: reloads never overlap, so
// the record published last is always that of the file read last. Taken before g_cfg's own
// lock, never while holding it. It orders whole reloads and guards no field of its own, so it
// stays a plain mutex that its users lock as one.
extern std::mutex g_cfg_reload_mu;

// Start-up load: resets to the base record, loads the file (`path_or_null`, else ./vornd.conf,
// else the system path) and its token, and publishes the result. Without a file the defaults
// stand; a named token file that cannot be read or is empty sets auth_locked. Returns 0; in
// strict mode, -1 after an "ERR" line when no file can be read, with nothing published.
int config_load(const char* path_or_null);
// Reload (SIGHUP, config_apply): as config_load when the file and a named token file can be
// read; otherwise the live record stays as it is, a "WRN" line says why, and -1 is returned.
int config_reload(const char* path_or_null);
// `path` joined to the working directory when it is relative, so the file stays reachable once
// the daemon works from "/". Kept as given when it is empty or absolute, when the working
// directory is unknown, or when the joined path would not fit a record's config_path.
std::string config_absolute_path(const char* path);

// The dev-permissive defaults: everything open but file writing.
void config_set_defaults(vornd_config_t* c);
// Strict mode (--strict-config), set once before the first load: a file must be read at
// start-up, and every key a file leaves out is closed, so a lost or emptied file, or a
// misspelled key, never opens the daemon up.
void config_set_strict(bool on);
// What every load starts from: the defaults, or in strict mode the "locked" level's lists
// and a socket that only its owner may open (mode 0600).
void config_set_base(vornd_config_t* c);
// Fills `*a` from an allow-list value: ALL, NONE (any case), or entries split at commas and
// spaces, optionally inside one pair of quotes; at most 32 entries of 127 characters.
void config_parse_allow(cfg_allow_t* a, const char* value);
// The same grammar for a value that must be kept whole: -1 (and `*a` unchanged) when an entry
// has more than 127 characters, there are more than 32 entries or the value more than 1023.
int config_parse_allow_whole(cfg_allow_t* a, const char* value);
// 1 when `value` begins with an entry (byte prefix, no path-component boundary), else 0.
// A null list allows.
int cfg_allow_check(const cfg_allow_t* a, const char* value);
// 1 when `value` equals an entry byte for byte, else 0. A null list allows.
int cfg_allow_exact(const cfg_allow_t* a, const char* value);
// 1 when record `c` (the snapshot a request is served under) enables operation `name`.
int config_op_enabled(const vornd_config_t* c, const char* name);
// Whether caller `who` may run an operation of the control class (`control`) or of the observe
// class under record `c`: always without an [access] section, for root and without a caller;
// otherwise when the class's list names the caller (its uid, its group or one of its
// supplementary groups). A caller the control list names may also observe. Touches no user
// or group database: names were resolved at load.
bool config_access_allows(const vornd_config_t* c, const caller_t* who, bool control);
// 1 when requests must carry a token: one is loaded, or the record is locked.
int config_token_required(const vornd_config_t* c);
// Constant-time comparison of a request's token bytes with the record's token. 1 when equal;
// always 0 for a locked record.
int config_token_matches(const vornd_config_t* c, const char* tok, size_t len);
