#include "proc/child_env.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>
#include <vector>

#include "base/log.h"

namespace {

constexpr size_t PASSWD_BUF_BYTES = 4096;
constexpr size_t PASSWD_BUF_MAX_BYTES = 1 << 20;    // an entry larger than this is not a real one
const char* const DEFAULT_LOGIN_SHELL = "/bin/sh";  // what a login runs for an empty shell field

bool all_set() { return getenv("HOME") && getenv("USER") && getenv("LOGNAME") && getenv("SHELL"); }

}  // namespace

void child_env_init() {
    if (all_set()) return;
    const uid_t uid = geteuid();
    std::vector<char> buf(PASSWD_BUF_BYTES);
    struct passwd pw, *found = nullptr;
    int rc;
    while ((rc = getpwuid_r(uid, &pw, buf.data(), buf.size(), &found)) == ERANGE && buf.size() < PASSWD_BUF_MAX_BYTES)
        buf.resize(buf.size() * 2);
    if (rc != 0 || !found) {
        log_msg(LOG_WRN, "no passwd entry for uid %u: missing HOME, USER, LOGNAME or SHELL not filled in",
                static_cast<unsigned>(uid));
        return;
    }
    const char* shell = pw.pw_shell && pw.pw_shell[0] ? pw.pw_shell : DEFAULT_LOGIN_SHELL;
    const std::pair<const char*, const char*> vars[] = {
        {"HOME", pw.pw_dir}, {"USER", pw.pw_name}, {"LOGNAME", pw.pw_name}, {"SHELL", shell}};
    for (const auto& [name, value] : vars)
        if (value && value[0]) setenv(name, value, 0);  // 0: a value already there stays
}
