// vornctl — the command-line client. Subcommands live in a table (vornctl.cpp); conveniences
// for one operation family sit in files of their own (vornctl_<family>.cpp) and register
// their rows in that table.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include <signal.h>

#include "base/fdio.h"

// Exit statuses (vornctl(1) EXIT STATUS): 0 ok (or done with exit code 0); 1 failed (an error
// the other statuses do not name, a non-zero exit code, the connection lost); 2 a usage error
// or an argument refused, by vornctl or by vornd (EBADREQ, EREQ, EPROTO); 3 refused (EAUTH,
// EDISABLED, EFORBIDDEN, EBADDEV, EPERM); 4 not found (ENOENT, ENOOP, ESRCH, EBADPATH);
// 5 vornd cannot be reached; 130 interrupted with Ctrl-C. A closed standard output ends
// vornctl as SIGPIPE ends other programs (CTL_PIPE is how a command reports it to main).
enum {
    CTL_OK = 0,
    CTL_FAIL = 1,
    CTL_USAGE = 2,
    CTL_REFUSED = 3,
    CTL_NOT_FOUND = 4,
    CTL_UNREACHABLE = 5,
    CTL_INTERRUPTED = 130,
    CTL_PIPE = 141,
};

struct ctl_ctx {
    std::string socket_path;
    std::string token;
    bool text = false;               // --text: exec line records as plain output
    bool json = false;               // --json: views print JSON lines even on a terminal
    bool table = false;              // --table: views draw for people even into a pipe
    std::string word;                // the command word, for messages
    std::string again;               // "vornctl" and the options in use, for hints that name a command
    std::vector<std::string> hosts;  // -H, --hosts-file: the request goes to each through ssh
    int parallel = 16;               // --parallel: hosts asked at a time
};

// The exit status an error code stands for.
int ctl_status_of_code(std::string_view code);
// A failure reply or error event as "vornctl: WORD: message[: extra] (CODE)" on standard
// error, with a near name for an unknown operation. Returns the exit status it stands for.
int ctl_report_error(const ctl_ctx& ctx, std::string_view frame, std::string_view extra = {});
// "vornctl: WORD: message (CODE)" for a failure vornctl finds itself.
void ctl_say(const ctl_ctx& ctx, std::string_view message, std::string_view code);
// A connection to the daemon's socket, or an empty descriptor after saying on standard error
// that the daemon cannot be reached (exit with CTL_UNREACHABLE then).
unique_fd ctl_connect_or_say(const ctl_ctx& ctx);

// Receives every frame of a request in order; returns true to keep reading. A handler that
// wants the frames printed as JSON lines leaves this null.
using ctl_frame_fn = bool (*)(void* user, std::string_view frame);

// Sends OP with ARGS (a JSON value) and reads its reply or event stream to the end, printing
// each frame as a JSON line unless `on_frame` is given (a failure is then also reported on
// standard error). Ctrl-C during a stream cancels its job on a second connection, and so does
// a standard output that was closed (a pipe's reader gone). Returns an exit status as above.
int ctl_run_op(const ctl_ctx& ctx, std::string_view op, std::string_view args_json, ctl_frame_fn on_frame = nullptr,
               void* user = nullptr);

// Prints a frame as one JSON line (vc_frame_line) followed by a line feed, and flushes.
void ctl_print_frame(FILE* out, std::string_view frame);

// Catches Ctrl-C for a request and blocks it outside the waits; returns the mask to wait
// with (ppoll), under which a Ctrl-C ends the wait.
sigset_t ctl_catch_sigint();
// Whether Ctrl-C was pressed during a request (its job was then cancelled, when it had one).
bool ctl_interrupted();
// 1 the frame ends its request successfully, -1 it ends it with a failure, 0 more follow.
int ctl_frame_outcome(std::string_view frame);
// The exit status of a frame that ends its request.
int ctl_frame_status(std::string_view frame);

// Sends _cancel for `job_id` on a new connection; prints the reply. Exit status as above.
int ctl_cancel(const ctl_ctx& ctx, std::string_view job_id, bool quiet = false);

// Builds an args object from key=value words: a value that is one whole JSON value is sent
// as it is, anything else as a string. Returns false (and says why on stderr) on a bad word.
bool ctl_args_from_words(int argc, char** argv, std::string* out);
// The generic form's arguments: `--args JSON` or key=value words. False after a message.
bool ctl_args_from_cli(int argc, char** argv, std::string* out);
// Checks `args_json` against OP's row of the argument table; false after a message.
bool ctl_args_ok(const ctl_ctx& ctx, std::string_view op, std::string_view args_json);

// vornctl_files.cpp: `cat PATH` (read_file, data printed raw), `ls PATH` (read_dir, one entry
// per line), `tail PATH` (log_tail lines as plain text until Ctrl-C). argv starts at PATH.
int ctl_cmd_cat(const ctl_ctx& ctx, int argc, char** argv);
int ctl_cmd_ls(const ctl_ctx& ctx, int argc, char** argv);
int ctl_cmd_tail(const ctl_ctx& ctx, int argc, char** argv);
// vornctl_exec.cpp: `exec`, with --text printing the program's lines as plain output and
// exiting with its exit code.
int ctl_cmd_exec(const ctl_ctx& ctx, int argc, char** argv);
// vornctl_config.cpp: `config` (config_get, printed as aligned lines) and
// `config-apply key=value ...` (config_apply, printing the configuration now live).
int ctl_cmd_config(const ctl_ctx& ctx, int argc, char** argv);
int ctl_cmd_config_apply(const ctl_ctx& ctx, int argc, char** argv);
// vornctl_pty.cpp: `shell [SHELL [ARG...]]`, `attach JOB_ID [--since N]`, `sessions`.
int ctl_cmd_shell(const ctl_ctx& ctx, int argc, char** argv);
int ctl_cmd_attach(const ctl_ctx& ctx, int argc, char** argv);
int ctl_cmd_sessions(const ctl_ctx& ctx, int argc, char** argv);

// Views for people (vornctl_view_*.cpp). With a terminal on standard output and no --json,
// each draws tables, bars or aligned text; otherwise it prints the JSON lines of the
// operations it runs exactly as the generic form does. argv starts after the view's name.
bool ctl_view_wanted(const ctl_ctx& ctx);
// vornctl_view_live.cpp: `iostat`, `zpool-iostat [POOL]`, and the elapsed-time line of a
// generic request that has been silent for a while (run_generic on a terminal).
int ctl_cmd_iostat(const ctl_ctx& ctx, int argc, char** argv);
int ctl_cmd_zpool_iostat(const ctl_ctx& ctx, int argc, char** argv);
int ctl_run_op_watched(const ctl_ctx& ctx, std::string_view op, std::string_view args_json);
// vornctl_view_bench.cpp: `fio TARGET_DIR [key=value ...]`, `iperf3 HOST [key=value ...]`.
int ctl_cmd_fio(const ctl_ctx& ctx, int argc, char** argv);
int ctl_cmd_iperf3(const ctl_ctx& ctx, int argc, char** argv);
// vornctl_view_host.cpp: `info`, `sysinfo`, `meminfo`, `net`, `smart DEVICE`,
// `ps [--sort rss|pid|name] [NAME]`, `proc PID`.
int ctl_cmd_info(const ctl_ctx& ctx, int argc, char** argv);
int ctl_cmd_sysinfo(const ctl_ctx& ctx, int argc, char** argv);
int ctl_cmd_meminfo(const ctl_ctx& ctx, int argc, char** argv);
int ctl_cmd_net(const ctl_ctx& ctx, int argc, char** argv);
int ctl_cmd_smart(const ctl_ctx& ctx, int argc, char** argv);
int ctl_cmd_ps(const ctl_ctx& ctx, int argc, char** argv);
int ctl_cmd_proc(const ctl_ctx& ctx, int argc, char** argv);
// vornctl_bridge.cpp: `bridge`, frames between standard input/output and the socket.
int ctl_cmd_bridge(const ctl_ctx& ctx, int argc, char** argv);
// vornctl_fleet.cpp: the request on every host of -H/--hosts-file through ssh and a bridge.
// ctl_host_ok tells whether a word may stand as a host name (no option, no blank or control
// character); ctl_fleet_main runs the command word and its argv for all hosts.
bool ctl_host_ok(std::string_view host);
int ctl_fleet_main(const ctl_ctx& ctx, int argc, char** argv);
// vornctl_complete.cpp: `--bash-completion` prints the bash completion script: views and
// operations (an operation a view stands for only as the view), key= names per operation,
// block devices for smart, live session ids for attach, files for cat/ls/tail.
void ctl_print_bash_completion();
