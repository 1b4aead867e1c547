#include "base/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace {

const char* const LEVEL_NAMES[5] = {"DBG", "INF", "WRN", "ERR", "AUD"};

std::atomic<const char*> g_ident{"vornd"};
std::atomic<int> g_level{LOG_INF};
std::mutex g_mu;  // guards one whole line on stderr; a leaf lock

}  // namespace

void log_init(const char* ident, int level) {
    g_ident.store(ident);
    g_level.store(level);
}

void log_msg(int level, const char* fmt, ...) {
    if (level != LOG_AUD && level < g_level.load(std::memory_order_relaxed)) return;
    if (level < LOG_DBG) level = LOG_DBG;
    if (level > LOG_AUD) level = LOG_ERR;

    time_t now = time(nullptr);
    struct tm tm;
    char stamp[32];
    if (!localtime_r(&now, &tm) || strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &tm) == 0) stamp[0] = '\0';

    va_list ap;
    va_start(ap, fmt);
    {
        std::lock_guard<std::mutex> lock(g_mu);
        fprintf(stderr, "%s %s %s ", stamp, LEVEL_NAMES[level], g_ident.load());
        vfprintf(stderr, fmt, ap);
        fputc('\n', stderr);
        fflush(stderr);
    }
    va_end(ap);
}
