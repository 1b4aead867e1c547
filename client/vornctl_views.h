// Helpers shared by the view files (vornctl_view_*.cpp): arguments, one-reply requests and
// error messages for people. Errors: the CTL_* statuses of vornctl.h.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "client.h"
#include "vornctl.h"
#include "vornctl_term.h"

// {KEY: VALUE} (VALUE as a JSON string, or as it is when `raw_value`) followed by the
// members of the key=value words. False (after a message) on a bad word.
bool view_args(std::string_view key, std::string_view value, int argc, char** argv, std::string* out,
               bool raw_value = false);
// The arguments of a view whose first word is required: {KEY: word} plus key=value words,
// checked against OP's row of the argument table. False after a message.
bool view_first_arg(const ctl_ctx& ctx, const char* op, const char* key, int argc, char** argv, std::string* out);
// "usage: vornctl ..." of the view from the argument table; CTL_USAGE.
int view_usage(const ctl_ctx& ctx);
// Runs a stream whose frames go to `on_frame` while `live` (its ticker started) draws; then
// stops the ticker and leaves the block on screen, or clears it first when `clear`.
int view_stream(const ctl_ctx& ctx, std::string_view op, std::string_view args, term_live* live, ctl_frame_fn on_frame,
                void* user, bool clear);
// A failure reply or error event as "vornctl: WORD: message (CODE)" on standard error; true
// when `frame` is one.
bool view_report_error(const ctl_ctx& ctx, const vc_json& frame);
// Runs OP for its one reply: the reply in `doc` (over `frame`), the reply's status; a failure
// is reported on standard error.
int view_call(const ctl_ctx& ctx, std::string_view op, std::string_view args, std::string* frame, vc_json_doc* doc);
// A line written over whatever the terminal echoed on the current line (a ^C).
void view_note(std::string_view text);

// Pieces of the views that the views of many hosts (vornctl_fleet.cpp) put together with a
// HOST column. None reads this host's /proc: the daemon may run elsewhere.
using view_kv_t = std::vector<std::pair<std::string, std::string>>;
view_kv_t view_info_kv(const vc_json& result);
view_kv_t view_sysinfo_kv(const vc_json& result);
view_kv_t view_remote_meminfo_kv(const vc_json& result);  // used and buff/cache as "-"
view_kv_t view_smart_kv(const vc_json& result);
std::vector<std::vector<std::string>> view_port_rows(const vc_json& result, bool listen);
// A live block of one sample (absent before the first): title line, then the table.
std::vector<std::string> view_render_iostat(const vc_json& data, int samples, term_size_t size);
std::vector<std::string> view_render_zpool(const vc_json& data, int samples, term_size_t size);
