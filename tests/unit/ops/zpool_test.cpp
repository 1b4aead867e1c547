// zpool samples as the daemon turns them into records (tree rows, sections, units), read back from
// a socket pair as a client would.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

#include "ops/tool_helpers.h"
#include "ops/zpool.h"

namespace {

// A pool member: read_iops, write_iops, read_kb, write_kb.
std::string zmember(const std::string& name, const char* cls, int level, const char* figs) {
    return member(name, cls, ",\"level\":" + std::to_string(level), {"read_iops", "write_iops", "read_kb", "write_kb"},
                  figs);
}

std::string zpool_chunk(const std::string& pool, const strings& members) {
    std::string disks;
    for (const auto& m : members) disks += (disks.empty() ? "" : ",") + m;
    return "{\"id\":\"r1\",\"event\":\"chunk\",\"data\":{\"ts\":0,\"mode\":\"zpool\",\"pool\":\"" + pool +
           "\",\"disks\":{" + disks + "}}}";
}

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

}  // namespace

TEST(ZpoolParse, SamplesOfTreeRowsAndSections) {
    const strings sample1 = {
        zmember("tank", "zfs_pool", 0, "12.00 34.00 1536.00 2355.20"),
        zmember("raidz1-0", "zfs_vdev", 1, "12.00 34.00 1536.00 2355.20"),
        zmember("ata-WDC_WD40EFRX-68N32N0_WD-WCC7K1XXXX", "zfs_disk", 2, "4.00 11.00 512.00 784.00"),
        zmember("sdb", "zfs_disk", 2, "1200.00 0.00 2048.00 0.50"),
        zmember("logs", "zfs_pool", 0, ""),  // section rows pass the column tests
        zmember("nvme0n1p1", "zfs_vdev", 1, "0.00 3.00 0.00 128.00"),
        zmember("cache", "zfs_pool", 0, ""),
        zmember("nvme0n1p2", "zfs_vdev", 1, "1.00 0.00 8.00 0.00"),
    };
    // A sample goes out when the next header arrives, the last one at the flush.
    zpool_parser p;
    strcpy(p.ctx.pool, "tank");
    EXPECT_EQ(p.parse(TWO_SAMPLES),
              (strings{zpool_chunk("tank", sample1), "|",
                       zpool_chunk("tank", {zmember("big", "zfs_pool", 0,
                                                    "500000.00 2000.00 1649267441664.00 1125899906842624.00")})}));
}

TEST(ZpoolParse, IndentsColumnsAndNames) {
    const std::pair<const char*, std::string> cases[] = {
        // {row, its member or "" for no device}
        // Tree-drawing characters count 2 each, "|" 1, a tab 8.
        {"  \xe2\x94\x82 \xe2\x94\x94\xe2\x94\x80sdc  -  -  1  2  3K  4K",
         zmember("sdc", "zfs_disk", 2, "1.00 2.00 3.00 4.00")},
        {"\xe2\x94\x94 mirror-1  1G  2G  1  2  3  4", zmember("mirror-1", "zfs_vdev", 1, "1.00 2.00 0.00 0.00")},
        {"  | sdd  -  -  1  2  3K  4K", zmember("sdd", "zfs_disk", 2, "1.00 2.00 3.00 4.00")},
        {"\tsde  -  -  1m  2  3K  4K", zmember("sde", "zfs_disk", 2, "1000000.00 2.00 3.00 4.00")},
        {"  sdf  -  -  1  2  3K", zmember("sdf", "zfs_vdev", 1, "1.00 2.00 3.00 0.00")},  // six columns
        {"we\"ird\\  -  -  1  2  3K  4K", zmember("we\\\"ird\\\\", "zfs_pool", 0, "1.00 2.00 3.00 4.00")},
        {"  nan  -  -  nan  inf  -1e400  1e400", zmember("nan", "zfs_vdev", 1, "")},  // still valid JSON
        {"  sdg  -  -  1  2", ""},                                                    // five columns
        {"pool  a  b  c  d  e", ""},                                                  // the header's first word
        {"  \xe2\x94\x80", ""},                                                       // nothing after the indent
        {"  \xe2", ""},                                                               // a cut tree character
    };
    for (const auto& [row, want] : cases)
        EXPECT_EQ(zpool_parser().parse(std::string(HEADER) + row + "\n"),
                  (want.empty() ? strings{"|"} : strings{"|", zpool_chunk("", {want})}))
            << row;
}

TEST(ZpoolParse, BandwidthUnits) {
    const std::pair<const char*, double> units[] = {{"", 0},
                                                    {"-", 0},
                                                    {"512", 0.5},
                                                    {"1.5K", 1.5},
                                                    {"2.0M", 2048},
                                                    {"1g", 1048576},
                                                    {"1T", 1073741824.0},
                                                    {"1.5P", 1649267441664.0},
                                                    {"1E", 1125899906842624.0},
                                                    {"2048B", 2},
                                                    {"1024x", 1}};
    for (auto [v, kb] : units) EXPECT_DOUBLE_EQ(parse_unit_kb(v), kb) << v;
}
