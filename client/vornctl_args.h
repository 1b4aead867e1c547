// vornctl_args — what vornctl knows of every operation's arguments: one row per operation
// (name, kind, range or accepted words, default, one line of help) and the views that stand
// for operations. The rows drive `vornctl help`, the completion of key= words, the checks of
// values before a request is sent, and the manual page's operation list. The daemon takes
// almost any value and quietly puts a default in place of one it cannot read; these checks
// refuse such a value instead, naming the argument and the form it takes.
// Pure functions over constant tables; no I/O but the printing functions.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

enum class ctl_kind {
    text,    // a string (numbers are taken too: the daemon reads their text)
    number,  // an integer in [lo, hi]
    flag,    // true or false
    size,    // digits with an optional K, M or G, above zero
    words,   // a JSON array of strings
    choice,  // one of `choices` ("a|b|c")
    list,    // ALL, NONE, a comma-separated list or a JSON array of strings
};

struct ctl_arg_t {
    const char* name;
    ctl_kind kind;
    const char* def;   // the daemon's default, as text; "" when the argument is required or has none
    const char* help;  // one line
    long long lo = 0, hi = 0;
    const char* choices = nullptr;
};

struct ctl_op_t {
    const char* name;
    const char* help;
    std::vector<ctl_arg_t> args;
};

// A view: a command for people that runs one or more operations.
struct ctl_view_t {
    const char* name;
    const char* op;  // the operation it stands for; completion does not offer that one too
    const char* usage;
    const char* help;
};

const std::vector<ctl_op_t>& ctl_ops();
const std::vector<ctl_view_t>& ctl_views();
const ctl_op_t* ctl_op_find(std::string_view name);
const ctl_view_t* ctl_view_find(std::string_view name);

// Checks an args object against the operation's row: every key known, every value of its kind
// and range. False with `why` ("size=lots: expected ...") otherwise. A text that is not an
// object is left to the daemon.
bool ctl_check_args(const ctl_op_t& op, std::string_view args_json, std::string* why);

// The nearest of `names` to `word` (at most two edits, or a name that starts with the word),
// or "" when none is near.
std::string ctl_nearest(std::string_view word, const std::vector<std::string>& names);
// The words of the command line that name something: views, built-in commands, operations.
std::vector<std::string> ctl_all_names();

// `vornctl help` (all) and `vornctl help WORD` / `WORD --help`. False when WORD is unknown.
bool ctl_print_help(FILE* out, std::string_view word);
// The operation list of the manual page, in roff.
void ctl_print_roff_ops(FILE* out);
