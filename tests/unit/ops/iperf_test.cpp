// iperf3's rows and documents as the daemon turns them into records, and the names its kill matches.
#include <gtest/gtest.h>

#include <string>

#include "ops/iperf.h"
#include "ops/tool_helpers.h"
#include "wire/reply.h"

namespace {

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
