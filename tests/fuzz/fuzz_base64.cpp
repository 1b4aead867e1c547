// The tolerant base64 decoder on any text, and encoding followed by decoding, which must give
// back the bytes it started from.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/b64.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<unsigned char> out(size + 1);
    auto text = reinterpret_cast<const char*>(data);
    ssize_t n = b64_decode(text, size, out.data(), out.size());
    if (n > static_cast<ssize_t>(size)) abort();
    // A buffer too small is an error, never an overrun (ASan watches the exact size).
    std::vector<unsigned char> small(size / 2);
    b64_decode(text, size, small.data(), small.size());

    std::vector<char> enc(b64_encoded_len(size) + 1);
    size_t len = b64_encode(data, size, enc.data());
    if (len != b64_encoded_len(size) || enc[len] != '\0') abort();
    std::vector<unsigned char> back(size);
    if (b64_decode(enc.data(), len, back.data(), back.size()) != static_cast<ssize_t>(size)) abort();
    if (size && memcmp(back.data(), data, size) != 0) abort();
    return 0;
}
