// info, meminfo, sysinfo and services_check against what /proc and uname say.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>

#include "base/version.h"
#include "harness.h"
#include "host_util.h"
#include "spawn.h"

namespace {

long long proc_meminfo_kb(const char* key) {
    std::istringstream in(read_text("/proc/meminfo"));
    for (std::string line; std::getline(in, line);)
        if (line.rfind(std::string(key) + ":", 0) == 0) return std::stoll(line.substr(strlen(key) + 1));
    return 0;
}

// Runs a copy of /bin/sleep under the command name `name` until destroyed.
struct named_process {
    pid_t pid;
    named_process(const std::string& dir, const std::string& name) {
        std::filesystem::copy_file("/bin/sleep", dir + "/" + name, std::filesystem::copy_options::overwrite_existing);
        pid = spawn_program({dir + "/" + name, "30"}).pid;
        // Until exec completes the child still carries our own command name.
        std::string comm_path = "/proc/" + std::to_string(pid) + "/comm";
        eventually([&] { return read_text(comm_path) == name.substr(0, 15) + "\n"; }, 1000);
    }
    ~named_process() {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
};

std::string services(bool smb, bool nfs, bool afp) {
    auto b = [](bool v) { return v ? "true" : "false"; };
    return std::string("{\"services\":[{\"key\":\"smb\",\"label\":\"SMB / Samba\",\"running\":") + b(smb) +
           "},{\"key\":\"nfs\",\"label\":\"NFS\",\"running\":" + b(nfs) +
           "},{\"key\":\"afp\",\"label\":\"AFP\",\"running\":" + b(afp) + "}]}";
}

}  // namespace

TEST(HostOps, SummaryMatchesUnameProcAndProcessNames) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    struct utsname u;
    ASSERT_EQ(uname(&u), 0);
    EXPECT_EQ(json_member(d.call(R"({"id":"1","op":"info"})"), "result"),
              std::string("{\"version\":\"" VORND_VERSION "\",\"machine\":\"") + u.machine + "\",\"release\":\"" +
                  u.release + "\",\"sysname\":\"" + u.sysname + "\",\"euid\":" + std::to_string(geteuid()) +
                  ",\"pid\":" + std::to_string(d.pid()) + "}");

    std::string sys = json_member(d.call(R"({"id":"1","op":"sysinfo"})"), "result");
    std::string v;
    ASSERT_TRUE(vc_json_str(sys, "nodename", &v));
    EXPECT_EQ(v, u.nodename);
    ASSERT_TRUE(vc_json_str(sys, "version", &v));
    EXPECT_EQ(vc_json_unescape(v), u.version);
    ASSERT_TRUE(vc_json_str(sys, "cpuinfo", &v));
    EXPECT_TRUE(has(v, "\\n") && !has(v, "\n")) << "line feeds are escaped";
    std::string cpu = vc_json_unescape(v), proc = read_text("/proc/cpuinfo");
    // Clock figures move between two reads; the first line and the length class do not.
    EXPECT_EQ(cpu.substr(0, cpu.find('\n')), proc.substr(0, proc.find('\n')));
    EXPECT_LE(cpu.size(), 65536u);
    if (proc.size() <= 65536) {
        EXPECT_NEAR(static_cast<double>(cpu.size()), static_cast<double>(proc.size()), 64.0);
    }

    std::string r = json_member(d.call(R"({"id":"1","op":"meminfo"})"), "result");
    long long total = 0, avail = 0, free_b = 0, swap = 0;
    ASSERT_TRUE(vc_json_int(r, "mem_total", &total) && vc_json_int(r, "mem_available", &avail) &&
                vc_json_int(r, "mem_free", &free_b) && vc_json_int(r, "swap_total", &swap))
        << r;
    EXPECT_EQ(r.find("{\"mem_total\":"), 0u);
    EXPECT_EQ(total, proc_meminfo_kb("MemTotal") * 1024);
    EXPECT_EQ(swap, proc_meminfo_kb("SwapTotal") * 1024);
    EXPECT_TRUE(avail > 0 && avail <= total && free_b <= total) << r;

    // services_check matches exact command names.
    auto check = [&] { return json_member(d.call(R"({"id":"1","op":"services_check"})"), "result"); };
    std::string baseline = check();
    if (baseline != services(false, false, false)) GTEST_SKIP() << "file services already run here: " << baseline;
    {
        named_process longer(d.dir(), "smbd-notifyd");
        EXPECT_EQ(check(), services(false, false, false));
    }
    {
        named_process mountd(d.dir(), "rpc.mountd");
        EXPECT_EQ(check(), services(false, true, false));
        named_process smbd(d.dir(), "smbd"), cnid(d.dir(), "cnid_metad");
        EXPECT_EQ(check(), services(true, true, true));
    }
    EXPECT_EQ(check(), services(false, false, false));
}
