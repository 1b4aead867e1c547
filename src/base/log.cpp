#include "base/log.h"

#include <sys/stat.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "base/locks.h"

namespace {

// Each level's name and its syslog priority, in level order.
struct level_t {
    const char* name;
    int priority;
};
const level_t LEVELS[] = {{"DBG", 7}, {"INF", 6}, {"WRN", 4}, {"ERR", 3}, {"AUD", 5}};
constexpr int LEVEL_LAST = static_cast<int>(sizeof LEVELS / sizeof LEVELS[0]) - 1;

std::atomic<const char*> g_ident{"vornd"};
std::atomic<int> g_level{LOG_INF};
std::atomic<bool> g_journal{false};  // lines start with "<priority>"
mutex_t g_mu;                        // held for one whole line on stderr; a leaf lock

// Whether standard error is the journal's stream: JOURNAL_STREAM holds "DEV:INO" (decimal)
// of it. A variable inherited from a parent whose stderr went there, while ours now goes
// elsewhere, names another file and does not count.
bool stderr_is_journal() {
    const char* v = getenv("JOURNAL_STREAM");
    unsigned long long dev = 0, ino = 0;
    int used = -1;
    if (!v || sscanf(v, "%llu:%llu%n", &dev, &ino, &used) != 2 || used < 0 || v[used] != '\0') return false;
    struct stat st;
    return fstat(2, &st) == 0 && static_cast<unsigned long long>(st.st_dev) == dev &&
           static_cast<unsigned long long>(st.st_ino) == ino;
}

}  // namespace

void log_init(const char* ident, int level) {
    g_ident.store(ident);
    g_level.store(level);
    g_journal.store(stderr_is_journal());
}

void log_msg(int level, const char* fmt, ...) {
    if (level != LOG_AUD && level < g_level.load(std::memory_order_relaxed)) return;
    if (level < LOG_DBG) level = LOG_DBG;
    if (level > LEVEL_LAST) level = LEVEL_LAST;

    time_t now = time(nullptr);
    struct tm tm;
    char stamp[32];
    if (!localtime_r(&now, &tm) || strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &tm) == 0) stamp[0] = '\0';

    va_list ap;
    va_start(ap, fmt);
    {
        lock_guard_t lock(g_mu);
        if (g_journal.load(std::memory_order_relaxed)) fprintf(stderr, "<%d>", LEVELS[level].priority);
        fprintf(stderr, "%s %s %s ", stamp, LEVELS[level].name, g_ident.load());
        vfprintf(stderr, fmt, ap);
        fputc('\n', stderr);
        fflush(stderr);
    }
    va_end(ap);
}
