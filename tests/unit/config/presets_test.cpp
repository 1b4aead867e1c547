// The levels a record is set to or recognised as, and the operations an enabled list always keeps.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <utility>

#include "config/config.h"
#include "config/config_file.h"
#include "config/config_helpers.h"
#include "config/presets.h"

namespace {

// A list as the file states it: ALL, NONE or its entries joined by ",".
std::string value(const cfg_allow_t& a) {
    char v[2048];
    return allow_value(&a, v, sizeof v) < 0 ? "<overflow>" : v;
}

}  // namespace

// A level touches only the lists (each closes writing); any other name fails and changes nothing.
TEST(ConfigPreset, LevelsSetOnlyTheListsAndOtherNamesChangeNothing) {
    for (auto [name, known] : {std::pair{"locked", true},
                               {"safe", true},
                               {"dev", true},
                               {"Safe", false},
                               {"DEV", false},
                               {"", false},
                               {"locked ", false},
                               {"custom", false}}) {
        auto c = base_record();
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
    auto c = base_record();
    strcpy(c->ops_enabled.prefixes[0], "junk");  // unused entries of an ALL list mean nothing
    EXPECT_STREQ(config_level(c.get()), "dev");

    // Two of the safe names swapped, one more, then the safe names in their order.
    std::string safe;
    for (int i = 0; i < SAFE_OPS_COUNT; i++) safe += (i ? "," : "") + std::string(SAFE_OPS[i]);
    std::string swapped = safe;
    swapped.replace(swapped.find("meminfo,services_check"), 22, "services_check,meminfo");
    for (auto [ops, want] : {std::pair{swapped, "custom"}, {safe + ",exec", "custom"}, {safe, "safe"}}) {
        ASSERT_EQ(config_preset(c.get(), "safe"), 0);
        config_parse_allow(&c->ops_enabled, ops.c_str());
        EXPECT_STREQ(config_level(c.get()), want) << ops;
    }
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
        {full, full},
        {thirty, thirty + "ping,info"},
        {"NONE", "NONE"}};
    for (const auto& [list, want] : cases) {
        cfg_allow_t a;
        config_parse_allow(&a, list.c_str());
        config_enforce_reversible(&a);
        EXPECT_EQ(value(a), want) << list;
    }
}
