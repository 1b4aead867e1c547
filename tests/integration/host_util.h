// Helpers for the host information tests: fake tools that record their arguments (and a fixture
// that puts them where the daemon looks), a PATH override, descriptor starvation of the daemon
// (so that a child cannot be started) and stream requests on their own connection. Mounts come
// from ns_util.h, frame reading from stream_util.h.
#pragma once

#include <sys/types.h>

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "base/fdio.h"
#include "harness.h"
#include "ns_util.h"
#include "stream_util.h"

// A request with id "r", its success and failure replies, and a substring test.
inline std::string req(std::string_view op, std::string_view args) { return vc_request("r", op, args); }
inline std::string ok(std::string_view result) {
    return R"({"id":"r","ok":true,"result":)" + std::string(result) + "}";
}
inline std::string err(std::string_view code, std::string_view msg) {
    return R"({"id":"r","ok":false,"code":")" + std::string(code) + R"(","error":")" + std::string(msg) + "\"}";
}
inline bool has(const std::string& s, std::string_view part) { return s.find(part) != std::string::npos; }

// Sets PATH for the daemons started while it lives; restores the old value afterwards.
class PathGuard {
public:
    explicit PathGuard(const char* value);
    ~PathGuard();
    PathGuard(const PathGuard&) = delete;
    PathGuard& operator=(const PathGuard&) = delete;

private:
    std::string old_;
    bool had_ = false;
};

// Writes an executable shell script at `path` that stores its arguments, one per line, in
// `record`, prints the content of `output` (when that file exists) and exits with `status`.
bool write_fake_tool(const std::string& path, const std::string& record, const std::string& output, int status = 0);
// The recorded arguments, one per element; empty when the tool did not run.
std::vector<std::string> recorded_argv(const std::string& record);

// Lowers the daemon's descriptor limit to its lowest free descriptor number, so the next pipe
// it asks for fails and no child can be started. Call with the test's connection established.
bool starve_fds(pid_t pid);

// The child processes of `pid`, zombies included.
std::vector<pid_t> children_of(pid_t pid);
// How many processes of group `pgid` are alive (zombies waiting for their reaper do not count).
int group_alive(pid_t pgid);

// Sends a stream request on a connection of its own; read the frames with stream_util.h.
unique_fd open_stream(const TestDaemon& d, std::string_view body);
// The next frame within `timeout_ms`, or "" when none arrives.
std::string next_frame(int fd, int timeout_ms = 5000);
// The frame that ends the request on `fd` (see recv_stream), or "" when none arrives.
std::string stream_end(int fd, int timeout_ms = 5000);

// A private mount namespace with an empty /opt (so /opt/vorn holds only what a test puts
// there), a daemon not yet started, and fakes whose records and outputs live in its directory.
class FakeToolsTest : public ::testing::Test {
protected:
    void SetUp() override;
    std::string rec(const std::string& name) const { return d.dir() + "/" + name + ".argv"; }
    std::string out(const std::string& name) const { return d.dir() + "/" + name + ".out"; }
    // A fake in the tool lookup's first place, /opt/vorn/bin/<name>-<arch>.
    void fake_in_install_root(const std::string& name, int status = 0);
    // A fake bind-mounted over the existing program at `path`.
    void fake_over(const std::string& path, const std::string& name);
    // Takes away the execute permission of every existing one of `paths`.
    void disable(std::initializer_list<const char*> paths);
    // An empty, not executable file in the daemon's directory.
    std::string empty_file() const { return d.dir() + "/not-exec"; }

    TestDaemon d;  // declared first: destroyed after the mounts are gone
    scoped_mounts mounts;
};
