// fio's status lines and reports as the daemon turns them into records, and its work directories.
#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>
#include <utility>

#include "base/sb.h"
#include "ops/fio.h"
#include "ops/tool_helpers.h"
#include "wire/reply.h"

namespace {

std::string log_rec(const std::string& escaped) { return "{\"type\":\"log\",\"line\":\"" + escaped + "\"}"; }
std::string progress(const char* pct) { return std::string("{\"type\":\"progress\",\"index\":1,\"pct\":") + pct + "}"; }

}  // namespace

TEST(FioOutput, StatusLinesGiveProgressRecords) {
    const std::pair<const char*, strings> cases[] = {
        {"Jobs: 1 (f=1): [W(1)][75.0%][w=6874MiB/s][w=6873 IOPS][eta 00m:01s]",
         {log_rec("Jobs: 1 (f=1): [W(1)][75.0%][w=6874MiB/s][w=6873 IOPS][eta 00m:01s]"), progress("75.00")}},
        {"Jobs: 1: [12.5% done] [eta 01m:02s]", {log_rec("Jobs: 1: [12.5% done] [eta 01m:02s]"), progress("12.50")}},
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

// The raw output: a carriage return ends a line as a line feed does, empty lines give nothing,
// and a last line without its end is handed over at the flush.
TEST(FioOutput, CarriageReturnsEndLines) {
    strings got = chunks_of([&](op_emit_t* e) {
        fio_lines_t l;
        l.fc.e = e;
        l.fc.idx = 1;
        const std::string raw = "Jobs: 1 (f=1)\rJobs: 1 (f=1): [w(1)][100.0%][w=1092MiB/s]\r\r\nlast";
        EXPECT_EQ(fio_raw_cb(&l, 1, raw.data(), raw.size()), 0);
        fio_lines_flush(&l);
    });
    EXPECT_EQ(got, (strings{log_rec("Jobs: 1 (f=1)"), log_rec("Jobs: 1 (f=1): [w(1)][100.0%][w=1092MiB/s]"),
                            progress("100.00"), log_rec("last")}));
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
    const std::pair<std::string, pid_t> dirs[] = {{p + "123", 123}, {p + "123_4", 123},     {p + "123_", 0},
                                                  {p + "123x", 0},  {p + "0", 0},           {p + "12_3_4", 0},
                                                  {p, 0},           {p + "99999999999", 0}, {"other_1", 0}};
    for (const auto& [name, pid] : dirs) EXPECT_EQ(fio_workdir_pid(name.c_str()), pid) << name;
}
