// The Debian package (files, control data, an installation into a copy-on-write view of this system,
// removal and purge), the unit as systemd reads it, the manual pages, and the per-level configurations.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "base/fdio.h"
#include "harness.h"
#include "ns_util.h"
#include "spawn.h"

namespace fs = std::filesystem;

namespace {

const std::string SOURCE_DIR = VORND_SOURCE_DIR, BUILD_DIR = VORND_BUILD_DIR;
constexpr int TOOL_TIMEOUT_MS = 120000;  // cpack and dpkg on a loaded machine

bool exists(const std::string& path) { return fs::exists(fs::symlink_status(path)); }

// A directory of its own under /tmp, removed with everything in it.
struct temp_dir_t {
    std::string path;
    temp_dir_t() {
        char tmpl[] = "/tmp/vornd-pkg-XXXXXX";
        if (mkdtemp(tmpl)) path = tmpl;
    }
    ~temp_dir_t() {
        std::error_code ec;
        if (!path.empty()) fs::remove_all(path, ec);
    }
};

run_result_t run(const std::vector<std::string>& argv) { return run_program(argv, TOOL_TIMEOUT_MS); }

// Builds the package into `out_dir`: its path, or empty (and a failure). cpack's install step
// writes into the build directory, so builds take turns.
std::string build_package(const std::string& out_dir) {
    unique_fd lock(open((BUILD_DIR + "/.package-test.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (lock) flock(lock.get(), LOCK_EX);
    run_result_t r = run({VORND_CPACK, "-G", "DEB", "-B", out_dir, "--config", BUILD_DIR + "/CPackConfig.cmake"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    for (const auto& e : fs::directory_iterator(out_dir))
        if (e.path().extension() == ".deb") return e.path();
    ADD_FAILURE() << "no .deb in " << out_dir << "\n" << r.out << r.err;
    return {};
}

// dpkg-deb -c: each path with its mode, owner and link target ("-rwxr-xr-x root/root").
std::map<std::string, std::string> package_entries(const std::string& deb) {
    std::map<std::string, std::string> entries;
    std::istringstream lines(run({"/usr/bin/dpkg-deb", "-c", deb}).out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream f(line);
        std::string mode, owner, size, date, time, path, arrow, target;
        f >> mode >> owner >> size >> date >> time >> path >> arrow >> target;
        entries[path] = mode + " " + owner + (target.empty() ? "" : " -> " + target);
    }
    return entries;
}

}  // namespace

// The layout, control data and scripts; then an installation into a throwaway root.
TEST(Package, HoldsItsLayoutInstallsAnswersAtLevelSafeAndPurgesClean) {
    temp_dir_t t;
    std::string deb = build_package(t.path);
    ASSERT_FALSE(deb.empty());

    const std::string exe = "-rwxr-xr-x root/root", file = "-rw-r--r-- root/root";
    const std::map<std::string, std::string> expected = {
        {"./opt/vorn/sbin/vornd", exe},
        {"./usr/sbin/vornd", "lrwxrwxrwx root/root -> /opt/vorn/sbin/vornd"},
        {"./opt/vorn/bin/vornctl", exe},
        {"./usr/bin/vornctl", "lrwxrwxrwx root/root -> /opt/vorn/bin/vornctl"},
        {"./opt/vorn/bin/pcapstream", exe},
        {"./usr/sbin/pcapstream", "lrwxrwxrwx root/root -> /opt/vorn/bin/pcapstream"},
        {"./usr/share/vornd/vornd.conf", file},
        {"./opt/vorn/etc/vornd/shellrc.sh", file},
        {"./opt/vorn/var/run/", "drwxr-xr-x root/root"},
        {"./opt/vorn/var/dumps/", "drwxr-x--- root/root"},
        {"./opt/vorn/var/memtest/", "drwxr-x--- root/root"},
        {"./lib/systemd/system/vornd.service", file},
        {"./usr/share/man/man8/vornd.8.gz", file},
        {"./usr/share/man/man1/vornctl.1.gz", file},
        {"./usr/share/man/man5/vornd.conf.5.gz", file},
        {"./usr/share/bash-completion/completions/vornctl", file},
        {"./usr/share/doc/vornd/examples/vornd-dev.conf", file},
        {"./usr/share/doc/vornd/examples/vornd-safe.conf", file},
        {"./usr/share/doc/vornd/examples/vornd-locked.conf", file},
        {"./usr/share/doc/vornd/copyright", file},
        {"./usr/share/doc/vornd/changelog.gz", file},
        {"./usr/share/lintian/overrides/vornd", file},
        {"./opt/vorn/etc/vornd.conf", ""},  // postinst makes it, once
    };
    std::map<std::string, std::string> entries = package_entries(deb);
    for (const auto& [path, attrs] : expected) EXPECT_EQ(entries[path], attrs) << path;

    if (access("/usr/bin/lintian", X_OK) == 0) {
        run_result_t r = run({"/usr/bin/lintian", "--fail-on", "error", deb});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
    }

    // The configuration to copy is the safe level's file, the unit the one in the tree.
    const std::string x = t.path + "/x", ctl = t.path + "/control";
    ASSERT_EQ(run({"/usr/bin/dpkg-deb", "-x", deb, x}).status, 0);
    EXPECT_EQ(read_text(x + "/usr/share/vornd/vornd.conf"),
              read_text(std::string(VORND_CONF_DIR) + "/vornd-safe.conf"));
    EXPECT_EQ(read_text(x + "/lib/systemd/system/vornd.service"), read_text(SOURCE_DIR + "/packaging/vornd.service"));

    run_result_t fields = run({"/usr/bin/dpkg-deb", "-f", deb, "Package", "Section", "Depends", "Recommends"});
    EXPECT_EQ(fields.out,
              "Package: vornd\nSection: admin\nDepends: libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1\n"
              "Recommends: sysstat, fio, iperf3, smartmontools, dmidecode, tcpdump, strace, iproute2\n");
    ASSERT_EQ(run({"/usr/bin/dpkg-deb", "-e", deb, ctl}).status, 0);
    EXPECT_FALSE(exists(ctl + "/conffiles")) << read_text(ctl + "/conffiles");
    for (const char* script : {"postinst", "prerm", "postrm"})
        EXPECT_EQ(access((ctl + "/" + script).c_str(), X_OK), 0) << script;

    std::string why = enter_private_mount_ns();
    if (!why.empty()) GTEST_SKIP() << "no installation: " << why;
    // The root: this system seen through an overlay whose writes land in a tmpfs, with an
    // empty package database so the host's (possibly busy) dpkg state plays no part.
    const std::string fs_dir = t.path + "/fs", root = fs_dir + "/root", db = fs_dir + "/db";
    scoped_mounts m;
    ASSERT_TRUE(m.tmpfs(fs_dir));
    for (const char* d : {"/upper", "/work", "/root", "/db/info", "/db/updates", "/db/triggers"})
        fs::create_directories(fs_dir + d);
    write_file(db + "/status", "");
    if (!m.mount_at(root, "overlay", "overlay", 0,
                    "lowerdir=/,upperdir=" + fs_dir + "/upper,workdir=" + fs_dir + "/work"))
        GTEST_SKIP() << "no overlay of / here: " << strerror(errno);
    ASSERT_TRUE(m.mount_at(root + "/var/lib/dpkg", db.c_str(), nullptr, MS_BIND));
    ASSERT_TRUE(m.mount_at(root + "/dev", "/dev", nullptr, MS_BIND | MS_REC));
    ASSERT_TRUE(m.mount_at(root + "/proc", "proc", "proc", 0));
    ASSERT_TRUE(m.tmpfs(root + "/opt"));  // whatever the host has there stays out of sight
    auto dpkg = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"/usr/bin/dpkg", "--root=" + root, "--force-depends", "--no-triggers"});
        run_result_t r = run(args);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
    };
    auto in_root = [&](std::vector<std::string> argv) {
        argv.insert(argv.begin(), {"/usr/sbin/chroot", root});
        return run(argv);
    };

    dpkg({"-i", deb});
    for (const char* group : {"\nvorn:x:", "\nvornadm:x:"})
        EXPECT_NE(read_text(root + "/etc/group").find(group), std::string::npos) << group << " not created";
    EXPECT_TRUE(exists(root + "/etc/systemd/system/multi-user.target.wants/vornd.service")) << "unit not enabled";
    EXPECT_EQ(in_root({"/usr/bin/stat", "-c", "%a %U:%G", "/opt/vorn/etc/vornd.conf"}).out, "640 root:vorn\n");

    // The installed daemon as the unit starts it; its socket lands in the root.
    std::smatch exec_start;
    const std::string unit = read_text(root + "/lib/systemd/system/vornd.service");
    ASSERT_TRUE(std::regex_search(unit, exec_start, std::regex("\nExecStart=([^\n]*)")));
    std::vector<std::string> argv = {"/usr/sbin/chroot", root};
    std::istringstream words(exec_start[1].str());
    for (std::string w; words >> w;) argv.push_back(w);
    spawned_t d = spawn_program(argv);
    ASSERT_GT(d.pid, 0);
    const std::string sock = root + "/opt/vorn/var/run/vornd.sock";
    bool up = eventually([&] { return static_cast<bool>(vc_connect(sock.c_str())); }, 10000);
    run_result_t ping = in_root({"/usr/bin/vornctl", "ping"});
    run_result_t config = in_root({"/usr/bin/vornctl", "config"});
    kill(d.pid, SIGTERM);
    std::string log = read_to_end(d.err.get());
    EXPECT_EQ(wait_exit(d.pid), 0);
    ASSERT_TRUE(up) << log;
    EXPECT_EQ(ping.out, "{\"id\":\"1\",\"ok\":true,\"result\":{\"pong\":true}}\n") << ping.err;
    // The level is named only when all seven lists are that level's; the form is ConfigApply's business.
    EXPECT_EQ(config.out.substr(0, config.out.find("\nsocket")),
              "level        safe\nconfig_path  /opt/vorn/etc/vornd.conf")
        << config.out << config.err;
    EXPECT_NE(log.find("listening on /opt/vorn/var/run/vornd.sock (mode 0660 group vorn)"), std::string::npos) << log;
    EXPECT_EQ(log.find(" WRN "), std::string::npos) << log;

    // The shells' start-up file: the appliance's directories once on PATH however often it is
    // read, a HOME when there was none, and not a word on stderr (but job control's), in dash and bash.
    const std::string path = "/usr/bin:/bin:/opt/vorn/bin:/opt/vorn/sbin";
    const std::regex job_control_note(".*(job control|terminal process group).*\n");
    for (std::vector<std::string> argv : {std::vector<std::string>{"/bin/sh"}, {"/bin/bash", "--posix"}}) {
        const std::string shell = argv[0];
        argv.insert(argv.begin(), {"/usr/bin/env", "-i", "PATH=/usr/bin:/bin", "ENV=/opt/vorn/etc/vornd/shellrc.sh"});
        argv.insert(argv.end(), {"-i", "-c", "echo \"$PATH|$HOME\"; . \"$ENV\"; echo \"$PATH\""});
        run_result_t r = in_root(argv);
        EXPECT_EQ(r.out, path + "|/root\n" + path + "\n") << shell;
        EXPECT_EQ(std::regex_replace(r.err, job_control_note, ""), "") << shell;
    }

    // An upgrade whose shipped file changed neither asks nor touches the configuration in use,
    // and a link at its path, even a dangling one, stays as it is.
    const std::string conf = root + "/opt/vorn/etc/vornd.conf", applied = read_text(conf) + "# applied\n";
    const std::string tree = t.path + "/tree", deb2 = t.path + "/upgrade.deb",
                      shipped = tree + "/usr/share/vornd/vornd.conf";
    ASSERT_TRUE(write_file(conf, applied, 0640));
    ASSERT_EQ(run({"/usr/bin/dpkg-deb", "-R", deb, tree}).status, 0);
    ASSERT_TRUE(exists(shipped));
    write_file(shipped, read_text(shipped) + "# new\n");
    write_file(tree + "/DEBIAN/control", std::regex_replace(read_text(tree + "/DEBIAN/control"),
                                                            std::regex("\nVersion: .*"), "\nVersion: 0.1.0+test1"));
    ASSERT_EQ(run({"/usr/bin/dpkg-deb", "-b", tree, deb2}).status, 0);
    dpkg({"-i", deb2});
    EXPECT_EQ(read_text(conf), applied);
    fs::remove(conf);
    fs::create_symlink("/opt/vorn/etc/elsewhere.conf", conf);
    dpkg({"-i", deb2});
    EXPECT_TRUE(fs::is_symlink(conf) && !exists(root + "/opt/vorn/etc/elsewhere.conf"));

    // Remove keeps the configuration and what the daemon wrote; purge takes both.
    const std::string bundle = root + "/opt/vorn/var/dumps/vorn_logs_1.tar.gz";
    write_file(bundle, "x");
    dpkg({"-r", "vornd"});
    EXPECT_FALSE(exists(root + "/opt/vorn/sbin/vornd"));
    EXPECT_TRUE(exists(root + "/opt/vorn/etc/vornd.conf") && exists(bundle)) << "removal took configuration or data";
    dpkg({"-P", "vornd"});
    EXPECT_FALSE(exists(root + "/opt/vorn")) << "purge left files under /opt/vorn";
}

// Each level's file, read back by the daemon, is that level exactly, with the installed socket settings.
TEST(Package, LevelConfigurationsLoadBackToTheirLevel) {
    for (const char* level : {"dev", "safe", "locked"}) {
        TestDaemon d;
        // The later socket line wins: the daemon listens on the test's socket.
        write_file(d.config_path(), read_text(std::string(VORND_CONF_DIR) + "/vornd-" + level + ".conf") +
                                        "\n[socket]\npath = " + d.socket_path() + "\n");
        ASSERT_TRUE(d.start()) << level;
        std::string reply = d.call(R"({"id":"g","op":"config_get"})");
        EXPECT_NE(reply.find("\"level\":\"" + std::string(level) + "\""), std::string::npos) << reply;
        EXPECT_NE(reply.find("\"mode\":\"0660\",\"group\":\"vorn\""), std::string::npos) << reply;
        EXPECT_NE(reply.find(R"("control":{"mode":"LIST","list":["@vornadm"]})"), std::string::npos) << reply;
    }
}

TEST(Package, PrintConfigRefusesWithoutPrintingAnything) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{VORND_BIN, "--print-config", "Safe"}, "vornd: unknown level 'Safe' (dev, safe or locked)\n"},
        {{VORND_BIN, "--print-config"}, "vornd: unknown level '' (dev, safe or locked)\n"},
        {{VORND_BIN, "-c", "/nonexistent/vornd.conf", "--print-config", "safe"},
         "vornd: nothing printed: the -c file cannot be read\n"},
    };
    for (const auto& [argv, last_err_line] : cases) {
        run_result_t r = run(argv);
        EXPECT_EQ(r.status, 1) << argv.back();
        EXPECT_EQ(r.out, "") << argv.back();
        EXPECT_TRUE(r.err.size() >= last_err_line.size() && r.err.ends_with(last_err_line)) << r.err;
    }
}

// systemd's own reading of the unit, with the daemon and the manual pages where the unit names them.
TEST(Package, UnitPassesSystemdVerify) {
    const std::string analyze = "/usr/bin/systemd-analyze";
    if (access(analyze.c_str(), X_OK) != 0) GTEST_SKIP() << "systemd-analyze is not installed (package systemd)";
    if (access("/usr/bin/man", X_OK) != 0) GTEST_SKIP() << "man is not installed (package man-db)";
    std::string why = enter_private_mount_ns();
    if (!why.empty()) GTEST_SKIP() << why;
    temp_dir_t t;
    scoped_mounts m;
    ASSERT_TRUE(m.tmpfs("/opt"));
    fs::create_directories("/opt/vorn/sbin");
    fs::copy_file(VORND_BIN, "/opt/vorn/sbin/vornd");
    for (const char* page : {"vornd.8", "vornctl.1", "vornd.conf.5"}) {
        std::string dir = t.path + "/man/man" + std::string(1, page[strlen(page) - 1]);
        fs::create_directories(dir);
        fs::copy_file(BUILD_DIR + "/packaging/man/" + page + ".gz", dir + "/" + page + ".gz");
    }
    run_result_t r = run({"/usr/bin/env", "MANPATH=" + t.path + "/man", analyze, "verify",
                          SOURCE_DIR + "/packaging/vornd.service"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
}

TEST(Package, ManualPagesRenderWithoutWarnings) {
    if (access("/usr/bin/groff", X_OK) != 0) GTEST_SKIP() << "groff is not installed (package groff-base)";
    for (const char* page : {"vornd.8", "vornctl.1", "vornd.conf.5"}) {
        run_result_t r = run({"/usr/bin/groff", "-t", "-man", "-Tutf8", "-ww", "-z",
                              BUILD_DIR + "/packaging/man/" + page});
        EXPECT_EQ(std::to_string(r.status) + r.err, "0") << page;
    }
}
