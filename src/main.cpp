// main — the daemon's process shell: command line, logging, configuration, signals, the
// listening socket and the accept loop; a detached thread per connection.
//
// The daemon stays in the foreground with "/" as its working directory and logs to standard
// error. SIGHUP reloads the configuration between polls; SIGINT/SIGTERM stop it: the socket
// file it bound is removed, remaining children are signalled, and it exits 0.

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "config.h"
#include "conn.h"
#include "jobs.h"
#include "log.h"
#include "ops.h"
#include "util.h"

namespace {

constexpr int LISTEN_BACKLOG = 32;
constexpr int ACCEPT_POLL_MS = 1000;  // bounds how late a stop or reload is seen
// The longest path an address holds with its NUL; a longer configured path is bound cut.
constexpr size_t SOCKET_ADDR_PATH_MAX = sizeof(sockaddr_un::sun_path) - 1;
constexpr size_t CONF_TEXT_BYTES = 4096;  // the largest file config_apply writes, NUL included

volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_reload = 0;
const char* g_cfg_path = nullptr;

void on_sig(int s) {
    if (s == SIGHUP) g_reload = 1;
    else g_stop = 1;
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

// The listening socket at the configured path, or -1 after logging why not.
int bind_socket(const vornd_config_t* cfg) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        log_msg(LOG_ERR, "socket: %s", strerror(errno));
        return -1;
    }
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    // A longer path is cut for binding; the address always stays NUL-terminated.
    memcpy(addr.sun_path, cfg->socket_path, strnlen(cfg->socket_path, SOCKET_ADDR_PATH_MAX));
    unlink(cfg->socket_path);  // replaces a stale socket of an earlier run
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
        log_msg(LOG_ERR, "bind %s: %s", cfg->socket_path, strerror(errno));
        close(fd);
        return -1;
    }
    if (listen(fd, LISTEN_BACKLOG) != 0) {
        log_msg(LOG_ERR, "listen: %s", strerror(errno));
        close(fd);
        return -1;
    }
    if (chmod(cfg->socket_path, static_cast<mode_t>(cfg->socket_mode)) != 0)
        log_msg(LOG_WRN, "chmod %s: %s", cfg->socket_path, strerror(errno));
    set_socket_group(cfg->socket_path, cfg->socket_group);
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

// The -c path as it is opened once the daemon works from "/": a relative path is joined to the
// start directory, so every reload and config_apply reach the file named at start. Kept as given
// when it is empty or absolute, when the start directory is unknown, or when the joined path
// would not fit the record's config_path.
std::string config_path_from_start_dir(const char* path) {
    if (!path[0] || path[0] == '/') return path;
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) return path;
    std::string joined = cwd;
    if (joined.back() != '/') joined += '/';
    joined += path;
    return joined.size() < sizeof(vornd_config_t::config_path) ? joined : path;
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
    char text[CONF_TEXT_BYTES];
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

void start_connection(int cfd) {
    pthread_t th;
    int err = pthread_create(&th, nullptr, conn_thread, reinterpret_cast<void*>(static_cast<intptr_t>(cfd)));
    if (err != 0) {
        log_msg(LOG_WRN, "pthread_create: %s", strerror(err));
        close(cfd);
    }
}

void accept_loop(int lfd) {
    while (!g_stop) {
        if (g_reload) {
            g_reload = 0;
            log_msg(LOG_INF, "SIGHUP — reloading config");
            config_reload(g_cfg_path);  // a file that cannot be read keeps the live configuration
        }
        struct pollfd p = {lfd, POLLIN, 0};
        if (poll(&p, 1, ACCEPT_POLL_MS) <= 0 || !(p.revents & POLLIN)) continue;
        int cfd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        if (cfd < 0) {
            if (errno != EINTR && errno != EAGAIN) log_msg(LOG_WRN, "accept: %s", strerror(errno));
            continue;
        }
        log_msg(LOG_DBG, "connection %d accepted", cfd);
        start_connection(cfd);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* path = nullptr;
    const char* print_level = nullptr;
    int level = LOG_INF;
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        if (strcmp(a, "-c") == 0) {
            if (i + 1 < argc) path = argv[++i];
        } else if (strcmp(a, "--print-config") == 0) {
            print_level = i + 1 < argc ? argv[++i] : "";
        } else if (strcmp(a, "-v") == 0) {
            level = LOG_DBG;
        } else if (strcmp(a, "--version") == 0) {
            printf("vornd 0.1.0\n");
            return 0;
        } else if (strcmp(a, "-h") == 0 || strcmp(a, "--help") == 0) {
            printf("usage: vornd [-c config] [-v] [-f]\n");
            return 0;
        }
        // "-f" is accepted and does nothing; anything else is ignored.
    }

    std::string abs_path;
    if (path) {
        abs_path = config_path_from_start_dir(path);
        path = abs_path.c_str();
    }

    hold_standard_descriptors();
    // Printing keeps standard error to what goes wrong: a missing file, an unreadable token.
    log_init("vornd", print_level ? LOG_WRN : level);
    config_load(path);
    if (print_level) return print_config(print_level, path != nullptr);
    if (chdir("/") != 0) log_msg(LOG_WRN, "chdir(/): %s", strerror(errno));
    install_signals();
    g_cfg_path = path;

    cfg_snapshot_t cfg = g_cfg.load();
    // The socket keeps this path until restart, whatever later reloads set; shutdown
    // removes exactly the file bound here, which for an overlong path is the cut one.
    std::string bound_path(cfg->socket_path, strnlen(cfg->socket_path, SOCKET_ADDR_PATH_MAX));
    int lfd = bind_socket(cfg.get());
    if (lfd < 0) return 1;
    log_msg(LOG_INF, "listening on %s (mode 0%o group %s)", cfg->socket_path,
            static_cast<unsigned>(cfg->socket_mode), cfg->socket_group);
    cfg.reset();

    accept_loop(lfd);

    close(lfd);
    unlink(bound_path.c_str());
    jobs_kill_all_nonpty();
    jobs_kill_all_ptys();
    log_msg(LOG_INF, "shutdown");
    return 0;
}
