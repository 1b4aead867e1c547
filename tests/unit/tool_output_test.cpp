// The tools' output as the daemon turns it into records (iostat reports, zpool samples, fio status
// lines and reports, iperf3 rows and documents), read back from a socket pair as a client would.

#include <gtest/gtest.h>

#include <signal.h>

#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ops/fio.h"
#include "ops/iostat.h"
#include "ops/iperf.h"
#include "ops/zpool.h"
#include "wire/frame.h"
#include "wire/json.h"
#include "unit_helpers.h"
#include "base/sb.h"
#include "wire/reply.h"

namespace {

using strings = std::vector<std::string>;

// A parser writing its chunks into a socket pair.
template <typename Ctx, int (*Cb)(void*, int, const char*)>
struct parser_t {
    SocketPair sp;
    op_emit_t e = {sp.near(), "r1", nullptr, nullptr};
    Ctx ctx;
    parser_t() { ctx.e = &e; }
    int line(const std::string& l) { return Cb(&ctx, 1, l.c_str()); }
    // Feeds `text`, then flushes: the frames sent while feeding, "|", then those of the flush.
    strings parse(const std::string& text) {
        std::istringstream in(text);
        for (std::string l; std::getline(in, l);) EXPECT_EQ(line(l), 0) << l;
        strings out = waiting_frames(sp.far());
        out.push_back("|");
        EXPECT_EQ(flush_batch(&ctx), 0);
        for (auto& f : waiting_frames(sp.far())) out.push_back(f);
        return out;
    }
};
using iostat_parser = parser_t<iostat_ctx_t, iostat_cb>;
using zpool_parser = parser_t<zp_ctx_t, zp_cb>;

// A device member with `keys` set to `figs` as the frame spells them; missing trailing ones "0.00".
std::string member(const std::string& name, const char* cls, const std::string& extra,
                   std::initializer_list<const char*> keys, const char* figs) {
    std::istringstream in(figs);
    std::string s = "\"" + name + "\":{\"dev_class\":\"" + cls + "\"" + extra, fig;
    for (const char* k : keys) s += std::string(",\"") + k + "\":" + (in >> fig ? fig : "0.00");
    return s + "}";
}

// An iostat device: read_iops, write_iops, read_kb, write_kb, await, util, svc_t, queue.
std::string entry(const std::string& dev, const char* cls, const char* figs) {
    return member(dev, cls, "",
                  {"read_iops", "write_iops", "read_kb", "write_kb", "await", "util", "svc_t", "queue"}, figs);
}

std::string iostat_chunk(const std::string& disks) {
    return "{\"id\":\"r1\",\"event\":\"chunk\",\"data\":{\"ts\":0,\"mode\":\"iostat\",\"disks\":{" + disks + "}}}";
}

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

// The chunk data of every frame `feed` sent; a reader thread drains so large output never blocks.
template <typename Feed>
strings chunks_of(Feed feed) {
    SocketPair sp;
    strings out;
    std::thread reader([&] {
        sb_t f;
        while (proto_read_frame(sp.far(), &f) == 0) {
            std::string s(f.buf, f.len);
            const std::string head = "{\"id\":\"r1\",\"event\":\"chunk\",\"data\":";
            out.push_back(s.rfind(head, 0) == 0 ? s.substr(head.size(), s.size() - head.size() - 1) : "?" + s);
        }
    });
    op_emit_t e = {sp.near(), "r1", nullptr, nullptr};
    feed(&e);
    sp.ends[0].reset();
    reader.join();
    return out;
}

std::string log_rec(const std::string& escaped) { return "{\"type\":\"log\",\"line\":\"" + escaped + "\"}"; }
std::string progress(const char* pct) { return std::string("{\"type\":\"progress\",\"index\":1,\"pct\":") + pct + "}"; }
std::string line_rec(const std::string& escaped) {
    return "{\"type\":\"line\",\"stream\":1,\"text\":\"" + escaped + "\"}";
}

strings iperf_chunks(const strings& lines) {
    return chunks_of([&](op_emit_t* e) {
        iperf_ctx_t c;
        c.e = e;
        for (const auto& l : lines) EXPECT_EQ(iperf_cb(&c, 1, l.c_str()), 0) << l;
        EXPECT_EQ(iperf_flush(&c), 0);
    });
}

}  // namespace

TEST(IostatParse, RecordedReportsOfBothFormats) {
    std::string wide = "Device";
    for (int i = 0; i < 23; i++) wide += " c" + std::to_string(i);
    const std::pair<std::string, strings> cases[] = {
        // A "Device" header ends the report before it; loop devices are skipped.
        {LINUX_TWO_REPORTS,
         {iostat_chunk(entry("nvme0n1", "nvme", "126.77 13.86 2823.35 690.10 0.00 1.19 0.00 0.02") + "," +
                entry("nvme0n1p1", "nvme_part", "1.00 3.00 2.00 4.00 0.00 10.00 0.00 0.50")),
          "|", iostat_chunk(entry("sda", "sata", "12.00 1.00 992.00 4.00 0.00 0.25 0.00 0.01"))}},
        // kr/s and kw/s; unnamed columns stay zero; an empty report or batch sends nothing.
        {std::string(MARKER_TWO_REPORTS) + "   extended device statistics\n   extended device statistics\n",
         {iostat_chunk(entry("sd0", "sata", "1.00 2.00 3.00 4.00") + "," + entry("md0", "md", "0.50 0.00 10.00")),
          iostat_chunk(entry("sd0", "sata", "7.00 8.00 9.00 10.00")), "|"}},
        // Older sysstat columns: await, svctm, avgqu-sz.
        {"Device:         rrqm/s   wrqm/s     r/s     w/s    rkB/s    wkB/s avgrq-sz avgqu-sz   await r_await "
         "w_await  svctm  %util\n"
         "sdb               0.01     0.52    0.21    0.88     6.07    13.81    36.52     0.00    1.25    0.83    "
         "1.35   0.40   0.04\n",
         {"|", iostat_chunk(entry("sdb", "sata", "0.21 0.88 6.07 13.81 1.25 0.04 0.40"))}},
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
    const std::pair<const char*, std::string> cases[] = {  // {row, its member or "" for no device}
        // Tree-drawing characters count 2 each, "|" 1, a tab 8.
        {"  \xe2\x94\x82 \xe2\x94\x94\xe2\x94\x80sdc  -  -  1  2  3K  4K",
         zmember("sdc", "zfs_disk", 2, "1.00 2.00 3.00 4.00")},
        {"\xe2\x94\x94 mirror-1  1G  2G  1  2  3  4", zmember("mirror-1", "zfs_vdev", 1, "1.00 2.00 0.00 0.00")},
        {"  | sdd  -  -  1  2  3K  4K", zmember("sdd", "zfs_disk", 2, "1.00 2.00 3.00 4.00")},
        {"\tsde  -  -  1m  2  3K  4K", zmember("sde", "zfs_disk", 2, "1000000.00 2.00 3.00 4.00")},
        {"  sdf  -  -  1  2  3K", zmember("sdf", "zfs_vdev", 1, "1.00 2.00 3.00 0.00")},  // six columns
        {"we\"ird\\  -  -  1  2  3K  4K", zmember("we\\\"ird\\\\", "zfs_pool", 0, "1.00 2.00 3.00 4.00")},
        {"  nan  -  -  nan  inf  -1e400  1e400", zmember("nan", "zfs_vdev", 1, "")},  // still valid JSON
        {"  sdg  -  -  1  2", ""},      // five columns
        {"pool  a  b  c  d  e", ""},    // the header's first word
        {"  \xe2\x94\x80", ""},         // nothing after the indent
        {"  \xe2", ""},                 // a cut tree character
    };
    for (const auto& [row, want] : cases)
        EXPECT_EQ(zpool_parser().parse(std::string(HEADER) + row + "\n"),
                  (want.empty() ? strings{"|"} : strings{"|", zpool_chunk("", {want})}))
            << row;
}

TEST(ZpoolParse, BandwidthUnits) {
    const std::pair<const char*, double> units[] = {
        {"", 0},      {"-", 0},       {"512", 0.5},         {"1.5K", 1.5},           {"2.0M", 2048},
        {"1g", 1048576}, {"1T", 1073741824.0}, {"1.5P", 1649267441664.0}, {"1E", 1125899906842624.0},
        {"2048B", 2}, {"1024x", 1}};
    for (auto [v, kb] : units) EXPECT_DOUBLE_EQ(parse_unit_kb(v), kb) << v;
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

TEST(FioOutput, StatusLinesGiveProgressRecords) {
    const std::pair<const char*, strings> cases[] = {
        {"Jobs: 1 (f=1): [W(1)][75.0%][w=6874MiB/s][w=6873 IOPS][eta 00m:01s]",
         {log_rec("Jobs: 1 (f=1): [W(1)][75.0%][w=6874MiB/s][w=6873 IOPS][eta 00m:01s]"), progress("75.00")}},
        {"Jobs: 1: [12.5% done] [eta 01m:02s]", {log_rec("Jobs: 1: [12.5% done] [eta 01m:02s]"), progress("12.50")}},
        // Each carriage return ends a line; empty parts are dropped.
        {"Jobs: 1 (f=1)\rJobs: 1 (f=1): [w(1)][100.0%][w=1092MiB/s]\r\r",
         {log_rec("Jobs: 1 (f=1)"), log_rec("Jobs: 1 (f=1): [w(1)][100.0%][w=1092MiB/s]"), progress("100.00")}},
        {"Jobs: 1 (f=1): [f(1)][-.-%][eta 00m:00s]", {log_rec("Jobs: 1 (f=1): [f(1)][-.-%][eta 00m:00s]")}},
        {"[7] 50% of \"x\" [8.5%", {log_rec("[7] 50% of \\\"x\\\" [8.5%")}},  // no status marker
        {"", {}},
    };
    for (const auto& [line, want] : cases) {
        strings got = chunks_of([&](op_emit_t* e) {
            fio_ctx_t fc;
            fc.e = e;
            fc.idx = 1;
            EXPECT_EQ(fio_cb(&fc, 1, line), 0);
        });
        EXPECT_EQ(got, want) << line;
    }
}

TEST(FioOutput, ReportIsAlwaysOneJsonValue) {
    const std::pair<std::string, std::string> cases[] = {
        {"{\n  \"jobs\" : [{\"jobname\" : \"A\"}]\n}\n", "{\n  \"jobs\" : [{\"jobname\" : \"A\"}]\n}\n"},
        {"fio: warning: x\nnote: y {\n{\"a\":1}\n", "{\"a\":1}\n"},  // warnings before the document
        {"{\"a\":", "\"{\\\"a\\\":\""},                              // cut short
        {"warn\n{bad}\n", "\"warn\\n{bad}\\n\""},
        {"", "\"\""},
    };
    for (const auto& [file, raw] : cases) {
        sb_t out;
        fio_report_raw(file, &out);
        EXPECT_EQ(std::string(out.buf, out.len), raw) << file;
    }
}

TEST(FioOutput, WorkDirectoryNamesCarryTheDaemonsPid) {
    const std::string p = FIO_WORKDIR_PREFIX;
    const std::pair<std::string, pid_t> dirs[] = {{p + "123", 123}, {p + "123_4", 123}, {p + "123_", 0},
                                                  {p + "123x", 0},  {p + "0", 0},       {p + "12_3_4", 0},
                                                  {p, 0},           {p + "99999999999", 0}, {"other_1", 0}};
    for (const auto& [name, pid] : dirs) EXPECT_EQ(fio_workdir_pid(name.c_str()), pid) << name;
}

TEST(IperfOutput, TextRowsStayLinesAndDocumentsArriveWhole) {
    const strings rows = {"Server listening on 5201 (test #1)",
                          "[  5] local 127.0.0.1 port 5201 connected to 127.0.0.1 port 44928",
                          "[ ID] Interval           Transfer     Bitrate", "[SUM]   0.00-1.00   sec  2.09 GBytes"};
    strings want;
    for (const auto& r : rows) want.push_back(line_rec(r));
    EXPECT_EQ(iperf_chunks(rows), want);

    const std::pair<strings, strings> cases[] = {
        {{"{", "\t\"start\":\t{", "\t\t\"x\":\t\"a}]\\\"b\"", "\t}", "}", "[1,2]"},
         {"{\n\t\"start\":\t{\n\t\t\"x\":\t\"a}]\\\"b\"\n\t}\n}", "[1,2]"}},
        // The tool ended mid-document.
        {{"{", "\t\"a\": 1,"}, {line_rec("{"), line_rec("\\t\\\"a\\\": 1,")}},
        // Balanced but not one value, or text after its end, or a string across lines.
        {{"{", "x", "}"}, {line_rec("{"), line_rec("x"), line_rec("}")}},
        {{"[", "1", "] more"}, {line_rec("["), line_rec("1"), line_rec("] more")}},
        {{"{\"a", "b\"}", "c"}, {line_rec("{\\\"a"), line_rec("b\\\"}"), line_rec("c")}},
    };
    for (const auto& [lines, want] : cases) EXPECT_EQ(iperf_chunks(lines), want) << lines[0] << lines[1];
}

TEST(IperfOutput, OversizedDocumentFallsBackToLines) {
    strings lines = {"{"};
    const std::string member = "\"k\":\"" + std::string(8000, 'x') + "\",";
    while (lines.size() * member.size() < IPERF_DOC_MAX_BYTES + 4 * member.size()) lines.push_back(member);
    lines.push_back("\"end\":1}");
    strings got = iperf_chunks(lines);
    ASSERT_EQ(got.size(), lines.size());
    for (size_t i = 0; i < got.size(); i++) EXPECT_EQ(got[i].rfind("{\"type\":\"line\"", 0), 0u) << i;
}

TEST(IperfOutput, KillMatchesTheToolsNamesOnly) {
    for (const char* yes : {"iperf3", "iperf3-extra", "iperf3-"}) EXPECT_TRUE(iperf3_name_matches(yes)) << yes;
    for (const char* no : {"iperf3x", "iperf", "xiperf3", "iperf33", ""}) EXPECT_FALSE(iperf3_name_matches(no)) << no;
}
