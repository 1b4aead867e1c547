// pcapstream — a live packet capture as one pcap byte stream on standard output.
//
//   pcapstream IFACE SNAPLEN [--out PATH] [BPF WORD...]
//
// Runs tcpdump -i IFACE -s SNAPLEN -U -w - [-- BPF WORD...] (tcpdump from the system
// directories, never from PATH) and copies its output to standard output as it arrives;
// with --out, also to PATH.part, which becomes PATH when tcpdump ends with status 0. SIGTERM
// and SIGINT are passed on to tcpdump; pcapstream ends when tcpdump does, with its status
// (128 + the signal when a signal killed it). A consumer that goes away stops the capture.
// Exit status 2 with one line on standard error for bad usage, 127 when tcpdump is missing,
// 1 when PATH.part cannot be created.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/fdio.h"

namespace {

constexpr long SNAPLEN_MAX = 262144;
constexpr size_t COPY_BYTES = 65536;
const char* const TCPDUMP_PLACES[] = {"/usr/sbin/tcpdump", "/usr/bin/tcpdump",        "/sbin/tcpdump",
                                      "/bin/tcpdump",      "/usr/local/sbin/tcpdump", "/usr/local/bin/tcpdump"};

volatile sig_atomic_t g_child = 0;

void forward_signal(int sig) {
    if (g_child > 0) kill(g_child, sig);
}

struct options_t {
    const char* iface = nullptr;
    const char* snaplen = nullptr;
    const char* out = nullptr;
    std::vector<const char*> bpf;
};

bool is_snaplen(const char* s) {
    if (!*s || strlen(s) > 6) return false;
    for (const char* p = s; *p; p++)
        if (*p < '0' || *p > '9') return false;
    long v = strtol(s, nullptr, 10);
    return v >= 1 && v <= SNAPLEN_MAX;
}

// Positional: IFACE and SNAPLEN always come first, so an interface name that looks like an
// option is still an interface name. -1 for bad usage.
int parse(int argc, char** argv, options_t* o) {
    if (argc < 3 || !argv[1][0] || !is_snaplen(argv[2])) return -1;
    o->iface = argv[1];
    o->snaplen = argv[2];
    int i = 3;
    if (i < argc && strcmp(argv[i], "--out") == 0) {
        if (i + 1 >= argc || !argv[i + 1][0]) return -1;
        o->out = argv[i + 1];
        i += 2;
    }
    for (; i < argc; i++) o->bpf.push_back(argv[i]);
    return 0;
}

const char* find_tcpdump() {
    for (const char* p : TCPDUMP_PLACES)
        if (access(p, X_OK) == 0) return p;
    return nullptr;
}

// Starts tcpdump writing into a pipe; its read end in *out_r. The caller has SIGTERM and
// SIGINT blocked, so a signal that comes before g_child is set waits and is then forwarded.
pid_t start_tcpdump(const char* tcpdump, const options_t& o, unique_fd* out_r) {
    std::vector<const char*> argv = {tcpdump, "-i", o.iface, "-s", o.snaplen, "-U", "-w", "-"};
    if (!o.bpf.empty()) argv.push_back("--");  // the filter's words are never options
    argv.insert(argv.end(), o.bpf.begin(), o.bpf.end());
    argv.push_back(nullptr);
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return -1;
    int fd_bound = fd_limit();
    sigset_t none;
    sigemptyset(&none);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(p[1], 1);
        fd_close_from_3(fd_bound);
        signal(SIGPIPE, SIG_DFL);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execv(tcpdump, const_cast<char**>(argv.data()));
        _exit(127);
    }
    close(p[1]);
    if (pid < 0) {
        close(p[0]);
        return -1;
    }
    out_r->reset(p[0]);
    return pid;
}

struct sinks_t {
    bool stdout_ok = true;
    unique_fd file;  // PATH.part while it takes writes
};

// Where --out goes: its directory, opened once, and the names inside it.
struct out_file_t {
    unique_fd dir;
    std::string name, part;
};

// Copies the capture until tcpdump closes its end. A consumer that is gone stops tcpdump,
// whose remaining output still goes to the file.
void copy_stream(int in, pid_t child, sinks_t* s) {
    std::vector<char> buf(COPY_BYTES);
    for (;;) {
        ssize_t r = read(in, buf.data(), buf.size());
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return;
        size_t n = static_cast<size_t>(r);
        if (s->stdout_ok && write_full(1, buf.data(), n) != 0) {
            s->stdout_ok = false;
            kill(child, SIGTERM);
        }
        if (s->file && write_full(s->file.get(), buf.data(), n) != 0) {
            fprintf(stderr, "pcapstream: writing the output file: %s\n", strerror(errno));
            s->file.reset();
        }
    }
}

// PATH.part becomes PATH after a clean end; otherwise it is removed. 0, or -1.
int finish_file(const out_file_t& out, sinks_t* s, bool clean) {
    bool ok = clean && s->file && fsync(s->file.get()) == 0;
    s->file.reset();
    if (ok && renameat(out.dir.get(), out.part.c_str(), out.dir.get(), out.name.c_str()) == 0) return 0;
    unlinkat(out.dir.get(), out.part.c_str(), 0);
    return -1;
}

// Opens PATH.part as a new file. Its directory is reached without following any symbolic
// link and the file is only ever named relative to it, so a link planted on the way (this
// runs as root, in directories others may write) is refused rather than followed. 0, or -1
// with errno.
int open_out(const char* path, out_file_t* out, sinks_t* s) {
    const char* slash = strrchr(path, '/');
    std::string dir = !slash ? "." : slash == path ? "/" : std::string(path, static_cast<size_t>(slash - path));
    out->name = slash ? slash + 1 : path;
    out->part = out->name + ".part";
    out->dir.reset(open_dir_no_links(dir.c_str()));
    if (!out->dir) return -1;
    unlinkat(out->dir.get(), out->part.c_str(), 0);  // whatever holds the name is replaced, never written into
    s->file.reset(openat(out->dir.get(), out->part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                         0644));
    return s->file ? 0 : -1;
}

// Waits for tcpdump, forwarding signals until it has ended; the number is forgotten before
// the reap, so no signal can reach a process that reuses it.
int wait_status(pid_t pid, const sigset_t* stop_signals) {
    siginfo_t si;
    while (waitid(P_PID, static_cast<id_t>(pid), &si, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    sigprocmask(SIG_BLOCK, stop_signals, nullptr);
    g_child = 0;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return 1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 1;
}

}  // namespace

int main(int argc, char** argv) {
    options_t o;
    if (parse(argc, argv, &o) != 0) {
        fprintf(stderr, "usage: pcapstream IFACE SNAPLEN [--out PATH] [BPF WORD...]\n");
        return 2;
    }
    const char* tcpdump = find_tcpdump();
    if (!tcpdump) {
        fprintf(stderr, "pcapstream: tcpdump not found\n");
        return 127;
    }
    sinks_t sinks;
    out_file_t out;
    if (o.out && open_out(o.out, &out, &sinks) != 0) {
        fprintf(stderr, "pcapstream: %s.part: %s\n", o.out, strerror(errno));
        return 1;
    }

    signal(SIGPIPE, SIG_IGN);  // a consumer that is gone shows as a failed write
    sigset_t stop_signals, old;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    sigprocmask(SIG_BLOCK, &stop_signals, &old);
    struct sigaction sa = {};
    sa.sa_handler = forward_signal;
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    unique_fd in;
    pid_t child = start_tcpdump(tcpdump, o, &in);
    if (child < 0) {
        fprintf(stderr, "pcapstream: cannot start tcpdump: %s\n", strerror(errno));
        if (o.out) finish_file(out, &sinks, false);
        return 1;
    }
    g_child = child;
    sigprocmask(SIG_SETMASK, &old, nullptr);

    copy_stream(in.get(), child, &sinks);
    in.reset();
    int status = wait_status(child, &stop_signals);
    if (o.out && finish_file(out, &sinks, status == 0) != 0 && status == 0) {
        fprintf(stderr, "pcapstream: %s not written\n", o.out);
        return 1;
    }
    return status;
}
