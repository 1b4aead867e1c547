// ops_util — host tools that answer with one reply or a short stream: the process list and
// kill, file reading, the kernel log, SMART and DMI data and the log bundle; plus the small helpers the host
// information handlers share (capturing a tool's output, picking a program from fixed
// places, the argument rules of the hardware tools, the check on a tool's own JSON).
//
// Threads: stateless; handlers run on their connection's thread.
// Errors: predicates return 1 or 0; runners return the runner's 0 / -1.
#pragma once

#include <dirent.h>

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string_view>

#include "exec.h"
#include "util.h"

// Line callback collecting output into the sb_t `ctx`, each line followed by a line feed.
int dmesg_cap_cb(void* ctx, int which, const char* line);

// Runs `argv` once without a job, stderr merged, collecting every line into `out`.
// Returns exec_stream's result (-1: nothing could be started).
int ops_run_capture(char** argv, sb_t* out, exec_result_t* res);

// The first of `paths` that is executable, or null.
const char* ops_first_exec(std::initializer_list<const char*> paths);

constexpr size_t SMART_DEVICE_MAX = 63;
constexpr size_t SMART_TYPE_MAX = 23;
constexpr size_t DMI_TYPE_MAX = 15;
constexpr size_t SMART_WORD_MAX = 15;  // "tool" and "log"

// Checks a SMART device name. 0 when it is acceptable; otherwise sets `code` and `msg` to the
// refusal ("EREQ" for an empty name, "EBADDEV" for the rest).
int smart_device_check(const char* dev, const char** code, const char** msg);
// 1 for a non-empty `-d` type of letters, digits and commas.
int smart_type_ok(const char* type);
// 1 for a non-empty DMI type of letters and digits.
int dmi_type_ok(const char* type);

// 1 when `text` is exactly one complete, valid JSON value, optionally surrounded by white
// space. Strict: no raw control bytes in strings, real numbers and literals, commas and colons
// where they belong, nesting at most JSON_CHECK_MAX_DEPTH deep.
constexpr int JSON_CHECK_MAX_DEPTH = 512;
int json_is_one_value(std::string_view text);

// Appends the reply result for a smartctl run: the output itself when it starts with '{' and
// is one complete JSON value, else {"text":"<escaped output>"}.
int smart_result_json(std::string_view output, sb_t* out);

// ---- small kernel files (/proc, /sys) ----
// Shared by the process list and kill here and by the process control and tuning handlers of
// ops_thrum. Each file is read once, with one bounded read: a file that changes between two
// calls is never stitched together, and a process that ends meanwhile only fails its read.

struct scoped_dir_closer {
    void operator()(DIR* d) const { closedir(d); }
};
using scoped_dir = std::unique_ptr<DIR, scoped_dir_closer>;

// Reads at most `cap - 1` bytes of `path` (relative to `dirfd`, or AT_FDCWD) into `buf` with
// one read and NUL-terminates them. The byte count, or -1 (buf emptied) when the file cannot
// be opened or read.
ssize_t proc_read_small(int dirfd, const char* path, char* buf, size_t cap);
// The number right after the first occurrence of `label` in `text`, parsed base 10 the way
// strtoll does (leading blanks skipped, 0 when no digits follow); `missing` without the label.
long long proc_find_num(const char* text, const char* label, long long missing);
// Turns every NUL of the first `n` bytes of a command line into a space; with `trim`, drops
// the trailing spaces. Returns the resulting length.
size_t proc_cmdline_spaces(char* buf, size_t n, bool trim);
// Opens the existing file `path` write-only (no creation, no truncation) and writes `val` with
// one write. 0 when the write returned a non-negative count (a short write included), -1 when
// the open or the write failed, with errno kept from that call.
int write_str_file(const char* path, const char* val);
