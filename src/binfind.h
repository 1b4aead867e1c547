// binfind — turns a tool name into the full path of an executable: the install root's own
// per-architecture copies first, then its distribution directory, then the system
// directories (all with the architecture suffix before any without), then PATH.
// Threads: any thread; the architecture name is computed once and published race-free.
#pragma once

#include <cstddef>

// 0 and the path in `out` (cut to cap-1, NUL-terminated) for the first executable candidate;
// -1 when none is found (`out` untouched). `pkg` is the package directory under
// /opt/vorn/dist; null means `name`.
int binfind(const char* name, const char* pkg, char* out, size_t cap);
// "x86_64", "aarch64", "armhf", "i686", or the machine name itself (at most 31 characters).
const char* binfind_arch();
