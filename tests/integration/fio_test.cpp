// fio_run: the real fio on a tmpfs (progress, reports, cancel, the sweep of dead daemons'
// directories), and a fake fio for the exact argument vectors, every refusal and a work
// directory whose name another user took first.

#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "base/clock.h"
#include "host_util.h"
#include "proc/tools.h"
#include "spawn.h"
#include "stranger.h"
#include "wire/json.h"

namespace fs = std::filesystem;
using strings = std::vector<std::string>;

namespace {

// A scratch directory on the machine's shared-memory tmpfs, removed with its content.
struct ShmDir {
    char path[32] = "/dev/shm/vorn-fio-XXXXXX";
    ShmDir() { EXPECT_TRUE(mkdtemp(path)); }
    ~ShmDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

std::string fio_args(const std::string& target, const std::string& more = "") {
    return R"({"target_dir":")" + target + "\"" + more + "}";
}

strings entries(const std::string& dir) {
    strings out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

// A fake fio in the install root: records each run's arguments (runs separated by "="),
// writes a report with a warning before the document, and fails the read tests with 3.
class FioFakeTest : public FakeToolsTest {
protected:
    void SetUp() override {
        FakeToolsTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_TRUE(
            write_file("/opt/vorn/bin/fio-" + std::string(binfind_arch()),
                       "#!/bin/sh\nprintf '%s\\n' \"$@\" = >> '" + rec("fio") +
                           "'\n"
                           "for a in \"$@\"; do case \"$a\" in --output=*) out=\"${a#--output=}\";; esac; done\n"
                           "printf 'fio: warning\\n{\"jobs\":[]}\\n' > \"$out\"\n"
                           "case \"$1\" in --name=*_R) exit 3;; esac\n",
                       0755));
        target = d.dir() + "/allowed";
        ASSERT_TRUE(fs::create_directories(target + "/dir"));
        ASSERT_TRUE(fs::create_directories(d.dir() + "/other/in"));
    }
    // The runs' argument vectors, each joined with spaces.
    strings runs() {
        strings out(1);
        for (const std::string& a : recorded_argv(rec("fio"))) {
            if (a == "=") out.emplace_back();
            else out.back() += (out.back().empty() ? "" : " ") + a;
        }
        out.pop_back();
        unlink(rec("fio").c_str());
        return out;
    }
    std::string target;
};

std::string error_frame(const char* code, const char* msg) {
    return std::string(R"({"id":"r","event":"error","job_id":"X","ok":false,"code":")") + code + R"(","error":")" +
           msg + "\"}";
}

}  // namespace

// The target's path holds a ":", which fio would split a path at. Of the work directories
// there, one whose lock is held stays whatever its pid; one without a lock goes by its pid.
TEST(FioReal, RunStreamsProgressAndReportsAndSweepsUnlockedDirectories) {
    ShmDir t, outside;
    pid_t dead = fork();
    if (dead == 0) _exit(0);
    ASSERT_EQ(wait_exit(dead), 0);
    const std::string target = std::string(t.path) + "/a:b", pre = target + "/___vorn_disk_test___";
    const std::string gone = pre + std::to_string(dead), gone_run = gone + "_3", live = pre + std::to_string(getpid());
    const std::string link = gone + "_9", held = gone + "_5", freed = live + "_7";
    for (const auto& dir : {gone, gone_run, live, held, freed}) ASSERT_TRUE(write_file(dir + "/SEQ1M_Q8T1_W.0.0", "x"));
    for (const auto& dir : {held, freed}) ASSERT_TRUE(write_file(dir + "/.lock", ""));
    unique_fd lock(open((held + "/.lock").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(flock(lock.get(), LOCK_EX), 0);
    ASSERT_TRUE(fs::create_directory(gone_run + "/sub"));
    ASSERT_TRUE(write_file(outside.path + std::string("/victim"), "x"));
    fs::create_directory_symlink(outside.path, link);

    TestDaemon d;
    ASSERT_TRUE(d.start());
    strings frames = StreamReader(d, req("fio_run", fio_args(target, R"(,"size":"16M","runtime":5)"))).until_end(60000);
    ASSERT_FALSE(frames.empty());
    if (has(frames[0], "fio not found")) GTEST_SKIP() << "fio is not installed";
    EXPECT_EQ(json_member(frames[0], "data"),
              R"({"type":"start","total":2,"work_dir":")" + pre + std::to_string(d.pid()) + "_1\"}");
    std::string records;
    int logs = 0, progress = 0;
    for (const auto& f : frames) {
        std::string data = json_member(f, "data"), type, raw;
        vc_json_str(data, "type", &type);
        logs += type == "log";
        progress += type == "progress";
        if (type == "progress") {
            EXPECT_NEAR(std::stod(data.substr(data.find("\"pct\":") + 6)), 50, 50) << f;
        }
        if (type == "log" || type == "progress") continue;
        records += (type.empty() ? json_event(f) : type) + " ";
        if (type != "test_done") continue;
        ASSERT_TRUE(vc_json_raw(data, "raw", &raw)) << f;
        EXPECT_TRUE(json_is_one_value(raw) && has(raw, has(data, "\"index\":0") ? "SEQ1M_Q8T1_W" : "SEQ1M_Q8T1_R"))
            << raw.substr(0, 200);
    }
    EXPECT_EQ(records, "start test_start test_done test_start test_done done ");
    EXPECT_GT(logs, 0);
    EXPECT_GT(progress, 0);
    EXPECT_EQ(frames.back(), R"({"id":"r","event":"done","ok":true,"exit_code":0})");

    // No work directory is left; a live daemon's stays, one with a subdirectory keeps it; no link is followed.
    strings kept;
    for (const auto& dir : {gone_run, live, link, held}) kept.push_back(fs::path(dir).filename());
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(entries(target), kept);
    EXPECT_EQ(entries(gone_run), strings{"sub"});
    EXPECT_EQ(entries(live), strings{"SEQ1M_Q8T1_W.0.0"});
    EXPECT_EQ(entries(held), (strings{".lock", "SEQ1M_Q8T1_W.0.0"}));
    EXPECT_EQ(entries(outside.path), strings{"victim"});
}

TEST(FioReal, CancelDuringTheSecondTestEndsTheRun) {
    ShmDir t;
    TestDaemon d;
    ASSERT_TRUE(d.start());
    StreamReader s(d, req("fio_run", fio_args(t.path, R"(,"test":"full","size":"16M","runtime":4)")));
    std::string first = s.next(10000), job_id, f;
    if (has(first, "fio not found")) GTEST_SKIP() << "fio is not installed";
    ASSERT_TRUE(vc_json_str(first, "job_id", &job_id)) << first;
    while (!(f = s.next(20000)).empty() && !has(f, R"("type":"test_start","index":1)")) {
    }
    ASSERT_FALSE(f.empty());
    s.next(3000);  // fio is running: its first line is out
    uint64_t t0 = now_ms();
    EXPECT_EQ(d.call(vc_request("c", "_cancel", R"({"job_id":")" + job_id + "\"}")),
              R"({"id":"c","ok":true,"result":{"cancelled":true}})");
    strings rest = s.until_end(10000);
    EXPECT_LT(now_ms() - t0, 3000u);  // the test would run on for seconds, and two more follow
    ASSERT_FALSE(rest.empty());
    for (const auto& r : rest) EXPECT_FALSE(has(r, "test_start")) << r;
    EXPECT_EQ(json_event(rest.back()), "done") << rest.back();
    EXPECT_EQ(entries(t.path), strings{});
}

TEST_F(FioFakeTest, ArgumentVectorsAndRecords) {
    ASSERT_TRUE(d.start());
    strings frames = StreamReader(d, req("fio_run", fio_args(target + "/dir"))).until_end();
    const std::string wd = target + "/dir/___vorn_disk_test___" + std::to_string(d.pid()) + "_1";
    const strings want = {R"({"type":"start","total":2,"work_dir":")" + wd + "\"}",
                          R"({"type":"test_start","index":0,"name":"SEQ1M_Q8T1_W","rw":"write","bs":"1M","size":"2G"})",
                          "{\"type\":\"test_done\",\"index\":0,\"raw\":{\"jobs\":[]}\n}",
                          R"({"type":"test_start","index":1,"name":"SEQ1M_Q8T1_R","rw":"read","bs":"1M","size":"2G"})",
                          "{\"type\":\"test_done\",\"index\":1,\"raw\":{\"jobs\":[]}\n}"};
    ASSERT_EQ(frames.size(), want.size() + 1);
    for (size_t i = 0; i < want.size(); i++) EXPECT_EQ(json_member(frames[i], "data"), want[i]);
    EXPECT_EQ(frames.back(), R"({"id":"r","event":"done","ok":true,"exit_code":3})");  // the first non-zero
    EXPECT_EQ(entries(target + "/dir"), strings{});
    // One vector: `body` holds rw, bs and size, `opts` what follows --scramble_buffers.
    auto vec = [](const char* name, const char* body, const char* depth, const char* opts = " --direct=0") {
        return std::string("--name=") + name + " --ioengine=libaio " + body + " --numjobs=1 --iodepth=" + depth +
               " --scramble_buffers=1" + opts + " --output-format=json --output=" + name + ".json --eta=always";
    };
    EXPECT_EQ(runs(), (strings{vec("SEQ1M_Q8T1_W", "--rw=write --bs=1M --size=2G", "8"),
                               vec("SEQ1M_Q8T1_R", "--rw=read --bs=1M --size=2G", "8")}));

    const struct {
        const char* args;
        size_t count;
        std::string first;
    } cases[] = {
        {R"(,"size":"1.5G","direct":1,"runtime":100000)", 2,
         vec("SEQ1M_Q8T1_W", "--rw=write --bs=1M --size=1", "8", " --direct=1 --runtime=86400 --time_based")},
        {R"(,"size":"","direct":true,"runtime":-5)", 2, vec("SEQ1M_Q8T1_W", "--rw=write --bs=1M --size=2G", "8")},
        {R"(,"test":"rnd4k","size":"abc")", 2, vec("RND4K_Q32_W", "--rw=randwrite --bs=4k --size=2G", "32")},
        {R"(,"test":"full","size":"64m;x")", 4, vec("SEQ1M_Q8_W", "--rw=write --bs=1M --size=64m", "8")},
        {R"(,"test":"custom","rw":"randrw")", 1,
         vec("CUSTOM_randrw", "--rw=randrw --bs=1M --size=2G", "32", " --direct=0 --unlink=1")},
        {R"(,"test":"custom","rw":"write","iodepth":0,"bs":"4k;x","runtime":5)", 1,
         vec("CUSTOM_write", "--rw=write --bs=4k --size=2G", "1", " --direct=0 --unlink=1 --runtime=5 --time_based")},
        {R"(,"test":"custom","iodepth":5000)", 1,
         vec("CUSTOM_read", "--rw=read --bs=1M --size=2G", "1024", " --direct=0 --unlink=1")},
    };
    for (const auto& c : cases) {
        strings frames = StreamReader(d, req("fio_run", fio_args(target, c.args))).until_end();
        EXPECT_EQ(json_event(frames.back()), "done") << c.args;
        strings got = runs();
        EXPECT_EQ(got.size(), c.count) << c.args;
        EXPECT_EQ(got.empty() ? "" : got[0], c.first) << c.args;
    }
}

// Another user who may write to the target takes the next work directory names first, each
// with a link where fio writes its first report: the run makes a directory of its own instead.
TEST_F(FioFakeTest, WorkDirectoryNamesTakenFirstAreNotReused) {
    const std::string share = d.dir() + "/share", victim = d.dir() + "/victim";
    ASSERT_EQ(chmod(d.dir().c_str(), 0711), 0);
    ASSERT_TRUE(stranger_dir(share, 0777));
    ASSERT_TRUE(write_file(victim, "secret", 0600));
    ASSERT_TRUE(d.start());
    const std::string pre = "___vorn_disk_test___" + std::to_string(d.pid()) + "_";
    const strings planted = {pre + "1", pre + "2", pre + "3"};
    ASSERT_TRUE(as_stranger([&] {
        for (const auto& name : planted)
            if (mkdir((share + "/" + name).c_str(), 0777) != 0 ||
                symlink(victim.c_str(), (share + "/" + name + "/SEQ1M_Q8T1_W.json").c_str()) != 0)
                return false;
        return true;
    }));

    strings frames = StreamReader(d, req("fio_run", fio_args(share))).until_end();
    EXPECT_EQ(json_member(frames[0], "data"), R"({"type":"start","total":2,"work_dir":")" + share + "/" + pre + "4\"}");
    EXPECT_EQ(frames.back(), R"({"id":"r","event":"done","ok":true,"exit_code":3})");
    EXPECT_EQ(runs().size(), 2u);
    EXPECT_EQ(read_text(victim), "secret");
    EXPECT_EQ(entries(share), planted);
    for (const auto& name : planted) EXPECT_EQ(entries(share + "/" + name), strings{"SEQ1M_Q8T1_W.json"});
}

TEST_F(FioFakeTest, RefusalsTouchNothing) {
    d.write_config("[paths.fio_targets]\nallow = " + target + "\n");
    fs::create_directory_symlink(d.dir() + "/other", target + "/out");
    fs::create_directory_symlink(target + "/dir", d.dir() + "/other/back");
    ASSERT_TRUE(write_file(target + "/file", ""));
    ASSERT_TRUE(mounts.tmpfs(target + "/ro"));
    ASSERT_EQ(mount(nullptr, (target + "/ro").c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    ASSERT_TRUE(d.start());

    const std::string forbidden = error_frame("EFORBIDDEN", "target_dir not in allowlist");
    const std::string preset = error_frame("EREQ", "unknown test preset"), rw = error_frame("EREQ", "invalid rw");
    const struct {
        std::string args, frame;
    } cases[] = {
        {"{}", error_frame("EREQ", "target_dir required")},
        {fio_args(""), error_frame("EREQ", "target_dir required")},
        {fio_args(target + "/" + std::string(300, 'd')), error_frame("EBADREQ", "target_dir too long")},
        {fio_args(target + "/missing"), error_frame("EBADPATH", "target_dir not resolvable")},
        {fio_args(d.dir() + "/other"), forbidden},
        {fio_args(target + "/out/in"), forbidden},
        {fio_args(target + "/file"), error_frame("ENOTDIR", "target_dir not a directory")},
        {fio_args(target, R"(,"test":"")"), preset},
        {fio_args(target, R"(,"test":"seq1m2")"), preset},
        {fio_args(target, R"(,"test":"custom","rw":"")"), rw},
        {fio_args(target, R"(,"test":"custom","rw":"trim")"), rw},
        {fio_args(target + "/ro"), error_frame("EIO", "cannot create work dir")},
    };
    const std::regex job_id("\"job_id\":\"[0-9a-f]{16}\"");
    for (const auto& c : cases) {
        strings frames = StreamReader(d, req("fio_run", c.args)).until_end();
        ASSERT_EQ(frames.size(), 1u) << c.args;
        EXPECT_EQ(std::regex_replace(frames[0], job_id, "\"job_id\":\"X\""), c.frame) << c.args;
    }
    EXPECT_TRUE(recorded_argv(rec("fio")).empty());
    EXPECT_EQ(entries(target), (strings{"dir", "file", "out", "ro"}));

    // The check applies to the resolved path: a link into the allowed place is accepted.
    strings accepted = StreamReader(d, req("fio_run", fio_args(d.dir() + "/other/back"))).until_end();
    EXPECT_EQ(json_event(accepted.back()), "done");

    ASSERT_EQ(unlink(("/opt/vorn/bin/fio-" + std::string(binfind_arch())).c_str()), 0);
    disable({"/usr/bin/fio", "/usr/local/bin/fio", "/usr/sbin/fio"});
    EXPECT_EQ(std::regex_replace(d.call(req("fio_run", fio_args(target))), job_id, "\"job_id\":\"X\""),
              error_frame("ENOENT", "fio not found"));
}
