// Helpers for tests that read event streams: frames with a deadline, and pieces of frames.
#pragma once

#include <poll.h>

#include <string>
#include <vector>

#include "base/fdio.h"
#include "client.h"
#include "harness.h"

// One frame within `timeout_ms`; false on timeout or a closed connection.
inline bool recv_within(int fd, std::string* out, int timeout_ms) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return false;
    return vc_recv(fd, out) == 0;
}

// Frames until one that ends the request ("done", "error", or a plain reply), each within
// `timeout_ms` of the previous one. The last frame is the ending one unless reading failed.
inline std::vector<std::string> recv_stream(int fd, int timeout_ms = 5000) {
    std::vector<std::string> frames;
    std::string f;
    while (recv_within(fd, &f, timeout_ms)) {
        frames.push_back(f);
        std::string ev;
        if (!vc_json_str(f, "event", &ev) || ev == "done" || ev == "error") break;
    }
    return frames;
}

inline std::string json_event(const std::string& frame) {
    std::string ev;
    vc_json_str(frame, "event", &ev);
    return ev;
}

inline std::string json_member(const std::string& frame, const char* key) {
    std::string v;
    vc_json_raw(frame, key, &v);
    return v;
}

// A stream request on a connection of its own.
class StreamReader {
public:
    StreamReader(const TestDaemon& d, std::string_view body) : fd_(d.connect()) {
        if (fd_) vc_send(fd_.get(), body);
    }
    // The next frame, or an empty string when none arrives within `timeout_ms`.
    std::string next(int timeout_ms = 5000) {
        std::string f;
        return recv_within(fd_.get(), &f, timeout_ms) ? f : std::string();
    }
    // Frames until (and including) the one that ends the request.
    std::vector<std::string> until_end(int timeout_ms = 10000) { return recv_stream(fd_.get(), timeout_ms); }
    int fd() const { return fd_.get(); }

private:
    unique_fd fd_;
};
