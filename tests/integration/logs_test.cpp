// dmesg, log_tail and dump_logs over the socket.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>

#include "base/fdio.h"
#include "host_util.h"
#include "spawn.h"
#include "stranger.h"

namespace fs = std::filesystem;

namespace {

// The string member `key` of `json`, still escaped; "" when there is none.
std::string str_of(const std::string& json, const char* key) {
    std::string v;
    vc_json_str(json, key, &v);
    return v;
}
std::string dmesg_data(const TestDaemon& d, std::string_view args) {
    return vc_json_unescape(str_of(json_member(d.call(req("dmesg", args)), "result"), "data"));
}
std::string chunk_line(const std::string& frame) { return str_of(json_member(frame, "data"), "line"); }
std::string job_of(const std::string& frame) { return str_of(frame, "job_id"); }

void cancel(const TestDaemon& d, const std::string& job_id) {
    EXPECT_EQ(d.call(vc_request("c", "_cancel", "{\"job_id\":\"" + job_id + "\"}")),
              R"({"id":"c","ok":true,"result":{"cancelled":true}})");
}

std::string dump_done(int exit_code, const std::string& dir) {
    return R"({"id":"r","event":"done","ok":true,"exit_code":)" + std::to_string(exit_code) +
           R"(,"result":{"output_dir":")" + dir + "\"}}";
}

}  // namespace

using DmesgTest = FakeToolsTest;

// The real kernel log, a recorded one bound over the device, then the program once the device is empty.
TEST_F(DmesgTest, MaxBytesCutsEachSourceExactly) {
    if (access("/bin/dmesg", F_OK) != 0) GTEST_SKIP() << "no /bin/dmesg to stand in for";
    ASSERT_TRUE(d.start());
    unique_fd kf(open("/dev/kmsg", O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    std::string own;
    char buf[4096];
    for (ssize_t r; kf && own.size() < 100 && (r = read(kf.get(), buf, sizeof buf)) > 0;) own.append(buf, size_t(r));
    if (own.size() >= 100) {  // the kernel hands out one record per read
        EXPECT_EQ(dmesg_data(d, R"({"max_bytes":100})"), own.substr(0, 100));
        EXPECT_EQ(dmesg_data(d, R"({"max_bytes":0})"), "");
    }

    std::string text;
    for (int i = 0; text.size() < 10000; i++)
        text += "6," + std::to_string(i) + ",0,-;record " + std::to_string(i) + "\n";
    text.resize(10000);
    ASSERT_TRUE(write_file(d.dir() + "/kmsg", text));
    ASSERT_TRUE(mounts.bind(d.dir() + "/kmsg", "/dev/kmsg"));                 // each request opens the device afresh
    EXPECT_EQ(dmesg_data(d, R"({"max_bytes":5000})"), text.substr(0, 5000));  // cut inside the second read
    EXPECT_EQ(dmesg_data(d, R"({"max_bytes":4096})"), text.substr(0, 4096));
    EXPECT_EQ(dmesg_data(d, "{}"), text);
    EXPECT_EQ(dmesg_data(d, R"({"max_bytes":-1})"), text);

    fake_over("/bin/dmesg", "dmesg");
    ASSERT_TRUE(write_file(out("dmesg"), "first line\r\nsecond"));
    ASSERT_TRUE(mounts.bind(empty_file(), "/dev/kmsg"));
    EXPECT_EQ(dmesg_data(d, "{}"), "first line\nsecond\n");
    EXPECT_EQ(read_text(rec("dmesg")), "\n");  // run without arguments
    EXPECT_EQ(dmesg_data(d, R"({"max_bytes":13})"), "first line\nse");
}

TEST(LogTail, PathRulesMissingFileLinesUntilCancelAndTheClampedCount) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    const std::string forbidden = err("EFORBIDDEN", "path not in an allowed log location"),
                      invalid = err("EREQ", "invalid path");
    // Anyone can place a link under /tmp/: what it leads to must be a log location, too.
    const std::string link = d.dir() + "/passwd-link";
    ASSERT_EQ(symlink("/etc/passwd", link.c_str()), 0);
    const std::pair<std::string, std::string> cases[] = {
        {"/var/log", forbidden},
        {"/etc/passwd", forbidden},
        {"/var/logs/x", forbidden},
        {link, forbidden},
        {"/var/log/../etc/shadow", invalid},
        {"/tmp/a..b", invalid},
        {"var/log/x", invalid},
        {"", invalid},
        {"/tmp/" + std::string(508, 'x'), err("EBADREQ", "path too long")}};
    for (const auto& [path, want] : cases)
        EXPECT_EQ(d.call(req("log_tail", "{\"path\":\"" + path + "\"}")), want) << path;
    EXPECT_EQ(d.call(req("log_tail", "{}")), invalid);
    // Both allowed locations answer with a stream, not a reply.
    for (const char* path : {"/var/log/vornd-test-no-such-log", "/tmp/vornd-test-no-such-log"}) {
        unique_fd s = open_stream(d, req("log_tail", "{\"path\":\"" + std::string(path) + "\"}"));
        std::string f = next_frame(s.get()), job = job_of(f);
        EXPECT_EQ(job.size(), 16u);
        EXPECT_EQ(f, R"({"id":"r","event":"error","job_id":")" + job +
                         R"(","ok":false,"code":"ENOENT","error":"log not readable"})");
        EXPECT_EQ(next_frame(s.get(), 300), "");
    }

    // Lines arrive as chunks until cancelled.
    const std::string log = d.dir() + "/tail.log", big = d.dir() + "/big.log";  // under /tmp/, an allowed place
    ASSERT_TRUE(write_file(log, "one\ntwo\nthree\n"));
    std::string text;
    for (int i = 1; i <= 2500; i++) text += "line " + std::to_string(i) + "\n";
    ASSERT_TRUE(write_file(big, text));
    unique_fd s = open_stream(d, req("log_tail", "{\"path\":\"" + log + "\",\"lines\":2}"));
    std::string f1 = next_frame(s.get()), f2 = next_frame(s.get()), job = job_of(f1);
    EXPECT_EQ(json_event(f1), "chunk");
    EXPECT_EQ(chunk_line(f1), "two");
    EXPECT_EQ(chunk_line(f2), "three");
    long long t = -1;
    EXPECT_TRUE(vc_json_int(json_member(f1, "data"), "t", &t) && t > 0) << f1;
    EXPECT_FALSE(has(f2, "job_id"));
    std::ofstream(log, std::ios::app) << "four \"quoted\"\n";
    EXPECT_EQ(chunk_line(next_frame(s.get())), R"(four \"quoted\")");
    cancel(d, job);
    EXPECT_EQ(stream_end(s.get()), R"({"id":"r","event":"done","ok":true,"exit_code":-1})");

    // The line count is clamped to 1..2000.
    for (auto [lines, expect, first_line] : {std::tuple{0, 1, "line 2500"}, std::tuple{5000, 2000, "line 501"}}) {
        s = open_stream(d, req("log_tail", "{\"path\":\"" + big + "\",\"lines\":" + std::to_string(lines) + "}"));
        std::string first = next_frame(s.get());
        EXPECT_EQ(chunk_line(first), first_line);
        int chunks = 1;
        for (std::string f; !(f = next_frame(s.get(), 700)).empty() && json_event(f) == "chunk";) chunks++;
        EXPECT_EQ(chunks, expect) << "lines " << lines;
        cancel(d, job_of(first));
        EXPECT_EQ(json_event(stream_end(s.get())), "done");
    }
}

using LogTailLinksTest = FakeToolsTest;

// Where other users can write, tail follows the file it was given, never the name: a directory
// swapped for a link to a root-only one shows nothing of the file found there, while lines added
// to the file itself still come. Where only root can change the path, the name is followed
// across a rotation.
TEST_F(LogTailLinksTest, FollowsTheOpenFileWhereOthersWriteAndTheNameWhereOnlyRootCan) {
    const std::string var = "/opt/vorn/var", share = var + "/share", log = share + "/d/app.log", rot = var + "/rot.log";
    ASSERT_TRUE(write_file(var + "/private/app.log", "SECRET\n", 0600));
    ASSERT_EQ(chmod((var + "/private").c_str(), 0700), 0);
    ASSERT_TRUE(write_file(rot, "old\n"));
    ASSERT_TRUE(stranger_dir(share, 0777));
    ASSERT_TRUE(as_stranger([&] { return write_file(log, "first\n", 0666); }));
    ASSERT_TRUE(d.start());
    // The stream's lines, each ending in a line feed, until the line `want` arrives or nothing
    // comes for 3 s; the job id.
    auto lines_until = [](int s, const std::string& want, std::string* job) {
        std::string seen;
        for (std::string f; !has("\n" + seen, "\n" + want + "\n") && !(f = next_frame(s, 3000)).empty();) {
            if (job->empty()) *job = job_of(f);
            seen += chunk_line(f) + "\n";
        }
        return seen;
    };

    unique_fd s = open_stream(d, req("log_tail", "{\"path\":\"" + log + "\"}"));
    std::string job, seen = lines_until(s.get(), "first", &job);
    ASSERT_EQ(seen, "first\n");
    unique_fd same(open(log.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    ASSERT_TRUE(as_stranger([&] {
        return rename((share + "/d").c_str(), (share + "/old").c_str()) == 0 &&
               symlink((var + "/private").c_str(), (share + "/d").c_str()) == 0 &&
               unlink((share + "/old/app.log").c_str()) == 0;
    }));
    ASSERT_EQ(write_full(same.get(), "second\n", 7), 0);
    seen = lines_until(s.get(), "second", &job);
    EXPECT_EQ(seen, "second\n");
    cancel(d, job);
    EXPECT_EQ(json_event(stream_end(s.get())), "done");

    s = open_stream(d, req("log_tail", "{\"path\":\"" + rot + "\"}"));
    job.clear();
    ASSERT_EQ(lines_until(s.get(), "old", &job), "old\n");
    ASSERT_EQ(rename(rot.c_str(), (rot + ".1").c_str()), 0);
    ASSERT_TRUE(write_file(rot, "new\n"));
    EXPECT_TRUE(has("\n" + lines_until(s.get(), "new", &job), "\nnew\n"));
    cancel(d, job);
    EXPECT_EQ(json_event(stream_end(s.get())), "done");
}

using DumpLogsTest = FakeToolsTest;

// tar into a fresh default directory while there is no diagnostic tool; then the tool, run to its end and cancelled.
TEST_F(DumpLogsTest, TarFallbackThenTheDiagnosticTool) {
    if (access("/etc/init.d/diag_XDT", X_OK) == 0) GTEST_SKIP() << "a diagnostic tool is installed here";
    ASSERT_TRUE(fs::create_directories("/opt/vorn/var"));
    ASSERT_TRUE(mounts.tmpfs("/var/log"));
    ASSERT_TRUE(write_file("/var/log/hello.log", "hello\n"));
    ASSERT_TRUE(d.start());
    auto dump = [&](const std::string& args) { return StreamReader(d, req("dump_logs", args)).until_end(30000); };
    std::vector<std::string> frames = dump("{}");
    ASSERT_FALSE(frames.empty());
    EXPECT_TRUE(has(frames.front(), "\"job_id\":\""));
    for (size_t i = 0; i + 1 < frames.size(); i++) EXPECT_EQ(json_event(frames[i]), "log") << frames[i];
    std::string file;
    ASSERT_TRUE(vc_json_str(json_member(frames.back(), "result"), "output_file", &file)) << frames.back();
    EXPECT_EQ(json_event(frames.back()), "done");
    EXPECT_EQ(file.rfind("/opt/vorn/var/dumps/vorn_logs_", 0), 0u) << file;
    EXPECT_EQ(file.substr(file.size() - 7), ".tar.gz");
    // The bundle holds logs other users may not read: the directory and the file are root's alone.
    EXPECT_EQ(fs::status("/opt/vorn/var/dumps").permissions(), fs::perms(0700));  // created fresh
    EXPECT_EQ(fs::status(file).permissions(), fs::perms(0600));
    run_result_t tar = run_program({"/bin/tar", "-tzf", file});
    EXPECT_TRUE(has(tar.out, "var/log/hello.log")) << tar.out << tar.err;

    const char* tool = "/opt/vorn/dist/pelta/diagnostic_tool/diag_XDT";
    ASSERT_TRUE(write_file(tool,
                           "#!/bin/sh\nprintf '%s\\n' \"$@\" > /opt/argv\necho collecting\necho 'careful \"x\"' >&2\n"
                           "echo bundle > \"$2/bundle.txt\"\nexit 3\n",
                           0755));
    const std::string bundle = d.dir() + "/bundle";
    frames = dump("{\"output_dir\":\"" + bundle + "\"}");
    ASSERT_EQ(frames.size(), 3u);
    // The two output streams are read independently: their log events may come in either order.
    bool first_is_stdout = has(frames[0], "\"stream\":1");
    EXPECT_TRUE(has(frames[first_is_stdout ? 0 : 1], R"("stream":1,"msg":"collecting"})")) << frames[0];
    EXPECT_TRUE(has(frames[first_is_stdout ? 1 : 0], R"("stream":2,"msg":"careful \"x\""})")) << frames[1];
    EXPECT_EQ(frames[2], dump_done(3, bundle));
    EXPECT_EQ(recorded_argv("/opt/argv"), (std::vector<std::string>{"-o", bundle}));
    EXPECT_EQ(read_text(bundle + "/bundle.txt"), "bundle\n");
    EXPECT_EQ(fs::status(bundle + "/bundle.txt").permissions(), fs::perms(0600));

    // A directory another user owns, or a link they planted for one, is refused: the bundle's
    // name is predictable, and a link put there would be followed as root.
    const std::string theirs = "/opt/vorn/var/theirs";
    ASSERT_TRUE(stranger_dir(theirs));
    ASSERT_TRUE(as_stranger([&] { return symlink(bundle.c_str(), (theirs + "/link").c_str()) == 0; }));
    for (const std::string& dir : {theirs, theirs + "/link"}) {
        frames = dump("{\"output_dir\":\"" + dir + "\"}");
        ASSERT_EQ(frames.size(), 1u) << dir;
        EXPECT_TRUE(has(frames[0], R"("ok":false,"code":"EIO","error":"cannot use output_dir"})")) << frames[0];
    }

    ASSERT_TRUE(write_file(tool, "#!/bin/sh\necho started\nexec sleep 30\n", 0755));
    unique_fd s = open_stream(d, req("dump_logs", "{\"output_dir\":\"" + d.dir() + "/b\"}"));
    cancel(d, job_of(next_frame(s.get())));
    EXPECT_EQ(stream_end(s.get()), dump_done(-1, d.dir() + "/b"));

    // A directory that does not fit is refused whole: no bundle lands in its cut prefix.
    std::string longer = d.dir() + "/" + std::string(300, 'x');
    frames = dump("{\"output_dir\":\"" + longer + "\"}");
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(has(frames[0], R"("ok":false,"code":"EBADREQ","error":"output_dir too long"})")) << frames[0];
    EXPECT_FALSE(fs::exists(longer.substr(0, 255)));
}
