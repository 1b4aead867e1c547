#include "proc/tools.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr size_t CANDIDATE_BYTES = 512;
constexpr size_t PATH_ENV_BYTES = 1024;

const char* const SYSTEM_DIRS[] = {"/usr/sbin", "/usr/local/sbin", "/usr/bin", "/usr/local/bin",
                                   "/opt/bin",  "/opt/sbin",       "/bin",     "/sbin"};

std::string compute_arch() {
    struct utsname u;
    if (uname(&u) != 0) return "unknown";
    const char* m = u.machine;
    if (strcmp(m, "x86_64") == 0 || strcmp(m, "amd64") == 0) return "x86_64";
    if (strcmp(m, "aarch64") == 0 || strcmp(m, "arm64") == 0) return "aarch64";
    if (strncmp(m, "armv7", 5) == 0 || strcmp(m, "armhf") == 0) return "armhf";
    if (strcmp(m, "i686") == 0 || strcmp(m, "i586") == 0 || strcmp(m, "i386") == 0) return "i686";
    return std::string(m, strnlen(m, 31));
}

bool try_candidate(const char* path, char* out, size_t cap) {
    if (access(path, X_OK) != 0) return false;
    if (cap > 0) {
        size_t n = strnlen(path, cap - 1);
        memcpy(out, path, n);
        out[n] = '\0';
    }
    return true;
}

}  // namespace

const char* binfind_arch() {
    static const std::string arch = compute_arch();  // initialised once, thread-safe
    return arch.c_str();
}

int binfind(const char* name, const char* pkg, char* out, size_t cap) {
    const char* p = pkg ? pkg : name;
    const char* a = binfind_arch();
    char c[CANDIDATE_BYTES];
    auto hit = [&] { return try_candidate(c, out, cap); };

    snprintf(c, sizeof c, "/opt/vorn/bin/%s-%s", name, a);
    if (hit()) return 0;
    snprintf(c, sizeof c, "/opt/vorn/%s/bin/%s-%s", a, name, a);
    if (hit()) return 0;
    snprintf(c, sizeof c, "/opt/vorn/%s/bin/%s", a, name);
    if (hit()) return 0;
    snprintf(c, sizeof c, "/opt/vorn/dist/%s/bin/%s-%s", p, p, a);
    if (hit()) return 0;
    snprintf(c, sizeof c, "/opt/vorn/dist/%s/%s-%s", p, p, a);
    if (hit()) return 0;
    snprintf(c, sizeof c, "/opt/vorn/dist/%s/%s", p, p);
    if (hit()) return 0;
    for (const char* dir : SYSTEM_DIRS) {
        snprintf(c, sizeof c, "%s/%s-%s", dir, name, a);
        if (hit()) return 0;
    }
    for (const char* dir : SYSTEM_DIRS) {
        snprintf(c, sizeof c, "%s/%s", dir, name);
        if (hit()) return 0;
    }
    const char* env = getenv("PATH");
    if (!env) return -1;
    char copy[PATH_ENV_BYTES];
    snprintf(copy, sizeof copy, "%s", env);
    char* save = nullptr;
    // strtok_r skips empty parts ("/a::/b" tries /a, then /b) and keeps its place per call.
    for (char* dir = strtok_r(copy, ":", &save); dir; dir = strtok_r(nullptr, ":", &save)) {
        snprintf(c, sizeof c, "%s/%s", dir, name);
        if (hit()) return 0;
    }
    return -1;
}

const char* first_exec(std::initializer_list<const char*> paths) {
    for (const char* p : paths)
        if (access(p, X_OK) == 0) return p;
    return nullptr;
}

int tool_find(std::initializer_list<const char*> places, const char* name, char* out, size_t cap) {
    const char* fixed = first_exec(places);
    if (!fixed) return binfind(name, nullptr, out, cap);
    snprintf(out, cap, "%s", fixed);
    return 0;
}

int dmesg_cap_cb(void* ctx, int, const char* line) {
    auto* s = static_cast<sb_t*>(ctx);
    sb_appendz(s, line);
    sb_append(s, "\n", 1);
    return 0;
}

char** tool_envp() {
    static const std::vector<std::string> vars = [] {
        std::vector<std::string> v;
        for (char** e = environ; *e; e++)
            if (strncmp(*e, "LC_ALL=", 7) != 0) v.emplace_back(*e);
        v.emplace_back("LC_ALL=C");
        return v;
    }();
    static const std::vector<char*> envp = [] {
        std::vector<char*> p;
        for (const std::string& s : vars) p.push_back(const_cast<char*>(s.c_str()));  // execve never writes them
        p.push_back(nullptr);
        return p;
    }();
    return const_cast<char**>(envp.data());
}

namespace {

std::atomic<int> g_deadline_cap_ms{0};

}  // namespace

int tool_deadline_ms(int ms) {
    int cap = g_deadline_cap_ms.load(std::memory_order_relaxed);
    return cap > 0 && cap < ms ? cap : ms;
}

void tool_deadline_cap(int ms) { g_deadline_cap_ms.store(ms > 0 ? ms : 0, std::memory_order_relaxed); }

int run_capture(char** argv, sb_t* out, exec_result_t* res, int watch_fd, int deadline_ms) {
    exec_spec_t spec = {argv, tool_envp(), nullptr, 1, 0};
    cancel_token_t until = {.watch_fd = watch_fd, .deadline_ms = tool_deadline_ms(deadline_ms)};
    return exec_stream(&spec, dmesg_cap_cb, out, until, res);
}
