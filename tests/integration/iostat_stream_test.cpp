// iostat_stream end to end: with the real tool (live chunks, cancel from a second
// connection), and with a fake tool found through the install root for exact bytes and for
// several streams sharing one tool.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "base/clock.h"
#include "harness.h"
#include "host_util.h"
#include "proc/tools.h"
#include "spawn.h"

namespace {

const char* const IOSTAT_PLACES[] = {"/sbin/iostat", "/usr/sbin/iostat", "/usr/bin/iostat", "/usr/local/bin/iostat",
                                     "/bin/iostat"};

// A stream's frames with the job id and the timestamp masked.
std::vector<std::string> normalised(std::vector<std::string> frames) {
    for (auto& f : frames) {
        f = std::regex_replace(f, std::regex("\"job_id\":\"[0-9a-f]{16}\""), "\"job_id\":\"X\"");
        f = std::regex_replace(f, std::regex("\"ts\":[0-9]+"), "\"ts\":0");
    }
    return frames;
}

// Hides the system's iostat so the lookup falls through to the install root, and puts
// `script` there at `fake`. `fake`, or "" when something failed.
std::string install_fake_iostat(scoped_mounts* mounts, const std::string& fake, const std::string& script) {
    if (!mounts->tmpfs("/opt") || !write_file("/opt/not-executable", "", 0644)) return "";
    for (const char* p : IOSTAT_PLACES)
        if (access(p, X_OK) == 0 && !mounts->bind("/opt/not-executable", p)) return "";
    return write_file(fake, script, 0755) ? fake : "";
}

// The daemon's children named iostat.
int iostat_children(pid_t daemon) {
    int n = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string dir = e.path().string();
        std::string stat = read_text(dir + "/stat");
        int ppid = 0;
        size_t close = stat.rfind(')');
        if (close != std::string::npos && sscanf(stat.c_str() + close + 1, " %*c %d", &ppid) == 1 && ppid == daemon &&
            read_text(dir + "/comm") == "iostat\n")
            n++;
    }
    return n;
}

}  // namespace

TEST(IostatStream, RealToolSendsAChunkPerSecondAndStopsOnCancel) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    StreamReader s(d, vc_request("r1", "iostat_stream", ""));
    std::string first = s.next(5000);
    if (has(first, "iostat not found")) GTEST_SKIP() << "iostat is not installed (sysstat)";
    uint64_t t1 = now_ms();
    std::string second = s.next(3000);
    uint64_t gap = now_ms() - t1;
    // The job id comes with the first chunk only.
    const std::string data = R"("data":\{"ts":[0-9]+,"mode":"iostat","disks":\{)";
    EXPECT_TRUE(std::regex_search(first, std::regex(R"(^\{"id":"r1","event":"chunk","job_id":"[0-9a-f]{16}",)" + data)))
        << first;
    EXPECT_TRUE(std::regex_search(second, std::regex(R"(^\{"id":"r1","event":"chunk",)" + data))) << second;
    EXPECT_TRUE(gap > 500 && gap < 1800) << gap;

    std::string job_id;
    ASSERT_TRUE(vc_json_str(first, "job_id", &job_id)) << first;
    uint64_t t2 = now_ms();
    EXPECT_EQ(d.call(vc_request("c1", "_cancel", "{\"job_id\":\"" + job_id + "\"}")),
              R"({"id":"c1","ok":true,"result":{"cancelled":true}})");
    std::vector<std::string> rest = s.until_end(3000);
    EXPECT_LT(now_ms() - t2, 1500u);
    for (size_t i = 0; i + 1 < rest.size(); i++) EXPECT_EQ(json_event(rest[i]), "chunk") << rest[i];
    EXPECT_EQ(rest.empty() ? "" : rest.back(), R"({"id":"r1","event":"done","ok":true,"exit_code":-1})");
}

TEST(IostatStream, FakeToolUnderTheInstallRootGivesExactChunks) {
    std::string why = enter_private_mount_ns();
    if (!why.empty()) GTEST_SKIP() << why;
    scoped_mounts mounts;
    // Parsing details are the parser's own tests; here: the lookup, the arguments, exact bytes,
    // and the C locale: this iostat writes decimal commas unless LC_ALL is C, as a de_DE one does.
    std::string fake =
        install_fake_iostat(&mounts, std::string("/opt/vorn/bin/iostat-") + binfind_arch(),
                            "#!/bin/sh\necho \"$*\" > /opt/args\n[ \"$LC_ALL\" = C ] && p=. || p=,\n"
                            "h='Device  r/s  rkB/s  w/s  wkB/s  r_await  w_await  aqu-sz  %util'\n"
                            "printf 'Linux 6.1.0 (nas)\\n\\n%s\\n' \"$h\"\n"
                            "echo \"sda 1${p}50 2 0${p}50 4 2 6 0${p}50 9${p}99\"\necho 'loop0 1 1 1 1 1 1 1 1'\n"
                            "printf '\\n%s\\nnvme0n1 5 6 7 8 1 1 0.25 50\\n\\n' \"$h\"\n"
                            "exit 3\n");
    ASSERT_FALSE(fake.empty());

    setenv("LC_ALL", "de_DE.UTF-8", 1);
    TestDaemon d;
    bool started = d.start();
    unsetenv("LC_ALL");
    ASSERT_TRUE(started);
    EXPECT_EQ(
        normalised(StreamReader(d, vc_request("r1", "iostat_stream", "")).until_end()),
        (std::vector<std::string>{
            R"({"id":"r1","event":"chunk","job_id":"X","data":{"ts":0,"mode":"iostat","disks":{"sda":{"dev_class":"sata","read_iops":1.50,"write_iops":0.50,"read_kb":2.00,"write_kb":4.00,"await":3.00,"util":9.99,"svc_t":0.00,"queue":0.50,"r_await":2.00,"w_await":6.00}}}})",
            R"({"id":"r1","event":"chunk","data":{"ts":0,"mode":"iostat","disks":{"nvme0n1":{"dev_class":"nvme","read_iops":5.00,"write_iops":7.00,"read_kb":6.00,"write_kb":8.00,"await":1.00,"util":50.00,"svc_t":0.00,"queue":0.25,"r_await":1.00,"w_await":1.00}}}})",
            R"({"id":"r1","event":"done","ok":true,"exit_code":3})"}));
    EXPECT_EQ(read_text("/opt/args"), "-x 1\n");

    // With no iostat anywhere the client gets only the error, carrying the job id.
    ASSERT_EQ(unlink(fake.c_str()), 0);
    EXPECT_EQ(
        normalised(StreamReader(d, vc_request("r2", "iostat_stream", "")).until_end()),
        (std::vector<std::string>{
            R"({"id":"r2","event":"error","job_id":"X","ok":false,"code":"ENOENT","error":"iostat not found"})"}));
}

// Every stream gets the reports of one shared tool; a cancel or a hang-up ends only that
// stream, and the tool goes with the last one.
TEST(IostatStream, StreamsShareOneToolThatEndsWithTheLast) {
    std::string why = enter_private_mount_ns();
    if (!why.empty()) GTEST_SKIP() << why;
    scoped_mounts mounts;
    ASSERT_FALSE(install_fake_iostat(&mounts, std::string("/opt/vorn/") + binfind_arch() + "/bin/iostat",
                                     "#!/bin/sh\nwhile :; do\n  printf 'Device r/s\\nsda 1\\n\\n'\n"
                                     "  sleep 0.2\ndone\n")
                     .empty());
    TestDaemon d;
    ASSERT_TRUE(d.start());
    const std::regex chunk(R"(^\{"id":"r[12]","event":"chunk",("job_id":"[0-9a-f]{16}",)?"data":\{"ts":[0-9]+,)");
    std::string f;
    std::string job_a;
    {
        StreamReader b(d, vc_request("r2", "iostat_stream", ""));
        std::string b1 = b.next();
        {
            // A stream that comes later joins the running tool; each stream's first chunk
            // carries its own job id, and both keep receiving.
            StreamReader a(d, vc_request("r1", "iostat_stream", ""));
            std::string a1 = a.next();
            std::string job_b;
            ASSERT_TRUE(vc_json_str(a1, "job_id", &job_a) && vc_json_str(b1, "job_id", &job_b)) << a1 << b1;
            EXPECT_NE(job_a, job_b);
            for (int i = 0; i < 3; i++) {
                EXPECT_TRUE(std::regex_search(f = a.next(), chunk)) << f;
                EXPECT_TRUE(std::regex_search(f = b.next(), chunk)) << f;
            }
            EXPECT_EQ(iostat_children(d.pid()), 1);

            EXPECT_EQ(d.call(vc_request("c1", "_cancel", "{\"job_id\":\"" + job_a + "\"}")),
                      R"({"id":"c1","ok":true,"result":{"cancelled":true}})");
            std::vector<std::string> rest = a.until_end(3000);
            EXPECT_EQ(rest.empty() ? "" : rest.back(), R"({"id":"r1","event":"done","ok":true,"exit_code":-1})");
        }
        for (int i = 0; i < 3; i++) EXPECT_TRUE(std::regex_search(f = b.next(), chunk)) << f;
        EXPECT_EQ(iostat_children(d.pid()), 1);
    }
    EXPECT_TRUE(eventually([&] { return iostat_children(d.pid()) == 0; }, 2000));

    // A later stream starts the tool again.
    StreamReader c(d, vc_request("r1", "iostat_stream", ""));
    EXPECT_TRUE(std::regex_search(f = c.next(), chunk)) << f;
}
