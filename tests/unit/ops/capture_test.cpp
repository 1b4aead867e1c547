// The input rules of the file, hardware, tracing and capture operations; the capture filter's words.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "ops/capture.h"
#include "ops/files.h"
#include "ops/hardware.h"
#include "ops/trace.h"
#include "unit_helpers.h"

// What each rule accepts and refuses; the checks built on them are covered over the socket
// (files, hwnet, capture tests). A filter word starting with a dash would reach the tool as an option.
TEST(InputRules, CharacterSetsLengthsAndComponents) {
    const std::string h = "0123456789abcdef0123456789abcdef", name = h + ".pcap";
    const std::string deep = "/" + std::string(239, 'd') + "/pcap_cache/" + name;  // 289 characters
    const struct {
        int (*check)(const char*);
        strings yes, no;
    } rows[] = {
        {[](const char* p) { return path_has_dotdot(p); },
         {"..", "/var/log/../etc", "/var/log/..", "../x"},
         {"/var/log/..x", "/var/log/x..", "/var/log/./x", ""}},
        {[](const char* dev) { return smart_device_check(dev) ? 0 : 1; },
         {"/dev/sda", "/dev/nvme0n1", "/dev/", "/dev/my_disk-1"},
         {"", "sda", "/dev/disk/by-id/ata-X", "/dev/sda ", "/dev/sda;reboot", "/dev/sd\xc3\xa4"}},
        {smart_type_ok, {"sat", "megaraid,0"}, {"sat;x", "sat x", "-x", ""}},
        {dmi_type_ok, {"memory", "17"}, {"bios,system", ""}},
        {pcap_iface_ok,
         {"eth0.100", "br-lan_2:1@x", std::string(39, 'e')},
         {std::string(40, 'e'), "", "eth 0", "eth0;", "eth\xc3\xa9"}},
        {pcap_bpf_ok,
         {"", "tcp[13] & 2 != 0 and (port 80 || host 10.0.0.1) and not net fe80::/10", "len-4 > 100",
          std::string(255, 'a')},
         {std::string(256, 'a'), "port 80; rm", "port $x", "-w /etc/x", "port 80 -z /tmp/x"}},
        {trace_filter_ok,
         {"", "open,read", "!%file,/open/", std::string(127, 'o')},
         {std::string(128, 'o'), "open read", "open;read"}},
        {pcap_out_path_ok,
         {"/data/pcap_cache/" + name, "/pcap_cache/" + name, "/a/pcap_cache/b-c_d.e/" + name, deep},
         {"/" + deep,  // 290 characters
          "/data/pcap_cache/0123456789ABCDEF0123456789abcdef.pcap", "/data/pcap_cache/../" + name,
          "/data/cache/" + name, "data/pcap_cache/" + name, "/data/pcap_cache/" + h + "0.pcap",
          "/data/pcap_cache/" + h.substr(1) + ".pcap", "/data/pcap_cache/" + h + ".pcapng",
          "/data/pcap_cache/" + h + "pcap", "/data/pcap cache/pcap_cache/" + name,
          "/data/pcap_cache/x/" + h.substr(0, 31) + "g.pcap", ""}},
    };
    for (const auto& r : rows) {
        for (const auto& w : r.yes) EXPECT_EQ(r.check(w.c_str()), 1) << w;
        for (const auto& w : r.no) EXPECT_EQ(r.check(w.c_str()), 0) << w;
    }
}

TEST(CaptureRules, FilterSplitsAtRunsOfSpacesAndDropsWordsBeyondTheLimit) {
    const std::pair<std::string, strings> rows[] = {{"", {}},
                                                    {"   ", {}},
                                                    {"udp port 53", {"udp", "port", "53"}},
                                                    {"  host   10.0.0.1 ", {"host", "10.0.0.1"}},
                                                    {"a b c d e", {"a", "b", "c"}}};
    for (const auto& [text, want] : rows) {
        std::string buf = text;
        char* words[3];
        EXPECT_EQ(strings(words, words + pcap_bpf_split(buf.data(), words, 3)), want) << text;
    }
}
