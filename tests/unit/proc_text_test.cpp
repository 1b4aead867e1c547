// The labelled numbers of /proc text (status, io).

#include <gtest/gtest.h>

#include <string>

#include "ops_util.h"

TEST(ProcText, LabelledNumberIsTheFirstOccurrenceParsedLikeStrtoll) {
    const char* status = "Name:\tx\nVmRSS:\t  1234 kB\nvoluntary_ctxt_switches:\t7\nnonvoluntary_ctxt_switches:\t9\n";
    const struct {
        const char* text;
        const char* label;
        long long want;
    } cases[] = {
        {status, "VmRSS:", 1234},
        {status, "\nVmRSS:", 1234},
        {status, "voluntary_ctxt_switches:", 7},  // the first match, not the longer label's
        {status, "nonvoluntary_ctxt_switches:", 9},
        {status, "VmSize:", -1},
        {"VmRSS:\t5 kB", "\nVmRSS:", -1},  // a label that must follow a line feed
        {"Uid:\t0\t1000\t0\t0\n", "Uid:", 0},
        {"read_bytes: -12\n", "read_bytes:", -12},
        {"State:\tS\n", "State:", 0},  // no digits
        {"", "VmRSS:", -1},
    };
    for (const auto& c : cases) EXPECT_EQ(proc_find_num(c.text, c.label, -1), c.want) << c.label << " in " << c.text;
}
