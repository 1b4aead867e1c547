#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/fdio.h"

namespace fs = std::filesystem;

namespace {

constexpr int START_TIMEOUT_MS = 10000;

// A daemon that closes a connection mid-write must fail the test, not kill the test binary
// (which would leave its daemon running).
const bool g_sigpipe_ignored = [] {
    signal(SIGPIPE, SIG_IGN);
    return true;
}();

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

TestDaemon::TestDaemon() {
    char tmpl[] = "/tmp/vornd-test-XXXXXX";
    if (mkdtemp(tmpl)) dir_ = tmpl;
    sock_ = dir_ + "/vornd.sock";
    conf_ = dir_ + "/vornd.conf";
    log_ = dir_ + "/vornd.log";
}

TestDaemon::~TestDaemon() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
}

void TestDaemon::write_config(std::string_view extra) {
    std::string c = "[socket]\npath = " + sock_ + "\n";
    c += extra;
    write_file(conf_, c);
}

bool TestDaemon::launch(const std::string& extra_args) {
    if (!fs::exists(conf_)) write_config();
    std::vector<std::string> words = {VORND_BIN, "-c", conf_};
    std::istringstream extra(extra_args);
    for (std::string w; extra >> w;) words.push_back(w);
    log_from_ = log().size();  // a restart appends to the same log
    // Built before the fork: the child only makes async-signal-safe calls.
    std::vector<char*> argv, envp;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    for (auto& v : env_) envp.push_back(v.data());
    envp.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        int lfd = open(log_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (lfd >= 0) dup2(lfd, 2);
        // Only the standard streams go over: every other descriptor of the daemon is its own.
        close_range(3, ~0U, 0);
        if (own_env_) execve(argv[0], argv.data(), envp.data());
        else execv(argv[0], argv.data());
        _exit(127);
    }
    return pid_ > 0;
}

bool TestDaemon::start(const std::string& extra_args) {
    if (!launch(extra_args)) return false;
    // The log line, not a probe connection: a test may count the daemon's threads at once.
    for (int waited = 0; waited < START_TIMEOUT_MS; waited += 10) {
        if (log().find(" vornd listening on ", log_from_) != std::string::npos) return true;
        int st;
        if (waitpid(pid_, &st, WNOHANG) == pid_) {
            pid_ = -1;
            break;
        }
        sleep_ms(10);
    }
    fprintf(stderr, "vornd did not come up; log:\n%s\n", log().c_str());
    return false;
}

int TestDaemon::stop(int sig) {
    if (pid_ <= 0) return -1;
    kill(pid_, sig);
    int st = 0;
    pid_t r;
    do r = waitpid(pid_, &st, 0);
    while (r < 0 && errno == EINTR);
    pid_ = -1;
    if (r < 0 || !WIFEXITED(st)) return -1;
    return WEXITSTATUS(st);
}

std::string TestDaemon::log() const { return read_text(log_); }

bool TestDaemon::wait_log(std::string_view needle, int timeout_ms) const {
    for (int waited = 0;; waited += 10) {
        if (log().find(needle) != std::string::npos) return true;
        if (waited >= timeout_ms) return false;
        sleep_ms(10);
    }
}

unique_fd TestDaemon::connect() const { return vc_connect(sock_.c_str()); }

std::string TestDaemon::call(std::string_view body) const {
    unique_fd fd = connect();
    if (!fd) return {};
    return roundtrip(fd.get(), body);
}

std::string roundtrip(int fd, std::string_view body) {
    std::string reply;
    if (vc_send(fd, body) != 0 || vc_recv(fd, &reply) != 0) return {};
    return reply;
}

bool send_raw(int fd, std::string_view bytes) { return write_full(fd, bytes.data(), bytes.size()) == 0; }

bool peer_closed(int fd, int timeout_ms) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return false;
    char c;
    return read(fd, &c, 1) == 0;
}

std::string frame_header(uint32_t n) {
    std::string h(4, '\0');
    h[0] = static_cast<char>(n >> 24);
    h[1] = static_cast<char>(n >> 16);
    h[2] = static_cast<char>(n >> 8);
    h[3] = static_cast<char>(n);
    return h;
}

std::string enter_private_mount_ns() {
    if (geteuid() != 0) return "needs root for a private mount namespace";
    if (unshare(CLONE_NEWNS) != 0) return std::string("unshare(CLONE_NEWNS): ") + strerror(errno);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return std::string("making / private: ") + strerror(errno);
    return {};
}

bool mount_tmpfs(const std::string& path) {
    std::error_code ec;
    fs::create_directories(path, ec);
    return mount("tmpfs", path.c_str(), "tmpfs", 0, "mode=0755") == 0;
}

bool write_file(const std::string& path, std::string_view content, int mode) {
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f) return false;
    f.write(content.data(), static_cast<std::streamsize>(content.size()));
    f.close();
    return chmod(path.c_str(), static_cast<mode_t>(mode)) == 0;
}

std::string read_text(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}
