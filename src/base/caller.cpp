#include "base/caller.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/fdio.h"

namespace {

thread_local caller_t* t_caller = nullptr;

constexpr size_t PASSWD_BUF_BYTES = 4096;

}  // namespace

int caller_read(int fd, caller_t* out) {
    *out = caller_t{};
    struct ucred cred;
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) return -1;
    out->uid = cred.uid;
    out->gid = cred.gid;
    out->pid = cred.pid;
    socklen_t glen = sizeof out->groups;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, out->groups, &glen) == 0) {
        out->ngroups = static_cast<int>(glen / sizeof(gid_t));
    } else if (errno == ERANGE && glen > sizeof out->groups) {
        // The kernel gives all or nothing: the whole set is read and its first groups kept.
        std::vector<gid_t> all(glen / sizeof(gid_t));
        glen = static_cast<socklen_t>(all.size() * sizeof(gid_t));
        if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, all.data(), &glen) == 0) {
            size_t n = std::min(glen / sizeof(gid_t), static_cast<size_t>(CALLER_MAX_GROUPS));
            std::copy_n(all.begin(), n, out->groups);
            out->ngroups = static_cast<int>(n);
        }
    }
    return 0;
}

caller_t* caller_current() { return t_caller; }

void caller_set(caller_t* c) { t_caller = c; }

bool caller_is_root(const caller_t* c) { return !c || c->uid == 0; }

bool caller_in_group(const caller_t* c, gid_t gid) {
    if (c->gid == gid) return true;
    for (int i = 0; i < c->ngroups; i++)
        if (c->groups[i] == gid) return true;
    return false;
}

bool caller_may_act_on(const caller_t* c, uid_t owner, bool has_control) {
    return caller_is_root(c) || c->uid == owner || has_control;
}

void caller_names(caller_t* c) {
    if (c->named) return;
    c->named = true;
    std::string path = "/proc/" + std::to_string(c->pid) + "/comm";
    char buf[CALLER_COMM_BYTES] = {};
    if (read_small_at(AT_FDCWD, path.c_str(), buf, sizeof buf) > 0) {
        buf[strcspn(buf, "\n")] = '\0';
        memcpy(c->comm, buf, sizeof c->comm);
        c->comm[sizeof c->comm - 1] = '\0';
    }
    struct passwd pw, *found = nullptr;
    char pwbuf[PASSWD_BUF_BYTES];
    if (getpwuid_r(c->uid, &pw, pwbuf, sizeof pwbuf, &found) == 0 && found)
        snprintf(c->user, sizeof c->user, "%s", found->pw_name);
}
