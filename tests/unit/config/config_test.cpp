// Configuration file syntax, allow-list grammar, token file and the checks built on them.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>

#include "config/config.h"
#include "unit_helpers.h"

namespace {

// "ALL", "NONE" or "LIST", then ":" and the entries joined by ",".
std::string list(const cfg_allow_t& a) {
    std::string s = a.mode == CFG_ALLOW_ALL ? "ALL" : a.mode == CFG_ALLOW_NONE ? "NONE" : "LIST";
    for (int i = 0; i < a.n; i++) s += std::string(i ? "," : ":") + a.prefixes[i];
    return s;
}

// A value parsed into a record filled with garbage first, so that nothing is left unset.
std::string parsed(const std::string& value) {
    cfg_allow_t a;
    memset(&a, 0x55, sizeof a);
    config_parse_allow(&a, value.c_str());
    return list(a);
}

// The record in one line: socket path, mode in octal, [group], [token file], token length, then
// every allow-list in the order of the file's sections.
std::string summary(const vornd_config_t& c) {
    char mode[16];
    snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(c.socket_mode));
    std::string s = std::string(c.socket_path) + " " + mode + " [" + c.socket_group + "] [" + c.auth_token_file + "] " +
                    std::to_string(c.auth_token_len);
    for (const cfg_allow_t* a : {&c.ops_enabled, &c.paths_fio, &c.paths_read_file, &c.paths_write_file, &c.procs_kill,
                                 &c.exec_binaries, &c.pty_shells})
        s += " " + list(*a);
    return s;
}

const std::string DEFAULTS = "/opt/vorn/var/run/vornd.sock 666 [] [] 0 ALL ALL ALL NONE ALL ALL ALL";

class Config : public ::testing::Test {
protected:
    // Writes `text` as a configuration file, loads it and returns the published record.
    cfg_snapshot_t load(const std::string& text) {
        std::string p = dir.write("vornd.conf", text);
        EXPECT_EQ(config_load(p.c_str()), 0);
        return g_cfg.load();
    }
    void TearDown() override { config_load("/nonexistent/vornd.conf"); }

    TempDir dir;
};

}  // namespace

// Every load starts from the defaults, a missing file included; snapshots taken before stay whole.
TEST_F(Config, EachLoadStartsFromDefaultsAndEarlierSnapshotsStayWhole) {
    cfg_snapshot_t first = load("[security]\nauth_token_file = " + dir.write("token", "abc\n") +
                                "\n[exec]\nallow = /bin/ls\n[socket]\nmode = 0600\ngroup = g\n");
    ASSERT_EQ(first->auth_token_len, 3);
    EXPECT_EQ(summary(*load("[pty]\nallow = /bin/sh\n")), DEFAULTS.substr(0, DEFAULTS.size() - 3) + "LIST:/bin/sh");
    EXPECT_EQ(first->auth_token_len, 3);
    EXPECT_EQ(config_load((dir.path + "/absent.conf").c_str()), 0);
    cfg_snapshot_t c = g_cfg.load();
    EXPECT_EQ(summary(*c), DEFAULTS);
    EXPECT_STREQ(c->config_path, "");
    EXPECT_EQ(config_op_enabled(c.get(), "config_apply"), 1);
    EXPECT_EQ(summary(*load("")), DEFAULTS);  // an empty file records its path
    EXPECT_EQ(std::string(g_cfg.load()->config_path), dir.path + "/vornd.conf");
}

TEST_F(Config, EnabledListRefusesEverythingElse) {
    cfg_snapshot_t c = load("[ops]\nenabled = ping, info\n");
    for (auto [op, want] :
         {std::pair{"ping", 1}, {"info", 1}, {"config_get", 0}, {"pin", 0}, {"pingx", 0}, {"Ping", 0}, {"", 0}})
        EXPECT_EQ(config_op_enabled(c.get(), op), want) << op;
    EXPECT_EQ(config_op_enabled(load("[ops]\nenabled =\n").get(), "ping"), 0);
}

TEST_F(Config, CommentsMalformedLinesInexactNamesAndLaterKeys) {
    cfg_snapshot_t c = load(
        "  # comment\n; also\n\n\t \r\n[socket] trailing words\n"
        "no equals sign here\n= /nokey\n[socket\npath = /x # not a comment  \r\n"
        "group\t=\t a b \"c\" \n");
    EXPECT_STREQ(c->socket_path, "/x # not a comment");
    EXPECT_STREQ(c->socket_group, "a b \"c\"");
    // Sections and keys are exact and case-sensitive.
    EXPECT_EQ(summary(*load("path = /before-any-section\n[ socket ]\npath = /spaced\n[Socket]\npath = /caps\n"
                            "[socket]\nPath = /capkey\n[exec]\nenabled = ping\n[ops]\nallow = x\n")),
              DEFAULTS);
    // A later key, or a later instance of a section, replaces the earlier value whole.
    c = load("[exec]\nallow = /a /b /c\n[pty]\nallow = sh\n[exec]\nallow = /d\n[socket]\npath = /one\npath = /two\n");
    EXPECT_EQ(list(c->exec_binaries), "LIST:/d");
    EXPECT_EQ(list(c->pty_shells), "LIST:sh");
    EXPECT_STREQ(c->socket_path, "/two");
}

// Each line meant to set something that sets nothing is named with its file and line number.
TEST_F(Config, LinesThatSetNothingWarnWithFileAndLine) {
    testing::internal::CaptureStderr();
    cfg_snapshot_t c = load(
        "top = 1\n[exec]\nalow = /usr/bin/ls\n[exec\n\n[colour]\nhue = red\nshade = blue\n[socket]\n"
        "mode\n" +
        std::string(1100, 'x') + "\n[pty]\nallow = sh\nkey\x1b[2J = v\n");
    std::string err = testing::internal::GetCapturedStderr();
    const std::string f = dir.path + "/vornd.conf:";
    for (const std::string& want :
         {f + "1: key 'top' before any section — ignored", f + "3: unknown key 'alow' in [exec] — ignored",
          f + "4: section header without ']' — ignored", f + "6: unknown section [colour] — ignored",
          f + "10: line without '=' — ignored", f + "11: line without '=' — ignored",
          f + "14: unknown key 'key?[2J' in [pty] — ignored"})
        EXPECT_NE(err.find(" WRN vornd " + want + "\n"), std::string::npos) << want << "\n" << err;
    // One line per fault: none for the keys of an unknown section, one per piece of a long line.
    size_t warnings = 0;
    for (size_t at = 0; (at = err.find(" WRN ", at)) != std::string::npos; at++) warnings++;
    EXPECT_EQ(warnings, 8u) << err;
    EXPECT_EQ(list(c->exec_binaries), "ALL");
    EXPECT_EQ(list(c->pty_shells), "LIST:sh");
}

// Strict mode: no file, no start; whatever a file leaves out is closed, a misspelled key included.
TEST_F(Config, StrictModeRefusesWithoutAFileAndClosesWhatIsLeftOut) {
    config_set_strict(true);
    testing::internal::CaptureStderr();
    EXPECT_EQ(config_load((dir.path + "/absent.conf").c_str()), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(" ERR vornd config not readable at " + dir.path + "/absent.conf — refusing to start\n"),
              std::string::npos)
        << err;
    const std::string LOCKED =
        "/opt/vorn/var/run/vornd.sock 600 [] [] 0 LIST:ping,info,config_get,config_apply "
        "NONE NONE NONE NONE NONE NONE";
    for (const char* text : {"", "[exec]\nalow = /usr/bin/ls\n", "[ops]\n"})
        EXPECT_EQ(summary(*load(text)), LOCKED) << text;
    cfg_snapshot_t c = load("[socket]\nmode = 0660\n[exec]\nallow = /usr/bin/ls\n");
    EXPECT_EQ(c->socket_mode, 0660);
    EXPECT_EQ(list(c->exec_binaries), "LIST:/usr/bin/ls");
    EXPECT_EQ(list(c->pty_shells), "NONE");
    // A reload starts from the same closed base.
    dir.write("vornd.conf", "[pty]\nallow = sh\n");
    EXPECT_EQ(config_reload((dir.path + "/vornd.conf").c_str()), 0);
    EXPECT_EQ(list(g_cfg.load()->exec_binaries), "NONE");
    config_set_strict(false);
}

TEST_F(Config, SocketValuesAndOverlongLines) {
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
    // The first 1023 bytes are a comment; the rest of the physical line is a line of its own.
    EXPECT_STREQ(load("[socket]\n#" + std::string(1022, 'c') + "path = /piece\n")->socket_path, "/piece");
}

TEST(AllowGrammar, KeywordsSplittingQuotingAndLimits) {
    std::string forty, first32 = "LIST";
    for (int i = 0; i < 40; i++) {
        forty += "n" + std::to_string(i) + ",";
        if (i < 32) first32 += std::string(i ? "," : ":") + "n" + std::to_string(i);
    }
    const std::string lng(200, 'e');
    const std::pair<std::string, std::string> rows[] = {
        {"ALL", "ALL"},
        {"all", "ALL"},
        {"aLl", "ALL"},
        {"'All'", "ALL"},
        {"\"ALL\"", "ALL"},
        {"NONE", "NONE"},
        {"'None'", "NONE"},
        {"none", "NONE"},
        {"", "LIST"},
        {"''", "LIST"},
        {"\"\"", "LIST"},
        {" , ,", "LIST"},
        {"ALL,", "LIST:ALL"},  // the whole value is compared
        {"'/a, /b' /c", "LIST:/a,/b"},
        {"\"/a, /b\" /c", "LIST:/a,/b"},
        {"'/a, /b", "LIST:/a,/b"},  // no closing quote: to the end
        {"/a,,/b  /c", "LIST:/a,/b,/c"},
        {"/a\t/b", "LIST:/a\t/b"},  // a tab does not separate
        {"/x'y\"z", "LIST:/x'y\"z"},
        {"*", "LIST:*"},
        {forty, first32},
        {lng + " x", "LIST:" + lng.substr(0, 127) + ",x"},
        // Only the first 1023 characters of a value are seen.
        {std::string(1020, 'v') + " /late", "LIST:" + std::string(127, 'v') + ",/l"}};
    for (const auto& [value, want] : rows) EXPECT_EQ(parsed(value), want) << value;
}

// A value to be stored whole is taken whole or not at all.
TEST(AllowGrammar, WholeValueOrNothing) {
    std::string n32, n33;
    for (int i = 0; i < 33; i++) (i < 32 ? n32 : n33) += "n" + std::to_string(i) + ",";
    n33 = n32 + n33;
    const std::pair<std::string, int> rows[] = {{n32, 0},
                                                {n33, -1},
                                                {std::string(127, 'e'), 0},
                                                {std::string(128, 'e') + " x", -1},
                                                {"ALL", 0},
                                                {"'" + std::string(1021, ' ') + "'", 0},
                                                {"'" + std::string(1022, ' ') + "'", -1}};
    for (const auto& [value, want] : rows) {
        cfg_allow_t a;
        config_parse_allow(&a, "/kept");
        EXPECT_EQ(config_parse_allow_whole(&a, value.c_str()), want) << value;
        cfg_allow_t cut;
        config_parse_allow(&cut, value.c_str());
        EXPECT_EQ(list(a), want == 0 ? list(cut) : "LIST:/kept") << value;
    }
}

TEST(AllowCheck, PrefixAndExactRules) {
    cfg_allow_t a;
    config_parse_allow(&a, "/srv/data bash *");
    // {text, by prefix, exactly}: a byte prefix needs no path-component boundary; '*' is literal.
    const std::tuple<const char*, int, int> rows[] = {{"/srv/data", 1, 1},
                                                      {"/srv/data2/f", 1, 0},
                                                      {"/srv/database", 1, 0},
                                                      {"*anything", 1, 0},
                                                      {"/srv/dat", 0, 0},
                                                      {"/etc/passwd", 0, 0},
                                                      {"bash", 1, 1},
                                                      {"*", 1, 1},
                                                      {"/bin/bash", 0, 0},
                                                      {"bash2", 1, 0},
                                                      {"zsh", 0, 0}};
    for (auto [text, prefix, exact] : rows) {
        EXPECT_EQ(cfg_allow_check(&a, text), prefix) << text;
        EXPECT_EQ(cfg_allow_exact(&a, text), exact) << text;
    }
    a.n = 1;  // entries past n are ignored
    EXPECT_EQ(cfg_allow_exact(&a, "bash"), 0);
    a.n = 0;
    EXPECT_EQ(cfg_allow_check(&a, "/srv/data"), 0);
    a.mode = CFG_ALLOW_ALL;
    EXPECT_TRUE(cfg_allow_check(&a, "") == 1 && cfg_allow_exact(&a, "x") == 1);
    a.mode = CFG_ALLOW_NONE;
    EXPECT_TRUE(cfg_allow_check(&a, "/srv/data") == 0 && cfg_allow_exact(&a, "bash") == 0);
    EXPECT_TRUE(cfg_allow_check(nullptr, "x") == 1 && cfg_allow_exact(nullptr, "x") == 1);
}

TEST_F(Config, TokenFileFirstLineTrailingBlanksStripped) {
    const std::pair<std::string, int> cases[] = {
        {"abc\r\n", 3}, {"  abc\n", 5}, {"abc \t\r\nsecond line\n", 3}, {"tok", 3}, {std::string(300, 't'), 255}};
    for (const auto& [content, len] : cases) {
        cfg_snapshot_t c = load("[security]\nauth_token_file = " + dir.write("token", content) + "\n");
        EXPECT_EQ(c->auth_token_len, len) << content;
        EXPECT_EQ(std::string(c->auth_token), content.substr(0, len)) << content;
        EXPECT_TRUE(config_token_required(c.get()) && config_token_matches(c.get(), c->auth_token, len)) << content;
    }
    // Named but giving no token (empty, a blank first line, missing, a directory): nothing matches.
    for (const std::string& file :
         {dir.write("empty", ""), dir.write("blank", "\nabc\n"), dir.path + "/none", dir.path}) {
        cfg_snapshot_t c = load("[security]\nauth_token_file = " + file + "\n");
        EXPECT_TRUE(c->auth_locked && config_token_required(c.get())) << file;
        EXPECT_EQ(config_token_matches(c.get(), "", 0), 0) << file;
        EXPECT_EQ(config_token_matches(c.get(), "abc", 3), 0) << file;
    }
    for (const char* none : {"", "[security]\nauth_token_file =\n"})
        EXPECT_FALSE(config_token_required(load(none).get())) << none;
}

// A reload that cannot read its file or its token publishes nothing: the live record stays.
TEST_F(Config, ReloadThatCannotReadKeepsTheLiveRecord) {
    std::string token = dir.write("token", "abc\n");
    cfg_snapshot_t live = load("[security]\nauth_token_file = " + token + "\n[exec]\nallow = ls\n");
    const std::string conf = dir.path + "/vornd.conf";
    for (const std::string& path : {dir.path + "/absent.conf", dir.path})
        EXPECT_EQ(config_reload(path.c_str()), -1) << path;
    dir.write("token", "\n");
    EXPECT_EQ(config_reload(conf.c_str()), -1);
    EXPECT_EQ(g_cfg.load(), live);
    dir.write("token", "wxyz\n");
    EXPECT_EQ(config_reload(conf.c_str()), 0);
    EXPECT_EQ(g_cfg.load()->auth_token_len, 4);
    EXPECT_EQ(list(g_cfg.load()->exec_binaries), "LIST:ls");
}
