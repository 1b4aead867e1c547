#include "host_util.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "base/fdio.h"
#include "proc/tools.h"

PathGuard::PathGuard(const char* value) {
    const char* cur = getenv("PATH");
    had_ = cur != nullptr;
    if (cur) old_ = cur;
    setenv("PATH", value, 1);
}

PathGuard::~PathGuard() {
    if (had_) setenv("PATH", old_.c_str(), 1);
    else unsetenv("PATH");
}

bool write_fake_tool(const std::string& path, const std::string& record, const std::string& output, int status) {
    std::string script = "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + record + "'\n";
    script += "[ -f '" + output + "' ] && /bin/cat '" + output + "'\n";
    script += "exit " + std::to_string(status) + "\n";
    return write_file(path, script, 0755);
}

std::vector<std::string> recorded_argv(const std::string& record) {
    std::vector<std::string> out;
    std::istringstream in(read_text(record));
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

bool starve_fds(pid_t pid) {
    std::vector<long> fds;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec))
        fds.push_back(std::stol(e.path().filename().string()));
    if (fds.empty()) return false;
    std::sort(fds.begin(), fds.end());
    // A new descriptor must be numbered below the limit: at the lowest free number none is
    // left, while the descriptors already open above it keep working.
    long lowest_free = 0;
    while (lowest_free < static_cast<long>(fds.size()) && fds[static_cast<size_t>(lowest_free)] == lowest_free)
        lowest_free++;
    struct rlimit rl = {static_cast<rlim_t>(lowest_free), static_cast<rlim_t>(lowest_free)};
    return prlimit(pid, RLIMIT_NOFILE, &rl, nullptr) == 0;
}

unique_fd open_stream(const TestDaemon& d, std::string_view body) {
    unique_fd fd = d.connect();
    if (fd) vc_send(fd.get(), body);
    return fd;
}

std::string next_frame(int fd, int timeout_ms) {
    std::string f;
    return recv_within(fd, &f, timeout_ms) ? f : std::string();
}

std::string stream_end(int fd, int timeout_ms) {
    std::vector<std::string> frames = recv_stream(fd, timeout_ms);
    return frames.empty() ? std::string() : frames.back();
}

namespace {

// The target a bind mount over `p` must name: mounting over a symbolic link fails.
std::string resolved(const std::string& p) {
    std::error_code ec;
    std::filesystem::path c = std::filesystem::canonical(p, ec);
    return ec ? p : c.string();
}

}  // namespace

void FakeToolsTest::SetUp() {
    std::string why = enter_private_mount_ns();
    if (!why.empty()) GTEST_SKIP() << why;
    ASSERT_TRUE(mounts.tmpfs("/opt"));
    ASSERT_TRUE(write_file(empty_file(), "", 0644));
}

void FakeToolsTest::fake_in_install_root(const std::string& name, int status) {
    ASSERT_TRUE(write_fake_tool("/opt/vorn/bin/" + name + "-" + binfind_arch(), rec(name), out(name), status));
}

void FakeToolsTest::fake_over(const std::string& path, const std::string& name) {
    ASSERT_TRUE(write_fake_tool(d.dir() + "/fake-" + name, rec(name), out(name)));
    ASSERT_TRUE(mounts.bind(d.dir() + "/fake-" + name, resolved(path))) << path;
}

void FakeToolsTest::disable(std::initializer_list<const char*> paths) {
    for (const char* p : paths)
        if (access(p, X_OK) == 0) {
            ASSERT_TRUE(mounts.bind(empty_file(), resolved(p))) << p;
        }
}

namespace {

// Calls `f(pid, state, ppid, pgrp)` for every process of /proc.
template <class F>
void each_process(F&& f) {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = e.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string stat = read_text("/proc/" + name + "/stat");
        const size_t close = stat.rfind(')');
        char state = 0;
        int ppid = 0, pgrp = 0;
        if (close != std::string::npos && sscanf(stat.c_str() + close + 1, " %c %d %d", &state, &ppid, &pgrp) == 3)
            f(std::stoi(name), state, ppid, pgrp);
    }
}

}  // namespace

std::vector<pid_t> children_of(pid_t pid) {
    std::vector<pid_t> out;
    each_process([&](int p, char, int ppid, int) {
        if (ppid == pid) out.push_back(p);
    });
    return out;
}

int group_alive(pid_t pgid) {
    int n = 0;
    each_process([&](int, char state, int, int pgrp) { n += pgrp == pgid && state != 'Z'; });
    return n;
}
