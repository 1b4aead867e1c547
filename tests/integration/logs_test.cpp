// dmesg, log_tail and dump_logs over the socket.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>

#include "host_util.h"

namespace fs = std::filesystem;

namespace {

std::string req(std::string_view op, std::string_view args) { return vc_request("r", op, args); }

// The decoded "data" of a dmesg reply.
std::string dmesg_data(const TestDaemon& d, std::string_view args) {
    std::string r = d.call(req("dmesg", args));
    std::string raw;
    EXPECT_TRUE(vc_json_str(result_of(r), "data", &raw)) << r;
    return vc_json_unescape(raw);
}

std::string chunk_line(const std::string& frame) {
    std::string data, line;
    vc_json_raw(frame, "data", &data);
    vc_json_str(data, "line", &line);
    return line;
}

// A temporary log under /tmp/, one of the allowed locations.
struct TmpLog {
    std::string path;
    explicit TmpLog(const std::string& content) {
        char tmpl[] = "/tmp/vornd-log-XXXXXX";
        int fd = mkstemp(tmpl);
        path = tmpl;
        if (fd >= 0) close(fd);
        write_file(path, content);
    }
    ~TmpLog() { unlink(path.c_str()); }
    void append(const std::string& s) const {
        FILE* f = fopen(path.c_str(), "a");
        fputs(s.c_str(), f);
        fclose(f);
    }
};

std::string cancel(const TestDaemon& d, const std::string& job_id) {
    return d.call(vc_request("c", "_cancel", "{\"job_id\":\"" + job_id + "\"}"));
}

}  // namespace

// ---- dmesg ----

TEST(Dmesg, MaxBytesCutsTheRealKernelLogExactly) {
    int kf = open("/dev/kmsg", O_RDONLY | O_NONBLOCK);
    if (kf < 0) GTEST_SKIP() << "/dev/kmsg cannot be opened here";
    std::string own;
    char buf[4096];
    for (ssize_t r; own.size() < 100 && (r = read(kf, buf, sizeof buf)) > 0;) own.append(buf, static_cast<size_t>(r));
    close(kf);
    if (own.size() < 100) GTEST_SKIP() << "kernel log shorter than 100 bytes";
    TestDaemon d;
    ASSERT_TRUE(d.start());
    std::string data = dmesg_data(d, R"({"max_bytes":100})");
    EXPECT_EQ(data, own.substr(0, 100));
    EXPECT_EQ(dmesg_data(d, R"({"max_bytes":0})"), "");
}

TEST(Dmesg, LimitsOnARecordedLog) {
    std::string why = enter_private_mount_ns();
    if (!why.empty()) GTEST_SKIP() << why;
    TestDaemon d;
    std::string fake = d.dir() + "/kmsg";
    std::string text;
    for (int i = 0; text.size() < 10000; i++) text += "6," + std::to_string(i) + ",0,-;record " + std::to_string(i) + "\n";
    text.resize(10000);
    ASSERT_TRUE(write_file(fake, text));
    MountGuard m;
    ASSERT_TRUE(m.bind(fake, "/dev/kmsg"));
    ASSERT_TRUE(d.start());
    EXPECT_EQ(dmesg_data(d, R"({"max_bytes":5000})"), text.substr(0, 5000));  // cut inside the second read
    EXPECT_EQ(dmesg_data(d, R"({"max_bytes":4096})"), text.substr(0, 4096));
    EXPECT_EQ(dmesg_data(d, "{}"), text);
    EXPECT_EQ(dmesg_data(d, R"({"max_bytes":-1})"), text);
}

TEST(Dmesg, FallsBackToTheProgramWhenTheDeviceGivesNothing) {
    std::string why = enter_private_mount_ns();
    if (!why.empty()) GTEST_SKIP() << why;
    std::error_code ec;
    std::string prog = fs::canonical("/bin/dmesg", ec).string();
    if (ec) GTEST_SKIP() << "no /bin/dmesg to stand in for";
    TestDaemon d;
    ASSERT_TRUE(write_file(d.dir() + "/empty", ""));
    ASSERT_TRUE(write_file(d.dir() + "/out", "first line\r\nsecond"));
    ASSERT_TRUE(write_fake_tool(d.dir() + "/dmesg", d.dir() + "/argv", d.dir() + "/out"));
    MountGuard m;
    ASSERT_TRUE(m.bind(d.dir() + "/empty", "/dev/kmsg"));
    ASSERT_TRUE(m.bind(d.dir() + "/dmesg", prog));
    ASSERT_TRUE(d.start());
    EXPECT_EQ(dmesg_data(d, "{}"), "first line\nsecond\n");
    EXPECT_EQ(read_text(d.dir() + "/argv"), "\n");  // run without arguments
    EXPECT_EQ(dmesg_data(d, R"({"max_bytes":13})"), "first line\nse");
}

// ---- log_tail ----

TEST(LogTail, PathRules) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    auto tail = [&](std::string_view path) { return d.call(req("log_tail", "{\"path\":\"" + std::string(path) + "\"}")); };
    const std::string forbidden = R"({"id":"r","ok":false,"code":"EFORBIDDEN","error":"path not in an allowed log location"})";
    const std::string invalid = R"({"id":"r","ok":false,"code":"EREQ","error":"invalid path"})";
    EXPECT_EQ(tail("/var/log"), forbidden);
    EXPECT_EQ(tail("/etc/passwd"), forbidden);
    EXPECT_EQ(tail("/var/logs/x"), forbidden);
    EXPECT_EQ(tail("/var/log/../etc/shadow"), invalid);
    EXPECT_EQ(tail("/tmp/a..b"), invalid);
    EXPECT_EQ(tail("var/log/x"), invalid);
    EXPECT_EQ(tail(""), invalid);
    EXPECT_EQ(d.call(req("log_tail", "{}")), invalid);
    // An allowed location answers with a stream, not a reply.
    StreamReader s(d, req("log_tail", R"({"path":"/var/log/vornd-test-no-such-log"})"));
    std::string f = s.next();
    EXPECT_EQ(event_of(f), "error") << f;
}

TEST(LogTail, MissingFileIsOneErrorEventWithTheJobId) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    StreamReader s(d, req("log_tail", R"({"path":"/tmp/vornd-test-no-such-log"})"));
    std::string f = s.next();
    std::string job;
    EXPECT_TRUE(vc_json_str(f, "job_id", &job)) << f;
    EXPECT_EQ(job.size(), 16u);
    EXPECT_NE(f.find(R"("ok":false,"code":"ENOENT","error":"log not readable"})"), std::string::npos) << f;
    EXPECT_EQ(s.next(300), "");
}

TEST(LogTail, LinesArriveAsChunksUntilCancelled) {
    TmpLog log("one\ntwo\nthree\n");
    TestDaemon d;
    ASSERT_TRUE(d.start());
    StreamReader s(d, req("log_tail", "{\"path\":\"" + log.path + "\",\"lines\":2}"));
    std::string f1 = s.next(), f2 = s.next();
    std::string job;
    ASSERT_TRUE(vc_json_str(f1, "job_id", &job)) << f1;
    EXPECT_EQ(event_of(f1), "chunk");
    EXPECT_EQ(chunk_line(f1), "two");
    EXPECT_EQ(chunk_line(f2), "three");
    long long t = -1;
    std::string data;
    vc_json_raw(f1, "data", &data);
    EXPECT_TRUE(vc_json_int(data, "t", &t) && t > 0) << f1;
    EXPECT_EQ(f2.find("job_id"), std::string::npos);

    log.append("four \"quoted\"\n");
    std::string f3 = s.next();
    EXPECT_EQ(chunk_line(f3), R"(four \"quoted\")");

    EXPECT_EQ(cancel(d, job), R"({"id":"c","ok":true,"result":{"cancelled":true}})");
    std::vector<std::string> rest = s.until_end();
    ASSERT_FALSE(rest.empty());
    EXPECT_EQ(rest.back(), R"({"id":"r","event":"done","ok":true,"exit_code":-1})");
}

TEST(LogTail, LineCountIsClampedToOneAndTwoThousand) {
    std::string text;
    for (int i = 1; i <= 2500; i++) text += "line " + std::to_string(i) + "\n";
    TmpLog log(text);
    TestDaemon d;
    ASSERT_TRUE(d.start());
    struct Case {
        int lines;
        int expect;
        std::string first;
    };
    for (const Case& c : {Case{0, 1, "line 2500"}, Case{5000, 2000, "line 501"}}) {
        StreamReader s(d, req("log_tail", "{\"path\":\"" + log.path + "\",\"lines\":" + std::to_string(c.lines) + "}"));
        std::string first = s.next(), job;
        ASSERT_TRUE(vc_json_str(first, "job_id", &job)) << first;
        EXPECT_EQ(chunk_line(first), c.first);
        int chunks = 1;
        for (std::string f; !(f = s.next(700)).empty() && event_of(f) == "chunk";) chunks++;
        EXPECT_EQ(chunks, c.expect) << "lines " << c.lines;
        cancel(d, job);
        EXPECT_EQ(event_of(s.until_end().back()), "done");
    }
}

TEST(LogTail, NoTailProgramIsAnErrorEvent) {
    std::string why = enter_private_mount_ns();
    if (!why.empty()) GTEST_SKIP() << why;
    TmpLog log("x\n");
    TestDaemon d;
    ASSERT_TRUE(write_file(d.dir() + "/not-exec", "", 0644));
    MountGuard m;
    ASSERT_TRUE(m.tmpfs("/opt"));
    for (const char* p : {"/bin/tail", "/usr/bin/tail", "/usr/local/bin/tail", "/usr/sbin/tail", "/sbin/tail"})
        if (access(p, X_OK) == 0) {
            ASSERT_TRUE(m.bind(d.dir() + "/not-exec", p)) << p;
        }
    PathGuard path("/nonexistent");
    ASSERT_TRUE(d.start());
    StreamReader s(d, req("log_tail", "{\"path\":\"" + log.path + "\"}"));
    std::string f = s.next();
    EXPECT_NE(f.find(R"("ok":false,"code":"ENOENT","error":"tail not found"})"), std::string::npos) << f;
}

// ---- dump_logs ----

TEST(DumpLogs, TarArchiveIntoAFreshDefaultDirectory) {
    if (access("/etc/init.d/diag_XDT", X_OK) == 0) GTEST_SKIP() << "a diagnostic tool is installed here";
    std::string why = enter_private_mount_ns();
    if (!why.empty()) GTEST_SKIP() << why;
    MountGuard m;
    ASSERT_TRUE(m.tmpfs("/opt"));
    ASSERT_EQ(mkdir("/opt/vorn", 0755), 0);
    ASSERT_EQ(mkdir("/opt/vorn/var", 0755), 0);
    ASSERT_TRUE(m.tmpfs("/var/log"));
    ASSERT_TRUE(write_file("/var/log/hello.log", "hello\n"));
    TestDaemon d;
    ASSERT_TRUE(d.start());
    StreamReader s(d, req("dump_logs", "{}"));
    std::vector<std::string> frames = s.until_end(30000);
    ASSERT_FALSE(frames.empty());
    EXPECT_NE(frames.front().find("\"job_id\":\""), std::string::npos);
    const std::string& done = frames.back();
    EXPECT_EQ(event_of(done), "done") << done;
    std::string result = result_of(done), file;
    ASSERT_TRUE(vc_json_str(result, "output_file", &file)) << done;
    EXPECT_EQ(file.rfind("/opt/vorn/var/dumps/vorn_logs_", 0), 0u) << file;
    EXPECT_EQ(file.substr(file.size() - 7), ".tar.gz");
    struct stat st;
    ASSERT_EQ(stat("/opt/vorn/var/dumps", &st), 0);
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0755u & ~mask);
    std::string listing;
    FILE* p = popen(("tar -tzf '" + file + "'").c_str(), "r");
    ASSERT_NE(p, nullptr);
    char buf[512];
    while (fgets(buf, sizeof buf, p)) listing += buf;
    pclose(p);
    EXPECT_NE(listing.find("var/log/hello.log"), std::string::npos) << listing;
    for (size_t i = 0; i + 1 < frames.size(); i++) EXPECT_EQ(event_of(frames[i]), "log") << frames[i];
}

TEST(DumpLogs, DiagnosticToolAtItsFixedPath) {
    if (access("/etc/init.d/diag_XDT", X_OK) == 0) GTEST_SKIP() << "a diagnostic tool is installed here";
    std::string why = enter_private_mount_ns();
    if (!why.empty()) GTEST_SKIP() << why;
    MountGuard m;
    ASSERT_TRUE(m.tmpfs("/opt"));
    const std::string tool = "/opt/vorn/dist/pelta/diagnostic_tool/diag_XDT";
    ASSERT_TRUE(write_file(tool,
                           "#!/bin/sh\nprintf '%s\\n' \"$@\" > /opt/argv\necho collecting\necho 'careful \"x\"' >&2\n"
                           "echo bundle > \"$2/bundle.txt\"\nexit 3\n",
                           0755));
    TestDaemon d;
    ASSERT_TRUE(d.start());
    std::string out = d.dir() + "/bundle";
    StreamReader s(d, req("dump_logs", "{\"output_dir\":\"" + out + "\"}"));
    std::vector<std::string> frames = s.until_end(10000);
    ASSERT_EQ(frames.size(), 3u);
    std::vector<std::string> logs = {frames[0], frames[1]};
    std::sort(logs.begin(), logs.end(), [](const std::string& a, const std::string& b) {
        return a.find("\"stream\":1") != std::string::npos && b.find("\"stream\":1") == std::string::npos;
    });
    EXPECT_NE(logs[0].find(R"("stream":1,"msg":"collecting"})"), std::string::npos) << logs[0];
    EXPECT_NE(logs[1].find(R"("stream":2,"msg":"careful \"x\""})"), std::string::npos) << logs[1];
    EXPECT_EQ(frames[2], "{\"id\":\"r\",\"event\":\"done\",\"ok\":true,\"exit_code\":3,\"result\":{\"output_dir\":\"" +
                             out + "\"}}");
    EXPECT_EQ(recorded_argv("/opt/argv"), (std::vector<std::string>{"-o", out}));
    EXPECT_EQ(read_text(out + "/bundle.txt"), "bundle\n");
}

TEST(DumpLogs, CancelEndsWithDoneMinusOne) {
    if (access("/etc/init.d/diag_XDT", X_OK) == 0) GTEST_SKIP() << "a diagnostic tool is installed here";
    std::string why = enter_private_mount_ns();
    if (!why.empty()) GTEST_SKIP() << why;
    MountGuard m;
    ASSERT_TRUE(m.tmpfs("/opt"));
    ASSERT_TRUE(write_file("/opt/vorn/dist/pelta/diagnostic_tool/diag_XDT", "#!/bin/sh\necho started\nexec sleep 30\n", 0755));
    TestDaemon d;
    ASSERT_TRUE(d.start());
    StreamReader s(d, req("dump_logs", "{\"output_dir\":\"" + d.dir() + "/b\"}"));
    std::string f = s.next(), job;
    ASSERT_TRUE(vc_json_str(f, "job_id", &job)) << f;
    EXPECT_EQ(cancel(d, job), R"({"id":"c","ok":true,"result":{"cancelled":true}})");
    std::vector<std::string> rest = s.until_end(5000);
    ASSERT_FALSE(rest.empty());
    EXPECT_EQ(rest.back(), "{\"id\":\"r\",\"event\":\"done\",\"ok\":true,\"exit_code\":-1,\"result\":{\"output_dir\":\"" +
                               d.dir() + "/b\"}}");
}
