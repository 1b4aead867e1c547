// Mount table lines and their reply, and the write handler's refusal of data above 4 MiB.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "config/config.h"
#include "daemon/dispatch.h"
#include "ops/files.h"
#include "unit_helpers.h"
#include "wire/json.h"

namespace {

// The fields of one mounts line joined with '|', or "-1" when it does not parse.
std::string mount_fields(const char* line) {
    mount_entry_t m;
    if (mounts_parse_line(line, &m) != 0) return "-1";
    return std::string(m.src) + "|" + std::string(m.mountpoint) + "|" + std::string(m.fstype) + "|" +
           std::string(m.opts);
}

}  // namespace

TEST(MountsParse, FieldsAtRunsOfSpacesAndTheTableWithoutSnapshotsOrShortLines) {
    // Octal escapes are kept and only the space separates.
    const std::pair<const char*, const char*> cases[] = {
        {"/dev/sda1 / ext4 rw,relatime 0 0", "/dev/sda1|/|ext4|rw,relatime"},
        {"  tank/a   /mnt/my\\040dir  zfs\trw  0 0", "tank/a|/mnt/my\\040dir|zfs\trw|0"},
        {"src dir type", "src|dir|type|"},
        {"src dir", "-1"},
        {"   ", "-1"}};
    for (const auto& [line, want] : cases) EXPECT_EQ(mount_fields(line), want) << line;
    EXPECT_EQ(built(mounts_build_json,
                    "proc /proc proc rw 0 0\n\ntank/fs@s1 /tank/fs/.zfs/snapshot/s1 zfs ro 0 0\n"
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

// A write of more than 4 MiB cannot arrive in one frame; the handler still refuses it.
TEST(WriteFile, DataAboveFourMiBIsRefused) {
    vornd_config_t* c = new vornd_config_t;
    config_set_defaults(c);
    config_parse_allow(&c->paths_write_file, "/nonexistent-dir/");
    g_cfg.store(cfg_snapshot_t(c));
    SocketPair sp;
    std::vector<jsmntok_t> toks(CONN_MAX_TOKENS);
    auto call = [&](size_t data_len) {
        std::string js = R"({"id":"w","op":"write_file","args":{"path":"/nonexistent-dir/f","data":")" +
                         std::string(data_len, 'x') + "\"}}";
        conn_handle_request(sp.near(), js.c_str(), js.size(), toks.data());
        return sp.read_frame();
    };
    EXPECT_EQ(call(4194305), frame_of(R"({"id":"w","ok":false,"code":"ETOOBIG","error":"data too large"})"));
    EXPECT_EQ(call(4194304), frame_of(R"({"id":"w","ok":false,"code":"EIO","error":"open failed"})"));
    auto* defaults = new vornd_config_t;
    config_set_defaults(defaults);
    g_cfg.store(cfg_snapshot_t(defaults));
}
