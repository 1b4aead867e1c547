// Mounts inside the test's private mount namespace that are undone when the guard goes, so
// later tests in the same process see the host's files again.
#pragma once

#include <sys/mount.h>

#include <string>
#include <vector>

#include "harness.h"

class scoped_mounts {
public:
    scoped_mounts() = default;
    scoped_mounts(const scoped_mounts&) = delete;
    scoped_mounts& operator=(const scoped_mounts&) = delete;
    ~scoped_mounts() {
        for (auto it = points_.rbegin(); it != points_.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
    }

    bool tmpfs(const std::string& path) {
        if (!mount_tmpfs(path)) return false;
        points_.push_back(path);
        return true;
    }
    // Bind-mounts the file `src` over the existing file `target`.
    bool bind(const std::string& src, const std::string& target) {
        if (mount(src.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) return false;
        points_.push_back(target);
        return true;
    }

    // Any other mount (an overlay, proc, a recursive bind): the arguments of mount(2).
    bool mount_at(const std::string& target, const char* source, const char* fstype, unsigned long flags,
                  const std::string& data = "") {
        if (mount(source, target.c_str(), fstype, flags, data.empty() ? nullptr : data.c_str()) != 0) return false;
        points_.push_back(target);
        return true;
    }

private:
    std::vector<std::string> points_;
};
