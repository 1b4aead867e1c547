// The disk statistics parser fed with recorded tool output of both report formats; chunks
// are read back from a socket pair exactly as a client would see them.

#include <gtest/gtest.h>

#include <signal.h>

#include <sstream>
#include <string>
#include <vector>

#include "ops_iostat.h"
#include "unit_helpers.h"

namespace {

using strings = std::vector<std::string>;

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

// One device member; `figs` lists read_iops, write_iops, read_kb, write_kb, await, util,
// svc_t and queue as the frame must spell them, trailing ones left out when "0.00".
std::string entry(const std::string& dev, const char* cls, const char* figs) {
    static const char* const keys[] = {"read_iops", "write_iops", "read_kb", "write_kb",
                                       "await",     "util",       "svc_t",   "queue"};
    std::istringstream in(figs);
    std::string s = "\"" + dev + "\":{\"dev_class\":\"" + cls + "\"", fig;
    for (const char* k : keys) s += std::string(",\"") + k + "\":" + (in >> fig ? fig : "0.00");
    return s + "}";
}

std::string chunk(const std::string& disks) {
    return "{\"id\":\"r1\",\"event\":\"chunk\",\"data\":{\"ts\":0,\"mode\":\"iostat\",\"disks\":{" + disks + "}}}";
}

// A parser writing its chunks into a socket pair.
struct parser_t {
    SocketPair sp;
    op_emit_t e = {sp.near(), "r1", nullptr, 0};
    iostat_ctx_t ic;
    parser_t() { ic.e = &e; }
    int line(const std::string& l) { return iostat_cb(&ic, 1, l.c_str()); }
};

// Feeds `text` line by line to a fresh parser, then flushes it: the frames sent while
// feeding, "|", then those the flush sent.
strings parse(const std::string& text) {
    parser_t p;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) EXPECT_EQ(p.line(line), 0) << line;
    strings out = waiting_frames(p.sp.far());
    out.push_back("|");
    EXPECT_EQ(flush_batch(&p.ic), 0);
    for (auto& f : waiting_frames(p.sp.far())) out.push_back(f);
    return out;
}

}  // namespace

TEST(IostatParse, RecordedReportsOfBothFormats) {
    std::string wide = "Device";
    for (int i = 0; i < 23; i++) wide += " c" + std::to_string(i);
    const struct {
        std::string text;
        strings want;
    } cases[] = {
        // A "Device" header ends the report before it; loop devices are skipped.
        {LINUX_TWO_REPORTS,
         {chunk(entry("nvme0n1", "nvme", "126.77 13.86 2823.35 690.10 0.00 1.19 0.00 0.02") + "," +
                entry("nvme0n1p1", "nvme_part", "1.00 3.00 2.00 4.00 0.00 10.00 0.00 0.50")),
          "|", chunk(entry("sda", "sata", "12.00 1.00 992.00 4.00 0.00 0.25 0.00 0.01"))}},
        // kr/s and kw/s; columns the header does not name stay zero. Two markers in a row
        // close an empty report, which sends nothing, nor does flushing an empty batch.
        {std::string(MARKER_TWO_REPORTS) + "   extended device statistics\n   extended device statistics\n",
         {chunk(entry("sd0", "sata", "1.00 2.00 3.00 4.00") + "," + entry("md0", "md", "0.50 0.00 10.00")),
          chunk(entry("sd0", "sata", "7.00 8.00 9.00 10.00")), "|"}},
        // Older sysstat columns: await, svctm, avgqu-sz.
        {"Device:         rrqm/s   wrqm/s     r/s     w/s    rkB/s    wkB/s avgrq-sz avgqu-sz   await r_await "
         "w_await  svctm  %util\n"
         "sdb               0.01     0.52    0.21    0.88     6.07    13.81    36.52     0.00    1.25    0.83    "
         "1.35   0.40   0.04\n",
         {"|", chunk(entry("sdb", "sata", "0.21 0.88 6.07 13.81 1.25 0.04 0.40"))}},
        // A row shorter than the header, a one-column row (skipped), a quote and a backslash in
        // the name, and figures that are no numbers: the frame stays valid JSON.
        {"Device r/s rkB/s w/s wkB/s aqu-sz %util\nvda 1.5\nx\nwe\"ird\\dev nan inf - 2 -1e400 3\n",
         {"|", chunk(entry("vda", "other", "1.50") + "," +
                     entry("we\\\"ird\\\\dev", "other", "0.00 0.00 0.00 2.00 0.00 3.00"))}},
        // Rows after the blank line that ends a report wait for the next header.
        {"Device r/s\nsda 1\n\nsdz 9\nDevice r/s\ndm-0 2\ndm0 3\n",
         {chunk(entry("sda", "sata", "1.00")), "|",
          chunk(entry("dm-0", "dm", "2.00") + "," + entry("dm0", "other", "3.00"))}},
        // Names are cut at 31 bytes and only 24 columns are read: the 25th, r/s, is never seen.
        {wide + " r/s\n" + std::string(40, 'n') + " 1 2\n", {"|", chunk(entry(std::string(31, 'n'), "other", ""))}},
    };
    for (const auto& c : cases) EXPECT_EQ(parse(c.text), c.want) << c.text;
}

TEST(IostatParse, FailedSendAsksToStopTheTool) {
    signal(SIGPIPE, SIG_IGN);
    parser_t p;
    for (const char* l : {"Device r/s", "sda 1"}) p.line(l);
    p.sp.close_far();
    EXPECT_EQ(p.line("Device r/s"), 1);
    p.line("sda 1");
    EXPECT_EQ(p.line(" extended device statistics"), 1);
}
