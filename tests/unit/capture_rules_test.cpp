// The rules that stand between a client's words and the tracer's and capture tools' argument
// vectors: character sets and lengths, the output-path rule, the filter's word splitting.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ops_thrum.h"

namespace {

const std::string HEX32 = "0123456789abcdef0123456789abcdef";

}  // namespace

TEST(CaptureRules, WordCharacterSetsAndLengths) {
    struct row {
        int (*check)(const char*);
        std::string word;
        int ok;
    };
    const row rows[] = {
        {pcap_iface_ok, "eth0.100", 1},
        {pcap_iface_ok, "br-lan_2:1@x", 1},
        {pcap_iface_ok, std::string(39, 'e'), 1},
        {pcap_iface_ok, std::string(40, 'e'), 0},
        {pcap_iface_ok, "", 0},
        {pcap_iface_ok, "eth 0", 0},
        {pcap_iface_ok, "eth0;", 0},
        {pcap_iface_ok, "eth\xc3\xa9", 0},
        {pcap_bpf_ok, "", 1},
        {pcap_bpf_ok, "tcp[13] & 2 != 0 and (port 80 || host 10.0.0.1) and not net fe80::/10", 1},
        {pcap_bpf_ok, "len-4 > 100", 1},
        {pcap_bpf_ok, std::string(255, 'a'), 1},
        {pcap_bpf_ok, std::string(256, 'a'), 0},
        {pcap_bpf_ok, "port 80; rm", 0},
        {pcap_bpf_ok, "port $x", 0},
        // A word that starts with a dash would reach the tool as an option (-w FILE, -z CMD).
        {pcap_bpf_ok, "-w /etc/x", 0},
        {pcap_bpf_ok, "port 80 -z /tmp/x", 0},
        {trace_filter_ok, "", 1},
        {trace_filter_ok, "open,read", 1},
        {trace_filter_ok, "!%file,/open/", 1},
        {trace_filter_ok, std::string(127, 'o'), 1},
        {trace_filter_ok, std::string(128, 'o'), 0},
        {trace_filter_ok, "open read", 0},
        {trace_filter_ok, "open;read", 0},
    };
    for (const row& r : rows) EXPECT_EQ(r.check(r.word.c_str()), r.ok) << r.word;
}

TEST(CaptureRules, OutPathRule) {
    const std::string deep = "/" + std::string(239, 'd') + "/pcap_cache/" + HEX32 + ".pcap";  // 289
    const std::pair<std::string, int> rows[] = {
        {"/data/pcap_cache/" + HEX32 + ".pcap", 1},
        {"/pcap_cache/" + HEX32 + ".pcap", 1},
        {"/a/pcap_cache/b-c_d.e/" + HEX32 + ".pcap", 1},
        {deep, 1},
        {"/" + deep, 0},  // 290 characters
        {"/data/pcap_cache/0123456789ABCDEF0123456789abcdef.pcap", 0},
        {"/data/pcap_cache/../" + HEX32 + ".pcap", 0},
        {"/data/cache/" + HEX32 + ".pcap", 0},
        {"data/pcap_cache/" + HEX32 + ".pcap", 0},
        {"/data/pcap_cache/" + HEX32 + "0.pcap", 0},
        {"/data/pcap_cache/" + HEX32.substr(1) + ".pcap", 0},
        {"/data/pcap_cache/" + HEX32 + ".pcapng", 0},
        {"/data/pcap_cache/" + HEX32 + "pcap", 0},
        {"/data/pcap cache/pcap_cache/" + HEX32 + ".pcap", 0},
        {"/data/pcap_cache/x/" + HEX32.substr(0, 31) + "g.pcap", 0},
        {"", 0},
    };
    for (const auto& [path, ok] : rows) EXPECT_EQ(pcap_out_path_ok(path.c_str()), ok) << path;
}

TEST(CaptureRules, FilterSplitsAtRunsOfSpacesAndDropsWordsBeyondTheLimit) {
    const std::pair<std::string, std::vector<std::string>> rows[] = {
        {"", {}},
        {"   ", {}},
        {"udp port 53", {"udp", "port", "53"}},
        {"  host   10.0.0.1 ", {"host", "10.0.0.1"}},
        {"a b c d e", {"a", "b", "c"}},
    };
    for (const auto& [text, want] : rows) {
        std::string buf = text;
        char* words[3];
        int n = pcap_bpf_split(buf.data(), words, 3);
        EXPECT_EQ(std::vector<std::string>(words, words + n), want) << text;
    }
}
