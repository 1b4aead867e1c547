// Parsers and rules of the host information operations, on recorded text.

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "config.h"
#include "jsmn.h"
#include "ops.h"
#include "ops_misc.h"
#include "ops_util.h"
#include "proto.h"

namespace {

std::string sb_str(const sb_t& s) { return s.buf ? std::string(s.buf, s.len) : std::string(); }

cfg_allow_t list_of(const char* v) {
    cfg_allow_t a;
    config_parse_allow(&a, v);
    return a;
}

}  // namespace

TEST(PathRule, DotDotComponentsAreRefusedOnlyForLists) {
    EXPECT_TRUE(path_has_dotdot(".."));
    EXPECT_TRUE(path_has_dotdot("/var/log/../etc"));
    EXPECT_TRUE(path_has_dotdot("/var/log/.."));
    EXPECT_TRUE(path_has_dotdot("../x"));
    EXPECT_FALSE(path_has_dotdot("/var/log/..x"));
    EXPECT_FALSE(path_has_dotdot("/var/log/x.."));
    EXPECT_FALSE(path_has_dotdot("/var/log/./x"));
    EXPECT_FALSE(path_has_dotdot(""));

    cfg_allow_t list = list_of("/var/log");
    EXPECT_TRUE(ops_path_allowed(&list, "/var/log/messages"));
    EXPECT_TRUE(ops_path_allowed(&list, "/var/logger"));  // the byte-prefix rule stays
    EXPECT_FALSE(ops_path_allowed(&list, "/var/log/../../etc/passwd"));
    EXPECT_FALSE(ops_path_allowed(&list, "/etc/passwd"));
    cfg_allow_t all = list_of("ALL");
    EXPECT_TRUE(ops_path_allowed(&all, "/var/log/../../etc/passwd"));
    cfg_allow_t none = list_of("NONE");
    EXPECT_FALSE(ops_path_allowed(&none, "/var/log/x"));
}

TEST(MountsParse, FieldsAtRunsOfSpaces) {
    mount_entry_t m;
    ASSERT_EQ(mounts_parse_line("/dev/sda1 / ext4 rw,relatime 0 0", &m), 0);
    EXPECT_EQ(m.src, "/dev/sda1");
    EXPECT_EQ(m.mountpoint, "/");
    EXPECT_EQ(m.fstype, "ext4");
    EXPECT_EQ(m.opts, "rw,relatime");
    ASSERT_EQ(mounts_parse_line("  tank/a   /mnt/my\\040dir  zfs\trw  0 0", &m), 0);
    EXPECT_EQ(m.src, "tank/a");
    EXPECT_EQ(m.mountpoint, "/mnt/my\\040dir");  // octal escapes are kept
    EXPECT_EQ(m.fstype, "zfs\trw");             // only the space separates
    EXPECT_EQ(m.opts, "0");
    ASSERT_EQ(mounts_parse_line("src dir type", &m), 0);
    EXPECT_EQ(m.opts, "");
    EXPECT_EQ(mounts_parse_line("src dir", &m), -1);
    EXPECT_EQ(mounts_parse_line("   ", &m), -1);
}

TEST(MountsParse, TableSkipsSnapshotsAndShortLines) {
    const char* table =
        "proc /proc proc rw 0 0\n"
        "\n"
        "tank/fs@s1 /tank/fs/.zfs/snapshot/s1 zfs ro 0 0\n"
        "tank/fs /tank/fs/.zfs zfs rw 0 0\n"
        "short line\n"
        "a \"b\" c\n";
    sb_t s;
    ASSERT_EQ(mounts_build_json(table, &s), 0);
    EXPECT_EQ(sb_str(s),
              R"({"mounts":[{"src":"proc","mountpoint":"/proc","fstype":"proc","opts":"rw"},)"
              R"({"src":"tank/fs","mountpoint":"/tank/fs/.zfs","fstype":"zfs","opts":"rw"},)"
              R"({"src":"a","mountpoint":"\"b\"","fstype":"c","opts":""}]})");
    sb_t empty;
    ASSERT_EQ(mounts_build_json("", &empty), 0);
    EXPECT_EQ(sb_str(empty), R"({"mounts":[]})");
}

TEST(MountsParse, ReplyStopsGrowingPastItsSoftLimit) {
    std::string table;
    for (int i = 0; i < 20000; i++) table += "src" + std::to_string(i) + " /m/" + std::to_string(i) + " tmpfs rw 0 0\n";
    sb_t s;
    ASSERT_EQ(mounts_build_json(table, &s), 0);
    std::string out = sb_str(s);
    EXPECT_GE(out.size(), MOUNTS_REPLY_SOFT_MAX);
    EXPECT_LT(out.size(), MOUNTS_REPLY_SOFT_MAX + 200);
    EXPECT_EQ(out.substr(out.size() - 4), "\"}]}");
    EXPECT_TRUE(json_is_one_value(out));
    EXPECT_EQ(out.find("/m/19999"), std::string::npos);
}

TEST(IpParse, SecondAndFourthTokens) {
    ip_addr_entry_t e;
    ASSERT_EQ(ip_parse_addr_line("1: lo    inet 127.0.0.1/8 scope host lo\\       valid_lft forever", &e), 0);
    EXPECT_EQ(e.iface, "lo");
    EXPECT_EQ(e.addr, "127.0.0.1/8");
    ASSERT_EQ(ip_parse_addr_line("\t2:\teth0\tinet\t10.0.0.2/24", &e), 0);
    EXPECT_EQ(e.iface, "eth0");
    EXPECT_EQ(e.addr, "10.0.0.2/24");
    EXPECT_EQ(ip_parse_addr_line("3: eth1 inet", &e), -1);
    EXPECT_EQ(ip_parse_addr_line("", &e), -1);
    std::string longname(100, 'n');
    ASSERT_EQ(ip_parse_addr_line("4: " + longname + " inet " + std::string(80, '1'), &e), 0);
    EXPECT_EQ(e.iface.size(), NET_FIELD_MAX);
    EXPECT_EQ(e.addr.size(), NET_FIELD_MAX);

    sb_t s;
    ASSERT_EQ(net_addrs_build_json("1: lo    inet 127.0.0.1/8 scope host lo\n\nbroken\n5: w\"x inet 10.9.8.7/16\n", &s), 0);
    EXPECT_EQ(sb_str(s), R"({"addrs":[{"iface":"lo","addr":"127.0.0.1/8"},{"iface":"w\"x","addr":"10.9.8.7/16"}]})");
}

TEST(JsonCheck, ExactlyOneCompleteValue) {
    for (const char* good : {"{}", "{\"a\":1}", " {\"a\":[1,-2.5e+3,0.1,true,false,null,\"\\u00e9\\n\"]}\n",
                             "[]", "\"s\"", "0", "{\"a\":{\"b\":{}}}"})
        EXPECT_TRUE(json_is_one_value(good)) << good;
    for (const char* bad : {"", "{", "{\"a\":1", "{\"a\":1}{}", "{\"a\":1} x", "{\"a\" 1}", "{\"a\":1 \"b\":2}",
                            "{\"a\":nul}", "{\"a\":01}", "{\"a\":1.}", "{\"a\":-}", "{a:1}", "{\"a\":1,}",
                            "[1,]", "{\"a\":\"x\ty\"}", "{\"a\":\"\\x\"}", "{\"a\":\"\\u12\"}", "{\"a\":1}\x01"})
        EXPECT_FALSE(json_is_one_value(bad)) << bad;
    EXPECT_FALSE(json_is_one_value(std::string("{\"a\":1}\0", 8)));
    std::string deep(JSON_CHECK_MAX_DEPTH + 1, '[');
    deep += std::string(JSON_CHECK_MAX_DEPTH + 1, ']');
    EXPECT_FALSE(json_is_one_value(deep));
    std::string ok_depth(100, '[');
    ok_depth += std::string(100, ']');
    EXPECT_TRUE(json_is_one_value(ok_depth));
}

TEST(JsonCheck, SmartResultPassesThroughOrWrapsAsText) {
    sb_t a;
    smart_result_json("{\"x\":1}\n", &a);
    EXPECT_EQ(sb_str(a), "{\"x\":1}\n");
    sb_t b;
    smart_result_json("[1]\n", &b);  // only an object is passed through
    EXPECT_EQ(sb_str(b), R"({"text":"[1]\n"})");
    sb_t c;
    smart_result_json("", &c);
    EXPECT_EQ(sb_str(c), R"({"text":""})");
    sb_t d;
    smart_result_json("{\"x\":\"\x7f\"} \"", &d);
    EXPECT_EQ(sb_str(d), "{\"text\":\"{\\\"x\\\":\\\"\x7f\\\"} \\\"\"}");
}

TEST(DeviceRules, SmartDeviceAndTypes) {
    const char* code = nullptr;
    const char* msg = nullptr;
    EXPECT_EQ(smart_device_check("/dev/sda", &code, &msg), 0);
    EXPECT_EQ(smart_device_check("/dev/nvme0n1", &code, &msg), 0);
    EXPECT_EQ(smart_device_check("/dev/", &code, &msg), 0);
    EXPECT_EQ(smart_device_check("/dev/my_disk-1", &code, &msg), 0);
    ASSERT_EQ(smart_device_check("", &code, &msg), -1);
    EXPECT_STREQ(code, "EREQ");
    EXPECT_STREQ(msg, "device required");
    ASSERT_EQ(smart_device_check("sda", &code, &msg), -1);
    EXPECT_STREQ(code, "EBADDEV");
    EXPECT_STREQ(msg, "device must start with /dev/");
    ASSERT_EQ(smart_device_check("/dev/disk/by-id/ata-X", &code, &msg), -1);
    EXPECT_STREQ(msg, "invalid device name");
    EXPECT_EQ(smart_device_check("/dev/sda ", &code, &msg), -1);
    EXPECT_EQ(smart_device_check("/dev/sd\xc3\xa4", &code, &msg), -1);

    EXPECT_TRUE(smart_type_ok("sat"));
    EXPECT_TRUE(smart_type_ok("megaraid,0"));
    EXPECT_FALSE(smart_type_ok("sat;x"));
    EXPECT_FALSE(smart_type_ok("sat x"));
    EXPECT_FALSE(smart_type_ok("-x"));
    EXPECT_FALSE(smart_type_ok(""));
    EXPECT_TRUE(dmi_type_ok("memory"));
    EXPECT_TRUE(dmi_type_ok("17"));
    EXPECT_FALSE(dmi_type_ok("bios,system"));
    EXPECT_FALSE(dmi_type_ok(""));
}

TEST(ArgArray, NestedEntriesCountOnce) {
    const char* js = R"({"names":["a",{"k":["x","y"]},["p",{"q":1}],"b",7,"c"]})";
    jsmntok_t toks[64];
    jsmn_parser p;
    jsmn_init(&p);
    int n = jsmn_parse(&p, js, strlen(js), toks, 64);
    ASSERT_GT(n, 0);
    char out[16][256];
    ASSERT_EQ(arg_array_strs(js, toks, n, "names", out, 16), 6);
    EXPECT_STREQ(out[0], "a");
    EXPECT_STREQ(out[1], "");
    EXPECT_STREQ(out[2], "");
    EXPECT_STREQ(out[3], "b");
    EXPECT_STREQ(out[4], "7");
    EXPECT_STREQ(out[5], "c");
    ASSERT_EQ(arg_array_strs(js, toks, n, "names", out, 2), 2);
    EXPECT_STREQ(out[1], "");
}

// A write of more than 4 MiB cannot arrive in one frame; the handler still refuses it.
TEST(WriteFile, DataAboveFourMiBIsRefused) {
    vornd_config_t* c = new vornd_config_t;
    config_set_defaults(c);
    config_parse_allow(&c->paths_write_file, "/nonexistent-dir/");
    g_cfg.store(cfg_snapshot_t(c));
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    unique_fd a(sv[0]), b(sv[1]);
    auto call = [&](size_t data_len) {
        std::string js = R"({"path":"/nonexistent-dir/f","data":")" + std::string(data_len, 'x') + "\"}";
        std::vector<jsmntok_t> toks(16);
        jsmn_parser p;
        jsmn_init(&p);
        int n = jsmn_parse(&p, js.c_str(), js.size(), toks.data(), 16);
        op_write_file(a.get(), "w", js.c_str(), toks.data(), n, 0);
        sb_t reply;
        proto_read_frame(b.get(), &reply);
        return sb_str(reply);
    };
    EXPECT_EQ(call(4194305), R"({"id":"w","ok":false,"code":"ETOOBIG","error":"data too large"})");
    EXPECT_EQ(call(4194304), R"({"id":"w","ok":false,"code":"EIO","error":"open failed"})");
    auto* defaults = new vornd_config_t;
    config_set_defaults(defaults);
    g_cfg.store(cfg_snapshot_t(defaults));
}
