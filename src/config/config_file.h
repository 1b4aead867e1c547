// config_file — the configuration's text form (the file the daemon reads and config_apply
// writes) and its JSON form (config_get and config_apply's answer).
//
// One table of the list sections serves the reader and the writer, so a list is written under
// the section the reader fills it from. The text the writer produces is one the reader reads
// back whole: a text that would be read back otherwise (a line longer than the reader's
// buffer, a line feed inside a value, a list that does not fit its value) is refused.
// Threads: pure functions over records the caller owns.
// Errors: as each function says.
#pragma once

#include <cstddef>

#include "base/sb.h"
#include "config/config.h"

constexpr int CFG_LIST_COUNT = 7;
// The largest file the writer produces, NUL included.
constexpr size_t CFG_TEXT_BYTES = 4096;

// The list sections of the file, in file order: "[section]" and "key = value".
struct cfg_file_list_t {
    const char* section;
    const char* key;
    cfg_allow_t vornd_config_t::*field;
};
extern const cfg_file_list_t CFG_FILE_LISTS[CFG_LIST_COUNT];

// The lists by the names config_apply takes them under, in the order it reads them; also the
// order and the member names of the lists in the JSON form.
struct cfg_list_arg_t {
    const char* name;
    cfg_allow_t vornd_config_t::*field;
};
extern const cfg_list_arg_t CFG_LIST_ARGS[CFG_LIST_COUNT];

// Reads the file at `path` into `*c`, over what it holds, and records the file's absolute path
// in config_path. 0 after reading the whole file; -1 when it cannot be opened or read (the
// record may then be partly filled, and the caller drops it). A line that sets nothing though
// it was meant to (an unknown section or key, a key before any section, no "=", no "]") gives
// one "WRN" line naming the file and line; the rest of the file still loads.
int config_file_read(vornd_config_t* c, const char* path);

// Resolves the entries of `p->names` into uids and gids (user and group databases; numbers as
// they are, "@number" when no group has that name); an entry that names nobody gives one "WRN"
// line naming `path` and the entry. config_file_read calls it for the [access] lists.
void config_access_resolve(cfg_principals_t* p, const char* path);

// The configuration file text for `*c` in `buf` (the [access] section, when the file had one,
// after the lists): its length, or -1 (buf emptied) when it does
// not fit `cap` with its NUL or the reader would not read it back whole: a line above
// CFG_LINE_BYTES - 1 bytes with its newline, a line feed inside a value, a list value that
// does not fit 1199 characters.
int config_serialize(const vornd_config_t* c, char* buf, size_t cap);
// One list's file value: ALL, NONE, or the entries joined by ",". Its length, or -1 (out
// emptied) when it does not fit `cap` with its NUL.
int allow_value(const cfg_allow_t* a, char* out, size_t cap);
// Appends the JSON object of `*c`: level, config_path, socket, the seven lists, then "access"
// ({"observe":..,"control":..} in the lists' shape) when the file had that section.
void build_config_json(sb_t* r, const vornd_config_t* c);
// Appends "key":{"mode":"ALL|LIST|NONE","list":[entries]}.
void allow_json(sb_t* r, const char* key, const cfg_allow_t* a);
