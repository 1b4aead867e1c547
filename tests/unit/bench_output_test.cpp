// The benchmark tools' output as the daemon turns it into records: fio's status lines and
// report files, the names of its work directories, and iperf3's text rows and JSON documents.

#include <gtest/gtest.h>

#include <signal.h>

#include <string>
#include <thread>
#include <vector>

#include "ops_fio.h"
#include "ops_iperf.h"
#include "proto.h"
#include "unit_helpers.h"

namespace {

using strings = std::vector<std::string>;

// Runs `feed` with an emit context on a socket pair and returns the chunk data of every frame
// it sent. A reader thread drains the far end, so a large output never blocks the writer.
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
    op_emit_t e = {sp.near(), "r1", nullptr, 0};
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

    signal(SIGPIPE, SIG_IGN);
    SocketPair sp;
    sp.close_far();
    op_emit_t e = {sp.near(), "r1", nullptr, 0};
    fio_ctx_t fc;
    fc.e = &e;
    EXPECT_EQ(fio_cb(&fc, 1, "fio-3.33"), 1);  // the client is gone: stop the tool
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
