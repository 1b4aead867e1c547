#include "ops/tuning.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "base/fdio.h"
#include "base/sb.h"
#include "wire/args.h"
#include "wire/errors.h"

namespace {

constexpr const char* CPU_SYSFS = "/sys/devices/system/cpu";
constexpr const char* NO_TURBO_PATH = "/sys/devices/system/cpu/intel_pstate/no_turbo";
constexpr const char* BOOST_PATH = "/sys/devices/system/cpu/cpufreq/boost";
constexpr const char* DROP_CACHES_PATH = "/proc/sys/vm/drop_caches";
constexpr size_t GOVERNOR_MAX = 31;
constexpr size_t GOVERNOR_ARG_BYTES = 64;  // room to see that a value is too long
constexpr size_t CPU_PATH_BYTES = 512;
constexpr long long DROP_CACHES_DEFAULT_LEVEL = 3;

// Lower-case letters and "_" only, at most 31 of them: a longer name is refused, never cut.
bool governor_ok(const char* g) {
    size_t len = strlen(g);
    return len <= GOVERNOR_MAX && strspn(g, "abcdefghijklmnopqrstuvwxyz_") == len;
}

// Writes the governor of every processor that offers frequency scaling; the count written.
int apply_governor(const char* governor) {
    scoped_dir d(opendir(CPU_SYSFS));
    if (!d) return 0;
    char value[GOVERNOR_ARG_BYTES + 2], path[CPU_PATH_BYTES];
    snprintf(value, sizeof value, "%s\n", governor);
    int applied = 0;
    while (struct dirent* e = readdir(d.get())) {
        // cpu0, cpu1, ...: not cpufreq or cpuidle
        if (strncmp(e->d_name, "cpu", 3) != 0 || e->d_name[3] < '0' || e->d_name[3] > '9') continue;
        snprintf(path, sizeof path, "%s/%s/cpufreq/scaling_governor", CPU_SYSFS, e->d_name);
        // A governor the kernel does not offer fails the write: that processor is not counted.
        if (write_str_file(path, value) == 0) applied++;
    }
    return applied;
}

// True when the turbo switch was written. intel_pstate's file, preferred, holds the inverse.
bool apply_turbo(bool on) {
    if (access(NO_TURBO_PATH, F_OK) == 0) return write_str_file(NO_TURBO_PATH, on ? "0\n" : "1\n") == 0;
    if (access(BOOST_PATH, F_OK) == 0) return write_str_file(BOOST_PATH, on ? "1\n" : "0\n") == 0;
    return false;
}

}  // namespace

op_result op_cpufreq_set(const op_req_t& req) {
    char governor[GOVERNOR_ARG_BYTES] = "";
    arg_get_str(req.js, req.args, req.an, "governor", governor, sizeof governor);
    long long turbo = arg_get_int(req.js, req.args, req.an, "turbo", -1);
    bool set_turbo = turbo == 0 || turbo == 1;
    if (!governor[0] && !set_turbo) return op_err{ERR_EREQ, "nothing to set"};
    if (governor[0] && !governor_ok(governor)) return op_err{ERR_EREQ, "invalid governor"};
    int applied = governor[0] ? apply_governor(governor) : 0;
    sb_t s;
    sb_printf(&s, "{\"applied\":%d", applied);
    if (governor[0]) {
        sb_appendz(&s, ",\"governor\":\"");
        sb_json_escape(&s, governor, strlen(governor));
        sb_appendz(&s, "\"");
    }
    if (set_turbo) {
        bool ok = apply_turbo(turbo == 1);
        sb_printf(&s, ",\"turbo\":%s,\"turbo_ok\":%s", turbo == 1 ? "true" : "false", ok ? "true" : "false");
    }
    sb_appendz(&s, "}");
    return op_result::ok(std::move(s));
}

op_result op_drop_caches(const op_req_t& req) {
    long long level = arg_get_int(req.js, req.args, req.an, "level", DROP_CACHES_DEFAULT_LEVEL);
    if (level < 1 || level > 3) return op_err{ERR_EREQ, "level must be 1-3"};
    sync();  // dirty pages cannot be dropped: write them out first
    char value[8];
    snprintf(value, sizeof value, "%lld\n", level);
    if (write_str_file(DROP_CACHES_PATH, value) != 0) return op_err{ERR_EIO, strerror(errno)};
    sb_t s;
    sb_printf(&s, "{\"level\":%lld}", level);
    return op_result::ok(std::move(s));
}
