// The tool lookup's order, walked on private tmpfs mounts over /opt and /usr/local/sbin.

#include <gtest/gtest.h>

#include <sys/utsname.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "harness.h"
#include "host_util.h"
#include "proc/tools.h"

namespace {

std::string lookup(const char* name, const char* pkg = nullptr) {
    char out[512] = "untouched";
    return binfind(name, pkg, out, sizeof out) == 0 ? std::string(out) : std::string("-1:") + out;
}

}  // namespace

TEST(Binfind, ArchitectureNameOfThisMachine) {
    struct utsname u;
    ASSERT_EQ(uname(&u), 0);
    // Linux names its machines as the tools are named, but for 32-bit ARM and x86.
    std::string m = u.machine;
    EXPECT_EQ(binfind_arch(), m.rfind("armv7", 0) == 0 ? "armhf" : m == "i386" || m == "i586" ? "i686" : m);
    EXPECT_EQ(binfind_arch(), binfind_arch()) << "one cached string";
}

TEST(Binfind, CandidateOrderPermissionAndPackage) {
    std::string why = enter_private_mount_ns();
    if (!why.empty()) GTEST_SKIP() << why;
    scoped_mounts mounts;
    ASSERT_TRUE(mounts.tmpfs("/opt"));
    ASSERT_TRUE(mounts.tmpfs("/usr/local/sbin"));
    PathGuard path("/opt/pa::/opt/pb");
    const std::string a = binfind_arch();

    // Every place, in the order the lookup tries them. The package word names the dist rows.
    const std::vector<std::string> order = {
        "/opt/vorn/bin/vtool-" + a,
        "/opt/vorn/" + a + "/bin/vtool-" + a,
        "/opt/vorn/" + a + "/bin/vtool",
        "/opt/vorn/dist/vpkg/bin/vpkg-" + a,
        "/opt/vorn/dist/vpkg/vpkg-" + a,
        "/opt/vorn/dist/vpkg/vpkg",
        "/opt/bin/vtool-" + a,    // a suffixed copy in a later system directory ...
        "/usr/local/sbin/vtool",  // ... beats a plain one in an earlier directory
        "/opt/pa/vtool",
        "/opt/pb/vtool",
    };
    for (const auto& p : order) ASSERT_TRUE(write_file(p, "#!/bin/sh\n", 0755)) << p;
    for (const auto& p : order) {
        EXPECT_EQ(lookup("vtool", "vpkg"), p);
        ASSERT_EQ(unlink(p.c_str()), 0);
    }
    EXPECT_EQ(lookup("vtool", "vpkg"), "-1:untouched");

    // Files without execute permission are passed over; the package defaults to the name.
    ASSERT_TRUE(write_file("/opt/vorn/bin/vtool-" + a, "", 0644));
    ASSERT_TRUE(write_file("/opt/vorn/dist/vtool/vtool", "", 0755));
    EXPECT_EQ(lookup("vtool"), "/opt/vorn/dist/vtool/vtool");
    EXPECT_EQ(lookup("vtool", "otherpkg"), "-1:untouched");

    // A hit from PATH; longer than the buffer, it is cut.
    ASSERT_TRUE(write_file("/opt/pb/vtool2", "", 0755));
    EXPECT_EQ(lookup("vtool2"), "/opt/pb/vtool2");
    char small[8];
    ASSERT_EQ(binfind("vtool2", nullptr, small, sizeof small), 0);
    EXPECT_STREQ(small, "/opt/pb");
}
