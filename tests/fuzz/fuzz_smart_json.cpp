// The check that a tool's output is one complete JSON value, and the SMART reply built on it:
// whatever it is given, the reply is one valid JSON value.
#include <cstdlib>
#include <string_view>

#include "base/sb.h"
#include "fuzz_util.h"
#include "ops/hardware.h"
#include "wire/json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    json_is_one_value(text);
    sb_t out;
    smart_result_json(text, &out);
    if (!json_is_one_value(std::string_view(out.buf ? out.buf : "", out.len))) abort();
    return 0;
}
