// Parsers and input rules of the host information, tracing and capture operations, on recorded text.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "config/config.h"
#include "wire/reply.h"
#include "wire/args.h"
#include "daemon/optable.h"
#include "ops/files.h"
#include "ops/net.h"
#include "ops/capture.h"
#include "ops/trace.h"
#include "ops/hardware.h"
#include "wire/json.h"
#include "proc/procfs.h"
#include "proc/tools.h"
#include "unit_helpers.h"
#include "base/sb.h"

namespace {

using strings = std::vector<std::string>;

// The fields of one mounts line joined with '|', or "-1" when it does not parse.
std::string mount_fields(const char* line) {
    mount_entry_t m;
    if (mounts_parse_line(line, &m) != 0) return "-1";
    return std::string(m.src) + "|" + std::string(m.mountpoint) + "|" + std::string(m.fstype) + "|" + std::string(m.opts);
}

std::string ip_fields(const std::string& line) {
    ip_addr_entry_t e;
    if (ip_parse_addr_line(line, &e) != 0) return "-1";
    return std::string(e.iface) + "|" + std::string(e.addr);
}

template <typename Fn>
std::string built(Fn fn, std::string_view text) {
    sb_t s;
    EXPECT_EQ(fn(text, &s), 0);
    return s.buf ? std::string(s.buf, s.len) : std::string();
}

}  // namespace

TEST(MountsParse, FieldsAtRunsOfSpacesAndTheTableWithoutSnapshotsOrShortLines) {
    // Octal escapes are kept and only the space separates.
    const std::pair<const char*, const char*> cases[] = {
        {"/dev/sda1 / ext4 rw,relatime 0 0", "/dev/sda1|/|ext4|rw,relatime"},
        {"  tank/a   /mnt/my\\040dir  zfs\trw  0 0", "tank/a|/mnt/my\\040dir|zfs\trw|0"},
        {"src dir type", "src|dir|type|"}, {"src dir", "-1"}, {"   ", "-1"}};
    for (const auto& [line, want] : cases) EXPECT_EQ(mount_fields(line), want) << line;
    EXPECT_EQ(built(mounts_build_json, "proc /proc proc rw 0 0\n\ntank/fs@s1 /tank/fs/.zfs/snapshot/s1 zfs ro 0 0\n"
                                       "tank/fs /tank/fs/.zfs zfs rw 0 0\nshort line\na \"b\" c\n"),
              R"({"mounts":[{"src":"proc","mountpoint":"/proc","fstype":"proc","opts":"rw"},)"
              R"({"src":"tank/fs","mountpoint":"/tank/fs/.zfs","fstype":"zfs","opts":"rw"},)"
              R"({"src":"a","mountpoint":"\"b\"","fstype":"c","opts":""}]})");
    EXPECT_EQ(built(mounts_build_json, ""), R"({"mounts":[]})");
}

TEST(MountsParse, ReplyStopsGrowingPastItsSoftLimit) {
    std::string table;
    for (int i = 0; i < 20000; i++) table += "src" + std::to_string(i) + " /m/" + std::to_string(i) + " tmpfs rw 0 0\n";
    std::string out = built(mounts_build_json, table);
    EXPECT_GE(out.size(), MOUNTS_REPLY_SOFT_MAX);
    EXPECT_LT(out.size(), MOUNTS_REPLY_SOFT_MAX + 200);  // the whole table would be over 1 MiB
    EXPECT_TRUE(json_is_one_value(out));
}

TEST(IpParse, SecondAndFourthTokens) {
    const std::pair<std::string, std::string> cases[] = {
        {"1: lo    inet 127.0.0.1/8 scope host lo\\       valid_lft forever", "lo|127.0.0.1/8"},
        {"\t2:\teth0\tinet\t10.0.0.2/24", "eth0|10.0.0.2/24"}, {"3: eth1 inet", "-1"}, {"", "-1"},
        {"4: " + std::string(100, 'n') + " inet " + std::string(80, '1'),  // both fields cut to their bound
         std::string(NET_FIELD_MAX, 'n') + "|" + std::string(NET_FIELD_MAX, '1')},
    };
    for (const auto& [line, want] : cases) EXPECT_EQ(ip_fields(line), want) << line;
    EXPECT_EQ(built(net_addrs_build_json, "1: lo    inet 127.0.0.1/8 scope host lo\n\nbroken\n5: w\"x inet 10.9.8.7/16\n"),
              R"({"addrs":[{"iface":"lo","addr":"127.0.0.1/8"},{"iface":"w\"x","addr":"10.9.8.7/16"}]})");
}

TEST(JsonCheck, ExactlyOneCompleteValueAndOnlyAnObjectPassesThrough) {
    for (const char* good : {"{}", "{\"a\":1}", " {\"a\":[1,-2.5e+3,0.1,true,false,null,\"\\u00e9\\n\"]}\n",
                             "[]", "\"s\"", "0", "{\"a\":{\"b\":{}}}"})
        EXPECT_TRUE(json_is_one_value(good)) << good;
    for (const char* bad : {"", "{", "{\"a\":1", "{\"a\":1}{}", "{\"a\":1} x", "{\"a\" 1}", "{\"a\":1 \"b\":2}",
                            "{\"a\":nul}", "{\"a\":01}", "{\"a\":1.}", "{\"a\":-}", "{a:1}", "{\"a\":1,}",
                            "[1,]", "{\"a\":\"x\ty\"}", "{\"a\":\"\\x\"}", "{\"a\":\"\\u12\"}", "{\"a\":1}\x01"})
        EXPECT_FALSE(json_is_one_value(bad)) << bad;
    EXPECT_FALSE(json_is_one_value(std::string("{\"a\":1}\0", 8)));
    const size_t too_deep = JSON_CHECK_MAX_DEPTH + 1;
    EXPECT_FALSE(json_is_one_value(std::string(too_deep, '[') + std::string(too_deep, ']')));
    EXPECT_TRUE(json_is_one_value(std::string(100, '[') + std::string(100, ']')));
    // smartctl's output passes through only as an object (shown over the socket); the rest is text.
    EXPECT_EQ(built(smart_result_json, "[1]\n"), R"({"text":"[1]\n"})");
    EXPECT_EQ(built(smart_result_json, "{\"x\":\"\x7f\"} \""), "{\"text\":\"{\\\"x\\\":\\\"\x7f\\\"} \\\"\"}");
}

// What each rule accepts and refuses; the checks built on them are covered over the socket
// (files, hwnet, capture tests). A filter word starting with a dash would reach the tool as an option.
TEST(InputRules, CharacterSetsLengthsAndComponents) {
    const std::string h = "0123456789abcdef0123456789abcdef", name = h + ".pcap";
    const std::string deep = "/" + std::string(239, 'd') + "/pcap_cache/" + name;  // 289 characters
    const struct {
        int (*check)(const char*);
        strings yes, no;
    } rows[] = {
        {[](const char* p) { return path_has_dotdot(p); }, {"..", "/var/log/../etc", "/var/log/..", "../x"},
         {"/var/log/..x", "/var/log/x..", "/var/log/./x", ""}},
        {[](const char* dev) {
             const char *code = nullptr, *msg = nullptr;
             return smart_device_check(dev, &code, &msg) + 1;  // 0 or -1
         },
         {"/dev/sda", "/dev/nvme0n1", "/dev/", "/dev/my_disk-1"},
         {"", "sda", "/dev/disk/by-id/ata-X", "/dev/sda ", "/dev/sda;reboot", "/dev/sd\xc3\xa4"}},
        {smart_type_ok, {"sat", "megaraid,0"}, {"sat;x", "sat x", "-x", ""}},
        {dmi_type_ok, {"memory", "17"}, {"bios,system", ""}},
        {pcap_iface_ok, {"eth0.100", "br-lan_2:1@x", std::string(39, 'e')},
         {std::string(40, 'e'), "", "eth 0", "eth0;", "eth\xc3\xa9"}},
        {pcap_bpf_ok,
         {"", "tcp[13] & 2 != 0 and (port 80 || host 10.0.0.1) and not net fe80::/10", "len-4 > 100",
          std::string(255, 'a')},
         {std::string(256, 'a'), "port 80; rm", "port $x", "-w /etc/x", "port 80 -z /tmp/x"}},
        {trace_filter_ok, {"", "open,read", "!%file,/open/", std::string(127, 'o')},
         {std::string(128, 'o'), "open read", "open;read"}},
        {pcap_out_path_ok, {"/data/pcap_cache/" + name, "/pcap_cache/" + name, "/a/pcap_cache/b-c_d.e/" + name, deep},
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
    const std::pair<std::string, strings> rows[] = {
        {"", {}}, {"   ", {}}, {"udp port 53", {"udp", "port", "53"}}, {"  host   10.0.0.1 ", {"host", "10.0.0.1"}},
        {"a b c d e", {"a", "b", "c"}}};
    for (const auto& [text, want] : rows) {
        std::string buf = text;
        char* words[3];
        EXPECT_EQ(strings(words, words + pcap_bpf_split(buf.data(), words, 3)), want) << text;
    }
}

// A write of more than 4 MiB cannot arrive in one frame; the handler still refuses it.
TEST(WriteFile, DataAboveFourMiBIsRefused) {
    vornd_config_t* c = new vornd_config_t;
    config_set_defaults(c);
    config_parse_allow(&c->paths_write_file, "/nonexistent-dir/");
    g_cfg.store(cfg_snapshot_t(c));
    SocketPair sp;
    auto call = [&](size_t data_len) {
        Parsed p(R"({"path":"/nonexistent-dir/f","data":")" + std::string(data_len, 'x') + "\"}", 16);
        op_write_file(sp.near(), "w", p.js.c_str(), p.toks.data(), p.n(), 0);
        return sp.read_frame();
    };
    EXPECT_EQ(call(4194305), frame_of(R"({"id":"w","ok":false,"code":"ETOOBIG","error":"data too large"})"));
    EXPECT_EQ(call(4194304), frame_of(R"({"id":"w","ok":false,"code":"EIO","error":"open failed"})"));
    auto* defaults = new vornd_config_t;
    config_set_defaults(defaults);
    g_cfg.store(cfg_snapshot_t(defaults));
}
