#include <gtest/gtest.h>

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

std::vector<std::string> safe_names() { return {SAFE_OPS, SAFE_OPS + SAFE_OPS_COUNT}; }

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

TEST(ConfigPreset, UnknownOrMiscasedNameFailsAndChangesNothing) {
    for (const char* name : {"Safe", "DEV", "", "locked ", "custom", "safex"}) {
        auto c = defaults();
        strcpy(c->socket_group, "vorn");
        auto before = *c;
        EXPECT_EQ(config_preset(c.get(), name), -1) << name;
        EXPECT_EQ(memcmp(&before, c.get(), sizeof before), 0) << name;
    }
}

TEST(ConfigPreset, EachLevelIsRecognisedAndLeavesSocketTokenAndPathAlone) {
    for (const char* level : {"locked", "safe", "dev"}) {
        auto c = defaults();
        strcpy(c->socket_path, "/run/x.sock");
        c->socket_mode = 0600;
        strcpy(c->socket_group, "vorn");
        strcpy(c->auth_token_file, "/etc/t");
        strcpy(c->auth_token, "secret");
        c->auth_token_len = 6;
        strcpy(c->config_path, "/etc/vornd.conf");
        config_parse_allow(&c->paths_write_file, "/tmp/x");  // every level closes writing
        ASSERT_EQ(config_preset(c.get(), level), 0);
        EXPECT_STREQ(config_level(c.get()), level);
        EXPECT_STREQ(c->socket_path, "/run/x.sock");
        EXPECT_EQ(c->socket_mode, 0600);
        EXPECT_STREQ(c->socket_group, "vorn");
        EXPECT_STREQ(c->auth_token_file, "/etc/t");
        EXPECT_EQ(c->auth_token_len, 6);
        EXPECT_STREQ(c->config_path, "/etc/vornd.conf");
        EXPECT_EQ(c->paths_write_file.mode, CFG_ALLOW_NONE);
        EXPECT_EQ(c->paths_write_file.n, 0);
    }
}

TEST(ConfigPreset, SettingsOfSafeAndLocked) {
    auto c = defaults();
    ASSERT_EQ(config_preset(c.get(), "safe"), 0);
    EXPECT_EQ(c->ops_enabled.mode, CFG_ALLOW_LIST);
    EXPECT_EQ(entries(c->ops_enabled), safe_names());
    EXPECT_EQ(c->paths_read_file.mode, CFG_ALLOW_ALL);
    for (const cfg_allow_t* a : {&c->exec_binaries, &c->pty_shells, &c->paths_fio, &c->procs_kill}) {
        EXPECT_EQ(a->mode, CFG_ALLOW_NONE);
        EXPECT_EQ(a->n, 0);
    }

    ASSERT_EQ(config_preset(c.get(), "locked"), 0);
    EXPECT_EQ(entries(c->ops_enabled), (std::vector<std::string>{"ping", "info", "config_get", "config_apply"}));
    EXPECT_EQ(c->paths_read_file.mode, CFG_ALLOW_NONE);
    EXPECT_EQ(c->paths_read_file.n, 0);

    // Published, the locked record lets exactly the four operations through.
    g_cfg.store(std::make_shared<vornd_config_t>(*c));
    for (const char* op : {"ping", "info", "config_get", "config_apply"}) EXPECT_EQ(config_op_enabled(op), 1) << op;
    for (const char* op : {"meminfo", "read_file", "exec", "pty", "_cancel", "Ping"})
        EXPECT_EQ(config_op_enabled(op), 0) << op;
    config_load("/nonexistent/vornd.conf");  // back to the defaults for later tests
}

TEST(ConfigLevel, DefaultsAndSocketOrTokenOnlyRecordsAreDev) {
    auto c = defaults();
    EXPECT_STREQ(config_level(c.get()), "dev");
    strcpy(c->socket_path, "/elsewhere");
    strcpy(c->auth_token_file, "/etc/t");
    EXPECT_STREQ(config_level(c.get()), "dev");
    // Leftover bytes in an ALL list's unused entries do not make it differ.
    strcpy(c->ops_enabled.prefixes[0], "junk");
    EXPECT_STREQ(config_level(c.get()), "dev");
}

TEST(ConfigLevel, SafeIsRecognisedOnlyInItsExactOrder) {
    auto names = safe_names();
    EXPECT_STREQ(config_level(safe_by_hand(join(names)).get()), "safe");

    std::swap(names[2], names[3]);
    EXPECT_STREQ(config_level(safe_by_hand(join(names)).get()), "custom");

    names = safe_names();
    names.push_back("exec");
    EXPECT_STREQ(config_level(safe_by_hand(join(names)).get()), "custom");

    names = safe_names();
    names.pop_back();
    EXPECT_STREQ(config_level(safe_by_hand(join(names)).get()), "custom");
}

TEST(ConfigLevel, AnyChangedListMakesCustom) {
    auto c = defaults();
    ASSERT_EQ(config_preset(c.get(), "safe"), 0);
    config_parse_allow(&c->paths_read_file, "/var/log");
    EXPECT_STREQ(config_level(c.get()), "custom");

    ASSERT_EQ(config_preset(c.get(), "locked"), 0);
    config_parse_allow(&c->procs_kill, "");  // an empty LIST is not NONE
    EXPECT_STREQ(config_level(c.get()), "custom");

    ASSERT_EQ(config_preset(c.get(), "dev"), 0);
    config_parse_allow(&c->paths_write_file, "/tmp");
    EXPECT_STREQ(config_level(c.get()), "custom");
}

TEST(ConfigEnforceReversible, AppendsMissingNamesInOrderAfterTheList) {
    cfg_allow_t a;
    config_parse_allow(&a, "iostat_stream");
    config_enforce_reversible(&a);
    EXPECT_EQ(entries(a), (std::vector<std::string>{"iostat_stream", "ping", "info", "config_get", "config_apply"}));

    config_parse_allow(&a, "config_apply ping");
    config_enforce_reversible(&a);
    EXPECT_EQ(entries(a), (std::vector<std::string>{"config_apply", "ping", "info", "config_get"}));

    config_parse_allow(&a, "");  // an empty list gets all four
    config_enforce_reversible(&a);
    EXPECT_EQ(a.n, 4);
}

TEST(ConfigEnforceReversible, StopsAtThirtyTwoEntries) {
    std::vector<std::string> names;
    for (int i = 0; i < 32; i++) names.push_back("op" + std::to_string(i));
    cfg_allow_t a;
    config_parse_allow(&a, join(names).c_str());
    config_enforce_reversible(&a);
    EXPECT_EQ(entries(a), names);

    names.resize(30);
    config_parse_allow(&a, join(names).c_str());
    config_enforce_reversible(&a);
    ASSERT_EQ(a.n, 32);
    EXPECT_STREQ(a.prefixes[30], "ping");
    EXPECT_STREQ(a.prefixes[31], "info");
}

TEST(ConfigEnforceReversible, LeavesAllAndNoneAlone) {
    cfg_allow_t a;
    config_parse_allow(&a, "NONE");
    config_enforce_reversible(&a);
    EXPECT_EQ(a.mode, CFG_ALLOW_NONE);
    EXPECT_EQ(a.n, 0);
    config_parse_allow(&a, "all");
    config_enforce_reversible(&a);
    EXPECT_EQ(a.mode, CFG_ALLOW_ALL);
    EXPECT_EQ(a.n, 0);
}
