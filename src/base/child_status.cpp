#include "base/child_status.h"

#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>

child_status_t child_status_of(int wait_status) {
    child_status_t st;
    if (WIFEXITED(wait_status)) {
        st.exit_code = WEXITSTATUS(wait_status);
    } else if (WIFSIGNALED(wait_status)) {
        st.exit_code = -1;
        st.term_signal = WTERMSIG(wait_status);
    }
    return st;
}

pid_t child_reap(pid_t pid, int* wait_status) {
    pid_t r;
    do r = waitpid(pid, wait_status, 0);
    while (r < 0 && errno == EINTR);
    return r;
}

int child_wait_ended(pid_t pid) {
    siginfo_t si;
    int r;
    do r = waitid(P_PID, static_cast<id_t>(pid), &si, WEXITED | WNOWAIT);
    while (r != 0 && errno == EINTR);
    return r == 0 ? 0 : -1;
}

bool child_ended(pid_t pid) {
    siginfo_t si;
    memset(&si, 0, sizeof si);
    if (waitid(P_PID, static_cast<id_t>(pid), &si, WEXITED | WNOHANG | WNOWAIT) != 0) return errno == ECHILD;
    return si.si_pid == pid;
}
