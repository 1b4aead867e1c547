#include "stranger.h"

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

bool as_stranger(const std::function<bool()>& plant) { return as_user(STRANGER_UID, STRANGER_UID, {}, plant); }

bool as_user(uid_t uid, gid_t gid, const std::vector<gid_t>& groups, const std::function<bool()>& fn) {
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        bool dropped = setgroups(groups.size(), groups.data()) == 0 && setresgid(gid, gid, gid) == 0 &&
                       setresuid(uid, uid, uid) == 0;
        _exit(dropped && fn() ? 0 : 1);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool stranger_dir(const std::string& path, mode_t mode) {
    if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST) return false;
    return chown(path.c_str(), STRANGER_UID, STRANGER_UID) == 0 && chmod(path.c_str(), mode) == 0;
}
