// vornctl exec: by default the stream's frames as JSON lines; with --text the program's lines
// go to vornctl's own stdout/stderr and vornctl exits with the program's exit code, so a
// remote command feels like a local one.

#include <cstdio>
#include <cstring>
#include <string>

#include "client.h"
#include "vornctl.h"

namespace {

struct exec_text_t {
    const ctl_ctx* ctx;
    int exit_code = CTL_FAIL;  // until a "done" says otherwise
};

// Prints a "line" chunk to the stream it came from; anything else as a JSON line on stderr.
void print_chunk(std::string_view frame) {
    std::string data, type, text;
    long long stream = 1;
    if (vc_json_raw(frame, "data", &data) && vc_json_str(data, "type", &type) && type == "line" &&
        vc_json_str(data, "text", &text)) {
        vc_json_int(data, "stream", &stream);
        FILE* out = stream == 2 ? stderr : stdout;
        std::string line = vc_json_unescape(text);
        fwrite(line.data(), 1, line.size(), out);
        fputc('\n', out);
        fflush(out);
        return;
    }
    ctl_print_frame(stderr, frame);
}

bool on_text_frame(void* user, std::string_view frame) {
    auto* st = static_cast<exec_text_t*>(user);
    std::string ev;
    if (!vc_json_str(frame, "event", &ev)) {  // a plain reply: only an error ends up here
        st->exit_code = ctl_report_error(*st->ctx, frame);
        return false;
    }
    if (ev == "chunk") {
        print_chunk(frame);
    } else if (ev == "done") {
        long long code = 1;
        vc_json_int(frame, "exit_code", &code);
        if (code < 0) fprintf(stderr, "vornctl: program killed by a signal\n");
        st->exit_code = code >= 0 && code <= 255 ? static_cast<int>(code) : CTL_FAIL;
    } else if (ev == "error") {
        st->exit_code = ctl_report_error(*st->ctx, frame);
    }
    return true;
}

}  // namespace

int ctl_cmd_exec(const ctl_ctx& ctx, int argc, char** argv) {
    std::string args;
    if (argc >= 1 && strcmp(argv[0], "--args") == 0) {
        if (argc != 2) {
            fprintf(stderr, "usage: vornctl [--text] exec cmd=PROG [argv='[..]'] [merge_stderr=false]\n");
            return CTL_USAGE;
        }
        args = argv[1];
    } else if (!ctl_args_from_words(argc, argv, &args)) {
        return CTL_USAGE;
    }
    if (!ctl_args_ok(ctx, "exec", args)) return CTL_USAGE;
    if (!ctx.text) return ctl_run_op(ctx, "exec", args);
    exec_text_t st{&ctx};
    int rc = ctl_run_op(ctx, "exec", args, on_text_frame, &st);
    return rc == CTL_UNREACHABLE || rc == CTL_INTERRUPTED || rc == CTL_PIPE ? rc : st.exit_code;
}
