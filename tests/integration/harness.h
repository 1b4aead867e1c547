// Integration harness: runs the real vornd binary with a temporary configuration and socket
// and talks to it over the wire with the project's client code.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "base/fdio.h"
#include "client.h"

// One daemon under test. Its directory (config, socket, log) is removed on destruction.
class TestDaemon {
public:
    TestDaemon();
    ~TestDaemon();
    TestDaemon(const TestDaemon&) = delete;
    TestDaemon& operator=(const TestDaemon&) = delete;

    // Writes the config file: a [socket] section with this daemon's socket path, then `extra`.
    void write_config(std::string_view extra = "");
    // Starts vornd with -c <config> plus `args`; waits until it logs that it listens.
    // Returns false (with the log printed) when it does not come up in time.
    bool start(const std::string& extra_args = "");
    // Only starts it (false when it cannot fork); the caller decides what to wait for.
    bool launch(const std::string& extra_args = "");
    // From the next start on, the daemon's whole environment is `vars` ("NAME=value"), as if
    // started through env -i, instead of this process's.
    void set_environment(std::vector<std::string> vars) {
        env_ = std::move(vars);
        own_env_ = true;
    }
    // Sends `sig` and waits for the exit; returns the exit status, or -1.
    int stop(int sig = 15);
    // Polls the log until it contains `needle` or `timeout_ms` passes.
    bool wait_log(std::string_view needle, int timeout_ms = 5000) const;
    std::string log() const;

    unique_fd connect() const;
    // One request/one reply on a fresh connection.
    std::string call(std::string_view body) const;

    const std::string& dir() const { return dir_; }
    const std::string& socket_path() const { return sock_; }
    const std::string& config_path() const { return conf_; }
    pid_t pid() const { return pid_; }

private:
    std::string dir_, sock_, conf_, log_;
    pid_t pid_ = -1;
    std::vector<std::string> env_;
    bool own_env_ = false;
    size_t log_from_ = 0;  // where the log of the latest start begins
};

// Sends `body` as a frame and reads one frame back. Empty string when the connection closed.
std::string roundtrip(int fd, std::string_view body);
// Sends raw bytes (a hand-made header, a partial frame).
bool send_raw(int fd, std::string_view bytes);
// True when the peer has closed: a read returns end of stream within `timeout_ms`.
bool peer_closed(int fd, int timeout_ms = 2000);
// A frame header for a body of `n` bytes.
std::string frame_header(uint32_t n);

// Moves this test process into a private mount namespace so it can mount over fixed paths
// (/opt/vorn, /tmp/...) without touching the host. Returns an empty string on success, or
// the reason it is impossible (the caller skips).
std::string enter_private_mount_ns();
// Mounts an empty tmpfs at `path` (created if missing) inside the private namespace.
bool mount_tmpfs(const std::string& path);

// Writes `content` to `path` with `mode`; creates parent directories.
bool write_file(const std::string& path, std::string_view content, int mode = 0644);
std::string read_text(const std::string& path);
