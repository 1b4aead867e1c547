// ids — identifiers of jobs and runs: 16 lower-case hexadecimal digits from the kernel's
// random source.
// Threads: any thread.
#pragma once

#include <cstddef>

constexpr size_t ID_LEN = 16;
// Writes 16 lower-case hexadecimal digits and a NUL (17 bytes) from the kernel's random source.
void gen_id(char* out);
