// The disk statistics parser fed with recorded tool output of both report formats; chunks
// are read back from a socket pair exactly as a client would see them.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "ops_iostat.h"
#include "proto.h"

namespace {

// Linux sysstat: every report starts with its "Device" header, no marker lines.
const char* const LINUX_TWO_REPORTS =
    "Linux 6.1.0-18-amd64 (nas) \t01/02/26 \t_x86_64_\t(4 CPU)\n"
    "\n"
    "avg-cpu:  %user   %nice %system %iowait  %steal   %idle\n"
    "           6.25    0.00    4.90    0.41    0.00   88.44\n"
    "\n"
    "Device            r/s     rkB/s   rrqm/s  %rrqm r_await rareq-sz     w/s     wkB/s   wrqm/s  %wrqm "
    "w_await wareq-sz     d/s     dkB/s   drqm/s  %drqm d_await dareq-sz     f/s f_await  aqu-sz  %util\n"
    "loop0            0.01      0.10     0.00   0.00    0.50     9.00    0.00      0.00     0.00   0.00    "
    "0.00     0.00    0.00      0.00     0.00   0.00    0.00     0.00    0.00    0.00    0.00   0.00\n"
    "nvme0n1        126.77   2823.35    40.39  24.16    0.14    22.27   13.86    690.10    27.78  66.71    "
    "0.26    49.78    8.47    164.79     0.06   0.66    0.18    19.45    1.62    0.23    0.02   1.19\n"
    "nvme0n1p1        1.00      2.00     0.00   0.00    0.00     0.00    3.00      4.00     0.00   0.00    "
    "0.00     0.00    0.00      0.00     0.00   0.00    0.00     0.00    0.00    0.00    0.50  10.00\n"
    "\n"
    "\n"
    "avg-cpu:  %user   %nice %system %iowait  %steal   %idle\n"
    "           3.02    0.00    5.03    0.50    0.00   91.46\n"
    "\n"
    "Device            r/s     rkB/s   rrqm/s  %rrqm r_await rareq-sz     w/s     wkB/s   wrqm/s  %wrqm "
    "w_await wareq-sz     d/s     dkB/s   drqm/s  %drqm d_await dareq-sz     f/s f_await  aqu-sz  %util\n"
    "sda             12.00    992.00     0.00   0.00    0.17    82.67    1.00      4.00     0.00   0.00    "
    "0.00     4.00    2.00      8.00     0.00   0.00    0.00     4.00    0.00    0.00    0.01   0.25\n"
    "\n";

// The marker format: each report opens with "extended device statistics".
const char* const MARKER_TWO_REPORTS =
    "                    extended device statistics\n"
    "device       r/s    w/s   kr/s   kw/s wait actv  svc_t  %w  %b\n"
    "sd0          1.0    2.0    3.0    4.0  0.0  0.0    5.5   0   1\n"
    "md0          0.5    0.0   10.0    0.0  0.0  0.0    0.3   0   0\n"
    "                    extended device statistics\n"
    "device       r/s    w/s   kr/s   kw/s wait actv  svc_t  %w  %b\n"
    "sd0          7.0    8.0    9.0   10.0  0.0  0.0    5.5   0   1\n";

std::string entry(const std::string& dev, const char* cls, const char* figs) {
    return "\"" + dev + "\":{\"dev_class\":\"" + cls + "\"," + figs + "}";
}

std::string chunk(const std::string& disks) {
    return "{\"id\":\"r1\",\"event\":\"chunk\",\"data\":{\"ts\":0,\"mode\":\"iostat\",\"disks\":{" + disks + "}}}";
}

class IostatParse : public ::testing::Test {
protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv_), 0);
        e_ = {sv_[0], "r1", nullptr, 0};
        ic_.e = &e_;
    }
    void TearDown() override {
        close(sv_[0]);
        if (sv_[1] >= 0) close(sv_[1]);
    }

    // Feeds the text line by line; returns the last callback result.
    int feed(const char* text) {
        std::istringstream in(text);
        int rc = 0;
        for (std::string line; std::getline(in, line);) rc = iostat_cb(&ic_, 1, line.c_str());
        return rc;
    }

    // Every frame written so far, with the timestamp's digits replaced by 0.
    std::vector<std::string> frames() {
        std::vector<std::string> out;
        for (;;) {
            struct pollfd p = {sv_[1], POLLIN, 0};
            if (poll(&p, 1, 0) != 1) break;
            sb_t f;
            if (proto_read_frame(sv_[1], &f) != 0) break;
            out.push_back(std::regex_replace(std::string(f.buf, f.len), std::regex("\"ts\":[0-9]+"), "\"ts\":0"));
        }
        return out;
    }

    int sv_[2] = {-1, -1};
    op_emit_t e_{};
    iostat_ctx_t ic_;
};

}  // namespace

TEST_F(IostatParse, LinuxHeaderStartsTheNextReportAndLoopDevicesAreSkipped) {
    EXPECT_EQ(feed(LINUX_TWO_REPORTS), 0);
    std::vector<std::string> f = frames();
    ASSERT_EQ(f.size(), 1u) << "the first report goes out when the second header arrives";
    EXPECT_EQ(f[0], chunk(entry("nvme0n1", "nvme",
                                "\"read_iops\":126.77,\"write_iops\":13.86,\"read_kb\":2823.35,\"write_kb\":690.10,"
                                "\"await\":0.00,\"util\":1.19,\"svc_t\":0.00,\"queue\":0.02") +
                          "," +
                          entry("nvme0n1p1", "nvme_part",
                                "\"read_iops\":1.00,\"write_iops\":3.00,\"read_kb\":2.00,\"write_kb\":4.00,"
                                "\"await\":0.00,\"util\":10.00,\"svc_t\":0.00,\"queue\":0.50")));
    EXPECT_EQ(flush_batch(&ic_), 0);
    f = frames();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_NE(f[0].find("{\"sda\":{\"dev_class\":\"sata\",\"read_iops\":12.00,"), std::string::npos) << f[0];
    EXPECT_EQ(flush_batch(&ic_), 0);
    EXPECT_TRUE(frames().empty()) << "an empty batch sends nothing";
}

TEST_F(IostatParse, MarkerFormatUsesKrKwAndLeavesUnknownColumnsZero) {
    feed(MARKER_TWO_REPORTS);
    std::vector<std::string> f = frames();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0], chunk(entry("sd0", "sata",
                                "\"read_iops\":1.00,\"write_iops\":2.00,\"read_kb\":3.00,\"write_kb\":4.00,"
                                "\"await\":0.00,\"util\":0.00,\"svc_t\":0.00,\"queue\":0.00") +
                          "," +
                          entry("md0", "md",
                                "\"read_iops\":0.50,\"write_iops\":0.00,\"read_kb\":10.00,\"write_kb\":0.00,"
                                "\"await\":0.00,\"util\":0.00,\"svc_t\":0.00,\"queue\":0.00")));
    // Two markers in a row: the report between them is empty and sends nothing.
    feed("   extended device statistics\n   extended device statistics\n");
    f = frames();
    ASSERT_EQ(f.size(), 1u) << "the second report was sent by the first marker";
    EXPECT_NE(f[0].find("\"sd0\":{\"dev_class\":\"sata\",\"read_iops\":7.00"), std::string::npos);
    feed("  extended device statistics\n");
    EXPECT_TRUE(frames().empty());
}

TEST_F(IostatParse, OlderSysstatColumnsAwaitSvctmAvgqu) {
    feed("Device:         rrqm/s   wrqm/s     r/s     w/s    rkB/s    wkB/s avgrq-sz avgqu-sz   await r_await "
         "w_await  svctm  %util\n"
         "sdb               0.01     0.52    0.21    0.88     6.07    13.81    36.52     0.00    1.25    0.83    "
         "1.35   0.40   0.04\n");
    flush_batch(&ic_);
    std::vector<std::string> f = frames();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0], chunk(entry("sdb", "sata",
                                "\"read_iops\":0.21,\"write_iops\":0.88,\"read_kb\":6.07,\"write_kb\":13.81,"
                                "\"await\":1.25,\"util\":0.04,\"svc_t\":0.40,\"queue\":0.00")));
}

TEST_F(IostatParse, ShortRowsOddNamesAndNonNumbersStayValidJson) {
    feed("Device r/s rkB/s w/s wkB/s aqu-sz %util\n"
         "vda 1.5\n"                    // shorter than the header
         "x\n"                          // one column: skipped
         "we\"ird\\dev nan inf - 2 -1e400 3\n");  // quote and backslash in the name
    flush_batch(&ic_);
    std::vector<std::string> f = frames();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0], chunk(entry("vda", "other",
                                "\"read_iops\":1.50,\"write_iops\":0.00,\"read_kb\":0.00,\"write_kb\":0.00,"
                                "\"await\":0.00,\"util\":0.00,\"svc_t\":0.00,\"queue\":0.00") +
                          "," +
                          entry("we\\\"ird\\\\dev", "other",
                                "\"read_iops\":0.00,\"write_iops\":0.00,\"read_kb\":0.00,\"write_kb\":2.00,"
                                "\"await\":0.00,\"util\":3.00,\"svc_t\":0.00,\"queue\":0.00")));
}

TEST_F(IostatParse, RowsAfterTheBlankLineWaitForTheNextHeader) {
    feed("Device r/s\nsda 1\n\nsdz 9\nDevice r/s\nsdb 2\n");
    flush_batch(&ic_);
    std::vector<std::string> f = frames();
    ASSERT_EQ(f.size(), 2u);
    EXPECT_NE(f[0].find("\"sda\""), std::string::npos);
    EXPECT_EQ(f[0].find("\"sdz\""), std::string::npos);
    EXPECT_NE(f[1].find("\"sdb\""), std::string::npos);
}

TEST_F(IostatParse, ColumnsAreCutAt31CharactersAndCappedAt24) {
    std::string header = "Device";
    for (int i = 0; i < 23; i++) header += " c" + std::to_string(i);
    header += " r/s";  // the 25th column is never seen
    std::string name(40, 'n');
    std::string text = header + "\n" + name + " 1 2\n";
    feed(text.c_str());
    flush_batch(&ic_);
    std::vector<std::string> f = frames();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_NE(f[0].find("\"" + std::string(31, 'n') + "\":{\"dev_class\":\"other\",\"read_iops\":0.00"),
              std::string::npos)
        << f[0];
}

TEST_F(IostatParse, FailedSendAsksToStopTheTool) {
    feed("Device r/s\nsda 1\n");
    close(sv_[1]);
    sv_[1] = -1;
    EXPECT_EQ(iostat_cb(&ic_, 1, "Device r/s"), 1);
    feed("sda 1\n");
    EXPECT_EQ(iostat_cb(&ic_, 1, " extended device statistics"), 1);
}

TEST(IostatDevClass, ClassesByName) {
    EXPECT_EQ(iostat_dev_class("loop0"), nullptr);
    EXPECT_STREQ(iostat_dev_class("nvme0n1"), "nvme");
    EXPECT_STREQ(iostat_dev_class("nvme0n1p1"), "nvme_part");
    EXPECT_STREQ(iostat_dev_class("sda"), "sata");
    EXPECT_STREQ(iostat_dev_class("md0"), "md");
    EXPECT_STREQ(iostat_dev_class("dm-0"), "dm");
    EXPECT_STREQ(iostat_dev_class("dm0"), "other");
    EXPECT_STREQ(iostat_dev_class("vda"), "other");
}
