// read_file, read_dir, write_file and mounts over the socket.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "host_util.h"

namespace {

std::string req(std::string_view op, std::string_view args) {
    return vc_request("r", op, args);
}

std::string err(std::string_view code, std::string_view msg) {
    return std::string(R"({"id":"r","ok":false,"code":")") + std::string(code) + R"(","error":")" +
           std::string(msg) + "\"}";
}

// A daemon whose read list is `read_allow` and write list `write_allow`.
struct FilesDaemon {
    TestDaemon d;
    std::string base;  // a scratch directory inside the daemon's own directory

    FilesDaemon(const std::string& read_allow, const std::string& write_allow) {
        base = d.dir() + "/files";
        mkdir(base.c_str(), 0755);
        std::string conf = "[paths.read_file]\nallow = " + read_allow + "\n[paths.write_file]\nallow = " +
                           write_allow + "\n";
        for (size_t p; (p = conf.find("@")) != std::string::npos;) conf.replace(p, 1, base);
        d.write_config(conf);
    }
};

}  // namespace

TEST(Files, MissingOrEmptyPathIsRequired) {
    FilesDaemon f("ALL", "ALL");
    ASSERT_TRUE(f.d.start());
    for (const char* op : {"read_file", "read_dir", "write_file"}) {
        EXPECT_EQ(f.d.call(req(op, "{}")), err("EREQ", "path required")) << op;
        EXPECT_EQ(f.d.call(req(op, R"({"path":""})")), err("EREQ", "path required")) << op;
    }
    EXPECT_EQ(f.d.call(R"({"id":"r","op":"read_file"})"), err("EREQ", "path required"));
}

TEST(Files, AllowListsRefuseAndDotDotIsRefusedOnlyForLists) {
    FilesDaemon f("@/pub", "@/out");
    ASSERT_TRUE(f.d.start());
    ASSERT_TRUE(write_file(f.base + "/pub/a.txt", "A"));
    ASSERT_TRUE(write_file(f.base + "/secret.txt", "S"));
    std::string forbidden = err("EFORBIDDEN", "path not in allowlist");
    EXPECT_EQ(f.d.call(req("read_file", "{\"path\":\"" + f.base + "/secret.txt\"}")), forbidden);
    EXPECT_EQ(f.d.call(req("read_dir", "{\"path\":\"" + f.base + "\"}")), forbidden);
    // The prefix rule itself stays byte-wise: a sibling sharing the prefix is admitted.
    ASSERT_TRUE(write_file(f.base + "/public/b.txt", "B"));
    EXPECT_NE(f.d.call(req("read_file", "{\"path\":\"" + f.base + "/public/b.txt\"}")).find("\"ok\":true"),
              std::string::npos);
    // Climbing out of a listed prefix is refused for reading, listing and writing.
    EXPECT_EQ(f.d.call(req("read_file", "{\"path\":\"" + f.base + "/pub/../secret.txt\"}")), forbidden);
    EXPECT_EQ(f.d.call(req("read_dir", "{\"path\":\"" + f.base + "/pub/..\"}")), forbidden);
    EXPECT_EQ(f.d.call(req("write_file", "{\"path\":\"" + f.base + "/out/../x\",\"data\":\"x\"}")),
              err("EFORBIDDEN", "path not in write allowlist"));
    EXPECT_FALSE(std::filesystem::exists(f.base + "/x"));
    // A name that merely starts with two dots is no climb.
    ASSERT_TRUE(write_file(f.base + "/pub/..hidden", "H"));
    EXPECT_NE(f.d.call(req("read_file", "{\"path\":\"" + f.base + "/pub/..hidden\"}")).find("\"data\":\"H\""),
              std::string::npos);
}

TEST(Files, DotDotPassesWhenTheListIsAll) {
    FilesDaemon f("ALL", "NONE");
    ASSERT_TRUE(f.d.start());
    ASSERT_TRUE(write_file(f.base + "/sub/x", ""));
    ASSERT_TRUE(write_file(f.base + "/y.txt", "Y"));
    std::string r = f.d.call(req("read_file", "{\"path\":\"" + f.base + "/sub/../y.txt\"}"));
    EXPECT_EQ(r, "{\"id\":\"r\",\"ok\":true,\"result\":{\"path\":\"" + f.base + "/sub/../y.txt\",\"size\":1,\"data\":\"Y\"}}");
    EXPECT_EQ(f.d.call(req("write_file", "{\"path\":\"" + f.base + "/z\",\"data\":\"x\"}")),
              err("EFORBIDDEN", "path not in write allowlist"));
}

TEST(Files, ReadFileLimits) {
    FilesDaemon f("ALL", "NONE");
    ASSERT_TRUE(f.d.start());
    std::string p = f.base + "/blob";
    ASSERT_TRUE(write_file(p, std::string(1000, 'x')));
    auto read = [&](std::string_view extra) {
        return f.d.call(req("read_file", "{\"path\":\"" + p + "\"" + std::string(extra) + "}"));
    };
    EXPECT_NE(read(",\"max_bytes\":1000").find("\"size\":1000,"), std::string::npos);
    EXPECT_EQ(read(",\"max_bytes\":999"), err("EIO", "read failed"));
    EXPECT_EQ(read(",\"max_bytes\":0"), err("EIO", "read failed"));
    ASSERT_TRUE(write_file(f.base + "/empty", ""));
    EXPECT_EQ(f.d.call(req("read_file", "{\"path\":\"" + f.base + "/empty\",\"max_bytes\":0}")),
              "{\"id\":\"r\",\"ok\":true,\"result\":{\"path\":\"" + f.base + "/empty\",\"size\":0,\"data\":\"\"}}");

    // Default 1 MiB; 16 MiB is the most a client may ask for, anything above means the default.
    ASSERT_TRUE(write_file(p, std::string(1048577, 'y')));
    EXPECT_EQ(read(""), err("EIO", "read failed"));
    EXPECT_EQ(read(",\"max_bytes\":20000000"), err("EIO", "read failed"));
    EXPECT_EQ(read(",\"max_bytes\":-5"), err("EIO", "read failed"));
    ASSERT_TRUE(write_file(p, std::string(1048576, 'y')));
    EXPECT_NE(read(",\"max_bytes\":20000000").find("\"size\":1048576,"), std::string::npos);
    ASSERT_TRUE(write_file(p, std::string(2 * 1048576, 'z')));
    EXPECT_NE(read(",\"max_bytes\":4194304").find("\"size\":2097152,"), std::string::npos);

    EXPECT_EQ(f.d.call(req("read_file", "{\"path\":\"" + f.base + "/nope\"}")), err("EIO", "read failed"));
    EXPECT_EQ(f.d.call(req("read_file", "{\"path\":\"" + f.base + "\"}")), err("EIO", "read failed"));
}

TEST(Files, ReadFileUsesThePathAsWrittenAndEscapesTheReply) {
    FilesDaemon f("ALL", "NONE");
    ASSERT_TRUE(f.d.start());
    // The request's a\\b is not decoded: it names a file with two backslashes in its name.
    ASSERT_TRUE(write_file(f.base + "/a\\\\b", std::string("a\"b\\c\n\x01", 7)));
    EXPECT_EQ(f.d.call(req("read_file", "{\"path\":\"" + f.base + "/a\\\\b\"}")),
              "{\"id\":\"r\",\"ok\":true,\"result\":{\"path\":\"" + f.base +
                  "/a\\\\\\\\b\",\"size\":7,\"data\":\"a\\\"b\\\\c\\n\\u0001\"}}");
}

TEST(Files, ReadDirListsEntriesAndDanglingLinks) {
    FilesDaemon f("ALL", "NONE");
    ASSERT_TRUE(f.d.start());
    std::string dir = f.base + "/d";
    ASSERT_TRUE(write_file(dir + "/.hidden", "12345"));
    mkdir((dir + "/sub").c_str(), 0755);
    ASSERT_EQ(symlink("/nonexistent/target", (dir + "/dangling").c_str()), 0);
    ASSERT_EQ(symlink("sub", (dir + "/tosub").c_str()), 0);
    std::string r = f.d.call(req("read_dir", "{\"path\":\"" + dir + "\"}"));
    EXPECT_NE(r.find(R"({"name":".hidden","is_dir":false,"size":5})"), std::string::npos) << r;
    EXPECT_NE(r.find(R"({"name":"dangling","is_dir":false,"size":-1})"), std::string::npos) << r;
    EXPECT_NE(r.find(R"({"name":"sub","is_dir":true,)"), std::string::npos) << r;
    EXPECT_NE(r.find(R"({"name":"tosub","is_dir":true,)"), std::string::npos) << r;
    EXPECT_EQ(r.find("\"name\":\".\""), std::string::npos);
    EXPECT_EQ(r.find("\"name\":\"..\""), std::string::npos);

    std::string empty = f.base + "/e";
    mkdir(empty.c_str(), 0755);
    EXPECT_EQ(f.d.call(req("read_dir", "{\"path\":\"" + empty + "\"}")), R"({"id":"r","ok":true,"result":{"entries":[]}})");
    EXPECT_EQ(f.d.call(req("read_dir", "{\"path\":\"" + f.base + "/none\"}")), err("EIO", "opendir failed"));
    EXPECT_EQ(f.d.call(req("read_dir", "{\"path\":\"" + dir + "/.hidden\"}")), err("EIO", "opendir failed"));
}

TEST(Files, WriteFileCreateAppendModeAndRawData) {
    FilesDaemon f("ALL", "@/w/");
    ASSERT_TRUE(f.d.start());
    std::string p = f.base + "/w/file";
    mkdir((f.base + "/w").c_str(), 0755);
    mode_t old_mask = umask(0);
    umask(old_mask);
    auto write = [&](std::string_view args) { return f.d.call(req("write_file", args)); };

    // Escapes are not decoded: a\nb is four bytes; a number is its own text.
    EXPECT_EQ(write("{\"path\":\"" + p + "\",\"data\":\"a\\nb\",\"mode\":384}"),
              R"({"id":"r","ok":true,"result":{"written":4}})");
    EXPECT_EQ(read_text(p), "a\\nb");
    struct stat st;
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // 384 decimal

    EXPECT_EQ(write("{\"path\":\"" + p + "\",\"data\":123,\"append\":true,\"mode\":511}"),
              R"({"id":"r","ok":true,"result":{"written":3}})");
    EXPECT_EQ(read_text(p), "a\\nb123");
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // mode applies only on creation

    EXPECT_EQ(write("{\"path\":\"" + p + "\",\"data\":{\"k\":[1, 2]}}"), R"({"id":"r","ok":true,"result":{"written":12}})");
    EXPECT_EQ(read_text(p), "{\"k\":[1, 2]}");
    EXPECT_EQ(write("{\"path\":\"" + p + "\",\"data\":\"\"}"), R"({"id":"r","ok":true,"result":{"written":0}})");
    EXPECT_EQ(read_text(p), "");

    std::string fresh = f.base + "/w/fresh";
    EXPECT_EQ(write("{\"path\":\"" + fresh + "\",\"data\":\"x\"}"), R"({"id":"r","ok":true,"result":{"written":1}})");
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u & ~old_mask);

    EXPECT_EQ(write("{\"path\":\"" + p + "\"}"), err("EREQ", "data required"));
    EXPECT_EQ(write("{\"path\":\"" + f.base + "/w/no/such/dir/f\",\"data\":\"x\"}"), err("EIO", "open failed"));
}

TEST(Files, WriteFailureIsReported) {
    FilesDaemon f("ALL", "/dev/full");
    ASSERT_TRUE(f.d.start());
    EXPECT_EQ(f.d.call(req("write_file", R"({"path":"/dev/full","data":"x"})")), err("EIO", "write failed"));
}

TEST(Mounts, ListsTheTableAndLeavesOutSnapshotDirectories) {
    std::string why = enter_private_mount_ns();
    if (!why.empty()) GTEST_SKIP() << why;
    TestDaemon d;
    std::string root = d.dir() + "/pool";
    MountGuard m;
    ASSERT_TRUE(m.tmpfs(root + "/plain"));
    ASSERT_TRUE(m.tmpfs(root + "/.zfs/snapshot/s1"));
    ASSERT_TRUE(d.start());
    std::string r = d.call(req("mounts", "{}"));
    EXPECT_EQ(r.rfind(R"({"id":"r","ok":true,"result":{"mounts":[)", 0), 0u) << r;
    EXPECT_NE(r.find("\"mountpoint\":\"" + root + "/plain\",\"fstype\":\"tmpfs\",\"opts\":\"rw,"), std::string::npos);
    EXPECT_EQ(r.find("/.zfs/"), std::string::npos);
    EXPECT_NE(r.find(R"({"src":"proc","mountpoint":"/proc","fstype":"proc",)"), std::string::npos);
}

TEST(Mounts, UnreadableTableIsAnError) {
    std::string why = enter_private_mount_ns();
    if (!why.empty()) GTEST_SKIP() << why;
    TestDaemon d;
    ASSERT_TRUE(d.start());
    unique_fd c = d.connect();  // the daemon needs nothing from /proc once it listens
    MountGuard m;
    ASSERT_TRUE(m.tmpfs("/proc"));
    EXPECT_EQ(roundtrip(c.get(), req("mounts", "{}")), err("EIO", "cannot read /proc/mounts"));
}
