// zpool_iostat_stream and zpool_list over the socket, with a fake zpool at /sbin/zpool on a
// tmpfs of a private mount namespace (ZFS cannot be loaded here). The parser's details are
// the unit tests' business; here: the arguments, when samples leave, cancel, the list.

#include <gtest/gtest.h>

#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "host_util.h"

namespace {

const char* const SAMPLE_HEADER =
    "                          capacity     operations     bandwidth\n"
    "pool                    alloc   free   read  write   read  write\n"
    "----------------------  -----  -----  -----  -----  -----  -----\n";

class ZpoolTest : public FakeToolsTest {
protected:
    void SetUp() override {
        FakeToolsTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_TRUE(mounts.tmpfs("/sbin"));
        // iostat: the first sample, then the second once the test allows it, then silence
        // until stopped; list: the prepared output.
        ASSERT_TRUE(write_file("/sbin/zpool",
                               "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + rec("zpool") +
                                   "'\n"
                                   "if [ \"$1\" = list ]; then cat '" +
                                   out("zpool") +
                                   "'; exit 0; fi\n"
                                   "printf '" +
                                   std::string(SAMPLE_HEADER) +
                                   "tank  1G  2G  1  2  1K  2K\\n'\n"
                                   "printf '  sda  -  -  3  4  3K  4K\\n\\n'\n"
                                   "while [ ! -e '" +
                                   go() +
                                   "' ]; do sleep 0.05; done\n"
                                   "printf '" +
                                   std::string(SAMPLE_HEADER) +
                                   "tank  1G  2G  5  6  5K  6K\\n'\n"
                                   "exec sleep 60\n",
                               0755));
        ASSERT_TRUE(d.start());
    }
    std::string go() const { return d.dir() + "/go"; }
};

// A sample's data; each member as NAME CLASS LEVEL READ_IOPS WRITE_IOPS READ_KB WRITE_KB.
std::string sample(const std::vector<std::string>& members) {
    static const std::regex member("(\\S+) (\\S+) (\\S+) (\\S+) (\\S+) (\\S+) (\\S+)");
    std::string disks;
    for (const auto& m : members)
        disks += (disks.empty() ? "" : ",") +
                 std::regex_replace(m, member,
                                    R"("$1":{"dev_class":"$2","level":$3,"read_iops":$4,"write_iops":$5,)"
                                    R"("read_kb":$6,"write_kb":$7})");
    return R"("data":{"ts":0,"mode":"zpool","pool":"tank","disks":{)" + disks + "}}}";
}

std::string masked(std::string f) {
    f = std::regex_replace(f, std::regex("\"job_id\":\"[0-9a-f]{16}\""), "\"job_id\":\"X\"");
    return std::regex_replace(f, std::regex("\"ts\":[0-9]+"), "\"ts\":0");
}

}  // namespace

TEST_F(ZpoolTest, SampleLeavesWhenTheNextBeginsAndCancelSendsTheLast) {
    StreamReader s(d, req("zpool_iostat_stream", R"({"pool":"tank;rm -rf /"})"));
    // The first sample is complete only when the next header shows up.
    EXPECT_EQ(s.next(700), "");
    ASSERT_TRUE(write_file(go(), ""));
    std::string first = s.next(5000);
    EXPECT_EQ(masked(first), R"({"id":"r","event":"chunk","job_id":"X",)" +
                                 sample({"tank zfs_pool 0 1.00 2.00 1.00 2.00", "sda zfs_vdev 1 3.00 4.00 3.00 4.00"}));
    EXPECT_EQ(recorded_argv(rec("zpool")), (std::vector<std::string>{"iostat", "-v", "tank", "1"}));

    EXPECT_EQ(s.next(700), "");  // the tool is silent: the second sample waits
    std::string job_id;
    ASSERT_TRUE(vc_json_str(first, "job_id", &job_id));
    EXPECT_EQ(d.call(vc_request("c", "_cancel", R"({"job_id":")" + job_id + "\"}")),
              R"({"id":"c","ok":true,"result":{"cancelled":true}})");
    std::vector<std::string> rest = s.until_end(5000);
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_EQ(masked(rest[0]), R"({"id":"r","event":"chunk",)" + sample({"tank zfs_pool 0 5.00 6.00 5.00 6.00"}));
    EXPECT_EQ(rest[1], R"({"id":"r","event":"done","ok":true,"exit_code":-1})");
}

TEST_F(ZpoolTest, RefusalsAndMissingTool) {
    const std::string long_name(64, 'p');
    EXPECT_EQ(masked(d.call(req("zpool_iostat_stream", R"({"pool":")" + long_name + "\"}"))),
              R"({"id":"r","event":"error","job_id":"X","ok":false,"code":"EBADREQ","error":"pool too long"})");
    for (const char* name : {"-H", "--help", "1tank", ".tank"})
        EXPECT_EQ(masked(d.call(req("zpool_iostat_stream", R"({"pool":")" + std::string(name) + "\"}"))),
                  R"({"id":"r","event":"error","job_id":"X","ok":false,"code":"EBADREQ","error":"invalid pool name"})")
            << name;
    EXPECT_TRUE(recorded_argv(rec("zpool")).empty());

    ASSERT_EQ(unlink("/sbin/zpool"), 0);
    EXPECT_EQ(masked(d.call(req("zpool_iostat_stream", "{}"))),
              R"({"id":"r","event":"error","job_id":"X","ok":false,"code":"ENOENT",)"
              R"x("error":"zpool not found (tried /sbin/zpool, /usr/sbin/zpool, /usr/local/sbin/zpool, PATH)"})x");
    EXPECT_EQ(d.call(req("zpool_list", "{}")), err("ENOENT", "zpool not found"));
}

TEST_F(ZpoolTest, ListNamesPoolsAndIgnoresMessages) {
    ASSERT_TRUE(write_file(out("zpool"), "tank\nbackup\tONLINE\nwe\"ird\n\n"));
    EXPECT_EQ(d.call(req("zpool_list", "{}")),
              ok(R"({"pools":[{"name":"tank"},{"name":"backup"},{"name":"we\"ird"}]})"));
    EXPECT_EQ(recorded_argv(rec("zpool")), (std::vector<std::string>{"list", "-H", "-o", "name"}));
    ASSERT_TRUE(write_file(out("zpool"), "no pools available\n"));
    EXPECT_EQ(d.call(req("zpool_list", "{}")), ok(R"({"pools":[]})"));
}
