// iostat's output, line by line, through the report parser and the chunks it sends.
#include "fuzz_util.h"
#include "ops/iostat.h"
#include "wire/reply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    op_emit_t e = {fuzz_sink_fd(), "r", nullptr, nullptr};
    iostat_ctx_t ic;
    ic.e = &e;
    fuzz_each_line(data, size, [&](const char* line) { iostat_cb(&ic, 1, line); });
    flush_batch(&ic);
    return 0;
}
