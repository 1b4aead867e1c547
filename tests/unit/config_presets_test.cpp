#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "config.h"

namespace {

std::unique_ptr<vornd_config_t> defaults() {
    auto c = std::make_unique<vornd_config_t>();
    config_set_defaults(c.get());
    return c;
}

std::vector<std::string> entries(const cfg_allow_t& a) {
    std::vector<std::string> v;
    for (int i = 0; i < a.n; i++) v.emplace_back(a.prefixes[i]);
    return v;
}

std::string join(const std::vector<std::string>& names) {
    std::string s;
    for (const auto& n : names) s += (s.empty() ? "" : ",") + n;
    return s;
}

// A record built the way a hand-written file would state level "safe", with `ops` as the list.
std::unique_ptr<vornd_config_t> safe_by_hand(const std::string& ops) {
    auto c = defaults();
    config_parse_allow(&c->ops_enabled, ops.c_str());
    config_parse_allow(&c->paths_read_file, "ALL");
    for (cfg_allow_t* a : {&c->exec_binaries, &c->pty_shells, &c->paths_write_file, &c->paths_fio, &c->procs_kill})
        config_parse_allow(a, "NONE");
    return c;
}

}  // namespace

// A level is recognised once set and touches only the lists (each closes writing); any other
// name, a miscased one included, fails and changes nothing.
TEST(ConfigPreset, LevelsSetOnlyTheListsAndOtherNamesChangeNothing) {
    for (auto [name, known] : {std::pair{"locked", true}, {"safe", true}, {"dev", true}, {"Safe", false},
                               {"DEV", false}, {"", false}, {"locked ", false}, {"custom", false}}) {
        auto c = defaults();
        strcpy(c->socket_group, "vorn");
        strcpy(c->auth_token_file, "/etc/t");
        strcpy(c->config_path, "/etc/vornd.conf");
        config_parse_allow(&c->paths_write_file, "/tmp/x");
        auto before = *c;
        ASSERT_EQ(config_preset(c.get(), name), known ? 0 : -1) << name;
        if (!known) {
            EXPECT_EQ(memcmp(&before, c.get(), sizeof before), 0) << name;
            continue;
        }
        EXPECT_STREQ(config_level(c.get()), name);
        EXPECT_EQ(memcmp(&before, c.get(), offsetof(vornd_config_t, ops_enabled)), 0) << name;
        EXPECT_STREQ(c->auth_token_file, "/etc/t");
        EXPECT_STREQ(c->config_path, "/etc/vornd.conf");
        EXPECT_TRUE(c->paths_write_file.mode == CFG_ALLOW_NONE && c->paths_write_file.n == 0) << name;
    }
}

TEST(ConfigLevel, OnlyTheExactSettingCounts) {
    auto c = defaults();
    strcpy(c->socket_path, "/elsewhere");
    strcpy(c->ops_enabled.prefixes[0], "junk");  // unused entries of an ALL list mean nothing
    EXPECT_STREQ(config_level(c.get()), "dev");

    // The safe names in their order, two of them swapped, and one more.
    const std::string safe = join({SAFE_OPS, SAFE_OPS + SAFE_OPS_COUNT});
    std::string swapped = safe;
    swapped.replace(swapped.find("meminfo,services_check"), 22, "services_check,meminfo");
    for (auto [ops, want] : {std::pair{safe, "safe"}, {swapped, "custom"}, {safe + ",exec", "custom"}})
        EXPECT_STREQ(config_level(safe_by_hand(ops).get()), want) << ops;

    ASSERT_EQ(config_preset(c.get(), "safe"), 0);
    config_parse_allow(&c->paths_read_file, "/var/log");
    EXPECT_STREQ(config_level(c.get()), "custom");
    ASSERT_EQ(config_preset(c.get(), "locked"), 0);
    config_parse_allow(&c->procs_kill, "");  // an empty LIST is not NONE
    EXPECT_STREQ(config_level(c.get()), "custom");
}

// Missing names are appended in a fixed order while the list has room; NONE stays closed.
TEST(ConfigEnforceReversible, AppendsMissingNamesWhileThereIsRoom) {
    std::string thirty;
    for (int i = 0; i < 30; i++) thirty += "op" + std::to_string(i) + ",";
    const std::string full = thirty + "op30,op31";
    const std::pair<std::string, std::string> cases[] = {
        {"iostat_stream", "iostat_stream,ping,info,config_get,config_apply"},
        {"config_apply ping", "config_apply,ping,info,config_get"},
        {full, full}, {thirty, thirty + "ping,info"}, {"NONE", ""}};
    for (const auto& [list, want] : cases) {
        cfg_allow_t a;
        config_parse_allow(&a, list.c_str());
        config_enforce_reversible(&a);
        EXPECT_EQ(join(entries(a)), want) << list;
        EXPECT_EQ(a.mode, list == "NONE" ? CFG_ALLOW_NONE : CFG_ALLOW_LIST) << list;
    }
}
