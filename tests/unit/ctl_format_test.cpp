// The client's nested JSON reader and vornctl's formatting: units, cutting, column layout.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client.h"
#include "vornctl_term.h"

TEST(JsonReader, NestedAccessInTextOrder) {
    const std::string text =
        R"( {"disks":{"sda":{"util":9.5},"md0":{"util":"1e2"},"sda":{"util":1}},"procs":[{"pid":7,"comm":"a\"\u00e9\n"},)"
        R"([],{}],"nested":[[[{"deep":true}]]],"neg":-2.5e1,"nul":null} )";
    vc_json_doc doc;
    ASSERT_TRUE(doc.parse(text));
    vc_json r = doc.root();
    std::vector<vc_json::member> disks = r.get("disks").members();
    ASSERT_EQ(disks.size(), 3u);  // repeated keys kept, in order
    EXPECT_EQ(disks[0].key, "sda");
    EXPECT_EQ(disks[1].value.get("util").num(), 100);  // a number inside a string
    EXPECT_EQ(disks[2].value.get("util").num(), 1);
    EXPECT_EQ(r.get("disks").get("sda").get("util").num(), 9.5);  // the first of two
    std::vector<vc_json> procs = r.get("procs").elements();
    ASSERT_EQ(procs.size(), 3u);
    EXPECT_EQ(procs[0].get("comm").str(), "a\"\xc3\xa9\n");
    EXPECT_EQ(procs[0].get("comm").raw(), R"("a\"\u00e9\n")");
    EXPECT_EQ(procs[0].get("pid").str(), "7");
    EXPECT_TRUE(procs[1].is_array() && procs[1].elements().empty());
    EXPECT_TRUE(procs[2].is_object() && procs[2].members().empty());
    EXPECT_TRUE(r.get("nested").elements()[0].elements()[0].elements()[0].get("deep").is_true());
    EXPECT_EQ(r.get("neg").num(), -25);
    // Absent values, and values of the wrong kind, give the defaults.
    EXPECT_FALSE(r.get("none").ok() || r.get("none").get("x").get("y").ok());
    for (const char* k : {"none", "procs", "nul"}) EXPECT_EQ(r.get(k).num(-1), -1) << k;
    EXPECT_EQ(r.get("none").str("dflt"), "dflt");
    EXPECT_TRUE(r.get("procs").members().empty());
    EXPECT_TRUE(r.get("disks").elements().empty());
}

TEST(JsonReader, RefusesWhatIsNotOneValue) {
    for (const char* bad : {"", "   ", "{\"a\":1", "{\"a\":1} {}", "{\"a\":1}x", "[1,2", "\"open", "{\"a\"}", "{\"a\":1,\"b\"}", "{1:2}"}) {
        vc_json_doc doc;
        EXPECT_FALSE(doc.parse(bad)) << bad;
        EXPECT_FALSE(doc.root().ok()) << bad;
    }
}

// A frame with line breaks outside strings loses that white space; any other is kept as it is.
TEST(FrameLine, PrettyFramesBecomeOneLine) {
    const std::pair<std::string, std::string> cases[] = {
        {R"({"id":"1", "ok" : true, "s":"a\nb"})", R"({"id":"1", "ok" : true, "s":"a\nb"})"},
        {"{\"data\":{\n\t\"a b\" : [1, 2],\r\n  \"q\":\"x\\\" {\\\\\" ,\n\"e\" :\"\"\n}\n}\n",
         R"({"data":{"a b":[1,2],"q":"x\" {\\","e":""}})"},
        {"{\"a\":1}\r", R"({"a":1})"},
        {"\"open \n", "\"open \n"},  // inside a string that never ends: no line break outside strings
    };
    std::string scratch;
    for (const auto& [frame, line] : cases) EXPECT_EQ(vc_frame_line(frame, &scratch), line) << frame;
}

TEST(TermFormat, Units) {
    const std::pair<std::string, std::string> cases[] = {
        {fmt_bytes(0), "0 B"}, {fmt_bytes(1023), "1023 B"}, {fmt_bytes(1536), "1.5 KiB"},
        {fmt_bytes(25232539648.0), "23.5 GiB"}, {fmt_bytes(1024.0 * 1024 * 1024 * 1024 * 1024 * 3), "3.0 PiB"},
        {fmt_bits(999), "999 bit/s"}, {fmt_bits(4260614657.2), "4.26 Gbit/s"},
        {fmt_duration(-3), "0:00"}, {fmt_duration(59.9), "0:59"}, {fmt_duration(754), "12:34"},
        {fmt_duration(3723), "1:02:03"}, {fmt_nsec(850), "850 ns"}, {fmt_nsec(12345), "12.3 us"},
        {fmt_nsec(19013886.125), "19.01 ms"}, {fmt_nsec(1.2e9), "1.20 s"}, {fmt_bar(0, 7), "[-----]"},
        {fmt_bar(50, 12), "[#####-----]"}, {fmt_bar(250, 7), "[#####]"}, {fmt_bar(-5, 7), "[-----]"}};
    for (const auto& [got, want] : cases) EXPECT_EQ(got, want);
}

TEST(TermFormat, TextIsCleanedAndCutByColumns) {
    EXPECT_EQ(term_clean("a\tb\x1b[2Jc\x7f\xc2\x9b" "d\xc3\xa9"), "a b?[2Jc??d\xc3\xa9");
    EXPECT_EQ(term_width("d\xc3\xa9j\xe2\x82\xac"), 4u);
    EXPECT_EQ(term_cut("d\xc3\xa9j\xe2\x82\xac", 2), "d\xc3\xa9");  // never inside a sequence
    EXPECT_EQ(term_cut("abc", 9), "abc");
    EXPECT_EQ(term_pad("\xc3\xa9", 3, true), "  \xc3\xa9");
}

TEST(TermFormat, TableAlignsAndCutsTheFlexColumn) {
    const std::vector<term_col_t> cols = {{"PID", true}, {"NAME"}, {"COMMAND", false, true}};
    const std::vector<std::vector<std::string>> rows = {{"1", "init", "/sbin/init splash"},
                                                        {"12345", "x\x1b", "/usr/bin/x --flag"}};
    EXPECT_EQ(term_table(cols, rows, 0), (std::vector<std::string>{"  PID  NAME  COMMAND",
                                                                    "    1  init  /sbin/init splash",
                                                                    "12345  x?    /usr/bin/x --flag"}));
    EXPECT_EQ(term_table(cols, rows, 20), (std::vector<std::string>{"  PID  NAME  COMMAND",
                                                                     "    1  init  /sbin/i",
                                                                     "12345  x?    /usr/bi"}));
    // Without a flex column the lines themselves are cut; minimum widths hold.
    EXPECT_EQ(term_table({{"A", false, false, 4}, {"B", true}}, {{"x", "1"}}, 0),
              (std::vector<std::string>{"A     B", "x     1"}));
    EXPECT_EQ(term_table({{"A", false, false, 4}, {"B", true}}, {{"x", "1"}}, 5), (std::vector<std::string>{"A", "x"}));
    EXPECT_EQ(term_kv({{"memory", "1 GiB"}, {"available", "x\ny"}}, 0),
              (std::vector<std::string>{"memory     1 GiB", "available  x?y"}));
}
