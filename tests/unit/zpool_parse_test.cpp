// The pool statistics parser fed with `zpool iostat -v` samples as the tool prints them; the
// chunks are read back from a socket pair as a client would see them.

#include <gtest/gtest.h>

#include <signal.h>

#include <sstream>
#include <string>
#include <vector>

#include "ops_zpool.h"
#include "unit_helpers.h"

namespace {

using strings = std::vector<std::string>;

const char* const HEADER =
    "                                              capacity     operations     bandwidth\n"
    "pool                                        alloc   free   read  write   read  write\n"
    "------------------------------------------  -----  -----  -----  -----  -----  -----\n";

// A raidz pool with a log and a cache device, then a second sample of a huge pool.
const std::string TWO_SAMPLES =
    std::string("cannot open 'x': no such pool\n") + HEADER +
    "tank                                        1.23T  2.40T     12     34  1.50M  2.30M\n"
    "  raidz1-0                                  1.23T  2.40T     12     34  1.50M  2.30M\n"
    "    ata-WDC_WD40EFRX-68N32N0_WD-WCC7K1XXXX      -      -      4     11   512K   784K\n"
    "    sdb                                         -      -   1.2K      -   2.0M    512\n"
    "logs                                            -      -      -      -      -      -\n"
    "  nvme0n1p1                                  1.2M  15.5G      0      3      0   128K\n"
    "cache                                           -      -      -      -      -      -\n"
    "  nvme0n1p2                                 12.5G   100G      1      0  8.0K      0\n"
    "------------------------------------------  -----  -----  -----  -----  -----  -----\n"
    "\n" +
    HEADER +
    "big                                         1.50P   2.0E   0.5M     2k   1.5P     1E\n"
    "------------------------------------------  -----  -----  -----  -----  -----  -----\n";

std::string member(const std::string& name, const char* cls, int level, const char* figs) {
    static const char* const keys[] = {"read_iops", "write_iops", "read_kb", "write_kb"};
    std::istringstream in(figs);
    std::string s = "\"" + name + "\":{\"dev_class\":\"" + cls + "\",\"level\":" + std::to_string(level), fig;
    for (const char* k : keys) s += std::string(",\"") + k + "\":" + (in >> fig ? fig : "0.00");
    return s + "}";
}

std::string chunk(const std::string& pool, const strings& members) {
    std::string disks;
    for (const auto& m : members) disks += (disks.empty() ? "" : ",") + m;
    return "{\"id\":\"r1\",\"event\":\"chunk\",\"data\":{\"ts\":0,\"mode\":\"zpool\",\"pool\":\"" + pool +
           "\",\"disks\":{" + disks + "}}}";
}

struct parser_t {
    SocketPair sp;
    op_emit_t e = {sp.near(), "r1", nullptr, 0};
    zp_ctx_t zc;
    explicit parser_t(const char* pool = "") {
        zc.e = &e;
        snprintf(zc.pool, sizeof zc.pool, "%s", pool);
    }
    int line(const std::string& l) { return zp_cb(&zc, 1, l.c_str()); }
};

// The frames sent while feeding `text`, "|", then those the final flush sent.
strings parse(const std::string& text, const char* pool = "") {
    parser_t p(pool);
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) EXPECT_EQ(p.line(line), 0) << line;
    strings out = waiting_frames(p.sp.far());
    out.push_back("|");
    EXPECT_EQ(flush_batch(&p.zc), 0);
    for (auto& f : waiting_frames(p.sp.far())) out.push_back(f);
    return out;
}

}  // namespace

TEST(ZpoolParse, SamplesOfTreeRowsAndSections) {
    const strings sample1 = {
        member("tank", "zfs_pool", 0, "12.00 34.00 1536.00 2355.20"),
        member("raidz1-0", "zfs_vdev", 1, "12.00 34.00 1536.00 2355.20"),
        member("ata-WDC_WD40EFRX-68N32N0_WD-WCC7K1XXXX", "zfs_disk", 2, "4.00 11.00 512.00 784.00"),
        member("sdb", "zfs_disk", 2, "1200.00 0.00 2048.00 0.50"),
        member("logs", "zfs_pool", 0, ""),  // section rows pass the column tests
        member("nvme0n1p1", "zfs_vdev", 1, "0.00 3.00 0.00 128.00"),
        member("cache", "zfs_pool", 0, ""),
        member("nvme0n1p2", "zfs_vdev", 1, "1.00 0.00 8.00 0.00"),
    };
    // A sample goes out when the next header arrives, the last one at the flush.
    EXPECT_EQ(parse(TWO_SAMPLES, "tank"),
              (strings{chunk("tank", sample1), "|",
                       chunk("tank", {member("big", "zfs_pool", 0,
                                             "500000.00 2000.00 1649267441664.00 1125899906842624.00")})}));
}

TEST(ZpoolParse, IndentsColumnsAndNames) {
    const struct {
        const char* row;
        std::string want;  // the member, or "" for a row that is no device
    } cases[] = {
        // Tree-drawing characters count 2 each, "|" 1, a tab 8.
        {"  \xe2\x94\x82 \xe2\x94\x94\xe2\x94\x80sdc  -  -  1  2  3K  4K",
         member("sdc", "zfs_disk", 2, "1.00 2.00 3.00 4.00")},
        {"\xe2\x94\x94 mirror-1  1G  2G  1  2  3  4", member("mirror-1", "zfs_vdev", 1, "1.00 2.00 0.00 0.00")},
        {"  | sdd  -  -  1  2  3K  4K", member("sdd", "zfs_disk", 2, "1.00 2.00 3.00 4.00")},
        {"\tsde  -  -  1m  2  3K  4K", member("sde", "zfs_disk", 2, "1000000.00 2.00 3.00 4.00")},
        {"  sdf  -  -  1  2  3K", member("sdf", "zfs_vdev", 1, "1.00 2.00 3.00 0.00")},  // six columns
        {"we\"ird\\  -  -  1  2  3K  4K", member("we\\\"ird\\\\", "zfs_pool", 0, "1.00 2.00 3.00 4.00")},
        {"  nan  -  -  nan  inf  -1e400  1e400", member("nan", "zfs_vdev", 1, "")},  // still valid JSON
        {"  sdg  -  -  1  2", ""},      // five columns
        {"pool  a  b  c  d  e", ""},    // the header's first word
        {"  \xe2\x94\x80", ""},         // nothing after the indent
        {"  \xe2", ""},                 // a cut tree character
    };
    for (const auto& c : cases) {
        strings want = {"|"};
        if (!c.want.empty()) want.push_back(chunk("", {c.want}));
        EXPECT_EQ(parse(std::string(HEADER) + c.row + "\n"), want) << c.row;
    }
}

TEST(ZpoolParse, BandwidthUnits) {
    const struct {
        const char* v;
        double kb;
    } units[] = {{"", 0},           {"-", 0},         {"512", 0.5},           {"1.5K", 1.5},
                 {"2.0M", 2048},    {"1g", 1048576},  {"1T", 1073741824.0},   {"1.5P", 1649267441664.0},
                 {"1E", 1125899906842624.0},         {"2048B", 2},           {"1024x", 1}};
    for (const auto& u : units) EXPECT_DOUBLE_EQ(parse_unit_kb(u.v), u.kb) << u.v;
}

TEST(ZpoolParse, FailedSendAsksToStopTheTool) {
    signal(SIGPIPE, SIG_IGN);
    parser_t p;
    const char* header = "     capacity     operations     bandwidth";
    p.line(header);
    p.line("tank  1G  2G  1  2  3  4");
    p.sp.close_far();
    EXPECT_EQ(p.line(header), 1);
}
