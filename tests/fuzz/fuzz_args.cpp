// The argument accessors over a tokenized args object, and the allow-list grammar and checks.
// Input: an args object, then after the first NUL an allow-list value, then after the next a
// value to check against it. The accessors for values used whole agree with the plain ones
// whenever they accept, and a whole list equals the plain parse of the same value.
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/config.h"
#include "daemon/dispatch.h"
#include "fuzz_util.h"
#include "wire/args.h"
#include "wire/jsmn.h"

namespace {

void check_args(const std::string& js) {
    static jsmntok_t toks[CONN_MAX_TOKENS];
    jsmn_parser p;
    jsmn_init(&p);
    int n = jsmn_parse(&p, js.c_str(), js.size(), toks, CONN_MAX_TOKENS);
    if (n <= 0) return;
    for (const char* key : {"path", "cmd", "argv", "n"}) {
        char plain[32] = "", whole[32] = "";
        int rp = arg_get_str(js.c_str(), toks, n, key, plain, sizeof plain);
        int rw = arg_get_str_fit(js.c_str(), toks, n, key, whole, sizeof whole);
        if (rw == 0 && (rp != 0 || strcmp(plain, whole) != 0)) abort();
        char a[8][256], b[8][256];
        int cp = arg_array_strs(js.c_str(), toks, n, key, a, 8);
        int cw = arg_array_strs_fit(js.c_str(), toks, n, key, b, 8);
        if (cw >= 0 && cw != cp) abort();
        for (int i = 0; i < cw; i++)
            if (strcmp(a[i], b[i]) != 0) abort();
        arg_get_int(js.c_str(), toks, n, key, 0);
        arg_get_bool(js.c_str(), toks, n, key, 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string in(reinterpret_cast<const char*>(data), size);
    size_t z1 = in.find('\0'), z2 = z1 == std::string::npos ? z1 : in.find('\0', z1 + 1);
    check_args(in.substr(0, z1));
    if (z1 == std::string::npos) return 0;
    std::string value = in.substr(z1 + 1, z2 == std::string::npos ? std::string::npos : z2 - z1 - 1);
    std::string probe = z2 == std::string::npos ? "" : in.substr(z2 + 1);
    cfg_allow_t plain, whole;
    config_parse_allow(&plain, value.c_str());
    config_parse_allow(&whole, "/unchanged");
    if (config_parse_allow_whole(&whole, value.c_str()) == 0) {
        if (whole.mode != plain.mode || whole.n != plain.n) abort();
        for (int i = 0; i < whole.n; i++)
            if (strcmp(whole.prefixes[i], plain.prefixes[i]) != 0) abort();
    } else if (whole.n != 1 || strcmp(whole.prefixes[0], "/unchanged") != 0) {
        abort();
    }
    cfg_allow_check(&plain, probe.c_str());
    cfg_allow_exact(&plain, probe.c_str());
    return 0;
}
