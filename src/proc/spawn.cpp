#include "proc/spawn.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "base/child_status.h"
#include "base/fdio.h"

extern char** environ;

// The child is created with clone(CLONE_VM | CLONE_VFORK): it runs in the daemon's memory on
// a stack of its own until it executes its program or exits, while the calling thread waits;
// nothing of the daemon is copied, so a start costs the same whatever the daemon's size.
// Since the child shares the daemon's memory, other threads may hold any lock and any signal
// handler would run on the daemon's data: the child is entered with every signal blocked, sets
// every disposition to its default before it unblocks them, and makes raw system calls only
// (no C library function that keeps state, and nothing a sanitizer intercepts or instruments).

namespace {

#define CHILD_CODE __attribute__((no_sanitize("address", "thread", "undefined"), noinline))

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define SPAWN_UNDER_TSAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__) || defined(SPAWN_UNDER_TSAN)
// ThreadSanitizer's clone interceptor treats every clone as a fork and resets its runtime in
// the child, which a child sharing the daemon's memory must never do; the C library's own
// entry point is called past it.
extern "C" int __clone(int (*fn)(void*), void* stack, int flags, void* arg, ...);
#define SPAWN_CLONE __clone
#else
#define SPAWN_CLONE clone
#endif

constexpr size_t CHILD_STACK_BYTES = 16384;
constexpr int CLONE_SPAWN_FLAGS = CLONE_VM | CLONE_VFORK | SIGCHLD;
constexpr int CHILD_SETUP_FAILED = 127;
constexpr int DETACH_CLONE_FAILED = 126;
constexpr int KERNEL_NSIG = 64;

// The kernel's own sigaction layout (rt_sigaction), not the C library's.
struct kernel_sigaction_t {
    void (*handler)(int);
    unsigned long flags;
    void (*restorer)();
    uint64_t mask;
};

struct spawn_ctx_t {
    const exec_child_t* c;
    char* const* envp;
    int fd_bound;
    char* detach_stack;  // top of the program's stack when it starts from an intermediate
    int err;             // errno of the step that failed, written by the child
};

// Raw system calls, so nothing below touches state of the C library but errno.
CHILD_CODE long sys3(long nr, long a, long b, long c) { return syscall(nr, a, b, c); }

CHILD_CODE void set_sigmask(const uint64_t* set, uint64_t* old) {
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, set, old, sizeof(uint64_t));
}

[[noreturn]] CHILD_CODE void child_exit(spawn_ctx_t* x, int status, bool failed) {
    if (failed) x->err = errno;
    syscall(SYS_exit_group, status);
    __builtin_unreachable();
}

// Makes stdio[0..2] descriptors 0-2: stdin /dev/null when none is given (inherited when even
// that cannot be opened), stdout and stderr inherited when none is given. 0, or -1.
CHILD_CODE int child_stdio(const int* stdio) {
    int src[3] = {stdio[0], stdio[1], stdio[2]};
    if (src[0] < 0)
        src[0] = static_cast<int>(sys3(SYS_openat, AT_FDCWD, reinterpret_cast<long>("/dev/null"),
                                       O_RDONLY | O_CLOEXEC));
    // A source sitting on another standard descriptor moves out of the way first.
    for (int i = 0; i < 3; i++)
        if (src[i] >= 0 && src[i] < 3 && src[i] != i &&
            (src[i] = static_cast<int>(sys3(SYS_fcntl, src[i], F_DUPFD_CLOEXEC, 3))) < 0)
            return -1;
    for (int i = 0; i < 3; i++) {
        if (src[i] < 0) continue;
        long r = src[i] == i ? sys3(SYS_fcntl, i, F_SETFD, 0) : sys3(SYS_dup3, src[i], i, 0);
        if (r < 0) return -1;
    }
    return 0;
}

// The program's own process: default dispositions (SIGHUP ignored when asked), the OOM
// protection when asked, an empty mask, then the program. Exits 127 when it cannot run it.
[[noreturn]] CHILD_CODE int program_main(void* arg) {
    auto* x = static_cast<spawn_ctx_t*>(arg);
    const exec_child_t* c = x->c;
    kernel_sigaction_t sa = {};
    for (int s = 1; s <= KERNEL_NSIG; s++) {
        sa.handler = s == SIGHUP && c->ignore_sighup ? SIG_IGN : SIG_DFL;
        syscall(SYS_rt_sigaction, s, &sa, nullptr, sizeof sa.mask);  // SIGKILL and SIGSTOP refuse
    }
    if (c->oom_protect) {
        long fd = sys3(SYS_openat, AT_FDCWD, reinterpret_cast<long>("/proc/self/oom_score_adj"), O_WRONLY | O_CLOEXEC);
        if (fd >= 0) {
            sys3(SYS_write, fd, reinterpret_cast<long>("-1000\n"), 6);
            sys3(SYS_close, fd, 0, 0);
        }
    }
    const uint64_t none = 0;
    set_sigmask(&none, nullptr);
    sys3(SYS_execve, reinterpret_cast<long>(c->argv[0]), reinterpret_cast<long>(c->argv),
         reinterpret_cast<long>(x->envp));
    child_exit(x, CHILD_SETUP_FAILED, true);
}

// The first process: session or process group, standard descriptors, no other descriptor,
// working directory; then the program here, or from a second process when detaching, this one
// exiting at once. A group of its own is set before the program runs (the caller waits until
// then), so whoever holds the pid may signal the group at once.
[[noreturn]] CHILD_CODE int child_main(void* arg) {
    auto* x = static_cast<spawn_ctx_t*>(arg);
    const exec_child_t* c = x->c;
    if (c->new_session) syscall(SYS_setsid);
    else if (c->new_group) sys3(SYS_setpgid, 0, 0, 0);
    if (child_stdio(c->stdio) != 0) child_exit(x, CHILD_SETUP_FAILED, true);
    if (c->controlling_tty) sys3(SYS_ioctl, 0, TIOCSCTTY, 0);
    // The directory descriptor is one of the daemon's, so it is entered before they close.
    if (c->cwd_fd >= 0 && sys3(SYS_fchdir, c->cwd_fd, 0, 0) != 0) child_exit(x, CHILD_SETUP_FAILED, true);
    fd_close_from_3(x->fd_bound);
    if (c->umask >= 0) sys3(SYS_umask, c->umask, 0, 0);
    if (c->cwd && c->cwd[0] && sys3(SYS_chdir, reinterpret_cast<long>(c->cwd), 0, 0) != 0)
        child_exit(x, CHILD_SETUP_FAILED, true);
    if (!c->detach) program_main(x);
    // The program is created sharing memory too, and has started (or failed) when this returns.
    if (SPAWN_CLONE(program_main, x->detach_stack, CLONE_SPAWN_FLAGS, x) < 0) child_exit(x, DETACH_CLONE_FAILED, true);
    child_exit(x, 0, false);
}

}  // namespace

pid_t exec_spawn(const exec_child_t* c, int* err) {
    spawn_ctx_t x = {c, c->envp ? c->envp : environ, fd_limit(), nullptr, 0};
    // The child runs on these while this thread waits for it, so they may live in its frame.
    alignas(16) char stacks[2][CHILD_STACK_BYTES];
    x.detach_stack = stacks[1] + CHILD_STACK_BYTES;
    // Every signal blocked, the C library's internal ones too: no handler may run in the child.
    const uint64_t all = ~0ull;
    uint64_t old = 0;
    set_sigmask(&all, &old);
    pid_t pid = SPAWN_CLONE(child_main, stacks[0] + CHILD_STACK_BYTES, CLONE_SPAWN_FLAGS, &x);
    int clone_errno = errno;
    set_sigmask(&old, nullptr);
    if (pid < 0) {
        errno = clone_errno;
        return -1;
    }
    if (c->detach) {
        // The intermediate has already ended: it only waited for the program to start.
        int status = 0;
        if (child_reap(pid, &status) == pid && WIFEXITED(status) && WEXITSTATUS(status) == DETACH_CLONE_FAILED) {
            errno = x.err;  // the program's process could not be created
            return -1;
        }
    }
    if (err) *err = x.err;
    return pid;
}
