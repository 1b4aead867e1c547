#include "stranger.h"

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

bool as_stranger(const std::function<bool()>& plant) {
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        bool dropped = setgroups(0, nullptr) == 0 && setresgid(STRANGER_UID, STRANGER_UID, STRANGER_UID) == 0 &&
                       setresuid(STRANGER_UID, STRANGER_UID, STRANGER_UID) == 0;
        _exit(dropped && plant() ? 0 : 1);
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
