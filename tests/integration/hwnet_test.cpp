// smart_get, smart_scan, dmidecode, net_addrs, net_ports and bin_check (and log_tail, dmesg and dump_logs
// where their tools are missing or cannot start), with fakes that record their arguments.

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/fdio.h"
#include "host_util.h"
#include "proc/tools.h"
#include "spawn.h"

using argv_t = std::vector<std::string>;

namespace {

// One request with its reply and the arguments the fake `tool` was run with (none: empty).
class HwTest : public FakeToolsTest {
protected:
    argv_t argv_of(const std::string& tool, std::string_view op, std::string_view args, std::string* reply = nullptr) {
        unlink(rec(tool).c_str());
        std::string r = d.call(req(op, args));
        if (reply) *reply = r;
        return recorded_argv(rec(tool));
    }
};

}  // namespace

TEST_F(HwTest, SmartDeviceRulesArgumentVectorsAndReplyForms) {
    fake_in_install_root("smartctl", 4);  // a non-zero exit is no error of the operation
    fake_in_install_root("SeaChest_SMART");
    ASSERT_TRUE(write_file(out("SeaChest_SMART"), "{\"farm\":1}\n"));
    ASSERT_TRUE(d.start());
    for (const char* op : {"smart_get", "smart_scan"}) {
        EXPECT_EQ(d.call(req(op, "{}")), err("EREQ", "device required")) << op;
        EXPECT_EQ(d.call(req(op, R"({"device":""})")), err("EREQ", "device required")) << op;
        EXPECT_EQ(d.call(req(op, R"({"device":"sda"})")), err("EBADDEV", "device must start with /dev/")) << op;
        EXPECT_EQ(d.call(req(op, R"({"device":"/dev/disk/by-id/ata-X"})")), err("EBADDEV", "invalid device name"))
            << op;
    }
    EXPECT_TRUE(recorded_argv(rec("smartctl")).empty());
    const struct {
        const char* op;
        const char* args;
        argv_t want;
    } cases[] = {
        {"smart_get", R"({"device":"/dev/nvme0n1"})", {"-a", "-j", "/dev/nvme0n1"}},
        {"smart_get", R"({"device":"/dev/sda","type":"sat"})", {"-a", "-j", "-d", "sat", "/dev/sda"}},
        {"smart_get", R"({"device":"/dev/sda","type":"sat;x"})", {"-a", "-j", "/dev/sda"}},
        {"smart_scan", R"({"device":"/dev/sdb"})", {"-x", "-j", "/dev/sdb"}},
        {"smart_scan", R"({"device":"/dev/sdb","log":"farm"})", {"-l", "farm", "-j", "/dev/sdb"}},
        {"smart_scan", R"({"device":"/dev/sdb","log":"FARM"})", {"-x", "-j", "/dev/sdb"}},
        {"smart_scan",
         R"({"device":"/dev/sdb","log":"devstat","type":"nvme"})",
         {"-l", "devstat", "-j", "-d", "nvme", "/dev/sdb"}},
        {"smart_scan", R"({"device":"/dev/sdb","tool":"SeaChest"})", {"-x", "-j", "/dev/sdb"}},  // the name is exact
    };
    std::string r;
    for (const auto& c : cases) {
        EXPECT_EQ(argv_of("smartctl", c.op, c.args, &r), c.want) << c.op << " " << c.args;
        EXPECT_EQ(r, ok(R"({"text":""})")) << c.args;
    }
    // The other tool takes neither type nor log, and its output is always text.
    const char* seachest = R"({"device":"/dev/sdc","tool":"seachest","log":"devstat","type":"sat"})";
    EXPECT_EQ(argv_of("SeaChest_SMART", "smart_scan", seachest, &r), (argv_t{"-d", "/dev/sdc", "--showFARM"}));
    EXPECT_EQ(r, ok(R"({"tool":"seachest","text":"{\"farm\":1}\n"})"));

    // smartctl's output passes through only when it is one complete JSON value.
    auto get = [&](const std::string& output) {
        write_file(out("smartctl"), output);
        return d.call(req("smart_get", R"({"device":"/dev/sda"})"));
    };
    EXPECT_EQ(get("{\"a\": [1, 2.5e3, true, null],\n \"b\": \"x\\u00e9\"}\n"),
              ok("{\"a\": [1, 2.5e3, true, null],\n \"b\": \"x\\u00e9\"}\n"));
    // Which texts are one complete value is the unit tests' business; here: the text form.
    EXPECT_EQ(get("Device open failed\n"), ok(R"({"text":"Device open failed\n"})"));
    EXPECT_EQ(get("{\"a\":1"), ok(R"({"text":"{\"a\":1\n"})"));      // cut short
    EXPECT_EQ(get(" {\"a\":1}"), ok(R"({"text":" {\"a\":1}\n"})"));  // must begin with {
}

TEST_F(HwTest, MissingToolsAreNotFound) {
    disable({"/usr/sbin/smartctl", "/sbin/smartctl", "/usr/bin/smartctl", "/usr/local/sbin/smartctl",
             "/usr/local/bin/smartctl", "/bin/smartctl", "/usr/sbin/dmidecode", "/usr/local/sbin/dmidecode", "/sbin/ip",
             "/usr/sbin/ip", "/bin/ip", "/bin/tail", "/usr/bin/tail", "/usr/local/bin/tail", "/usr/sbin/tail",
             "/sbin/tail"});
    PathGuard path("/nonexistent");
    ASSERT_TRUE(d.start());
    const std::string missing = err("ENOENT", "smartctl not found (bundle smartctl-<arch> in /opt/vorn/bin)");
    EXPECT_EQ(d.call(req("smart_get", R"({"device":"/dev/sda"})")), missing);
    EXPECT_EQ(d.call(req("smart_scan", R"({"device":"/dev/sda","log":"farm"})")), missing);
    EXPECT_EQ(d.call(req("smart_scan", R"({"device":"/dev/sda","tool":"seachest"})")),
              err("ENOENT", "SeaChest_SMART not found (bundle SeaChest_SMART-<arch> in /opt/vorn/bin)"));
    EXPECT_EQ(d.call(req("dmidecode", "{}")), err("ENOENT", "dmidecode not found"));
    EXPECT_EQ(d.call(req("net_addrs", "{}")), err("ENOENT", "ip(8) not found"));
    unique_fd s = open_stream(d, req("log_tail", "{\"path\":\"" + empty_file() + "\"}"));  // under /tmp/
    EXPECT_TRUE(has(next_frame(s.get()), R"("ok":false,"code":"ENOENT","error":"tail not found"})"));
}

// The real programs first, then fakes bound over them.
TEST_F(HwTest, DmiAndAddressesFromTheRealToolsThenFromRecordedOutput) {
    if (access("/usr/sbin/dmidecode", X_OK) != 0 || access("/sbin/ip", X_OK) != 0)
        GTEST_SKIP() << "dmidecode or ip is not installed";
    ASSERT_TRUE(d.start());
    std::string r = d.call(req("dmidecode", R"({"type":"bios"})"));
    EXPECT_EQ(r.rfind(R"({"id":"r","ok":true,"result":{"text":")", 0), 0u) << r;
    r = d.call(req("net_addrs", "{}"));
    EXPECT_EQ(r.rfind(R"({"id":"r","ok":true,"result":{"addrs":[)", 0), 0u) << r;
    EXPECT_TRUE(has(r, R"({"iface":"lo","addr":"127.0.0.1/8"})")) << r;
    EXPECT_FALSE(has(r, "::1")) << r;

    fake_over("/usr/sbin/dmidecode", "dmidecode");
    ASSERT_TRUE(write_file(out("dmidecode"), "{\"not\":\"passed through\"}\n"));
    EXPECT_EQ(argv_of("dmidecode", "dmidecode", R"({"type":"memory"})", &r), (argv_t{"-t", "memory"}));
    EXPECT_EQ(r, ok(R"({"text":"{\"not\":\"passed through\"}\n"})"));
    for (const char* args : {R"({"type":"bios,system"})", "{}", R"({"type":""})", R"({"type":"-h"})"})
        EXPECT_EQ(argv_of("dmidecode", "dmidecode", args), argv_t{""}) << args;  // no arguments at all

    // Line parsing is the unit tests' business; here: the arguments and the reply.
    fake_over("/sbin/ip", "ip");
    ASSERT_TRUE(write_file(out("ip"),
                           "1: lo    inet 127.0.0.1/8 scope host lo\\       valid_lft forever\n3: short\n"
                           "4: br-lan    inet 192.168.7.1/16 scope global br-lan\n"));
    EXPECT_EQ(argv_of("ip", "net_addrs", "{}", &r), (argv_t{"-4", "-o", "addr", "show"}));
    EXPECT_EQ(r, ok(R"({"addrs":[{"iface":"lo","addr":"127.0.0.1/8"},{"iface":"br-lan","addr":"192.168.7.1/16"}]})"));
}

// ss where it exists, then netstat once no ss is left.
TEST_F(HwTest, NetPortsThroughSsThenNetstat) {
    const char* ss = nullptr;
    for (const char* p : {"/usr/sbin/ss", "/sbin/ss", "/usr/bin/ss"})
        if (!ss && access(p, X_OK) == 0) ss = p;
    if (!ss || access("/usr/bin/netstat", F_OK) != 0) GTEST_SKIP() << "ss or netstat is not installed";
    fake_over(ss, "ss");
    fake_over("/usr/bin/netstat", "netstat");
    const char* text = "LISTEN 0 128 0.0.0.0:22 0.0.0.0:*\n";
    ASSERT_TRUE(write_file(out("ss"), text) && write_file(out("netstat"), text));
    ASSERT_TRUE(d.start());
    const struct {
        const char* args;
        const char* kind;
        argv_t ss, netstat;
    } cases[] = {
        {"{}", "listen", {"-ltnH"}, {"-ltn"}},
        {R"({"proc":true})", "listen", {"-ltnHp"}, {"-ltnp"}},
        {R"({"kind":"established","proc":true})", "established", {"-tnHp", "state", "established"}, {"-tnp"}},
        {R"({"kind":"LISTEN"})", "LISTEN", {"-tnH", "state", "established"}, {"-tn"}},
    };
    for (const char* tool : {"ss", "netstat"}) {
        if (tool[0] == 'n') disable({"/usr/sbin/ss", "/sbin/ss", "/usr/bin/ss"});
        for (const auto& c : cases) {
            std::string r;
            EXPECT_EQ(argv_of(tool, "net_ports", c.args, &r), tool[0] == 's' ? c.ss : c.netstat) << tool << c.args;
            EXPECT_EQ(r, ok(std::string(R"({"tool":")") + tool + R"(","kind":")" + c.kind +
                            R"(","text":"LISTEN 0 128 0.0.0.0:22 0.0.0.0:*\n"})"));
        }
    }
    disable({"/bin/netstat", "/usr/bin/netstat"});
    EXPECT_EQ(d.call(req("net_ports", "{}")), err("ENOENT", "neither ss nor netstat found"));
}

TEST_F(HwTest, BinCheckOrderOfPlacesPathPartsAndLimits) {
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
                 R"("zzt":{"found":true,"path":"/opt/vorn/bin/zzt-)" +
                 arch +
                 R"("},"7":{"found":false,"path":""},"":{"found":false,"path":""},"":{"found":false,"path":""},)"
                 R"("":{"found":false,"path":""},"sh":{"found":true,"path":"/usr/bin/sh"}}})"));

    for (const char* args : {"{}", R"({"names":[]})", R"({"names":"sh"})"})
        EXPECT_EQ(d.call(req("bin_check", args)), err("EREQ", "names array required")) << args;
    EXPECT_EQ(d.call(R"({"id":"r","op":"bin_check"})"), err("EREQ", "names array required"));
    std::string names = "\"n0\"";
    for (int i = 1; i < 20; i++) names += ",\"n" + std::to_string(i) + "\"";
    std::string r = d.call(req("bin_check", "{\"names\":[" + names + "]}"));
    EXPECT_TRUE(has(r, "\"n15\":") && !has(r, "\"n16\":")) << r;  // at most sixteen names
}

TEST_F(HwTest, ToolsThatCannotStartGiveTheirErrors) {
    if (access("/etc/init.d/diag_XDT", X_OK) == 0) GTEST_SKIP() << "a diagnostic tool is installed here";
    fake_in_install_root("smartctl");
    fake_in_install_root("SeaChest_SMART");
    ASSERT_TRUE(d.start());
    unique_fd c = d.connect();
    ASSERT_EQ(roundtrip(c.get(), req("smart_get", R"({"device":"/dev/sda"})")), ok(R"({"text":""})"));
    ASSERT_TRUE(starve_fds(d.pid()));
    auto call = [&](std::string_view op, std::string_view args) { return roundtrip(c.get(), req(op, args)); };
    auto end_of = [&](std::string_view op, std::string_view args) {
        vc_send(c.get(), req(op, args));
        return stream_end(c.get());
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
    EXPECT_TRUE(has(end_of("log_tail", R"({"path":"/tmp/"})"), R"("code":"ESPAWN","error":"tail spawn failed")"));
    const std::string dump_args = "{\"output_dir\":\"" + d.dir() + "/b\"}";
    EXPECT_TRUE(has(end_of("dump_logs", dump_args), R"("code":"ESPAWN","error":"tar spawn failed")"));
    ASSERT_TRUE(write_file("/opt/vorn/dist/pelta/diagnostic_tool/diag_XDT", "#!/bin/sh\n", 0755));
    EXPECT_TRUE(has(end_of("dump_logs", dump_args), R"("code":"ESPAWN","error":"diag_XDT spawn failed")"));
}

// A hung one-shot tool (with a background child) ends, group and all, at its deadline with the
// timeout error, or at once when its client leaves; the deadline is capped for the test.
TEST_F(HwTest, HungToolEndsAtItsDeadlineOrWithItsClient) {
    constexpr int DEADLINE_MS = 3000;
    ASSERT_TRUE(write_file(std::string("/opt/vorn/bin/smartctl-") + binfind_arch(),
                           "#!/bin/sh\nsleep 300 & exec sleep 300\n", 0755));
    ASSERT_TRUE(d.start("--tool-timeout-ms " + std::to_string(DEADLINE_MS)));
    auto hung = [&](unique_fd* c) {
        *c = d.connect();
        vc_send(c->get(), req("smart_get", R"({"device":"/dev/sda"})"));
        pid_t leader = 0;
        EXPECT_TRUE(eventually([&] {
            std::vector<pid_t> kids = children_of(d.pid());
            leader = kids.size() == 1 ? kids[0] : 0;
            return leader > 1 && group_alive(leader) == 2;
        }));
        return leader;
    };
    unique_fd c;
    pid_t leader = hung(&c);
    EXPECT_EQ(next_frame(c.get(), DEADLINE_MS + 1000), err("ENOENT", "smartctl timed out"));
    EXPECT_EQ(group_alive(leader), 0);
    kill(-leader, SIGKILL);  // whatever is left

    leader = hung(&c);
    c.reset();
    EXPECT_TRUE(eventually([&] { return group_alive(leader) == 0; }, DEADLINE_MS / 2));
    kill(-leader, SIGKILL);
}
