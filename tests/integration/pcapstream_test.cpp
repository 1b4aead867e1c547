// The pcapstream tool on its own: usage errors, and with a fake tcpdump the vector it runs,
// the copy of its output, the --out file published only after a clean end, and its status.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "host_util.h"
#include "spawn.h"

namespace fs = std::filesystem;

TEST(Pcapstream, BadUsageExitsTwoWithOneLine) {
    const std::vector<std::vector<std::string>> rows = {
        {}, {"lo"}, {"lo", "abc"}, {"lo", "0"}, {"lo", "262145"}, {"", "96"}, {"lo", "96", "--out"},
    };
    for (const auto& args : rows) {
        std::vector<std::string> argv = {PCAPSTREAM_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        run_result_t r = run_program(argv);
        EXPECT_EQ(r.status, 2) << testing::PrintToString(args);
        EXPECT_EQ(r.err, "usage: pcapstream IFACE SNAPLEN [--out PATH] [BPF WORD...]\n");
        EXPECT_EQ(r.out, "");
    }
}

TEST(Pcapstream, RunsTcpdumpCopiesItsOutputAndPublishesTheFileOnlyAfterACleanEnd) {
    std::string why = enter_private_mount_ns();
    if (!why.empty()) GTEST_SKIP() << why;
    TestDaemon scratch;  // only for its directory
    const std::string dir = scratch.dir();
    // Exit status by interface name: "ok" 0, anything else 5.
    ASSERT_TRUE(write_file(dir + "/tcpdump",
                           "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + dir +
                               "/argv'\nprintf ABC\necho noise >&2\n[ \"$2\" = ok ] || exit 5\n",
                           0755));
    scoped_mounts mounts;
    for (const char* p : {"/usr/sbin/tcpdump", "/usr/bin/tcpdump", "/sbin/tcpdump", "/bin/tcpdump"})
        if (access(p, F_OK) == 0) {
            ASSERT_TRUE(mounts.bind(dir + "/tcpdump", fs::canonical(p))) << p;
        }

    run_result_t r = run_program({PCAPSTREAM_BIN, "ok", "96", "--out", dir + "/a.pcap", "-w", "/etc/x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "ABC");
    EXPECT_EQ(r.err, "noise\n");
    // The filter's words come after "--": never options of tcpdump.
    EXPECT_EQ(recorded_argv(dir + "/argv"),
              (std::vector<std::string>{"-i", "ok", "-s", "96", "-U", "-w", "-", "--", "-w", "/etc/x"}));
    EXPECT_EQ(read_text(dir + "/a.pcap"), "ABC");
    EXPECT_FALSE(fs::exists(dir + "/a.pcap.part"));

    r = run_program({PCAPSTREAM_BIN, "down", "96", "--out", dir + "/b.pcap"});
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(r.out, "ABC");
    EXPECT_EQ(recorded_argv(dir + "/argv"), (std::vector<std::string>{"-i", "down", "-s", "96", "-U", "-w", "-"}));
    EXPECT_FALSE(fs::exists(dir + "/b.pcap"));
    EXPECT_FALSE(fs::exists(dir + "/b.pcap.part"));

    // A directory on the way that is a link is refused, never followed.
    ASSERT_EQ(mkdir((dir + "/real").c_str(), 0755), 0);
    ASSERT_EQ(symlink("real", (dir + "/linked").c_str()), 0);
    r = run_program({PCAPSTREAM_BIN, "ok", "96", "--out", dir + "/linked/c.pcap"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "pcapstream: " + dir + "/linked/c.pcap.part: " + strerror(ELOOP) + "\n");
    EXPECT_TRUE(fs::is_empty(dir + "/real"));
}
