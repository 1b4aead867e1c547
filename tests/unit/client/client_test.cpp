// The client's nested JSON reader and its one-line form of a frame.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "client.h"

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
    for (const char* bad : {"", "   ", "{\"a\":1", "{\"a\":1} {}", "{\"a\":1}x", "[1,2", "\"open", "{\"a\"}",
                            "{\"a\":1,\"b\"}", "{1:2}"}) {
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
