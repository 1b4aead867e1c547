// iostat's output, line by line, through the report parser and the chunks it sends.
#include <cstring>
#include <string>

#include "fuzz_util.h"
#include "ops_iostat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    op_emit_t e = {fuzz_sink_fd(), "r", nullptr, 0};
    iostat_ctx_t ic;
    ic.e = &e;
    // The runner hands over lines without their line feed and never with a NUL inside.
    std::string text(reinterpret_cast<const char*>(data), size);
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find_first_of(std::string("\n\0", 2), pos);
        if (end == std::string::npos) end = text.size();
        iostat_cb(&ic, 1, text.substr(pos, end - pos).c_str());
        pos = end + 1;
    }
    flush_batch(&ic);
    return 0;
}
