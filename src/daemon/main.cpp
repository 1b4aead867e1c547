// main — the daemon's process shell: command line, logging, configuration, signals, the
// listening socket and the accept loop; a detached thread per connection.
//
// The daemon stays in the foreground with "/" as its working directory and logs to standard
// error. It starts only where no other daemon answers on its socket path. SIGHUP reloads the
// configuration between polls; SIGINT/SIGTERM stop it: the socket file it bound is removed
// (if still its own), remaining children are signalled, every connection is shut down and its
// thread waited for (bounded), and it exits 0. A service manager that asked for it hears when
// the socket is ready, around each SIGHUP reload, and when the stop begins.
//
// Faults do not make the loop spin: when accept runs out of descriptors or memory the loop
// backs off, and repeated failures are logged at most once a second with a count. At most
// CONN_MAX connections are served at once; any beyond are closed as soon as accepted.

#include <fcntl.h>
#include <grp.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "base/caller.h"
#include "base/clock.h"
#include "base/fdio.h"
#include "base/log.h"
#include "base/version.h"
#include "config/config.h"
#include "config/config_file.h"
#include "config/presets.h"
#include "daemon/conn.h"
#include "daemon/notify.h"
#include "jobs/jobs.h"
#include "jobs/pty_session.h"
#include "proc/child_env.h"
#include "proc/tools.h"
#include "wire/frame.h"

namespace {

constexpr int LISTEN_BACKLOG = 32;
constexpr int ACCEPT_POLL_MS = 1000;  // bounds how late a stop or reload is seen
// The longest path an address holds with its NUL; a longer configured path is bound cut.
constexpr size_t SOCKET_ADDR_PATH_MAX = sizeof(sockaddr_un::sun_path) - 1;
// After accept ran out of descriptors or memory: a pending connection keeps the socket
// readable, so without a pause the loop would spin until something is freed.
constexpr int ACCEPT_BACKOFF_MS = 100;
constexpr uint64_t FAULT_LOG_INTERVAL_MS = 1000;  // a recurring failure is logged this seldom
// How long the stop waits for connection threads after shutting their sockets down.
constexpr int STOP_WAIT_MS = 2000;
// Allocations this large (a big frame, a stream's batch) get their own mapping, so their
// memory goes back to the system when freed instead of staying in a thread's arena.
constexpr int MALLOC_MMAP_THRESHOLD_BYTES = 256 * 1024;

// Set by the signal handler, which may run on any thread: lock-free atomics, so that the main
// thread's reads are ordered with it (a volatile flag is a data race between threads).
std::atomic<int> g_stop{0};
std::atomic<int> g_reload{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler stores into these");
const char* g_cfg_path = nullptr;

void on_sig(int s) {
    int saved_errno = errno;  // the interrupted thread may be about to read it
    if (s == SIGHUP) g_reload.store(1);
    else g_stop.store(1);
    errno = saved_errno;
}

void install_signals() {
    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_sig;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a blocked call in the thread that takes it sees EINTR
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
}

void set_socket_group(const char* path, const char* group) {
    if (!group[0]) return;
    struct group* gr = getgrnam(group);
    if (!gr) {
        log_msg(LOG_WRN, "group %s not found — socket left with default group", group);
        return;
    }
    if (chown(path, static_cast<uid_t>(-1), gr->gr_gid) != 0)
        log_msg(LOG_WRN, "chown group %s: %s", group, strerror(errno));
}

// The path a socket at `configured` is bound to: cut to what an address holds. Every later
// use of the socket file (stale removal, mode, group, removal at stop) names this one.
std::string bound_socket_path(const char* configured) {
    std::string bound(configured, strnlen(configured, SOCKET_ADDR_PATH_MAX));
    if (configured[bound.size()] != '\0')
        log_msg(LOG_WRN, "socket path %s is longer than %zu bytes: bound as %s", configured, SOCKET_ADDR_PATH_MAX,
                bound.c_str());
    return bound;
}

// The socket file this daemon bound, as it was right after bind.
struct bound_file_t {
    bool known = false;
    dev_t dev = 0;
    ino_t ino = 0;
};

struct sockaddr_un socket_address(const std::string& path) {
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path.data(), path.size());
    return addr;
}

// Whether a daemon listens on the socket file at `path`: 1 when it takes a connection (or its
// backlog is full, which only a listener has), 0 when nobody does or the file went away
// meanwhile, -1 when it cannot be told (errno set).
int socket_answers(const std::string& path) {
    unique_fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) return -1;
    struct sockaddr_un addr = socket_address(path);
    if (connect(fd.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0) return 1;
    if (errno == EAGAIN || errno == EINPROGRESS) return 1;
    if (errno == ECONNREFUSED || errno == ENOENT) return 0;
    return -1;
}

// Makes way for the socket at `path`: nothing there, or a stale socket of an earlier run,
// which is removed. A daemon still answering there keeps its socket, and a file that is no
// socket (a regular file, a directory, a link) is not ours to delete: either ends start-up.
// 0, or -1 after an ERR line.
int clear_socket_path(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return 0;  // nothing there; anything else, bind says
    if (!S_ISSOCK(st.st_mode)) {
        log_msg(LOG_ERR, "%s exists and is not a socket: left in place", path.c_str());
        return -1;
    }
    int answers = socket_answers(path);
    if (answers == 1) log_msg(LOG_ERR, "another vornd is listening on %s", path.c_str());
    else if (answers < 0) log_msg(LOG_ERR, "connect %s: %s", path.c_str(), strerror(errno));
    else unlink(path.c_str());
    return answers == 0 ? 0 : -1;
}

// The listening socket at `path` (as bound_socket_path gives it), with the identity of its
// file in *bound; or -1 after logging why not.
int bind_socket(const std::string& path, const vornd_config_t* cfg, bound_file_t* bound) {
    if (clear_socket_path(path) != 0) return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        log_msg(LOG_ERR, "socket: %s", strerror(errno));
        return -1;
    }
    struct sockaddr_un addr = socket_address(path);
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
        log_msg(LOG_ERR, "bind %s: %s", path.c_str(), strerror(errno));
        close(fd);
        return -1;
    }
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) *bound = {true, st.st_dev, st.st_ino};
    if (listen(fd, LISTEN_BACKLOG) != 0) {
        log_msg(LOG_ERR, "listen: %s", strerror(errno));
        close(fd);
        return -1;
    }
    if (chmod(path.c_str(), static_cast<mode_t>(cfg->socket_mode)) != 0)
        log_msg(LOG_WRN, "chmod %s: %s", path.c_str(), strerror(errno));
    set_socket_group(path.c_str(), cfg->socket_group);
    return fd;
}

// Descriptors 0-2 must be taken before anything else is opened: a daemon started with one of
// them closed would otherwise hand it to a socket or pipe, and a child's dup2 onto its standard
// streams would then clobber that.
void hold_standard_descriptors() {
    for (int fd = 0; fd < 3; fd++) {
        if (fcntl(fd, F_GETFD) >= 0) continue;
        int n = open("/dev/null", O_RDWR);  // takes the lowest free number: this one
        if (n > 2) close(n);
    }
}

// --print-config LEVEL: writes to standard output the file that config_apply would write for
// LEVEL over the configuration loaded now (the -c file, else the usual search), so a packaged
// or hand-kept file can never drift from the daemon's own presets. Returns the exit status:
// 0, or 1 after saying why (an unknown level, a -c file that cannot be read, a record that
// does not serialize whole, a failed write).
int print_config(const char* level, bool file_named) {
    cfg_snapshot_t live = g_cfg.load();
    if (file_named && !live->config_path[0]) {
        fprintf(stderr, "vornd: nothing printed: the -c file cannot be read\n");
        return 1;
    }
    vornd_config_t c = *live;
    if (config_preset(&c, level) != 0) {
        fprintf(stderr, "vornd: unknown level '%s' (dev, safe or locked)\n", level);
        return 1;
    }
    char text[CFG_TEXT_BYTES];
    int len = config_serialize(&c, text, sizeof text);
    if (len < 0) {
        fprintf(stderr, "vornd: the configuration cannot be written as a file\n");
        return 1;
    }
    if (fwrite(text, 1, static_cast<size_t>(len), stdout) != static_cast<size_t>(len) || fflush(stdout) != 0) {
        fprintf(stderr, "vornd: write: %s\n", strerror(errno));
        return 1;
    }
    return 0;
}

// A failure that may repeat many times a second: the first is logged at once, later ones
// at most once per FAULT_LOG_INTERVAL_MS, each line with the count folded since the last.
struct fault_log_t {
    uint64_t last_ms = 0;
    bool logged = false;
    unsigned long folded = 0;

    // True when a line is due; *count is then the failures it stands for (this one included).
    bool due(unsigned long* count) {
        uint64_t now = now_ms();
        folded++;
        if (logged && now - last_ms < FAULT_LOG_INTERVAL_MS) return false;
        *count = folded;
        folded = 0;
        last_ms = now;
        logged = true;
        return true;
    }
};

bool out_of_resources(int err) { return err == EMFILE || err == ENFILE || err == ENOMEM || err == ENOBUFS; }

void pause_ms(int ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);  // a signal may cut it short: the loop looks at its flags sooner
}

// An accept or thread-creation failure: logged through `log`; the loop pauses when the
// system is short of descriptors, memory or threads.
void accept_failed(fault_log_t* log, const char* what, int err) {
    unsigned long count = 0;
    if (log->due(&count)) {
        if (count > 1) log_msg(LOG_WRN, "%s: %s (%lu failures since the last report)", what, strerror(err), count);
        else log_msg(LOG_WRN, "%s: %s", what, strerror(err));
    }
    if (out_of_resources(err) || err == EAGAIN) pause_ms(ACCEPT_BACKOFF_MS);
}

void refuse_over_limit(fault_log_t* log, int cfd) {
    close(cfd);
    unsigned long count = 0;
    if (log->due(&count))
        log_msg(LOG_WRN, "connection limit %d reached: %lu connection%s closed at once", CONN_MAX, count,
                count == 1 ? "" : "s");
}

// The peer of a new connection, counted against its uid's connections: false (the connection
// closed) when the kernel names no peer or the uid already has CONN_MAX_PER_UID; one user
// cannot take the slots that root and everyone else need.
bool admit_caller(int cfd, caller_t* who, fault_log_t* log) {
    if (caller_read(cfd, who) != 0) {
        close(cfd);
        return false;
    }
    if (conn_uid_admit(who->uid)) return true;
    close(cfd);
    unsigned long count = 0;
    if (log->due(&count))
        log_msg(LOG_WRN, "connection limit %d per uid reached (uid %u): %lu connection%s closed at once",
                CONN_MAX_PER_UID, static_cast<unsigned>(who->uid), count, count == 1 ? "" : "s");
    return false;
}

// A reload runs under the reload lock, as config_apply's does: the record published last is
// always that of the file read last. A file that cannot be read keeps the live configuration.
void reload_config() {
    log_msg(LOG_INF, "SIGHUP — reloading config");
    notify_reloading();
    {
        std::lock_guard<std::mutex> lock(g_cfg_reload_mu);
        config_reload(g_cfg_path);
    }
    notify_send("READY=1");
}

void accept_loop(int lfd) {
    fault_log_t accept_log, thread_log, limit_log, uid_limit_log;
    while (!g_stop) {
        if (g_reload.exchange(0)) {
            reload_config();
        }
        struct pollfd p = {lfd, POLLIN, 0};
        if (poll(&p, 1, ACCEPT_POLL_MS) <= 0 || !(p.revents & POLLIN)) continue;
        int cfd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        if (cfd < 0) {
            if (errno != EINTR && errno != EAGAIN) accept_failed(&accept_log, "accept", errno);
            continue;
        }
        if (conn_count() >= CONN_MAX) {
            refuse_over_limit(&limit_log, cfd);
            continue;
        }
        caller_t who;
        if (!admit_caller(cfd, &who, &uid_limit_log)) continue;
        log_msg(LOG_DBG, "connection %d accepted", cfd);
        if (conn_start(cfd, who) != 0) accept_failed(&thread_log, "pthread_create", errno);
    }
}

// Removes the socket file at `path` only while it is the one this daemon bound: a file put
// there since (by hand, or by a daemon started after ours was removed) is left alone.
void remove_own_socket(const std::string& path, const bound_file_t& bound) {
    struct stat st;
    if (!bound.known || lstat(path.c_str(), &st) != 0) return;
    if (st.st_dev == bound.dev && st.st_ino == bound.ino) unlink(path.c_str());
    else log_msg(LOG_WRN, "%s is no longer the socket this daemon bound: left in place", path.c_str());
}

// Children first (their runners then reap them), then every connection: its thread sees its
// read or write end and returns. PTY sessions are torn down only once no connection thread
// is left to tail them; a thread still busy after STOP_WAIT_MS makes the process end at once,
// so that no thread ever runs while the globals are destroyed.
void stop_everything(int lfd, const std::string& bound_path, const bound_file_t& bound) {
    close(lfd);
    remove_own_socket(bound_path, bound);
    jobs_kill_all_nonpty();
    jobs_kill_all_ptys();
    bool all_ended = conn_shutdown_all(STOP_WAIT_MS);
    if (all_ended) jobs_pty_close_all();
    else log_msg(LOG_WRN, "%d connection threads still busy at stop", conn_count());
    log_msg(LOG_INF, "shutdown");
    if (!all_ended) {
        fflush(stderr);
        _exit(0);
    }
}

// Options for tests only: the frame and send timeouts of every connection, and a cap on the
// deadlines of one-shot tools, in milliseconds; the per-uid budget of incomplete frames, in bytes.
bool timeout_option(const char* a, const char* value, int* frame_ms, int* send_ms) {
    if (strcmp(a, "--frame-timeout-ms") == 0) *frame_ms = atoi(value);
    else if (strcmp(a, "--send-timeout-ms") == 0) *send_ms = atoi(value);
    else if (strcmp(a, "--tool-timeout-ms") == 0) tool_deadline_cap(atoi(value));
    else if (strcmp(a, "--uid-frame-budget-bytes") == 0) conn_set_uid_frame_budget(strtoull(value, nullptr, 10));
    else return false;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const char* path = nullptr;
    const char* print_level = nullptr;
    int level = LOG_INF;
    int frame_timeout_ms = 0, send_timeout_ms = 0;
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        if (i + 1 < argc && timeout_option(a, argv[i + 1], &frame_timeout_ms, &send_timeout_ms)) {
            i++;
        } else if (strcmp(a, "-c") == 0) {
            if (i + 1 < argc) path = argv[++i];
        } else if (strcmp(a, "--print-config") == 0) {
            print_level = i + 1 < argc ? argv[++i] : "";
        } else if (strcmp(a, "--strict-config") == 0) {
            config_set_strict(true);
        } else if (strcmp(a, "-v") == 0) {
            level = LOG_DBG;
        } else if (strcmp(a, "--version") == 0) {
            printf("vornd %s\n", VORND_VERSION);
            return 0;
        } else if (strcmp(a, "-h") == 0 || strcmp(a, "--help") == 0) {
            printf("usage: vornd [-c config] [-v] [-f]\n");
            return 0;
        }
        // "-f" is accepted and does nothing; anything else is ignored.
    }

    std::string abs_path;
    if (path) {
        abs_path = config_absolute_path(path);  // every reload and config_apply reach the file named
        path = abs_path.c_str();
    }

    hold_standard_descriptors();
    mallopt(M_MMAP_THRESHOLD, MALLOC_MMAP_THRESHOLD_BYTES);
    proto_set_timeouts(frame_timeout_ms, send_timeout_ms);
    // Printing keeps standard error to what goes wrong: a missing file, an unreadable token.
    log_init("vornd", print_level ? LOG_WRN : level);
    if (config_load(path) != 0) return 1;
    if (print_level) return print_config(print_level, path != nullptr);
    notify_init();
    child_env_init();
    if (chdir("/") != 0) log_msg(LOG_WRN, "chdir(/): %s", strerror(errno));
    install_signals();
    // Without -c, reloads read the file the search found at start (./vornd.conf is relative to
    // the start directory, and the daemon now works from "/"); they search again only when
    // none was found.
    std::string found = g_cfg.load()->config_path;
    g_cfg_path = path ? path : found.empty() ? nullptr : found.c_str();

    cfg_snapshot_t cfg = g_cfg.load();
    // The socket keeps this path until restart, whatever later reloads set.
    const std::string bound_path = bound_socket_path(cfg->socket_path);
    bound_file_t bound;
    int lfd = bind_socket(bound_path, cfg.get(), &bound);
    if (lfd < 0) return 1;
    log_msg(LOG_INF, "listening on %s (mode 0%o group %s)", bound_path.c_str(), static_cast<unsigned>(cfg->socket_mode),
            cfg->socket_group);
    cfg.reset();
    notify_send("READY=1");

    accept_loop(lfd);
    notify_send("STOPPING=1");
    stop_everything(lfd, bound_path, bound);
    return 0;
}
