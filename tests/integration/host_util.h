// Helpers for the host information tests: mounts that undo themselves, fake tools that
// record their arguments, a PATH override, descriptor starvation of the daemon (so that a
// child cannot be started) and a reader for event streams.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "harness.h"

// Mounts made through it are detached again, newest first, when it goes out of scope.
class MountGuard {
public:
    MountGuard() = default;
    ~MountGuard();
    MountGuard(const MountGuard&) = delete;
    MountGuard& operator=(const MountGuard&) = delete;

    bool tmpfs(const std::string& path);
    // Bind-mounts `src` over the existing `dst` (file over file, directory over directory).
    bool bind(const std::string& src, const std::string& dst);

private:
    std::vector<std::string> mounted_;
};

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
bool write_fake_tool(const std::string& path, const std::string& record, const std::string& output,
                     int status = 0);
// The recorded arguments, one per element; empty when the tool did not run.
std::vector<std::string> recorded_argv(const std::string& record);

// Lowers the daemon's descriptor limit to its lowest free descriptor number, so the next pipe
// it asks for fails and no child can be started. Call with the test's connection established.
bool starve_fds(pid_t pid);

// A stream request on its own connection.
class StreamReader {
public:
    StreamReader(const TestDaemon& d, std::string_view body);
    // The next frame, or an empty string when none arrives within `timeout_ms`.
    std::string next(int timeout_ms = 5000);
    // Frames until (and including) a "done" or "error" event.
    std::vector<std::string> until_end(int timeout_ms = 10000);
    int fd() const { return fd_.get(); }

private:
    unique_fd fd_;
};

// "event" of a frame, or an empty string.
std::string event_of(const std::string& frame);
// The result member's raw JSON text of a reply, or "".
std::string result_of(const std::string& reply);
