// Configuration file syntax, allow-list grammar, token file and the checks built on them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>

#include "config.h"
#include "unit_helpers.h"

namespace {

class Config : public ::testing::Test {
protected:
    // Writes `text` as a configuration file, loads it and returns the published record.
    cfg_snapshot_t load(const std::string& text) {
        std::string p = dir.write("vornd.conf", text);
        EXPECT_EQ(config_load(p.c_str()), 0);
        return g_cfg.load();
    }
    static std::string list(const cfg_allow_t& a) {
        std::string s = a.mode == CFG_ALLOW_ALL ? "ALL" : a.mode == CFG_ALLOW_NONE ? "NONE" : "LIST";
        for (int i = 0; i < a.n; i++) s += std::string(i ? "," : ":") + a.prefixes[i];
        return s;
    }
    static std::string parsed(const char* value) {
        cfg_allow_t a;
        memset(&a, 0x55, sizeof a);
        config_parse_allow(&a, value);
        return list(a);
    }
    void TearDown() override { config_load("/nonexistent/vornd.conf"); }

    TempDir dir;
};

void expect_defaults(const vornd_config_t& c) {
    EXPECT_STREQ(c.socket_path, "/opt/vorn/var/run/vornd.sock");
    EXPECT_EQ(c.socket_mode, 0666);
    EXPECT_STREQ(c.socket_group, "");
    EXPECT_STREQ(c.auth_token_file, "");
    EXPECT_EQ(c.auth_token_len, 0);
    for (const cfg_allow_t* a : {&c.ops_enabled, &c.paths_fio, &c.paths_read_file, &c.procs_kill,
                                 &c.exec_binaries, &c.pty_shells}) {
        EXPECT_EQ(a->mode, CFG_ALLOW_ALL);
        EXPECT_EQ(a->n, 0);
    }
    EXPECT_EQ(c.paths_write_file.mode, CFG_ALLOW_NONE);
}

}  // namespace

TEST_F(Config, MissingFileGivesDevDefaultsWithoutConfigPath) {
    EXPECT_EQ(config_load((dir.path + "/absent.conf").c_str()), 0);
    cfg_snapshot_t c = g_cfg.load();
    expect_defaults(*c);
    EXPECT_STREQ(c->config_path, "");
    EXPECT_EQ(config_op_enabled("config_apply"), 1);
    EXPECT_EQ(cfg_allow_check(&c->paths_write_file, "/tmp/x"), 0);
}

TEST_F(Config, EmptyFileLoadsAndRecordsItsPath) {
    cfg_snapshot_t c = load("");
    expect_defaults(*c);
    EXPECT_EQ(std::string(c->config_path), dir.path + "/vornd.conf");
}

TEST_F(Config, EverySectionFillsItsOwnField) {
    cfg_snapshot_t c = load(
        "[socket]\npath = /run/v.sock\nmode = 0600\ngroup = wheel\n"
        "[ops]\nenabled = ping\n[paths.fio_targets]\nallow = /f\n[paths.read_file]\nallow = /r\n"
        "[paths.write_file]\nallow = /w\n[procs_kill]\nallow = k\n[exec]\nallow = e\n[pty]\nallow = p\n");
    EXPECT_STREQ(c->socket_path, "/run/v.sock");
    EXPECT_EQ(c->socket_mode, 0600);
    EXPECT_STREQ(c->socket_group, "wheel");
    EXPECT_EQ(list(c->ops_enabled), "LIST:ping");
    EXPECT_EQ(list(c->paths_fio), "LIST:/f");
    EXPECT_EQ(list(c->paths_read_file), "LIST:/r");
    EXPECT_EQ(list(c->paths_write_file), "LIST:/w");
    EXPECT_EQ(list(c->procs_kill), "LIST:k");
    EXPECT_EQ(list(c->exec_binaries), "LIST:e");
    EXPECT_EQ(list(c->pty_shells), "LIST:p");
}

TEST_F(Config, EnabledListRefusesEverythingElse) {
    load("[ops]\nenabled = ping, info\n");
    EXPECT_EQ(config_op_enabled("ping"), 1);
    EXPECT_EQ(config_op_enabled("info"), 1);
    for (const char* op : {"config_get", "config_apply", "pin", "pingx", "Ping", ""})
        EXPECT_EQ(config_op_enabled(op), 0) << op;
    load("[ops]\nenabled =\n");
    EXPECT_EQ(config_op_enabled("ping"), 0);
}

TEST_F(Config, CommentsBlanksAndMalformedLines) {
    cfg_snapshot_t c = load(
        "  # comment\n; also\n\n\t \r\n[socket] trailing words\n"
        "no equals sign here\n= /nokey\n[socket\npath = /x # not a comment  \r\n"
        "group\t=\t a b \"c\" \n");
    EXPECT_STREQ(c->socket_path, "/x # not a comment");
    EXPECT_STREQ(c->socket_group, "a b \"c\"");
}

TEST_F(Config, SectionsAndKeysAreExactAndCaseSensitive) {
    cfg_snapshot_t c = load(
        "path = /before-any-section\n[ socket ]\npath = /spaced\n[Socket]\npath = /caps\n"
        "[socket]\nPath = /capkey\n[exec]\nenabled = ping\n[ops]\nallow = x\n");
    expect_defaults(*c);
}

TEST_F(Config, LaterKeyAndLaterSectionReplaceWhole) {
    cfg_snapshot_t c = load("[exec]\nallow = /a /b /c\n[pty]\nallow = sh\n[exec]\nallow = /d\n"
                            "[socket]\npath = /one\npath = /two\n");
    EXPECT_EQ(list(c->exec_binaries), "LIST:/d");
    EXPECT_EQ(list(c->pty_shells), "LIST:sh");
    EXPECT_STREQ(c->socket_path, "/two");
}

TEST_F(Config, SocketValues) {
    const std::pair<const char*, int> modes[] = {{"660", 0660}, {"0660", 0660}, {"0x1b6", 0},
                                                 {"", 0},       {"68", 06},     {"777777777777", -1}};
    for (auto [text, want] : modes) {
        cfg_snapshot_t c = load(std::string("[socket]\nmode = ") + text + "\n");
        if (want >= 0) EXPECT_EQ(c->socket_mode, want) << text;
        else EXPECT_GT(c->socket_mode, 0) << "a long mode must not overflow";
    }
    for (const char* g : {"none", "ALL", "All", ""})
        EXPECT_STREQ(load(std::string("[socket]\ngroup = ") + g + "\n")->socket_group, "") << g;
    EXPECT_STREQ(load("[socket]\npath = '/run/x.sock'\n")->socket_path, "'/run/x.sock'");
    std::string lng(300, 's');
    cfg_snapshot_t c = load("[socket]\npath = " + lng + "\ngroup = " + lng + "\n");
    EXPECT_EQ(std::string(c->socket_path), lng.substr(0, 255));
    EXPECT_EQ(std::string(c->socket_group), lng.substr(0, 63));
}

TEST_F(Config, OverlongLineIsReadInPieces) {
    // The first 1023 bytes are a comment; the rest of the physical line is a line of its own.
    cfg_snapshot_t c = load("[socket]\n#" + std::string(1022, 'c') + "path = /piece\n");
    EXPECT_STREQ(c->socket_path, "/piece");
}

TEST(AllowGrammar, AllNoneAndEmpty) {
    cfg_allow_t a;
    for (const char* all : {"ALL", "all", "aLl", "'All'", "\"ALL\""}) {
        config_parse_allow(&a, all);
        EXPECT_EQ(a.mode, CFG_ALLOW_ALL) << all;
        EXPECT_EQ(a.n, 0);
    }
    for (const char* none : {"NONE", "'None'", "none"}) {
        config_parse_allow(&a, none);
        EXPECT_EQ(a.mode, CFG_ALLOW_NONE) << none;
        EXPECT_EQ(a.n, 0);
    }
    for (const char* empty : {"", "''", "\"\"", " , ,"}) {
        config_parse_allow(&a, empty);
        EXPECT_EQ(a.mode, CFG_ALLOW_LIST) << empty;
        EXPECT_EQ(a.n, 0) << empty;
    }
    config_parse_allow(&a, "ALL,");
    EXPECT_EQ(a.mode, CFG_ALLOW_LIST);  // the whole value is compared
}

TEST_F(Config, ListSplittingQuotingAndLimits) {
    EXPECT_EQ(parsed("'/a, /b' /c"), "LIST:/a,/b");
    EXPECT_EQ(parsed("\"/a, /b\" /c"), "LIST:/a,/b");
    EXPECT_EQ(parsed("'/a, /b"), "LIST:/a,/b");  // no closing quote: to the end
    EXPECT_EQ(parsed("/a,,/b  /c"), "LIST:/a,/b,/c");
    EXPECT_EQ(parsed("/a\t/b"), "LIST:/a\t/b");  // a tab does not separate
    EXPECT_EQ(parsed("/x'y\"z"), "LIST:/x'y\"z");
    EXPECT_EQ(parsed("*"), "LIST:*");
    std::string forty, want = "LIST";
    for (int i = 0; i < 40; i++) {
        forty += "n" + std::to_string(i) + ",";
        if (i < 32) want += std::string(i ? "," : ":") + "n" + std::to_string(i);
    }
    EXPECT_EQ(parsed(forty.c_str()), want);
    std::string lng(200, 'e');
    EXPECT_EQ(parsed((lng + " x").c_str()), "LIST:" + lng.substr(0, 127) + ",x");
    // Only the first 1023 characters of a value are seen.
    std::string tail = std::string(1020, 'v') + " /late";
    EXPECT_EQ(parsed(tail.c_str()), "LIST:" + std::string(127, 'v') + ",/l");
}

TEST(AllowCheck, PrefixAndExactRules) {
    cfg_allow_t a;
    config_parse_allow(&a, "/srv/data bash *");
    EXPECT_EQ(cfg_allow_check(&a, "/srv/data"), 1);
    EXPECT_EQ(cfg_allow_check(&a, "/srv/data2/f"), 1);  // no path-component boundary
    EXPECT_EQ(cfg_allow_check(&a, "/srv/database"), 1);
    EXPECT_EQ(cfg_allow_check(&a, "/srv/dat"), 0);
    EXPECT_EQ(cfg_allow_check(&a, "/etc/passwd"), 0);
    EXPECT_EQ(cfg_allow_check(&a, "*anything"), 1);  // the asterisk is literal
    EXPECT_EQ(cfg_allow_exact(&a, "bash"), 1);
    EXPECT_EQ(cfg_allow_exact(&a, "/bin/bash"), 0);
    EXPECT_EQ(cfg_allow_exact(&a, "bash2"), 0);
    EXPECT_EQ(cfg_allow_exact(&a, "*"), 1);
    EXPECT_EQ(cfg_allow_exact(&a, "zsh"), 0);
    a.n = 1;  // entries past n are ignored
    EXPECT_EQ(cfg_allow_exact(&a, "bash"), 0);
    a.n = 0;
    EXPECT_EQ(cfg_allow_check(&a, "/srv/data"), 0);
    a.mode = CFG_ALLOW_ALL;
    EXPECT_EQ(cfg_allow_check(&a, ""), 1);
    EXPECT_EQ(cfg_allow_exact(&a, "x"), 1);
    a.mode = CFG_ALLOW_NONE;
    EXPECT_EQ(cfg_allow_check(&a, "/srv/data"), 0);
    EXPECT_EQ(cfg_allow_exact(&a, "bash"), 0);
    EXPECT_EQ(cfg_allow_check(nullptr, "x"), 1);
    EXPECT_EQ(cfg_allow_exact(nullptr, "x"), 1);
}

TEST_F(Config, TokenFileFirstLineTrailingBlanksStripped) {
    const std::pair<std::string, int> cases[] = {
        {"abc\r\n", 3}, {"  abc\n", 5}, {"abc \t\r\nsecond line\n", 3}, {"", 0}, {"\nabc\n", 0},
        {"tok", 3},     {std::string(300, 't'), 255}};
    for (const auto& [content, len] : cases) {
        std::string tf = dir.write("token", content);
        cfg_snapshot_t c = load("[security]\nauth_token_file = " + tf + "\n");
        EXPECT_EQ(c->auth_token_len, len) << content;
        EXPECT_EQ(std::string(c->auth_token), content.substr(0, len)) << content;
    }
    cfg_snapshot_t c = load("[security]\nauth_token_file = " + dir.path + "/no-such-token\n");
    EXPECT_EQ(c->auth_token_len, 0);
}

TEST_F(Config, TokenComparisonIsExactInLengthAndBytes) {
    std::string tf = dir.write("token", "s3cret\n");
    cfg_snapshot_t c = load("[security]\nauth_token_file = " + tf + "\n");
    ASSERT_EQ(c->auth_token_len, 6);
    EXPECT_EQ(config_token_matches(c.get(), "s3cret", 6), 1);
    EXPECT_EQ(config_token_matches(c.get(), "s3creT", 6), 0);
    EXPECT_EQ(config_token_matches(c.get(), "S3cret", 6), 0);
    EXPECT_EQ(config_token_matches(c.get(), "s3cre", 5), 0);
    EXPECT_EQ(config_token_matches(c.get(), "s3cret!", 7), 0);
}

TEST_F(Config, ReloadStartsFromDefaults) {
    std::string tf = dir.write("token", "abc\n");
    cfg_snapshot_t first = load("[security]\nauth_token_file = " + tf +
                                "\n[exec]\nallow = /bin/ls\n[socket]\nmode = 0600\n");
    ASSERT_EQ(first->auth_token_len, 3);
    cfg_snapshot_t second = load("[pty]\nallow = /bin/sh\n");
    EXPECT_EQ(second->auth_token_len, 0);
    EXPECT_EQ(second->exec_binaries.mode, CFG_ALLOW_ALL);
    EXPECT_EQ(second->socket_mode, 0666);
    EXPECT_EQ(list(second->pty_shells), "LIST:/bin/sh");
    EXPECT_EQ(first->auth_token_len, 3);  // a snapshot taken before stays whole
    config_load((dir.path + "/gone.conf").c_str());
    expect_defaults(*g_cfg.load());
}

TEST_F(Config, WithoutPathTheCurrentDirectoryFileIsFound) {
    dir.write("vornd.conf", "[socket]\npath = /from-cwd\n");
    char old[PATH_MAX];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    config_load(nullptr);
    ASSERT_EQ(chdir(old), 0);
    cfg_snapshot_t c = g_cfg.load();
    EXPECT_STREQ(c->socket_path, "/from-cwd");
    EXPECT_STREQ(c->config_path, "./vornd.conf");
}
