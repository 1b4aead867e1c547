#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "harness.h"
#include "ops.h"

namespace fs = std::filesystem;

namespace {

const char* const SAFE_OPS_JSON =
    R"(["ping","info","meminfo","services_check","iostat_stream","zpool_iostat_stream","zpool_list",)"
    R"("procs_list","read_file","read_dir","dmesg","smart_get","dmidecode","sysinfo","net_addrs",)"
    R"("net_ports","bin_check","mounts","config_get","config_apply"])";

std::string apply_cfg(const TestDaemon& d, std::string_view args) {
    return d.call(vc_request("a", "config_apply", args));
}

std::string member(std::string_view json, std::string_view key) {
    std::string v;
    return vc_json_raw(json, key, &v) ? v : "<absent>";
}

// The "result" of config_get: the live configuration object.
std::string live_config(const TestDaemon& d) { return member(d.call(R"({"id":"g","op":"config_get"})"), "result"); }

std::string err_reply(std::string_view code, std::string_view msg) {
    return std::string(R"({"id":"a","ok":false,"code":")") + std::string(code) + R"(","error":")" +
           std::string(msg) + "\"}";
}

// Loads `path` in this process the way the daemon does and returns the configuration object;
// the generated text of that record must equal the file byte for byte.
std::string load_and_check_whole(const std::string& path) {
    config_load(path.c_str());
    cfg_snapshot_t c = g_cfg.load();
    char text[4096];
    int n = config_serialize(c.get(), text, sizeof text);
    EXPECT_GT(n, 0);
    EXPECT_EQ(std::string(text, n > 0 ? static_cast<size_t>(n) : 0), read_text(path)) << "file not whole";
    sb_t r;
    build_config_json(&r, c.get());
    std::string json(r.buf, r.len);
    config_load("/nonexistent/vornd.conf");
    return json;
}

bool tmp_left_in(const std::string& dir) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec))
        if (e.path().extension() == ".tmp") return true;
    return false;
}

struct umount_at_exit {
    std::string path;
    ~umount_at_exit() { umount2(path.c_str(), MNT_DETACH); }
};

}  // namespace

TEST(ConfigApply, LevelReplyShapePersistenceAndRestart) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    const std::string conf = d.config_path();
    std::string reply = apply_cfg(d, R"({"level":"safe"})");
    std::string config = R"({"level":"safe","config_path":")" + conf + R"(","socket":{"path":")" + d.socket_path() +
                         R"(","mode":"0666","group":""},"ops":{"mode":"LIST","list":)" + SAFE_OPS_JSON +
                         R"(},"exec":{"mode":"NONE","list":[]},"pty":{"mode":"NONE","list":[]},)"
                         R"("read_file":{"mode":"ALL","list":[]},"write_file":{"mode":"NONE","list":[]},)"
                         R"("fio_targets":{"mode":"NONE","list":[]},"procs_kill":{"mode":"NONE","list":[]}})";
    EXPECT_EQ(reply, R"({"id":"a","ok":true,"result":{"persisted":true,"persisted_path":")" + conf +
                         R"(","socket_restart_required":false,"config":)" + config + "}}");
    EXPECT_EQ(live_config(d), config);
    EXPECT_NE(read_text(conf).find("[ops]\nenabled = ping,info,meminfo,services_check,"), std::string::npos);
    EXPECT_TRUE(d.wait_log("config_apply: level=safe persisted to " + conf));
    EXPECT_FALSE(tmp_left_in(d.dir()));

    ASSERT_EQ(d.stop(), 0);
    ASSERT_TRUE(d.start());
    EXPECT_EQ(live_config(d), config);

    // A level wins over list arguments, which are then not read at all.
    reply = apply_cfg(d, R"({"level":"locked","exec":"ALL"})");
    EXPECT_EQ(member(member(member(reply, "result"), "config"), "exec"), R"({"mode":"NONE","list":[]})");
    EXPECT_EQ(member(live_config(d), "level"), "\"locked\"");
    EXPECT_EQ(d.stop(), 0);
}

TEST(ConfigApply, ListArgumentsReplaceOnlyTheNamedLists) {
    TestDaemon d;
    d.write_config("[ops]\nenabled = ping, config_get, config_apply\n[exec]\nallow = ls\n[pty]\nallow = /bin/sh\n");
    ASSERT_TRUE(d.start());
    std::string before = live_config(d);

    // The live operation list lacks "info": any list change adds it back.
    std::string cfg = member(member(apply_cfg(d, R"({"write_file":"/tmp/x"})"), "result"), "config");
    EXPECT_EQ(member(cfg, "write_file"), R"({"mode":"LIST","list":["/tmp/x"]})");
    EXPECT_EQ(member(cfg, "ops"), R"({"mode":"LIST","list":["ping","config_get","config_apply","info"]})");
    for (const char* same : {"exec", "pty", "read_file", "fio_targets", "procs_kill", "socket"})
        EXPECT_EQ(member(cfg, same), member(before, same)) << same;
    std::string text = read_text(d.config_path());
    EXPECT_NE(text.find("[paths.write_file]\nallow = /tmp/x\n"), std::string::npos);
    EXPECT_NE(text.find("[exec]\nallow = ls\n"), std::string::npos);

    cfg = member(member(apply_cfg(d, R"({"ops":"iostat_stream","exec":"'bash, ls'","level":""})"), "result"), "config");
    EXPECT_EQ(member(cfg, "level"), "\"custom\"");
    EXPECT_EQ(member(cfg, "exec"), R"({"mode":"LIST","list":["bash","ls"]})");
    EXPECT_NE(read_text(d.config_path()).find("enabled = iostat_stream,ping,info,config_get,config_apply\n"),
              std::string::npos);
    EXPECT_EQ(member(cfg, "write_file"), R"({"mode":"LIST","list":["/tmp/x"]})");

    // NONE closes every operation, these included, until the file changes by other means.
    EXPECT_EQ(member(apply_cfg(d, R"({"ops":"NONE"})"), "ok"), "true");
    EXPECT_EQ(d.call(R"({"id":"a","op":"config_get"})"), err_reply("EDISABLED", "op disabled by config"));
    EXPECT_EQ(apply_cfg(d, R"({"level":"dev"})"), err_reply("EDISABLED", "op disabled by config"));
    EXPECT_EQ(d.stop(), 0);
}

TEST(ConfigApply, RefusalsChangeNeitherFileNorLiveConfig) {
    TestDaemon d;
    d.write_config("[exec]\nallow = ls\n");
    ASSERT_TRUE(d.start());
    const std::string file = read_text(d.config_path());
    const std::string live = live_config(d);
    std::string forty_long;
    for (int i = 0; i < 40; i++) forty_long += (i ? "," : "") + std::string(40, static_cast<char>('a' + i % 26));
    std::string eight_full;  // 1023 characters: read whole, but its line would be 1032 bytes
    for (int i = 0; i < 8; i++) eight_full += (i ? "," : "") + std::string(127, static_cast<char>('a' + i));

    const struct {
        std::string args, reply;
    } cases[] = {
        {R"({"level":"Safe"})", err_reply("EBADREQ", "unknown level")},
        {R"({"level":"root","exec":"ALL"})", err_reply("EBADREQ", "unknown level")},
        {R"({"level":""})", err_reply("EBADREQ", "level or knob overrides required")},
        {"{}", err_reply("EBADREQ", "level or knob overrides required")},
        {"[]", err_reply("EBADREQ", "level or knob overrides required")},
        {R"({"exec":["ls"],"pty":{"a":1},"opz":"ALL"})", err_reply("EBADREQ", "level or knob overrides required")},
        {"{\"exec\":\"ls\n[ops]\nenabled=ALL\"}", err_reply("EBADREQ", "invalid list value")},
        {R"({"read_file":")" + forty_long + "\"}", err_reply("EINTERNAL", "serialize overflow")},
        {R"({"procs_kill":")" + eight_full + "\"}", err_reply("EINTERNAL", "serialize overflow")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(apply_cfg(d, c.args), c.reply) << c.args;
        EXPECT_EQ(read_text(d.config_path()), file) << c.args;
        EXPECT_EQ(live_config(d), live) << c.args;
    }
    // A request without args at all.
    EXPECT_EQ(d.call(R"({"id":"a","op":"config_apply"})"), err_reply("EBADREQ", "level or knob overrides required"));
    EXPECT_FALSE(tmp_left_in(d.dir()));
    EXPECT_EQ(d.stop(), 0);
}

TEST(ConfigApply, FourConcurrentAppliesLeaveOneWholeFile) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    constexpr int THREADS = 4, ROUNDS = 5;
    std::vector<std::string> replies(THREADS * ROUNDS);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; t++) {
        threads.emplace_back([&, t] {
            // Lists of different lengths, so a mixed or cut file cannot look whole.
            std::string names;
            for (int k = 0; k <= t * 5; k++) names += (k ? "," : "") + std::string("prog") + std::to_string(t);
            for (int r = 0; r < ROUNDS; r++)
                replies[t * ROUNDS + r] = apply_cfg(d, R"({"exec":")" + names + R"(","procs_kill":"smbd"})");
        });
    }
    for (auto& th : threads) th.join();
    for (const auto& r : replies) EXPECT_EQ(member(r, "ok"), "true") << r;
    EXPECT_EQ(load_and_check_whole(d.config_path()), live_config(d));
    EXPECT_FALSE(tmp_left_in(d.dir()));
    EXPECT_EQ(d.stop(), 0);
}

TEST(ConfigApply, TemporaryNameIsNeverFollowed) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    const std::string victim = d.dir() + "/victim";
    ASSERT_TRUE(write_file(victim, "precious\n"));
    ASSERT_EQ(symlink(victim.c_str(), (d.config_path() + ".tmp").c_str()), 0);
    const std::string file = read_text(d.config_path());
    EXPECT_EQ(apply_cfg(d, R"({"level":"safe"})"), err_reply("EPERSIST", strerror(ELOOP)));
    EXPECT_EQ(read_text(victim), "precious\n");
    EXPECT_EQ(read_text(d.config_path()), file);
    EXPECT_EQ(member(live_config(d), "level"), "\"dev\"");
    EXPECT_EQ(d.stop(), 0);
}

// Both failures after the open and at the open itself leave the previous file, the live
// configuration and no temporary file.
TEST(ConfigApply, PersistFailuresLeaveEverythingAsItWas) {
    std::string why = enter_private_mount_ns();
    if (!why.empty()) GTEST_SKIP() << why;
    TestDaemon d;
    const std::string etc = d.dir() + "/etc";
    const std::string conf = etc + "/vornd.conf";
    ASSERT_TRUE(fs::create_directory(etc));
    // One page: the existing file fills it, so writing the new text runs out of space.
    ASSERT_EQ(mount("tmpfs", etc.c_str(), "tmpfs", 0, "size=4k"), 0) << strerror(errno);
    umount_at_exit guard{etc};
    ASSERT_TRUE(write_file(conf, "[socket]\npath = " + d.socket_path() + "\n[exec]\nallow = ls\n"));
    ASSERT_TRUE(d.start("-c " + conf));
    const std::string file = read_text(conf);
    const std::string live = live_config(d);

    EXPECT_EQ(apply_cfg(d, R"({"level":"locked"})"), err_reply("EPERSIST", strerror(ENOSPC)));
    EXPECT_TRUE(d.wait_log("config_apply: write " + conf + " failed: " + strerror(ENOSPC)));
    EXPECT_EQ(read_text(conf), file);
    EXPECT_EQ(live_config(d), live);
    EXPECT_FALSE(tmp_left_in(etc));

    ASSERT_EQ(mount(nullptr, etc.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0) << strerror(errno);
    EXPECT_EQ(apply_cfg(d, R"({"exec":"ALL"})"), err_reply("EPERSIST", strerror(EROFS)));
    EXPECT_EQ(read_text(conf), file);
    EXPECT_EQ(live_config(d), live);
    EXPECT_FALSE(tmp_left_in(etc));
    EXPECT_EQ(d.stop(), 0);
}

TEST(ConfigApply, WithoutLoadedFileFirstApplyCreatesSystemFile) {
    std::string why = enter_private_mount_ns();
    if (!why.empty()) GTEST_SKIP() << why;
    // An empty /opt of this namespace only: the daemon has to create /opt/vorn/etc itself.
    ASSERT_TRUE(mount_tmpfs("/opt"));
    umount_at_exit guard{"/opt"};
    TestDaemon d;
    ASSERT_TRUE(d.start());
    // The file goes away and a reload falls back to the defaults: no file is loaded now.
    ASSERT_EQ(unlink(d.config_path().c_str()), 0);
    kill(d.pid(), SIGHUP);
    ASSERT_TRUE(d.wait_log("config not found at " + d.config_path()));
    EXPECT_EQ(member(live_config(d), "config_path"), "\"\"");

    std::string reply = apply_cfg(d, R"({"level":"locked"})");
    EXPECT_EQ(member(member(reply, "result"), "persisted_path"), "\"/opt/vorn/etc/vornd.conf\"") << reply;
    for (const char* dir : {"/opt/vorn", "/opt/vorn/etc"}) {
        struct stat st;
        ASSERT_EQ(stat(dir, &st), 0) << dir;
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0755u) << dir;
    }
    std::string live = live_config(d);
    EXPECT_EQ(member(live, "config_path"), "\"/opt/vorn/etc/vornd.conf\"");
    EXPECT_EQ(member(live, "level"), "\"locked\"");
    EXPECT_EQ(load_and_check_whole("/opt/vorn/etc/vornd.conf"), live);
    EXPECT_FALSE(fs::exists(d.config_path()));  // the -c file is not brought back
    EXPECT_EQ(d.stop(), 0);
}

namespace {

// Runs vornctl against `d` with `words`; returns its standard output and sets `status`.
std::string vornctl(const TestDaemon& d, const std::string& words, int* status) {
    std::string cmd = std::string(VORNCTL_BIN) + " -s " + d.socket_path() + " " + words + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    for (size_t n; p && (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    int st = p ? pclose(p) : -1;
    *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

}  // namespace

TEST(VornctlConfig, PrintsAndAppliesReadably) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    int st = -1;
    std::string out = vornctl(d, "config-apply exec=\"bash,ls\" write_file=/srv/in", &st);
    EXPECT_EQ(st, 0) << out;
    EXPECT_NE(out.find("persisted    " + d.config_path() + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("exec         LIST  bash, ls\n"), std::string::npos) << out;

    out = vornctl(d, "config", &st);
    EXPECT_EQ(st, 0) << out;
    EXPECT_EQ(out, "level        custom\n"
                   "config_path  " + d.config_path() + "\n"
                   "socket       " + d.socket_path() + "  mode 0666  group -\n"
                   "ops          ALL\n"
                   "exec         LIST  bash, ls\n"
                   "pty          ALL\n"
                   "read_file    ALL\n"
                   "write_file   LIST  /srv/in\n"
                   "fio_targets  ALL\n"
                   "procs_kill   ALL\n");

    out = vornctl(d, "config-apply level=high", &st);
    EXPECT_EQ(st, 1);
    EXPECT_EQ(out, "vornctl: EBADREQ: unknown level\n");
    EXPECT_EQ(d.stop(), 0);
}
