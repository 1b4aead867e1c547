// A local user who is not root and owns nothing of the daemon's: the attacker of the tests that
// check what root must never follow. It plants links, directories and FIFOs where it may write
// (a world-writable tmpfs of the test's private namespace, a directory given to it).
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// A uid (and gid) no account on the machine uses.
constexpr uid_t STRANGER_UID = 64999;

// Runs `plant` in a forked child that has dropped to STRANGER_UID (group too, no supplementary
// groups). True when the drop worked and `plant` returned true.
bool as_stranger(const std::function<bool()>& plant);

// The same for any identity: `fn` runs in a forked child with uid `uid`, gid `gid` and exactly
// the supplementary `groups`. True when the drop worked and `fn` returned true.
bool as_user(uid_t uid, gid_t gid, const std::vector<gid_t>& groups, const std::function<bool()>& fn);

// Creates `path` as a directory owned by the stranger with `mode` (0777 for a share everyone
// writes; 0755 for one only the stranger writes). Parents must exist.
bool stranger_dir(const std::string& path, mode_t mode = 0755);
