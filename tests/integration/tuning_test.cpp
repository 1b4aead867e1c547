// cpufreq_set and drop_caches against trees standing in for /sys/devices/system/cpu and
// /proc/sys/vm in a private mount namespace (the real drop_caches is written once, level 1).

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "host_util.h"

namespace fs = std::filesystem;

namespace {

const std::string CPU = "/sys/devices/system/cpu";

class TuningTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why = enter_private_mount_ns();
        if (!why.empty()) GTEST_SKIP() << why;
        ASSERT_TRUE(d.start());
    }
    // A stand-in for the cpu directory: cpu0..cpu7 with a governor file each (cpu3 without
    // frequency scaling, cpu7's governor refusing writes), and cpufreq and cpuidle entries.
    void cpu_tree(bool no_turbo, bool boost) {
        ASSERT_TRUE(mounts.tmpfs(CPU));
        std::vector<std::string> files = {"cpufreq/scaling_governor"};  // not a processor
        for (int i : {0, 1, 2, 4, 5, 6}) files.push_back("cpu" + std::to_string(i) + "/cpufreq/scaling_governor");
        if (no_turbo) files.push_back("intel_pstate/no_turbo");
        if (boost) files.push_back("cpufreq/boost");
        for (const std::string& f : files) ASSERT_TRUE(write_file(CPU + "/" + f, ""));
        fs::create_directories(CPU + "/cpu3/cpuidle");
        fs::create_directories(CPU +
                               "/cpu7/cpufreq/scaling_governor");  // a write fails, as for a governor the kernel lacks
        fs::create_directories(CPU + "/cpuidle");
    }
    std::string cpufreq(const std::string& args) { return d.call(req("cpufreq_set", args)); }

    TestDaemon d;
    scoped_mounts mounts;
};

}  // namespace

TEST_F(TuningTest, CpufreqGovernorsAndRefusals) {
    cpu_tree(false, false);
    const std::string invalid = err("EREQ", "invalid governor"), nothing = err("EREQ", "nothing to set");
    const std::pair<std::string, std::string> refusals[] = {
        {"{}", nothing},
        {R"({"turbo":2})", nothing},
        {R"({"governor":"Performance"})", invalid},
        {R"({"governor":"perf2"})", invalid},
        {"{\"governor\":\"" + std::string(32, 'p') + "\"}", invalid},  // refused, never cut to 31
    };
    for (const auto& [args, want] : refusals) EXPECT_EQ(cpufreq(args), want) << args;
    EXPECT_EQ(read_text(CPU + "/cpu0/cpufreq/scaling_governor"), "");

    EXPECT_EQ(cpufreq(R"({"governor":"performance","turbo":2})"), ok(R"({"applied":6,"governor":"performance"})"));
    for (int i : {0, 1, 2, 4, 5, 6})
        EXPECT_EQ(read_text(CPU + "/cpu" + std::to_string(i) + "/cpufreq/scaling_governor"), "performance\n");
    EXPECT_EQ(read_text(CPU + "/cpufreq/scaling_governor"), "");
    const std::string longest(31, '_');
    EXPECT_EQ(cpufreq("{\"governor\":\"" + longest + "\",\"turbo\":1}"),
              ok("{\"applied\":6,\"governor\":\"" + longest + "\",\"turbo\":true,\"turbo_ok\":false}"));
}

TEST_F(TuningTest, TurboPrefersTheInverseIntelFile) {
    struct turbo_case {
        bool no_turbo, boost;
        int turbo;
        std::string want, no_turbo_text, boost_text;
    };
    const turbo_case cases[] = {
        {true, false, 1, R"({"applied":0,"turbo":true,"turbo_ok":true})", "0\n", ""},
        {true, false, 0, R"({"applied":0,"turbo":false,"turbo_ok":true})", "1\n", ""},
        {false, true, 1, R"({"applied":0,"turbo":true,"turbo_ok":true})", "", "1\n"},
        {false, true, 0, R"({"applied":0,"turbo":false,"turbo_ok":true})", "", "0\n"},
        {true, true, 0, R"({"applied":0,"turbo":false,"turbo_ok":true})", "1\n", ""},
        {false, false, 1, R"({"applied":0,"turbo":true,"turbo_ok":false})", "", ""},
    };
    for (const turbo_case& c : cases) {
        cpu_tree(c.no_turbo, c.boost);
        EXPECT_EQ(cpufreq("{\"turbo\":" + std::to_string(c.turbo) + "}"), ok(c.want));
        EXPECT_EQ(read_text(CPU + "/intel_pstate/no_turbo"), c.no_turbo_text);
        EXPECT_EQ(read_text(CPU + "/cpufreq/boost"), c.boost_text);
        EXPECT_EQ(read_text(CPU + "/cpu0/cpufreq/scaling_governor"), "");
    }
}

TEST_F(TuningTest, DropCachesLevelsAndAnUnwritableFile) {
    for (const char* level : {"0", "4", "-1"})
        EXPECT_EQ(d.call(req("drop_caches", std::string("{\"level\":") + level + "}")),
                  err("EREQ", "level must be 1-3"));
    EXPECT_EQ(d.call(req("drop_caches", R"({"level":1})")), ok(R"({"level":1})"));  // the kernel's own file

    const std::string stand_in = d.dir() + "/drop_caches";
    ASSERT_TRUE(write_file(stand_in, ""));
    ASSERT_TRUE(mounts.bind(stand_in, "/proc/sys/vm/drop_caches"));
    EXPECT_EQ(d.call(req("drop_caches", "{}")), ok(R"({"level":3})"));
    EXPECT_EQ(read_text(stand_in), "3\n");
    EXPECT_EQ(d.call(req("drop_caches", R"({"level":2})")), ok(R"({"level":2})"));
    EXPECT_EQ(read_text(stand_in), "2\n");

    ASSERT_TRUE(mounts.tmpfs("/proc/sys/vm"));
    EXPECT_EQ(d.call(req("drop_caches", "{}")), err("EIO", "No such file or directory"));
}
