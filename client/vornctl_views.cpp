#include "vornctl_views.h"

#include <cstdio>

#include "base/sb.h"
#include "vornctl_term.h"

bool ctl_view_wanted(const ctl_ctx& ctx) { return !ctx.json && term_is_tty(); }

bool view_args(std::string_view key, std::string_view value, int argc, char** argv, std::string* out, bool raw_value) {
    std::string extra;
    if (argc > 0 && !ctl_args_from_words(argc, argv, &extra)) return false;
    sb_t b;
    sb_appendz(&b, "{\"");
    sb_json_escape(&b, key.data(), key.size());
    sb_appendz(&b, raw_value ? "\":" : "\":\"");
    if (raw_value) sb_append(&b, value.data(), value.size());
    else sb_json_escape(&b, value.data(), value.size());
    sb_appendz(&b, raw_value ? "" : "\"");
    *out = std::string(b.buf, b.len);
    *out += extra.size() > 2 ? "," + extra.substr(1) : "}";
    return true;
}

bool view_first_arg(const char* key, const char* usage, int argc, char** argv, std::string* out) {
    if (argc < 1 || argv[0][0] == '\0') {
        fprintf(stderr, "usage: vornctl %s\n", usage);
        return false;
    }
    return view_args(key, argv[0], argc - 1, argv + 1, out);
}

int view_stream(const ctl_ctx& ctx, std::string_view op, std::string_view args, term_live* live, ctl_frame_fn on_frame,
                void* user, bool clear) {
    int st = ctl_run_op(ctx, op, args, on_frame, user);
    live->stop_ticker();
    auto g = live->lock();
    if (clear) live->clear();
    live->finish();
    return st;
}

bool view_report_error(std::string_view op, const vc_json& frame) {
    if (frame.get("ok").raw() != "false") return false;
    std::string msg = term_clean(frame.get("error").str("failed"));
    std::string code = term_clean(frame.get("code").str("ERR"));
    fprintf(stderr, "vornctl: %.*s: %s (%s)\n", static_cast<int>(op.size()), op.data(), msg.c_str(), code.c_str());
    return true;
}

namespace {

struct reply_t {
    std::string* frame;
};

bool keep_reply(void* user, std::string_view frame) {
    *static_cast<reply_t*>(user)->frame = std::string(frame);
    return true;
}

}  // namespace

int view_call(const ctl_ctx& ctx, std::string_view op, std::string_view args, std::string* frame, vc_json_doc* doc) {
    reply_t r = {frame};
    frame->clear();
    int st = ctl_run_op(ctx, op, args, keep_reply, &r);
    if (frame->empty()) return st;  // nothing came: ctl_run_op has said why
    if (!doc->parse(*frame)) {
        fprintf(stderr, "vornctl: %.*s: unreadable reply\n", static_cast<int>(op.size()), op.data());
        return CTL_FAIL;
    }
    view_report_error(op, doc->root());
    return st;
}

void view_note(std::string_view text) {
    std::string line = "\r\033[K" + term_clean(text) + "\n";
    fwrite(line.data(), 1, line.size(), stdout);
    fflush(stdout);
}
