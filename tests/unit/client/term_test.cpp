// vornctl's formatting: units, cutting, column layout.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "vornctl_term.h"

TEST(TermFormat, Units) {
    const std::pair<std::string, std::string> cases[] = {{fmt_bytes(0), "0 B"},
                                                         {fmt_bytes(1023), "1023 B"},
                                                         {fmt_bytes(1536), "1.5 KiB"},
                                                         {fmt_bytes(25232539648.0), "23.5 GiB"},
                                                         {fmt_bytes(1024.0 * 1024 * 1024 * 1024 * 1024 * 3), "3.0 PiB"},
                                                         {fmt_bits(999), "999 bit/s"},
                                                         {fmt_bits(4260614657.2), "4.26 Gbit/s"},
                                                         {fmt_duration(-3), "0:00"},
                                                         {fmt_duration(59.9), "0:59"},
                                                         {fmt_duration(754), "12:34"},
                                                         {fmt_duration(3723), "1:02:03"},
                                                         {fmt_nsec(850), "850 ns"},
                                                         {fmt_nsec(12345), "12.3 us"},
                                                         {fmt_nsec(19013886.125), "19.01 ms"},
                                                         {fmt_nsec(1.2e9), "1.20 s"},
                                                         {fmt_bar(0, 7), "[-----]"},
                                                         {fmt_bar(50, 12), "[#####-----]"},
                                                         {fmt_bar(250, 7), "[#####]"},
                                                         {fmt_bar(-5, 7), "[-----]"}};
    for (const auto& [got, want] : cases) EXPECT_EQ(got, want);
}

TEST(TermFormat, TextIsCleanedAndCutByColumns) {
    EXPECT_EQ(term_clean("a\tb\x1b[2Jc\x7f\xc2\x9b"
                         "d\xc3\xa9"),
              "a b?[2Jc??d\xc3\xa9");
    EXPECT_EQ(term_width("d\xc3\xa9j\xe2\x82\xac"), 4u);
    EXPECT_EQ(term_cut("d\xc3\xa9j\xe2\x82\xac", 2), "d\xc3\xa9");  // never inside a sequence
    EXPECT_EQ(term_cut("abc", 9), "abc");
    EXPECT_EQ(term_pad("\xc3\xa9", 3, true), "  \xc3\xa9");
}

TEST(TermFormat, TableAlignsAndCutsTheFlexColumn) {
    const std::vector<term_col_t> cols = {{"PID", true}, {"NAME"}, {"COMMAND", false, true}};
    const std::vector<std::vector<std::string>> rows = {{"1", "init", "/sbin/init splash"},
                                                        {"12345", "x\x1b", "/usr/bin/x --flag"}};
    EXPECT_EQ(term_table(cols, rows, 0),
              (std::vector<std::string>{"  PID  NAME  COMMAND", "    1  init  /sbin/init splash",
                                        "12345  x?    /usr/bin/x --flag"}));
    EXPECT_EQ(term_table(cols, rows, 20),
              (std::vector<std::string>{"  PID  NAME  COMMAND", "    1  init  /sbin/i", "12345  x?    /usr/bi"}));
    // Without a flex column the lines themselves are cut; minimum widths hold.
    EXPECT_EQ(term_table({{"A", false, false, 4}, {"B", true}}, {{"x", "1"}}, 0),
              (std::vector<std::string>{"A     B", "x     1"}));
    EXPECT_EQ(term_table({{"A", false, false, 4}, {"B", true}}, {{"x", "1"}}, 5), (std::vector<std::string>{"A", "x"}));
    EXPECT_EQ(term_kv({{"memory", "1 GiB"}, {"available", "x\ny"}}, 0),
              (std::vector<std::string>{"memory     1 GiB", "available  x?y"}));
}
