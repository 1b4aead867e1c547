// smart_get, smart_scan, dmidecode, net_addrs, net_ports and bin_check over the socket, with
// fake tools that record their arguments where the daemon looks for the real ones.

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "binfind.h"
#include "host_util.h"

namespace fs = std::filesystem;

using argv_t = std::vector<std::string>;

namespace {

std::string req(std::string_view op, std::string_view args) { return vc_request("r", op, args); }

std::string ok(std::string_view result) { return R"({"id":"r","ok":true,"result":)" + std::string(result) + "}"; }

std::string err(std::string_view code, std::string_view msg) {
    return R"({"id":"r","ok":false,"code":")" + std::string(code) + R"(","error":")" + std::string(msg) + "\"}";
}

// A private mount namespace with an empty /opt (so /opt/vorn holds only what a test puts
// there) and a scratch directory for fakes, records and outputs.
class FakeToolsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why = enter_private_mount_ns();
        if (!why.empty()) GTEST_SKIP() << why;
        ASSERT_TRUE(mounts.tmpfs("/opt"));
        ASSERT_TRUE(write_file(dir() + "/not-exec", "", 0644));
    }
    std::string dir() const { return d.dir(); }
    std::string rec(const std::string& name) const { return dir() + "/" + name + ".argv"; }
    std::string out(const std::string& name) const { return dir() + "/" + name + ".out"; }
    // A fake in binfind's first place, /opt/vorn/bin/<name>-<arch>.
    void fake_in_install_root(const std::string& name, int status = 0) {
        ASSERT_TRUE(write_fake_tool("/opt/vorn/bin/" + name + "-" + binfind_arch(), rec(name), out(name), status));
    }
    // A fake over an existing program at a fixed path.
    void fake_over(const std::string& path, const std::string& name) {
        ASSERT_TRUE(write_fake_tool(dir() + "/fake-" + name, rec(name), out(name)));
        ASSERT_TRUE(mounts.bind(dir() + "/fake-" + name, canonical(path))) << path;
    }
    // Takes away the execute permission of every existing one of `paths`.
    void disable(std::initializer_list<const char*> paths) {
        for (const char* p : paths)
            if (access(p, X_OK) == 0) {
                ASSERT_TRUE(mounts.bind(dir() + "/not-exec", canonical(p))) << p;
            }
    }
    static std::string canonical(const std::string& p) {
        std::error_code ec;
        fs::path c = fs::canonical(p, ec);
        return ec ? p : c.string();
    }

    TestDaemon d;  // declared first: destroyed after the mounts are gone
    MountGuard mounts;
};

}  // namespace

// ---- SMART ----

using SmartTest = FakeToolsTest;

TEST_F(SmartTest, DeviceNameRules) {
    fake_in_install_root("smartctl");
    ASSERT_TRUE(d.start());
    for (const char* op : {"smart_get", "smart_scan"}) {
        EXPECT_EQ(d.call(req(op, "{}")), err("EREQ", "device required")) << op;
        EXPECT_EQ(d.call(req(op, R"({"device":""})")), err("EREQ", "device required")) << op;
        EXPECT_EQ(d.call(req(op, R"({"device":"sda"})")), err("EBADDEV", "device must start with /dev/")) << op;
        EXPECT_EQ(d.call(req(op, R"({"device":"/dev/disk/by-id/ata-X"})")), err("EBADDEV", "invalid device name")) << op;
        EXPECT_EQ(d.call(req(op, R"({"device":"/dev/sda;reboot"})")), err("EBADDEV", "invalid device name")) << op;
    }
    EXPECT_TRUE(recorded_argv(rec("smartctl")).empty());
    EXPECT_EQ(result_of(d.call(req("smart_get", R"({"device":"/dev/nvme0n1"})"))), R"({"text":""})");
    EXPECT_EQ(recorded_argv(rec("smartctl")), (argv_t{"-a", "-j", "/dev/nvme0n1"}));
}

TEST_F(SmartTest, ArgumentVectors) {
    fake_in_install_root("smartctl");
    ASSERT_TRUE(d.start());
    struct Case {
        const char* op;
        const char* args;
        argv_t want;
    };
    const Case cases[] = {
        {"smart_get", R"({"device":"/dev/sda"})", {"-a", "-j", "/dev/sda"}},
        {"smart_get", R"({"device":"/dev/sda","type":"sat"})", {"-a", "-j", "-d", "sat", "/dev/sda"}},
        {"smart_get", R"({"device":"/dev/sda","type":"megaraid,0"})", {"-a", "-j", "-d", "megaraid,0", "/dev/sda"}},
        {"smart_get", R"({"device":"/dev/sda","type":"sat;x"})", {"-a", "-j", "/dev/sda"}},
        {"smart_get", R"({"device":"/dev/sda","type":""})", {"-a", "-j", "/dev/sda"}},
        {"smart_scan", R"({"device":"/dev/sdb"})", {"-x", "-j", "/dev/sdb"}},
        {"smart_scan", R"({"device":"/dev/sdb","log":"farm"})", {"-l", "farm", "-j", "/dev/sdb"}},
        {"smart_scan", R"({"device":"/dev/sdb","log":"FARM"})", {"-x", "-j", "/dev/sdb"}},
        {"smart_scan", R"({"device":"/dev/sdb","log":"devstat","type":"nvme"})",
         {"-l", "devstat", "-j", "-d", "nvme", "/dev/sdb"}},
        {"smart_scan", R"({"device":"/dev/sdb","type":"sat"})", {"-x", "-j", "-d", "sat", "/dev/sdb"}},
        {"smart_scan", R"({"device":"/dev/sdb","tool":"SeaChest"})", {"-x", "-j", "/dev/sdb"}},
    };
    for (const Case& c : cases) {
        unlink(rec("smartctl").c_str());
        EXPECT_NE(d.call(req(c.op, c.args)).find("\"ok\":true"), std::string::npos) << c.args;
        EXPECT_EQ(recorded_argv(rec("smartctl")), c.want) << c.op << " " << c.args;
    }
}

TEST_F(SmartTest, JsonOutputPassesThroughOnlyWhenComplete) {
    fake_in_install_root("smartctl", 4);  // a non-zero exit is no error of the operation
    ASSERT_TRUE(d.start());
    auto get = [&](const std::string& output) {
        write_file(out("smartctl"), output);
        return d.call(req("smart_get", R"({"device":"/dev/sda"})"));
    };
    EXPECT_EQ(get("{\"a\": [1, 2.5e3, true, null],\n \"b\": \"x\\u00e9\"}\n"),
              ok("{\"a\": [1, 2.5e3, true, null],\n \"b\": \"x\\u00e9\"}\n"));
    EXPECT_EQ(get("Device open failed\n"), ok(R"({"text":"Device open failed\n"})"));
    EXPECT_EQ(get("{\"a\":1"), ok(R"({"text":"{\"a\":1\n"})"));                  // cut short
    EXPECT_EQ(get("{\"a\":1}\n{\"b\":2}\n"), ok(R"({"text":"{\"a\":1}\n{\"b\":2}\n"})"));  // two values
    EXPECT_EQ(get("{\"a\":1} trailing"), ok(R"({"text":"{\"a\":1} trailing\n"})"));
    EXPECT_EQ(get("{\"a\" 1 \"b\":2}"), ok(R"({"text":"{\"a\" 1 \"b\":2}\n"})"));       // no colon
    EXPECT_EQ(get("{\"a\":nul}"), ok(R"({"text":"{\"a\":nul}\n"})"));
    EXPECT_EQ(get(" {\"a\":1}"), ok(R"({"text":" {\"a\":1}\n"})"));  // must begin with {
    EXPECT_EQ(get(std::string("{\"a\":\"x\ty\"}")), ok(R"({"text":"{\"a\":\"x\ty\"}\n"})"));
}

TEST_F(SmartTest, SeaChestGetsTheFarmVectorAndTextForm) {
    fake_in_install_root("SeaChest_SMART");
    write_file(out("SeaChest_SMART"), "{\"farm\":1}\n");
    PathGuard path("/nonexistent");
    ASSERT_TRUE(d.start());
    EXPECT_EQ(d.call(req("smart_scan", R"({"device":"/dev/sdc","tool":"seachest","log":"devstat","type":"sat"})")),
              ok(R"({"tool":"seachest","text":"{\"farm\":1}\n"})"));
    EXPECT_EQ(recorded_argv(rec("SeaChest_SMART")), (argv_t{"-d", "/dev/sdc", "--showFARM"}));
}

TEST_F(SmartTest, MissingToolsAreReported) {
    disable({"/usr/sbin/smartctl", "/sbin/smartctl", "/usr/bin/smartctl", "/usr/local/sbin/smartctl",
             "/usr/local/bin/smartctl", "/bin/smartctl"});
    PathGuard path("/nonexistent");
    ASSERT_TRUE(d.start());
    const std::string missing = err("ENOENT", "smartctl not found (bundle smartctl-<arch> in /opt/vorn/bin)");
    EXPECT_EQ(d.call(req("smart_get", R"({"device":"/dev/sda"})")), missing);
    EXPECT_EQ(d.call(req("smart_scan", R"({"device":"/dev/sda","log":"farm"})")), missing);
    EXPECT_EQ(d.call(req("smart_scan", R"({"device":"/dev/sda","tool":"seachest"})")),
              err("ENOENT", "SeaChest_SMART not found (bundle SeaChest_SMART-<arch> in /opt/vorn/bin)"));
}

// ---- DMI ----

using DmiTest = FakeToolsTest;

TEST_F(DmiTest, TypeRuleAndTextForm) {
    if (access("/usr/sbin/dmidecode", F_OK) != 0) GTEST_SKIP() << "no /usr/sbin/dmidecode to stand in for";
    fake_over("/usr/sbin/dmidecode", "dmidecode");
    write_file(out("dmidecode"), "{\"not\":\"passed through\"}\n");
    ASSERT_TRUE(d.start());
    EXPECT_EQ(d.call(req("dmidecode", R"({"type":"memory"})")), ok(R"({"text":"{\"not\":\"passed through\"}\n"})"));
    EXPECT_EQ(recorded_argv(rec("dmidecode")), (argv_t{"-t", "memory"}));
    for (const char* args : {R"({"type":"bios,system"})", "{}", R"({"type":""})", R"({"type":"-h"})"}) {
        unlink(rec("dmidecode").c_str());
        d.call(req("dmidecode", args));
        EXPECT_EQ(read_text(rec("dmidecode")), "\n") << args;  // no arguments at all
    }
}

TEST_F(DmiTest, MissingProgramIsNotFound) {
    disable({"/usr/sbin/dmidecode", "/usr/local/sbin/dmidecode"});
    ASSERT_TRUE(d.start());
    EXPECT_EQ(d.call(req("dmidecode", "{}")), err("ENOENT", "dmidecode not found"));
}

TEST(Dmi, RealProgramAnswersWithText) {
    if (access("/usr/sbin/dmidecode", X_OK) != 0) GTEST_SKIP() << "dmidecode is not installed";
    TestDaemon d;
    ASSERT_TRUE(d.start());
    std::string r = d.call(req("dmidecode", R"({"type":"bios"})"));
    EXPECT_EQ(r.rfind(R"({"id":"r","ok":true,"result":{"text":")", 0), 0u) << r;
}

// ---- network ----

TEST(Net, AddrsFromTheRealIpIncludeLoopback) {
    if (access("/sbin/ip", X_OK) != 0 && access("/usr/sbin/ip", X_OK) != 0 && access("/bin/ip", X_OK) != 0)
        GTEST_SKIP() << "ip is not installed";
    TestDaemon d;
    ASSERT_TRUE(d.start());
    std::string r = d.call(req("net_addrs", "{}"));
    EXPECT_EQ(r.rfind(R"({"id":"r","ok":true,"result":{"addrs":[)", 0), 0u) << r;
    EXPECT_NE(r.find(R"({"iface":"lo","addr":"127.0.0.1/8"})"), std::string::npos) << r;
    EXPECT_EQ(r.find("::1"), std::string::npos) << r;
}

using NetTest = FakeToolsTest;

TEST_F(NetTest, AddrsFromRecordedOutput) {
    if (access("/sbin/ip", F_OK) != 0) GTEST_SKIP() << "no /sbin/ip to stand in for";
    fake_over("/sbin/ip", "ip");
    write_file(out("ip"),
               "1: lo    inet 127.0.0.1/8 scope host lo\\       valid_lft forever preferred_lft forever\n"
               "\n"
               "2: eth0\tinet 10.1.2.3/24 brd 10.1.2.255 scope global eth0\n"
               "3: short\n"
               "4: br-lan    inet 192.168.7.1/16 scope global br-lan\n");
    ASSERT_TRUE(d.start());
    EXPECT_EQ(d.call(req("net_addrs", "{}")),
              ok(R"({"addrs":[{"iface":"lo","addr":"127.0.0.1/8"},{"iface":"eth0","addr":"10.1.2.3/24"},)"
                 R"({"iface":"br-lan","addr":"192.168.7.1/16"}]})"));
    EXPECT_EQ(recorded_argv(rec("ip")), (argv_t{"-4", "-o", "addr", "show"}));
}

TEST_F(NetTest, PortsThroughSs) {
    const char* ss = nullptr;
    for (const char* p : {"/usr/sbin/ss", "/sbin/ss", "/usr/bin/ss"})
        if (!ss && access(p, X_OK) == 0) ss = p;
    if (!ss) GTEST_SKIP() << "ss is not installed";
    fake_over(ss, "ss");
    write_file(out("ss"), "LISTEN 0 128 0.0.0.0:22 0.0.0.0:*\n");
    ASSERT_TRUE(d.start());
    EXPECT_EQ(d.call(req("net_ports", "{}")),
              ok(R"({"tool":"ss","kind":"listen","text":"LISTEN 0 128 0.0.0.0:22 0.0.0.0:*\n"})"));
    EXPECT_EQ(recorded_argv(rec("ss")), (argv_t{"-ltnH"}));
    d.call(req("net_ports", R"({"proc":true})"));
    EXPECT_EQ(recorded_argv(rec("ss")), (argv_t{"-ltnHp"}));
    d.call(req("net_ports", R"({"kind":"established","proc":true})"));
    EXPECT_EQ(recorded_argv(rec("ss")), (argv_t{"-tnHp", "state", "established"}));
    std::string r = d.call(req("net_ports", R"({"kind":"LISTEN"})"));
    EXPECT_NE(r.find(R"("kind":"LISTEN")"), std::string::npos) << r;
    EXPECT_EQ(recorded_argv(rec("ss")), (argv_t{"-tnH", "state", "established"}));
}

TEST_F(NetTest, PortsFallBackToNetstat) {
    if (access("/usr/bin/netstat", F_OK) != 0) GTEST_SKIP() << "no /usr/bin/netstat to stand in for";
    disable({"/usr/sbin/ss", "/sbin/ss", "/usr/bin/ss"});
    fake_over("/usr/bin/netstat", "netstat");
    ASSERT_TRUE(d.start());
    EXPECT_EQ(d.call(req("net_ports", "{}")), ok(R"({"tool":"netstat","kind":"listen","text":""})"));
    EXPECT_EQ(recorded_argv(rec("netstat")), (argv_t{"-ltn"}));
    d.call(req("net_ports", R"({"proc":true})"));
    EXPECT_EQ(recorded_argv(rec("netstat")), (argv_t{"-ltnp"}));
    d.call(req("net_ports", R"({"kind":"x"})"));
    EXPECT_EQ(recorded_argv(rec("netstat")), (argv_t{"-tn"}));
    d.call(req("net_ports", R"({"kind":"x","proc":true})"));
    EXPECT_EQ(recorded_argv(rec("netstat")), (argv_t{"-tnp"}));

    disable({"/bin/netstat", "/usr/bin/netstat"});
    EXPECT_EQ(d.call(req("net_ports", "{}")), err("ENOENT", "neither ss nor netstat found"));
}

TEST_F(NetTest, AddrsWithoutIpIsNotFound) {
    disable({"/sbin/ip", "/usr/sbin/ip", "/bin/ip"});
    ASSERT_TRUE(d.start());
    EXPECT_EQ(d.call(req("net_addrs", "{}")), err("ENOENT", "ip(8) not found"));
}

// ---- bin_check ----

using BinCheckTest = FakeToolsTest;

TEST_F(BinCheckTest, OrderOfPlacesAndPathParts) {
    const std::string arch = binfind_arch();
    ASSERT_TRUE(write_file("/opt/vorn/bin/zzt-" + arch, "", 0755));
    ASSERT_TRUE(write_file("/opt/p2/zzt", "", 0755));
    ASSERT_TRUE(write_file("/opt/p1/zzonly", "", 0644));  // not executable: skipped
    ASSERT_TRUE(write_file("/opt/p2/zzonly", "", 0755));
    PathGuard path("/opt/p1::/opt/p2");
    ASSERT_TRUE(d.start());
    EXPECT_EQ(d.call(req("bin_check", R"({"names":["zzt","zzonly","zz-missing","zzt",7,{"a":["b"]},"",["x"],"sh"]})")),
              ok(R"({"results":{"zzt":{"found":true,"path":"/opt/vorn/bin/zzt-)" + arch +
                 R"("},"zzonly":{"found":true,"path":"/opt/p2/zzonly"},"zz-missing":{"found":false,"path":""},)"
                 R"("zzt":{"found":true,"path":"/opt/vorn/bin/zzt-)" + arch +
                 R"("},"7":{"found":false,"path":""},"":{"found":false,"path":""},"":{"found":false,"path":""},)"
                 R"("":{"found":false,"path":""},"sh":{"found":true,"path":"/usr/bin/sh"}}})"));
}

TEST(BinCheck, NamesAreRequiredAndCappedAtSixteen) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    const std::string required = err("EREQ", "names array required");
    EXPECT_EQ(d.call(req("bin_check", "{}")), required);
    EXPECT_EQ(d.call(req("bin_check", R"({"names":[]})")), required);
    EXPECT_EQ(d.call(req("bin_check", R"({"names":"sh"})")), required);
    EXPECT_EQ(d.call(R"({"id":"r","op":"bin_check"})"), required);
    std::string names;
    for (int i = 0; i < 20; i++) names += (i ? ",\"n" : "\"n") + std::to_string(i) + "\"";
    std::string r = d.call(req("bin_check", "{\"names\":[" + names + "]}"));
    EXPECT_NE(r.find("\"n15\":"), std::string::npos) << r;
    EXPECT_EQ(r.find("\"n16\":"), std::string::npos) << r;
}

// ---- children that cannot be started ----

TEST_F(FakeToolsTest, ToolsThatCannotStartGiveTheirErrors) {
    if (access("/etc/init.d/diag_XDT", X_OK) == 0) GTEST_SKIP() << "a diagnostic tool is installed here";
    fake_in_install_root("smartctl");
    fake_in_install_root("SeaChest_SMART");
    ASSERT_TRUE(d.start());
    unique_fd c = d.connect();
    ASSERT_EQ(roundtrip(c.get(), req("smart_get", R"({"device":"/dev/sda"})")), ok(R"({"text":""})"));
    ASSERT_TRUE(starve_fds(d.pid()));
    auto call = [&](std::string_view op, std::string_view args) { return roundtrip(c.get(), req(op, args)); };
    auto stream_end = [&](std::string_view op, std::string_view args) {
        vc_send(c.get(), req(op, args));
        std::string f;
        struct pollfd p = {c.get(), POLLIN, 0};
        while (poll(&p, 1, 5000) == 1 && vc_recv(c.get(), &f) == 0 && event_of(f) != "error" &&
               event_of(f) != "done") {
        }
        return f;
    };
    EXPECT_EQ(call("smart_get", R"({"device":"/dev/sda"})"), err("ENOENT", "smartctl not found"));
    EXPECT_EQ(call("smart_scan", R"({"device":"/dev/sda"})"), err("ENOENT", "smartctl not found"));
    EXPECT_EQ(call("smart_scan", R"({"device":"/dev/sda","tool":"seachest"})"),
              err("ENOENT", "SeaChest_SMART not runnable"));
    if (access("/usr/sbin/dmidecode", X_OK) == 0) {
        EXPECT_EQ(call("dmidecode", "{}"), err("ENOENT", "dmidecode not found"));
    }
    EXPECT_EQ(call("net_addrs", "{}"), err("ENOENT", "ip(8) not found"));
    EXPECT_EQ(call("net_ports", "{}"), err("ENOENT", "neither ss nor netstat found"));
    EXPECT_EQ(call("dmesg", "{}"), ok(R"({"data":""})"));  // dmesg has no error reply
    EXPECT_NE(stream_end("log_tail", R"({"path":"/tmp/"})").find(R"("code":"ESPAWN","error":"tail spawn failed")"),
              std::string::npos);
    EXPECT_NE(stream_end("dump_logs", "{\"output_dir\":\"" + dir() + "/b\"}")
                  .find(R"("code":"ESPAWN","error":"tar spawn failed")"),
              std::string::npos);
    ASSERT_TRUE(write_file("/opt/vorn/dist/pelta/diagnostic_tool/diag_XDT", "#!/bin/sh\n", 0755));
    EXPECT_NE(stream_end("dump_logs", "{\"output_dir\":\"" + dir() + "/b\"}")
                  .find(R"("code":"ESPAWN","error":"diag_XDT spawn failed")"),
              std::string::npos);
}
