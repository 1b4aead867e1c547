// clock — the monotonic millisecond clock and the one sleep of the daemon.
// Threads: any thread. Errors: none.
#pragma once

#include <cstdint>

uint64_t now_ms();  // CLOCK_MONOTONIC in milliseconds
// Sleeps `ms` milliseconds; a signal does not cut it short (the rest is slept on EINTR).
void sleep_ms(long ms);
