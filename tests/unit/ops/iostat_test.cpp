// iostat reports as the daemon turns them into records, read back from a socket pair as a client
// would; and every parser asking its tool to stop once the client is gone.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <utility>

#include "ops/fio.h"
#include "ops/iostat.h"
#include "ops/tool_helpers.h"

namespace {

// An iostat device: read_iops, write_iops, read_kb, write_kb, await, util, svc_t, queue,
// r_await, w_await.
std::string entry(const std::string& dev, const char* cls, const char* figs) {
    return member(dev, cls, "",
                  {"read_iops", "write_iops", "read_kb", "write_kb", "await", "util", "svc_t", "queue", "r_await",
                   "w_await"},
                  figs);
}

std::string iostat_chunk(const std::string& disks) {
    return "{\"id\":\"r1\",\"event\":\"chunk\",\"data\":{\"ts\":0,\"mode\":\"iostat\",\"disks\":{" + disks + "}}}";
}

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

// Recorded from the real tool: `LC_ALL=C iostat -x 1 2` of sysstat 12.6.1 (Debian 12) on a
// virtual disk under load. No "await" or "svctm" column any more.
const char* const SYSSTAT_12_6 =
    "Linux 6.18.44-fc-v1272 (vm) \t12/07/26 \t_x86_64_\t(2 CPU)\n"
    "\n"
    "avg-cpu:  %user   %nice %system %iowait  %steal   %idle\n"
    "          58.09    0.00   21.27    0.08    0.00   20.56\n"
    "\n"
    "Device            r/s     rkB/s   rrqm/s  %rrqm r_await rareq-sz     w/s     wkB/s   wrqm/s  %wrqm "
    "w_await wareq-sz     d/s     dkB/s   drqm/s  %drqm d_await dareq-sz     f/s f_await  aqu-sz  %util\n"
    "vda             18.82   1310.08     2.21  10.50    0.48    69.62    6.15   2023.00     3.38  35.47    "
    "1.62   329.12    4.20   1894.74     0.00   0.06    0.41   450.74    0.41    0.60    0.02   0.50\n"
    "\n"
    "\n"
    "avg-cpu:  %user   %nice %system %iowait  %steal   %idle\n"
    "          88.56    0.00   11.44    0.00    0.00    0.00\n"
    "\n"
    "Device            r/s     rkB/s   rrqm/s  %rrqm r_await rareq-sz     w/s     wkB/s   wrqm/s  %wrqm "
    "w_await wareq-sz     d/s     dkB/s   drqm/s  %drqm d_await dareq-sz     f/s f_await  aqu-sz  %util\n"
    "vda              0.00      0.00     0.00   0.00    0.00     0.00    3.00   4724.00     1.00  25.00    "
    "1.67  1574.67    0.00      0.00     0.00   0.00    0.00     0.00    0.00    0.00    0.01   0.00\n"
    "\n"
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

}  // namespace

TEST(IostatParse, RecordedReportsOfBothFormats) {
    std::string wide = "Device";
    for (int i = 0; i < 23; i++) wide += " c" + std::to_string(i);
    const std::pair<std::string, strings> cases[] = {
        // A "Device" header ends the report before it; loop devices are skipped. Without an
        // "await" column it is the reads' and writes' latencies weighted by their rates.
        {LINUX_TWO_REPORTS,
         {iostat_chunk(entry("nvme0n1", "nvme", "126.77 13.86 2823.35 690.10 0.15 1.19 0.00 0.02 0.14 0.26") + "," +
                       entry("nvme0n1p1", "nvme_part", "1.00 3.00 2.00 4.00 0.00 10.00 0.00 0.50")),
          "|", iostat_chunk(entry("sda", "sata", "12.00 1.00 992.00 4.00 0.16 0.25 0.00 0.01 0.17"))}},
        {SYSSTAT_12_6,
         {iostat_chunk(entry("vda", "other", "18.82 6.15 1310.08 2023.00 0.76 0.50 0.00 0.02 0.48 1.62")), "|",
          iostat_chunk(entry("vda", "other", "0.00 3.00 0.00 4724.00 1.67 0.00 0.00 0.01 0.00 1.67"))}},
        // kr/s and kw/s; unnamed columns stay zero; an empty report or batch sends nothing.
        {std::string(MARKER_TWO_REPORTS) + "   extended device statistics\n   extended device statistics\n",
         {iostat_chunk(entry("sd0", "sata", "1.00 2.00 3.00 4.00") + "," + entry("md0", "md", "0.50 0.00 10.00")),
          iostat_chunk(entry("sd0", "sata", "7.00 8.00 9.00 10.00")), "|"}},
        // Older sysstat columns: await, svctm, avgqu-sz.
        {"Device:         rrqm/s   wrqm/s     r/s     w/s    rkB/s    wkB/s avgrq-sz avgqu-sz   await r_await "
         "w_await  svctm  %util\n"
         "sdb               0.01     0.52    0.21    0.88     6.07    13.81    36.52     0.00    1.25    0.83    "
         "1.35   0.40   0.04\n",
         {"|", iostat_chunk(entry("sdb", "sata", "0.21 0.88 6.07 13.81 1.25 0.04 0.40 0.00 0.83 1.35"))}},
        // Short rows, a one-column row (skipped), quotes in names, no numbers: still valid JSON.
        {"Device r/s rkB/s w/s wkB/s aqu-sz %util\nvda 1.5\nx\nwe\"ird\\dev nan inf - 2 -1e400 3\n",
         {"|", iostat_chunk(entry("vda", "other", "1.50") + "," +
                            entry("we\\\"ird\\\\dev", "other", "0.00 0.00 0.00 2.00 0.00 3.00"))}},
        // Rows after the blank line that ends a report wait for the next header.
        {"Device r/s\nsda 1\n\nsdz 9\nDevice r/s\ndm-0 2\ndm0 3\n",
         {iostat_chunk(entry("sda", "sata", "1.00")), "|",
          iostat_chunk(entry("dm-0", "dm", "2.00") + "," + entry("dm0", "other", "3.00"))}},
        // Names are cut at 31 bytes and only 24 columns are read: the 25th, r/s, is never seen.
        {wide + " r/s\n" + std::string(40, 'n') + " 1 2\n",
         {"|", iostat_chunk(entry(std::string(31, 'n'), "other", ""))}},
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(iostat_parser().parse(text), want) << text;
}

// The client is gone: each parser asks the runner to stop its tool.
TEST(ToolOutput, FailedSendAsksToStopTheTool) {
    signal(SIGPIPE, SIG_IGN);
    iostat_parser io;
    for (const char* l : {"Device r/s", "sda 1"}) io.line(l);
    io.sp.close_far();
    EXPECT_EQ(io.line("Device r/s"), 1);
    io.line("sda 1");
    EXPECT_EQ(io.line(" extended device statistics"), 1);
    zpool_parser zp;
    const char* header = "     capacity     operations     bandwidth";
    zp.line(header);
    zp.line("tank  1G  2G  1  2  3  4");
    zp.sp.close_far();
    EXPECT_EQ(zp.line(header), 1);
    fio_ctx_t fc;
    fc.e = &zp.e;
    EXPECT_EQ(fio_cb(&fc, 1, "fio-3.33"), 1);
}
