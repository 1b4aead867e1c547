// config_get and config_apply over the socket: the reply, persistence, refusals that leave
// file and live configuration as they were, concurrent applies, and vornctl's readable form.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/sb.h"
#include "config/config.h"
#include "config/config_file.h"
#include "config/presets.h"
#include "ctl_util.h"
#include "host_util.h"
#include "spawn.h"

namespace fs = std::filesystem;

namespace {

const char* const SAFE_OPS_JSON =
    R"(["ping","info","meminfo","services_check","iostat_stream","zpool_iostat_stream","zpool_list",)"
    R"("procs_list","read_file","read_dir","dmesg","smart_get","dmidecode","sysinfo","net_addrs",)"
    R"("net_ports","bin_check","mounts","config_get","config_apply"])";

std::string apply_cfg(const TestDaemon& d, std::string_view a) { return d.call(req("config_apply", a)); }
// The "result" of config_get: the live configuration object.
std::string live_config(const TestDaemon& d) { return json_member(d.call(req("config_get", "{}")), "result"); }

// Loads `path` here as the daemon does and returns its config_get object; it must regenerate the file exactly.
std::string load_and_check_whole(const std::string& path) {
    config_load(path.c_str());
    cfg_snapshot_t c = g_cfg.load();
    char text[4096];
    int n = config_serialize(c.get(), text, sizeof text);
    EXPECT_EQ(std::string(text, n > 0 ? static_cast<size_t>(n) : 0), read_text(path)) << "file not whole";
    sb_t r;
    build_config_json(&r, c.get());
    config_load("/nonexistent/vornd.conf");
    return std::string(r.buf, r.len);
}

// The file and the live configuration before a refused apply, to compare with after it.
struct unchanged_t {
    const TestDaemon& d;
    std::string conf, file = read_text(conf), live = live_config(d);
    void expect(const std::string& why) const {
        EXPECT_EQ(read_text(conf), file) << why;
        EXPECT_EQ(live_config(d), live) << why;
        EXPECT_FALSE(fs::exists(conf + ".tmp")) << why;  // the one temporary name used
    }
};

}  // namespace

TEST(ConfigApply, LevelReplyShapePersistenceAndConcurrency) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    const std::string conf = d.config_path();
    std::string reply = apply_cfg(d, R"({"level":"safe"})");
    std::string config = R"({"level":"safe","config_path":")" + conf + R"(","socket":{"path":")" + d.socket_path() +
                         R"(","mode":"0666","group":""},"ops":{"mode":"LIST","list":)" + SAFE_OPS_JSON +
                         R"(},"exec":{"mode":"NONE","list":[]},"pty":{"mode":"NONE","list":[]},)"
                         R"("read_file":{"mode":"ALL","list":[]},"write_file":{"mode":"NONE","list":[]},)"
                         R"("fio_targets":{"mode":"NONE","list":[]},"procs_kill":{"mode":"NONE","list":[]}})";
    EXPECT_EQ(reply, R"({"id":"r","ok":true,"result":{"persisted":true,"persisted_path":")" + conf +
                         R"(","socket_restart_required":false,"config":)" + config + "}}");
    EXPECT_EQ(live_config(d), config);
    EXPECT_TRUE(d.wait_log("config_apply: level=safe persisted to " + conf));

    ASSERT_EQ(d.stop(), 0);
    ASSERT_TRUE(d.start());
    EXPECT_EQ(live_config(d), config);  // read back from the file written

    // A level wins over list arguments, which are then not read at all.
    reply = apply_cfg(d, R"({"level":"locked","exec":"ALL"})");
    EXPECT_EQ(json_member(json_member(json_member(reply, "result"), "config"), "exec"), R"({"mode":"NONE","list":[]})");
    EXPECT_EQ(json_member(live_config(d), "level"), "\"locked\"");

    // Concurrent applies are taken one at a time: one whole file is left, the live record's.
    constexpr int THREADS = 4, ROUNDS = 5;
    std::vector<std::string> replies(THREADS * ROUNDS);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; t++)
        threads.emplace_back([&, t] {
            std::string names = "prog" + std::to_string(t);  // lists of different lengths, so a mixed
            for (int k = 0; k < t * 5; k++) names += ",prog" + std::to_string(t);  // or cut file cannot look whole
            for (int r = 0; r < ROUNDS; r++)
                replies[t * ROUNDS + r] = apply_cfg(d, R"({"exec":")" + names + R"(","procs_kill":"smbd"})");
        });
    for (auto& th : threads) th.join();
    for (const auto& r : replies) EXPECT_EQ(json_member(r, "ok"), "true") << r;
    EXPECT_EQ(load_and_check_whole(d.config_path()), live_config(d));
    EXPECT_FALSE(fs::exists(d.config_path() + ".tmp"));
    EXPECT_EQ(d.stop(), 0);
}

// The rewritten file keeps the mode, owner and group of the one it replaces, and whatever
// holds the temporary name (a link, a hard link to another file) is replaced, not written into.
TEST(ConfigApply, KeepsTheFilesModeAndOwnerAndNeverWritesThroughTheTemporaryName) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    const std::string conf = d.config_path(), victim = d.dir() + "/victim";
    ASSERT_EQ(chmod(conf.c_str(), 0640), 0);
    ASSERT_EQ(chown(conf.c_str(), 0, 4), 0);
    ASSERT_TRUE(write_file(victim, "secret\n", 0600));
    for (auto plant : {symlink, link}) {
        ASSERT_EQ(plant(victim.c_str(), (conf + ".tmp").c_str()), 0);
        EXPECT_EQ(json_member(apply_cfg(d, R"({"level":"safe"})"), "ok"), "true");
        EXPECT_FALSE(fs::exists(conf + ".tmp"));
    }
    struct stat st {};
    ASSERT_EQ(stat(conf.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_gid, 4u);
    EXPECT_EQ(read_text(victim), "secret\n");
    EXPECT_EQ(d.stop(), 0);
}

// Refusals change nothing; list arguments, over the socket or from vornctl, replace only the named lists.
TEST(ConfigApply, RefusalsListArgumentsAndVornctl) {
    TestDaemon d;
    d.write_config("[ops]\nenabled = ping, config_get, config_apply\n[exec]\nallow = ls\n[pty]\nallow = /bin/sh\n");
    ASSERT_TRUE(d.start());
    const unchanged_t before{d, d.config_path()};
    std::string forty_long, thirty_three;  // a line far above the 1023 bytes the loader reads; a list too long
    for (int i = 0; i < 40; i++) forty_long += (i ? "," : "") + std::string(40, static_cast<char>('a' + i % 26));
    for (int i = 0; i < 33; i++) thirty_three += (i ? ",p" : "p") + std::to_string(i);
    const std::string no_args = err("EBADREQ", "level or knob overrides required");
    const std::pair<std::string, std::string> cases[] = {
        {R"({"level":"Safe"})", err("EBADREQ", "unknown level")},
        {R"({"level":"root","exec":"ALL"})", err("EBADREQ", "unknown level")},
        {R"({"level":""})", no_args},
        {"{}", no_args},
        {"[]", no_args},
        {R"({"exec":["ls"],"pty":{"a":1},"opz":"ALL"})", no_args},
        {"{\"exec\":\"ls\n[ops]\nenabled=ALL\"}", err("EBADREQ", "invalid list value")},
        {R"({"read_file":")" + forty_long + "\"}", err("EINTERNAL", "serialize overflow")},
        // Never stored cut: a prefix cut to 127 characters would admit its siblings.
        {R"({"read_file":"/srv/)" + std::string(145, 'd') + "\"}", err("EBADREQ", "invalid list value")},
        {R"({"exec":")" + thirty_three + "\"}", err("EBADREQ", "invalid list value")},
    };
    for (const auto& [args, reply] : cases) {
        EXPECT_EQ(apply_cfg(d, args), reply) << args;
        before.expect(args);
    }
    EXPECT_EQ(d.call(R"({"id":"r","op":"config_apply"})"), no_args);

    // The live operation list lacks "info": any list change adds it back.
    std::string cfg = json_member(json_member(apply_cfg(d, R"({"write_file":"/tmp/x"})"), "result"), "config");
    EXPECT_EQ(json_member(cfg, "write_file"), R"({"mode":"LIST","list":["/tmp/x"]})");
    EXPECT_EQ(json_member(cfg, "ops"), R"({"mode":"LIST","list":["ping","config_get","config_apply","info"]})");
    for (const char* same : {"exec", "pty", "read_file", "fio_targets", "procs_kill", "socket"})
        EXPECT_EQ(json_member(cfg, same), json_member(before.live, same)) << same;

    // vornctl sends words as list arguments (an empty level counts as absent) and prints readably.
    run_result_t r = run_program(ctl(d.socket_path(), {"config-apply", "ops=iostat_stream", "exec=bash,ls", "level="}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("persisted    " + d.config_path() + "\n"), std::string::npos) << r.out;
    r = run_program(ctl(d.socket_path(), {"config"}));
    EXPECT_EQ(r.out,
              "level        custom\n"
              "config_path  " +
                  d.config_path() +
                  "\n"
                  "socket       " +
                  d.socket_path() +
                  "  mode 0666  group -\n"
                  "ops          LIST  iostat_stream, ping, info, config_get, config_apply\n"
                  "exec         LIST  bash, ls\npty          LIST  /bin/sh\n"
                  "read_file    ALL\nwrite_file   LIST  /tmp/x\nfio_targets  ALL\nprocs_kill   ALL\n");
    EXPECT_EQ(load_and_check_whole(d.config_path()), live_config(d));  // the file holds the live record whole
    r = run_program(ctl(d.socket_path(), {"config-apply", "level=high"}));
    EXPECT_EQ(r.status, 2);  // refused before it is sent
    EXPECT_EQ(
        r.out + r.err,
        "vornctl: config-apply: level=high: expected one of dev|safe|locked (vornctl help config-apply) (EREQ)\n");

    // NONE closes every operation, these included, until the file changes by other means.
    EXPECT_EQ(json_member(apply_cfg(d, R"({"ops":"NONE"})"), "ok"), "true");
    EXPECT_EQ(d.call(R"({"id":"r","op":"config_get"})"), err("EDISABLED", "op disabled by config"));
    EXPECT_EQ(apply_cfg(d, R"({"level":"dev"})"), err("EDISABLED", "op disabled by config"));
    EXPECT_EQ(d.stop(), 0);
}

// Without a loaded file the first apply creates the system file and its directory; a write that then
// runs out of space (that file fills the one page) changes nothing (a failing open: the symlink above).
TEST(ConfigApply, FirstApplyCreatesSystemFileThenAFullFileSystemChangesNothing) {
    std::string why = enter_private_mount_ns();
    if (!why.empty()) GTEST_SKIP() << why;
    // An empty /opt of one page: the daemon has to create /opt/vorn/etc itself. Without a file it
    // binds the default socket, which lands in the test's own directory.
    scoped_mounts m;
    ASSERT_TRUE(m.mount_at("/opt", "tmpfs", "tmpfs", 0, "size=4k")) << strerror(errno);
    TestDaemon d;
    const std::string run_dir = "/opt/vorn/var/run";
    ASSERT_TRUE(fs::create_directories(run_dir));
    ASSERT_TRUE(m.mount_at(run_dir, d.dir().c_str(), nullptr, MS_BIND)) << strerror(errno);
    ASSERT_TRUE(d.start("-c " + d.dir() + "/absent.conf"));
    ASSERT_TRUE(d.wait_log("config not found at " + d.dir() + "/absent.conf"));
    EXPECT_EQ(json_member(live_config(d), "config_path"), "\"\"");

    const std::string conf = "/opt/vorn/etc/vornd.conf";
    std::string reply = apply_cfg(d, R"({"level":"locked"})");
    EXPECT_EQ(json_member(json_member(reply, "result"), "persisted_path"), "\"" + conf + "\"") << reply;
    struct stat st;
    ASSERT_EQ(stat("/opt/vorn/etc", &st), 0);
    EXPECT_EQ(st.st_mode & (S_IFMT | 0777), S_IFDIR | 0755u);
    std::string live = live_config(d);
    EXPECT_EQ(json_member(live, "level"), "\"locked\"");
    EXPECT_EQ(load_and_check_whole(conf), live);  // its config_path included

    const unchanged_t before{d, conf};
    EXPECT_EQ(apply_cfg(d, R"({"level":"safe"})"), err("EPERSIST", strerror(ENOSPC)));
    EXPECT_TRUE(d.wait_log("config_apply: write " + conf + " failed: " + strerror(ENOSPC)));
    before.expect("full file system");
    EXPECT_EQ(d.stop(), 0);
}
