// read_file, read_dir, write_file and mounts over the socket.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "base/fdio.h"
#include "host_util.h"
#include "spawn.h"

namespace {

// A daemon with the read list `read_allow` and the write list `write_allow`, "@" standing for `base`.
struct FilesDaemon {
    TestDaemon d;
    std::string base = d.dir() + "/files";

    FilesDaemon(const std::string& read_allow, const std::string& write_allow) {
        mkdir(base.c_str(), 0755);
        std::string conf = "[paths.read_file]\nallow = " + read_allow + "\n[paths.write_file]\nallow = " + write_allow;
        for (size_t p; (p = conf.find("@")) != std::string::npos;) conf.replace(p, 1, base);
        d.write_config(conf + "\n");
    }
    // `op` on the path `base` + `rel`, with `more` appended to the arguments.
    std::string on(std::string_view op, const std::string& rel, std::string_view more = "") const {
        return d.call(req(op, "{\"path\":\"" + base + rel + "\"" + std::string(more) + "}"));
    }
};

unsigned mode_of(const std::string& path) { return unsigned(std::filesystem::status(path).permissions()); }

}  // namespace

TEST(Files, PathRequiredListsWithDotDotRefusedAndWriteFile) {
    FilesDaemon f("@/pub", "@/out @/w/ /dev/full");
    ASSERT_TRUE(f.d.start());
    for (const char* op : {"read_file", "read_dir", "write_file"})
        for (const char* args : {"{}", R"({"path":""})"})
            EXPECT_EQ(f.d.call(req(op, args)), err("EREQ", "path required")) << op;
    EXPECT_EQ(f.d.call(R"({"id":"r","op":"read_file"})"), err("EREQ", "path required"));
    ASSERT_TRUE(write_file(f.base + "/pub/a.txt", "A"));
    ASSERT_TRUE(write_file(f.base + "/secret.txt", "S"));
    const std::string forbidden = err("EFORBIDDEN", "path not in allowlist");
    EXPECT_EQ(f.on("read_file", "/secret.txt"), forbidden);
    EXPECT_EQ(f.on("read_dir", ""), forbidden);
    // The prefix rule itself stays byte-wise: a sibling sharing the prefix is admitted.
    ASSERT_TRUE(write_file(f.base + "/public/b.txt", "B"));
    EXPECT_TRUE(has(f.on("read_file", "/public/b.txt"), "\"ok\":true"));
    // Climbing out of a listed prefix is refused for reading, listing and writing.
    EXPECT_EQ(f.on("read_file", "/pub/../secret.txt"), forbidden);
    EXPECT_EQ(f.on("read_dir", "/pub/.."), forbidden);
    EXPECT_EQ(f.on("write_file", "/out/../x", ",\"data\":\"x\""), err("EFORBIDDEN", "path not in write allowlist"));
    EXPECT_FALSE(std::filesystem::exists(f.base + "/x"));
    // A name that merely starts with two dots is no climb.
    ASSERT_TRUE(write_file(f.base + "/pub/..hidden", "H"));
    EXPECT_TRUE(has(f.on("read_file", "/pub/..hidden"), "\"data\":\"H\""));

    const std::string p = f.base + "/w/file";
    mkdir((f.base + "/w").c_str(), 0755);
    mode_t old_mask = umask(0);
    umask(old_mask);
    // Escapes are not decoded: a\nb is four bytes; a number is its own text.
    EXPECT_EQ(f.on("write_file", "/w/file", ",\"data\":\"a\\nb\",\"mode\":384"), ok(R"({"written":4})"));
    EXPECT_EQ(read_text(p), "a\\nb");
    EXPECT_EQ(mode_of(p), 0600u);  // 384 decimal
    EXPECT_EQ(f.on("write_file", "/w/file", ",\"data\":123,\"append\":true,\"mode\":511"), ok(R"({"written":3})"));
    EXPECT_EQ(read_text(p), "a\\nb123");
    EXPECT_EQ(mode_of(p), 0600u);  // mode applies only on creation
    EXPECT_EQ(f.on("write_file", "/w/file", ",\"data\":{\"k\":[1, 2]}"), ok(R"({"written":12})"));
    EXPECT_EQ(read_text(p), "{\"k\":[1, 2]}");
    EXPECT_EQ(f.on("write_file", "/w/file", ",\"data\":\"\""), ok(R"({"written":0})"));
    EXPECT_EQ(read_text(p), "");
    EXPECT_EQ(f.on("write_file", "/w/fresh", ",\"data\":\"x\""), ok(R"({"written":1})"));
    EXPECT_EQ(mode_of(f.base + "/w/fresh"), 0644u & ~old_mask);
    EXPECT_EQ(f.on("write_file", "/w/file"), err("EREQ", "data required"));
    EXPECT_EQ(f.on("write_file", "/w/no/such/dir/f", ",\"data\":\"x\""), err("EIO", "open failed"));
    EXPECT_EQ(f.d.call(req("write_file", R"({"path":"/dev/full","data":"x"})")), err("EIO", "write failed"));
}

TEST(Files, ReadFileLimitsRawPathDotDotUnderAllAndReadDir) {
    FilesDaemon f("ALL", "NONE");
    ASSERT_TRUE(f.d.start());
    ASSERT_TRUE(write_file(f.base + "/sub/x", ""));
    ASSERT_TRUE(write_file(f.base + "/y.txt", "Y"));
    EXPECT_EQ(f.on("read_file", "/sub/../y.txt"),
              ok("{\"path\":\"" + f.base + "/sub/../y.txt\",\"size\":1,\"data\":\"Y\"}"));
    EXPECT_EQ(f.on("write_file", "/z", ",\"data\":\"x\""), err("EFORBIDDEN", "path not in write allowlist"));

    const std::string failed = err("EIO", "read failed");
    ASSERT_TRUE(write_file(f.base + "/blob", std::string(1000, 'x')));
    EXPECT_TRUE(has(f.on("read_file", "/blob", ",\"max_bytes\":1000"), "\"size\":1000,"));
    EXPECT_EQ(f.on("read_file", "/blob", ",\"max_bytes\":999"), failed);
    EXPECT_EQ(f.on("read_file", "/blob", ",\"max_bytes\":0"), failed);
    ASSERT_TRUE(write_file(f.base + "/empty", ""));
    EXPECT_EQ(f.on("read_file", "/empty", ",\"max_bytes\":0"),
              ok("{\"path\":\"" + f.base + "/empty\",\"size\":0,\"data\":\"\"}"));
    // Default 1 MiB; 16 MiB is the most a client may ask for, anything above means the default.
    ASSERT_TRUE(write_file(f.base + "/blob", std::string(1048577, 'y')));
    for (const char* more : {"", ",\"max_bytes\":20000000", ",\"max_bytes\":-5"})
        EXPECT_EQ(f.on("read_file", "/blob", more), failed) << more;
    ASSERT_TRUE(write_file(f.base + "/blob", std::string(1048576, 'y')));
    EXPECT_TRUE(has(f.on("read_file", "/blob", ",\"max_bytes\":20000000"), "\"size\":1048576,"));
    ASSERT_TRUE(write_file(f.base + "/blob", std::string(2 * 1048576, 'z')));
    EXPECT_TRUE(has(f.on("read_file", "/blob", ",\"max_bytes\":4194304"), "\"size\":2097152,"));
    EXPECT_EQ(f.on("read_file", "/nope"), failed);

    // The request's a\\b is not decoded: it names a file with two backslashes in its name.
    ASSERT_TRUE(write_file(f.base + "/a\\\\b", std::string("a\"b\\c\n\x01", 7)));
    EXPECT_EQ(f.on("read_file", "/a\\\\b"),
              ok("{\"path\":\"" + f.base + "/a\\\\\\\\b\",\"size\":7,\"data\":\"a\\\"b\\\\c\\n\\u0001\"}"));

    // Directory entries, with a dangling link sized -1; "." and ".." left out.
    ASSERT_TRUE(write_file(f.base + "/d/.hidden", "12345"));
    mkdir((f.base + "/d/sub").c_str(), 0755);
    ASSERT_EQ(symlink("/nonexistent/target", (f.base + "/d/dangling").c_str()), 0);
    ASSERT_EQ(symlink("sub", (f.base + "/d/tosub").c_str()), 0);
    std::string r = f.on("read_dir", "/d");
    for (const char* entry : {R"({"name":".hidden","is_dir":false,"size":5})", R"({"name":"sub","is_dir":true,)",
                              R"({"name":"dangling","is_dir":false,"size":-1})", R"({"name":"tosub","is_dir":true,)"})
        EXPECT_TRUE(has(r, entry)) << entry << " in " << r;
    EXPECT_FALSE(has(r, "\"name\":\".\"") || has(r, "\"name\":\"..\"")) << r;
    mkdir((f.base + "/e").c_str(), 0755);
    EXPECT_EQ(f.on("read_dir", "/e"), ok(R"({"entries":[]})"));
    EXPECT_EQ(f.on("read_dir", "/none"), err("EIO", "opendir failed"));
    EXPECT_EQ(f.on("read_dir", "/d/.hidden"), err("EIO", "opendir failed"));
}

// Paths too long for their field are refused, never cut to a sibling's name; links cannot lead
// out of the lists; no file is created with special bits; a FIFO cannot hold the thread.
TEST(Files, LongPathsLinksOutOfTheListsModeBitsAndFifos) {
    FilesDaemon f("@/in", "@/in");
    ASSERT_TRUE(f.d.start());
    ASSERT_TRUE(write_file(f.base + "/outside", "secret"));
    mkdir((f.base + "/in").c_str(), 0755);
    // Cut to 255 bytes, this path would name in/aaa...a, a sibling that would be created or truncated.
    const std::string cut_rel = "/in/" + std::string(255 - f.base.size() - 4, 'a');
    ASSERT_TRUE(write_file(f.base + cut_rel, "keep"));
    const std::string long_rel = cut_rel + std::string(300 - 255, 'b');
    for (const char* op : {"read_file", "read_dir", "write_file"})
        EXPECT_EQ(f.on(op, long_rel, ",\"data\":\"x\""), err("EBADREQ", "path too long")) << op;
    EXPECT_EQ(read_text(f.base + cut_rel), "keep");

    // Links inside an allowed directory to a file or a directory outside it.
    ASSERT_EQ(symlink((f.base + "/outside").c_str(), (f.base + "/in/file-link").c_str()), 0);
    ASSERT_EQ(symlink(f.base.c_str(), (f.base + "/in/dir-link").c_str()), 0);
    const std::string no_read = err("EFORBIDDEN", "path not in allowlist");
    EXPECT_EQ(f.on("read_file", "/in/file-link"), no_read);
    EXPECT_EQ(f.on("read_file", "/in/dir-link/outside"), no_read);
    EXPECT_EQ(f.on("read_dir", "/in/dir-link"), no_read);
    EXPECT_EQ(f.on("write_file", "/in/file-link", ",\"data\":\"x\""), err("EFORBIDDEN", "path is a symbolic link"));
    EXPECT_EQ(f.on("write_file", "/in/dir-link/outside", ",\"data\":\"x\""),
              err("EFORBIDDEN", "path not in write allowlist"));
    EXPECT_EQ(f.on("write_file", "/in/dir-link/new", ",\"data\":\"x\""),
              err("EFORBIDDEN", "path not in write allowlist"));
    EXPECT_EQ(read_text(f.base + "/outside"), "secret");
    EXPECT_FALSE(std::filesystem::exists(f.base + "/new"));
    // A link that stays inside is followed for reading; the listed directory itself still lists.
    ASSERT_EQ(symlink("x", (f.base + "/in/inner-link").c_str()), 0);
    ASSERT_TRUE(write_file(f.base + "/in/x", "X"));
    EXPECT_TRUE(has(f.on("read_file", "/in/inner-link"), "\"data\":\"X\""));
    EXPECT_TRUE(has(f.on("read_dir", "/in/"), "\"name\":\"inner-link\""));

    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(f.on("write_file", "/in/m", ",\"data\":\"\",\"mode\":3583"), ok(R"({"written":0})"));  // 06777
    EXPECT_EQ(mode_of(f.base + "/in/m"), 0777u & ~mask);

    // A FIFO answers at once, and read_file never opens it (opening a device may act): a writer
    // waiting for a reader keeps waiting.
    const std::string fifo = f.base + "/in/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto within_5s = [&](std::string_view op, std::string_view more) {
        unique_fd c = f.d.connect();
        std::string reply;
        vc_send(c.get(), req(op, "{\"path\":\"" + fifo + "\"" + std::string(more) + "}"));
        return recv_within(c.get(), &reply, 5000) ? reply : "no reply within 5 s";
    };
    spawned_t writer = spawn_program({"/bin/sh", "-c", "exec 3>" + fifo});
    const std::string wchan = "/proc/" + std::to_string(writer.pid) + "/wchan";
    ASSERT_TRUE(eventually([&] { return read_text(wchan) == "wait_for_partner"; })) << read_text(wchan);
    EXPECT_EQ(within_5s("read_file", ""), err("EBADREQ", "not a regular file"));
    EXPECT_EQ(wait_exit(writer.pid, 300), -1) << "the writer got its reader";
    EXPECT_EQ(within_5s("write_file", ",\"data\":\"x\""), err("EIO", "open failed"));
    EXPECT_EQ(f.on("read_file", "/in"), err("EBADREQ", "not a regular file"));
}

using MountsTest = FakeToolsTest;

TEST_F(MountsTest, ListsTheTableLeavesOutSnapshotsAndReportsAnUnreadableTable) {
    const std::string root = d.dir() + "/pool";
    ASSERT_TRUE(mounts.tmpfs(root + "/plain"));
    ASSERT_TRUE(mounts.tmpfs(root + "/.zfs/snapshot/s1"));
    ASSERT_TRUE(d.start());
    unique_fd c = d.connect();  // the daemon needs nothing from /proc once it listens
    std::string r = roundtrip(c.get(), req("mounts", "{}"));
    EXPECT_EQ(r.rfind(R"({"id":"r","ok":true,"result":{"mounts":[)", 0), 0u) << r;
    EXPECT_TRUE(has(r, "\"mountpoint\":\"" + root + "/plain\",\"fstype\":\"tmpfs\",\"opts\":\"rw,"));
    EXPECT_FALSE(has(r, "/.zfs/"));
    EXPECT_TRUE(has(r, R"({"src":"proc","mountpoint":"/proc","fstype":"proc",)"));
    ASSERT_TRUE(mounts.tmpfs("/proc"));
    EXPECT_EQ(roundtrip(c.get(), req("mounts", "{}")), err("EIO", "cannot read /proc/mounts"));
}
