#include "host_util.h"

#include <dirent.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>

MountGuard::~MountGuard() {
    for (auto it = mounted_.rbegin(); it != mounted_.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
}

bool MountGuard::tmpfs(const std::string& path) {
    if (!mount_tmpfs(path)) return false;
    mounted_.push_back(path);
    return true;
}

bool MountGuard::bind(const std::string& src, const std::string& dst) {
    if (mount(src.c_str(), dst.c_str(), nullptr, MS_BIND, nullptr) != 0) return false;
    mounted_.push_back(dst);
    return true;
}

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

bool write_fake_tool(const std::string& path, const std::string& record, const std::string& output,
                     int status) {
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

namespace {

// The daemon's open descriptor numbers, ascending.
std::vector<long> open_fds(pid_t pid) {
    std::vector<long> fds;
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(dir.c_str());
    if (!d) return fds;
    while (struct dirent* e = readdir(d))
        if (e->d_name[0] != '.') fds.push_back(strtol(e->d_name, nullptr, 10));
    closedir(d);
    std::sort(fds.begin(), fds.end());
    return fds;
}

}  // namespace

bool starve_fds(pid_t pid) {
    std::vector<long> fds = open_fds(pid);
    if (fds.empty()) return false;
    // A new descriptor must be numbered below the limit: at the lowest free number none is
    // left, while the descriptors already open above it keep working.
    long lowest_free = 0;
    while (lowest_free < static_cast<long>(fds.size()) && fds[static_cast<size_t>(lowest_free)] == lowest_free)
        lowest_free++;
    struct rlimit rl = {static_cast<rlim_t>(lowest_free), static_cast<rlim_t>(lowest_free)};
    return prlimit(pid, RLIMIT_NOFILE, &rl, nullptr) == 0;
}

StreamReader::StreamReader(const TestDaemon& d, std::string_view body) : fd_(d.connect()) {
    if (fd_) vc_send(fd_.get(), body);
}

std::string StreamReader::next(int timeout_ms) {
    if (!fd_) return {};
    struct pollfd p = {fd_.get(), POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return {};
    std::string frame;
    if (vc_recv(fd_.get(), &frame) != 0) return {};
    return frame;
}

std::vector<std::string> StreamReader::until_end(int timeout_ms) {
    std::vector<std::string> frames;
    for (;;) {
        std::string f = next(timeout_ms);
        if (f.empty()) break;
        frames.push_back(f);
        std::string ev = event_of(f);
        if (ev == "done" || ev == "error") break;
    }
    return frames;
}

std::string event_of(const std::string& frame) {
    std::string ev;
    vc_json_str(frame, "event", &ev);
    return ev;
}

std::string result_of(const std::string& reply) {
    std::string r;
    vc_json_raw(reply, "result", &r);
    return r;
}
