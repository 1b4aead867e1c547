// files — files under the allow-lists and the mount table: read_file, read_dir, write_file and
// mounts; the path rule the file operations share, and the parser of /proc/mounts (kept apart
// so it can be tested on recorded text).
//
// Threads: stateless; every function works on its arguments only.
// Errors: parsers return 0 for a line that yields an entry and -1 for one that does not;
// builders return 0, or -1 when memory runs out.
#pragma once

#include <cstddef>
#include <string_view>

#include "base/sb.h"
#include "config/config.h"
#include "wire/request.h"

// 1 when `path` passes list `a` by the byte-prefix rule; for a LIST a path holding a ".."
// component is refused as well, so a listed prefix cannot be climbed out of. ALL and NONE
// are decided by the list alone.
int ops_path_allowed(const cfg_allow_t* a, const char* path);
// The second test for a LIST, on what a path turned out to be: 1 when the real path of the
// open descriptor `fd` (with "/" and `name` appended when `name` is given: a file about to be
// opened in that directory) passes `a`, so a symbolic link cannot lead out of the list. A
// directory also passes under its path with a trailing "/". ALL and NONE give 1 (the path as
// written decided); a descriptor the kernel names no path for gives 0.
int ops_real_path_allowed(const cfg_allow_t* a, int fd, const char* name);
// 1 when one of the '/'-separated components of `path` is exactly "..".
int path_has_dotdot(std::string_view path);

// One line of /proc/mounts, fields as the kernel wrote them (octal escapes kept).
struct mount_entry_t {
    std::string_view src, mountpoint, fstype, opts;  // opts empty when the line has none
};
// Splits at runs of spaces (only the space separates). -1 for a line of fewer than three fields.
int mounts_parse_line(std::string_view line, mount_entry_t* out);
// 1 for a mount inside a ZFS snapshot directory (its mount point holds "/.zfs/").
int mounts_is_snapshot(std::string_view mountpoint);
// Appends {"mounts":[...]} for the mount table text; snapshot mounts are left out, and entries
// are added only while the text built so far is below MOUNTS_REPLY_SOFT_MAX bytes.
constexpr size_t MOUNTS_REPLY_SOFT_MAX = 921600;
int mounts_build_json(std::string_view table, sb_t* out);

op_result op_read_file(const op_req_t& req);
op_result op_read_dir(const op_req_t& req);
op_result op_write_file(const op_req_t& req);
op_result op_mounts(const op_req_t& req);
