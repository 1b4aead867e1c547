#include "vornctl_views.h"

#include <cstdio>
#include <cstring>

#include "base/sb.h"
#include "vornctl_args.h"
#include "vornctl_term.h"
#include "wire/errors.h"

bool ctl_view_wanted(const ctl_ctx& ctx) { return !ctx.json && (ctx.table || term_is_tty()); }

int view_usage(const ctl_ctx& ctx) {
    const ctl_view_t* v = ctl_view_find(ctx.word);
    fprintf(stderr, "usage: vornctl %s   (vornctl help %s)\n", v ? v->usage : ctx.word.c_str(), ctx.word.c_str());
    return CTL_USAGE;
}

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

bool view_first_arg(const ctl_ctx& ctx, const char* op, const char* key, int argc, char** argv, std::string* out) {
    if (argc < 1 || argv[0][0] == '\0' || strchr(argv[0], '=')) {
        view_usage(ctx);
        return false;
    }
    return view_args(key, argv[0], argc - 1, argv + 1, out) && ctl_args_ok(ctx, op, *out);
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

bool view_report_error(const ctl_ctx& ctx, const vc_json& frame) {
    if (frame.get("ok").raw() != "false") return false;
    ctl_report_error(ctx, frame.raw());
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
        ctl_say(ctx, "unreadable reply", ERR_EPROTO);
        return CTL_FAIL;
    }
    view_report_error(ctx, doc->root());
    return st;
}

void view_note(std::string_view text) {
    std::string line = "\r\033[K" + term_clean(text) + "\n";
    fwrite(line.data(), 1, line.size(), stdout);
    fflush(stdout);
}
