// Frames as they arrive on a connection: the frame reader, the tokenizer and the envelope
// checks of dispatch, up to the handler call, with a table of stub handlers that read their
// arguments through every accessor. The first byte picks a configuration with or without a
// token (and an enabled list); the rest is the byte stream of the connection.
#include <cstring>
#include <memory>

#include "base/sb.h"
#include "config/config.h"
#include "daemon/dispatch.h"
#include "daemon/optable.h"
#include "fuzz_util.h"
#include "ops/host.h"
#include "wire/args.h"
#include "wire/frame.h"
#include "wire/jsmn.h"
#include "wire/reply.h"
#include "wire/request.h"

namespace {

op_result stub_args(const op_req_t& r) {
    char s[64], whole[16], arr[8][256];
    arg_get_str(r.js, r.args, r.an, "s", s, sizeof s);
    arg_get_str_fit(r.js, r.args, r.an, "s", whole, sizeof whole);
    arg_array_strs(r.js, r.args, r.an, "a", arr, 8);
    arg_array_strs_fit(r.js, r.args, r.an, "a", arr, 4);
    long long v = arg_get_int(r.js, r.args, r.an, "n", 0) + arg_get_bool(r.js, r.args, r.an, "b", 0);
    if (v == 42) return op_result::ok();
    return op_err{nullptr, s};
}

op_result stub_stream(const op_req_t& r) {
    char line[128] = "";
    arg_get_str(r.js, r.args, r.an, "line", line, sizeof line);
    return r.stream([&](op_stream_t& s) {
        emit_log(&s.emit, 2, line);
        return op_result::done(0);
    });
}

const op_def_t STUB_OPS[] = {
    {.name = "ping", .streaming = 0, .needs_root = 0, .cls = OP_OBSERVE, .job = op_job_t::none, .fn = op_ping},
    {.name = "args", .streaming = 0, .needs_root = 0, .cls = OP_CONTROL, .job = op_job_t::none, .fn = stub_args},
    {.name = "stream",
     .streaming = 1,
     .needs_root = 0,
     .cls = OP_CONTROL,
     .job = op_job_t::optional,
     .fn = stub_stream},
    {.name = nullptr, .streaming = 0, .needs_root = 0, .cls = OP_CLASS_UNSET, .job = op_job_t::none, .fn = nullptr},
};

cfg_snapshot_t with_token() {
    auto c = std::make_shared<vornd_config_t>();
    config_set_defaults(c.get());
    strcpy(c->auth_token, "tok");
    c->auth_token_len = 3;
    config_parse_allow(&c->ops_enabled, "ping args");
    return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz_memfile conn;
    static const cfg_snapshot_t open_cfg = g_cfg.load(), token_cfg = with_token();
    static jsmntok_t toks[CONN_MAX_TOKENS];
    int out = fuzz_sink_fd();
    if (size < 1) return 0;
    g_cfg.store(data[0] & 1 ? token_cfg : open_cfg);
    conn.set(data + 1, size - 1);
    sb_t frame;
    while (proto_read_frame(conn.fd(), &frame) == 0) conn_dispatch(STUB_OPS, out, frame.buf, frame.len, toks);
    return 0;
}
