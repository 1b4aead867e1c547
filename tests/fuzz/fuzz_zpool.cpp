// `zpool iostat -v` output, line by line, through the sample parser and the chunks it sends;
// the first byte chooses whether one pool was asked for.
#include "fuzz_util.h"
#include "ops/zpool.h"
#include "wire/reply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    op_emit_t e = {fuzz_sink_fd(), "r", nullptr, nullptr};
    zp_ctx_t zc;
    zc.e = &e;
    if (data[0] & 1) snprintf(zc.pool, sizeof zc.pool, "tank");
    fuzz_each_line(data + 1, size - 1, [&](const char* line) { zp_cb(&zc, 1, line); });
    flush_batch(&zc);
    return 0;
}
