// vornctl's views on a terminal (the screen played back as text) and through a pipe (the generic
// form's lines, byte for byte), against the real daemon with fakes printing recorded tool output;
// the ps and proc layouts against a stand-in replaying fixed process tables no real /proc holds.
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include "base/fdio.h"
#include "ctl_util.h"
#include "host_util.h"
#include "proc/tools.h"
#include "spawn.h"

using lines_t = std::vector<std::string>;

namespace {

std::string data_path(const char* name) { return std::string(VORND_SOURCE_DIR) + "/tests/integration/data/" + name; }

std::string masked(const std::string& s) {
    std::string m = std::regex_replace(s, std::regex("\"job_id\":\"[0-9a-f]{16}\""), "\"job_id\":\"X\"");
    m = std::regex_replace(m, std::regex("\"ts\":[0-9]+"), "\"ts\":0");
    m = std::regex_replace(m, std::regex("___vorn_disk_test___[0-9]+_[0-9]+"), "W");
    return std::regex_replace(m, std::regex("vorn_logs_[0-9]+"), "vorn_logs_N");
}

lines_t screen_of(const std::string& bytes, int rows, int cols) {
    vt_screen v(rows, cols);
    v.feed(bytes);
    return v.lines();
}

// What the generic form prints for each request in turn.
std::string generic_out(const std::string& sock, const std::vector<std::vector<std::string>>& requests) {
    std::string out;
    for (const auto& words : requests) out += run_program(ctl(sock, words)).out;
    return out;
}

// The view through a pipe succeeds and prints what the generic form prints for `generic`, one
// whole frame per line; returns what it printed.
std::string expect_generic_lines(const std::string& sock, const std::vector<std::string>& view,
                                 const std::vector<std::vector<std::string>>& generic) {
    run_result_t piped = run_program(ctl(sock, view));
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(masked(piped.out), masked(generic_out(sock, generic)));
    std::istringstream lines(piped.out);
    size_t broken = 0;
    for (std::string line; std::getline(lines, line);) broken += !vc_json_doc().parse(line);
    EXPECT_EQ(broken, 0u) << piped.out.substr(0, 400);
    return piped.out;
}

class ViewsTest : public FakeToolsTest {};

// A fake fio: status lines ended by "\r" as through a pipe, a complaint holding an escape sequence,
// and the recorded report of its direction; while /opt/hold exists it runs until stopped, its
// status lines without a figure, as in a time-based run.
std::string fake_fio() {
    return "#!/bin/sh\n"
           "for a in \"$@\"; do case \"$a\" in --output=*) out=\"${a#--output=}\";; --rw=*) rw=\"${a#--rw=}\";; esac; done\n"
           "printf 'Jobs: 1 (f=1)\\r'\n"
           "[ -e /opt/hold ] && printf 'Jobs: 1 (f=1): [W(1)][-.-%%][w=3233MiB/s][w=3233 IOPS][eta 00m:00s]\\r' &&\n"
           "  exec sleep 60\n"
           "printf 'Jobs: 1 (f=1): [W(1)][50.0%%][w=340MiB/s][w=340 IOPS][eta 00m:01s]\\r'\n"
           "[ \"$rw\" = read ] && printf 'fio: note: \\033[31mread\\033[0m slower than expected\\n' >&2\n"
           "printf 'Jobs: 1 (f=0): [f(1)][100.0%%][w=771MiB/s][w=771 IOPS][eta 00m:00s] \\r'\n"
           "cp '" +
           data_path("fio-3.33-seq1m-") + "'\"$rw\".json \"$out\"\n";
}

// A stand-in daemon in a directory of its own, for the layouts of fixed process tables.
class StandInTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(fake = listen_at(sock)); }
    TestDaemon dir;  // not started: only its directory is used
    const std::string sock = dir.dir() + "/fake.sock";
    unique_fd fake;
};

// Its first report holds the averages since boot, which the view leaves out.
const char FAKE_IOSTAT[] =
    "#!/bin/sh\necho $$ > /opt/iostat.pid\n"
    "printf 'Linux 6.1.0 (nas)\\n\\nDevice  r/s  rkB/s  w/s  wkB/s  r_await  w_await  aqu-sz  %%util\\n'\n"
    "printf 'sda 7 7 7 7 7 7 7 7 7\\ndm-0 7 7 7 7 7 7 7 7 7\\n\\n'\n"
    "printf 'Device  r/s  rkB/s  w/s  wkB/s  r_await  w_await  aqu-sz  %%util\\n'\n"
    "printf 'sda 1.00 10.00 2.00 20.00 0.40 0.55 0.10 10.00\\nnvme0n1 100.00 4000.00 50.00 2000.00 0.20 0.30 1.50 "
    "80.00\\n'\n"
    "printf 'md0 5.00 1.00 0.00 0.00 0.00 0.00 0.00 0.00\\ndm-0 0 0 0 0 0 0 0 0\\nloop0 9 9 9 9 9 9 9 99\\n\\n'\n"
    "printf 'Device  r/s  rkB/s  w/s  wkB/s  r_await  w_await  aqu-sz  %%util\\n'\n"
    "[ -e /opt/hold ] && exec sleep 60\n"
    "printf 'sda 0 0 0 0 0 0 0 0\\n'\n";

}  // namespace

TEST_F(ViewsTest, IostatTableBusiestFirstFollowsTheWindowAndCtrlCGivesTheTerminalBack) {
    disable({"/sbin/iostat", "/usr/sbin/iostat", "/usr/bin/iostat", "/usr/local/bin/iostat", "/bin/iostat"});
    ASSERT_TRUE(write_file(std::string("/opt/vorn/bin/iostat-") + binfind_arch(), FAKE_IOSTAT, 0755));
    ASSERT_TRUE(write_file("/opt/hold", ""));
    ASSERT_TRUE(d.start());
    TerminalRun t(ctl(d.socket_path(), {"iostat"}), 12, 90);
    ASSERT_TRUE(t.wait_for("dm-0")) << t.screen;
    ASSERT_TRUE(t.wait_for("\033[J", t.screen.find("dm-0"))) << t.screen;
    vt_screen vt(12, 90);
    vt.feed(t.screen);
    EXPECT_FALSE(vt.cursor_visible);
    EXPECT_EQ(vt.lines(),
              (lines_t{"iostat: sample 1 (Ctrl-C stops)",
                       "DEVICE        r/s      w/s      rkB/s      wkB/s  r_await  w_await  %util  queue",
                       "nvme0n1     100.0     50.0     4000.0     2000.0     0.20     0.30   80.0   1.50",
                       "sda           1.0      2.0       10.0       20.0     0.40     0.55   10.0   0.10",
                       "md0           5.0      0.0        1.0        0.0     0.00     0.00    0.0   0.00",
                       "dm-0          0.0      0.0        0.0        0.0     0.00     0.00    0.0   0.00"}));

    // A smaller window: the table is redrawn at once, fit to the new height, and to the width
    // by leaving out the last columns whole: no figure is cut.
    size_t mark = t.screen.size();
    for (const auto& [cols, header, row] :
         {std::tuple<unsigned short, const char*, const char*>{
              80, "DEVICE        r/s      w/s      rkB/s      wkB/s  r_await  w_await  %util",
              "nvme0n1     100.0     50.0     4000.0     2000.0     0.20     0.30   80.0"},
          {40, "DEVICE        r/s      w/s      rkB/s", "nvme0n1     100.0     50.0     4000.0"}}) {
        ASSERT_TRUE(t.resize(5, cols));
        ASSERT_TRUE(t.wait_for("\033[H", mark) && t.wait_for("\033[J", t.screen.find("\033[H", mark))) << t.screen;
        vt.resize(5, cols);
        vt.feed(t.screen.substr(mark));
        mark = t.screen.size();
        EXPECT_EQ(vt.lines(), (lines_t{"iostat: sample 1 (Ctrl-C stops)", header, row, "... 3 more"}));
    }

    // Ctrl-C cancels the job (the tool is stopped), shows the cursor, restores the terminal's modes, says so.
    pid_t tool = atoi(read_text("/opt/iostat.pid").c_str());
    t.type("\x03");
    EXPECT_EQ(t.wait_exit_status(), 130) << t.screen;
    vt.feed(t.screen.substr(mark));
    EXPECT_TRUE(vt.cursor_visible);
    EXPECT_EQ(vt.lines().back(), "iostat stopped");
    struct termios tio;
    ASSERT_EQ(tcgetattr(t.master.get(), &tio), 0);
    EXPECT_TRUE((tio.c_lflag & (ICANON | ECHO | ISIG)) == (ICANON | ECHO | ISIG));
    EXPECT_TRUE(eventually([&] { return tool > 0 && kill(tool, 0) != 0; })) << tool;

    ASSERT_EQ(unlink("/opt/hold"), 0);
    EXPECT_TRUE(has(expect_generic_lines(d.socket_path(), {"iostat"}, {{"iostat_stream"}}), "\"nvme0n1\":{"));
}

TEST_F(ViewsTest, HostViewsAsAlignedTextAndTablesAndAsJsonThroughAPipe) {
    fake_in_install_root("smartctl");
    const std::string smart_sda =
        R"({"smartctl":{"exit_status":0},"device":{"name":"/dev/sda","type":"sat"},)"
        R"("model_name":"WDC WD40EFRX-68N32N0","serial_number":"WD-WCC7K1234567","smart_status":{"passed":false},)"
        R"("ata_smart_attributes":{"table":[{"id":5,"raw":{"value":0}},{"id":197,"raw":{"value":8}}]},)"
        R"("power_on_time":{"hours":31337},"temperature":{"current":34}})";
    const std::string smart_sdz = R"({"smartctl":{"exit_status":2,"messages":[{"string":"/dev/sdz: Unable to )"
                                  R"(detect device type\nPlease specify device type with the -d option.",)"
                                  R"("severity":"error"}]}})";
    fake_over("/sbin/ip", "ip");
    ASSERT_TRUE(write_file(
        out("ip"), "1: lo    inet 127.0.0.1/8 scope host lo\n4: br-lan    inet 192.168.7.1/16 scope global br-lan\n"));
    const char* ss = nullptr;
    for (const char* p : {"/usr/sbin/ss", "/sbin/ss", "/usr/bin/ss"})
        if (!ss && access(p, X_OK) == 0) ss = p;
    if (!ss) GTEST_SKIP() << "ss is not installed";
    fake_over(ss, "ss");
    ASSERT_TRUE(write_file(out("ss"),
                           "LISTEN 0 128 0.0.0.0:445 0.0.0.0:* users:((\"smbd\",pid=812,fd=30),"
                           "(\"smbd\",pid=815,fd=30))\nLISTEN 0 5 [::]:22 [::]:*\n"));
    ASSERT_TRUE(write_file(d.dir() + "/meminfo",
                           "MemTotal: 16303480 kB\nMemFree: 1024 kB\nMemAvailable: 8151740 kB\nBuffers: 1024 kB\n"
                           "Cached: 4194304 kB\nSwapCached: 0 kB\nSReclaimable: 1024 kB\nSwapTotal: 2097152 kB\n"
                           "SwapFree: 1048576 kB\n"));
    ASSERT_TRUE(mounts.bind(d.dir() + "/meminfo", "/proc/meminfo"));
    ASSERT_TRUE(d.start());
    setenv("TERM", "xterm", 1);  // a terminal with colours
    const struct {
        std::vector<std::string> words;
        std::vector<std::vector<std::string>> generic;
        lines_t screen;
        std::string smart = "";  // smartctl's output for this case
        int status = 0;
        std::string raw = "";  // a part of what the terminal received
    } cases[] = {
        {{"meminfo"},
         {{"meminfo"}},
         {"total       15.5 GiB", "used        11.5 GiB", "buff/cache  4.0 GiB", "free        1.0 MiB",
          "available   7.8 GiB  (50%)", "swap        2.0 GiB  (used 1.0 GiB)"}},
        {{"smart", "/dev/sda"},
         {{"smart_get", "device=/dev/sda"}},
         {"device               /dev/sda", "model                WDC WD40EFRX-68N32N0",
          "serial               WD-WCC7K1234567", "temperature          34 C", "power-on hours       31337",
          "reallocated sectors  0", "pending sectors      8", "overall              FAILED"},
         smart_sda,
         0,
         "\033[1;31mFAILED\033[0m"},
        {{"smart", "/dev/sdz"},
         {{"smart_get", "device=/dev/sdz"}},
         {"overall  unknown",
          "error    /dev/sdz: Unable to detect device type?Please specify device type with the -d option.",
          "vornctl: smart: /dev/sdz was not read (smartctl exit status 2); name its type: type=sat, type=scsi, type=nvme, ... (EIO)"},
         smart_sdz,
         1},
        {{"net"},
         {{"net_addrs"}, {"net_ports"}},
         {"INTERFACE  ADDRESS", "lo         127.0.0.1/8", "br-lan     192.168.7.1/16", "",
          "LISTENING ON  PORT  PROCESS  PID", "[::]            22", "0.0.0.0        445  smbd +1  812"}},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(c.smart.empty() || write_file(out("smartctl"), c.smart));
        TerminalRun t(ctl(d.socket_path(), c.words), 24, 120);
        EXPECT_EQ(t.wait_exit_status(), c.status) << t.screen;
        EXPECT_EQ(screen_of(t.screen, 24, 120), c.screen);
        EXPECT_NE(t.screen.find(c.raw), std::string::npos) << t.screen;
        if (c.status == 0) expect_generic_lines(d.socket_path(), c.words, c.generic);
    }
    // The same for the views whose figures are the host's own; --json on a terminal too.
    for (const char* view : {"info", "sysinfo"}) {
        EXPECT_EQ(run_program(ctl(d.socket_path(), {view})).out, generic_out(d.socket_path(), {{view}}));
        TerminalRun t(ctl(d.socket_path(), {"--json", view}), 24, 80);
        EXPECT_EQ(t.wait_exit_status(), 0);
        EXPECT_EQ(t.screen, std::regex_replace(generic_out(d.socket_path(), {{view}}), std::regex("\n"), "\r\n"));
    }
}

// A stream that stays silent (a log bundle being written) shows its elapsed time; at its end
// that line is gone and the screen holds the generic form's lines alone.
TEST_F(ViewsTest, SilentStreamShowsElapsedTimeThenOnlyItsLines) {
    ASSERT_TRUE(write_file(d.dir() + "/slow-tar", "#!/bin/sh\nsleep 2.5\n", 0755));
    ASSERT_TRUE(mounts.bind(d.dir() + "/slow-tar", "/bin/tar"));
    ASSERT_TRUE(std::filesystem::create_directories("/opt/vorn/var"));  // the bundles' directory is made in it
    disable({"/etc/init.d/diag_XDT"});
    ASSERT_TRUE(d.start());
    TerminalRun t(ctl(d.socket_path(), {"dump_logs"}), 24, 200);
    EXPECT_TRUE(t.wait_for("dump_logs: 0:01 elapsed (Ctrl-C cancels)")) << t.screen;
    EXPECT_EQ(t.wait_exit_status(), 0) << t.screen;
    lines_t screen = screen_of(t.screen, 24, 200);
    ASSERT_EQ(screen.size(), 1u) << t.screen;
    EXPECT_EQ(masked(screen[0]) + "\n", masked(generic_out(d.socket_path(), {{"dump_logs"}})));
}

// The pids are above the kernel's ceiling: what the list lacks (user, state, CPU) is read from
// this host's /proc, where no such process exists, and shows as "-".
TEST_F(StandInTest, PsSortsFiltersFitsTheScreenAndCutsCommandsToTheWidth) {
    const std::string reply =
        R"({"id":"1","ok":true,"result":{"procs":[{"pid":5000001,"comm":"systemd","cmdline":"/sbin/init splash",)"
        R"("rss_kb":12000},{"pid":5000002,"comm":"kthreadd","cmdline":"","rss_kb":0},{"pid":5000812,"comm":"smbd",)"
        R"("cmdline":"/usr/sbin/smbd --foreground --no-process-group","rss_kb":30720},)"
        R"({"pid":5000090,"comm":"a-name-of-twenty-chars","cmdline":"smbd: notifyd","rss_kb":8000}]}})";
    const std::string head = "    PID  USER  S  %CPU       RSS  NAME              COMMAND";
    const struct {
        std::vector<std::string> words;
        lines_t screen;
        unsigned short rows = 24;
    } cases[] = {
        {{"ps"},
         {head, "5000812  -     -     -  30.0 MiB  smbd              /usr/sbin/smbd --for",
          "5000001  -     -     -  11.7 MiB  systemd           /sbin/init splash",
          "5000090  -     -     -   7.8 MiB  a-name-of-twenty  smbd: notifyd",
          "5000002  -     -     -       0 B  kthreadd          [kthreadd]"}},
        {{"ps", "--sort", "pid", "smbd"},
         {"    PID  USER  S  %CPU       RSS  NAME  COMMAND",
          "5000812  -     -     -  30.0 MiB  smbd  /usr/sbin/smbd --foreground --no"}},
        {{"ps", "--sort", "name"},
         {head, "5000090  -     -     -   7.8 MiB  a-name-of-twenty  smbd: notifyd",
          "5000002  -     -     -       0 B  kthreadd          [kthreadd]",
          "5000812  -     -     -  30.0 MiB  smbd              /usr/sbin/smbd --for",
          "5000001  -     -     -  11.7 MiB  systemd           /sbin/init splash"}},
        {{"ps", "--sort", "rss"},
         {"    PID  USER  S  %CPU       RSS  NAME     COMMAND",
          "5000812  -     -     -  30.0 MiB  smbd     /usr/sbin/smbd --foreground -",
          "5000001  -     -     -  11.7 MiB  systemd  /sbin/init splash", "... 2 more (--all shows every row)"},
         5},
        {{"ps", "--all"},
         {head, "5000812  -     -     -  30.0 MiB  smbd              /usr/sbin/smbd --for",
          "5000001  -     -     -  11.7 MiB  systemd           /sbin/init splash",
          "5000090  -     -     -   7.8 MiB  a-name-of-twenty  smbd: notifyd",
          "5000002  -     -     -       0 B  kthreadd          [kthreadd]"},
         5},
    };
    for (const auto& c : cases) {
        std::string req;
        std::thread s = serve_once(fake.get(), &req, {reply});
        TerminalRun t(ctl(sock, c.words), c.rows, 72);
        EXPECT_EQ(t.wait_exit_status(), 0) << t.screen;
        s.join();
        EXPECT_EQ(req, R"({"id":"1","op":"procs_list","args":{"full":true}})");
        vt_screen vt(100, 72);  // the whole of what was written, not just the last screen
        vt.feed(t.screen);
        EXPECT_EQ(vt.lines(), c.screen);
    }
    std::string req;
    std::thread s = serve_once(fake.get(), &req, {reply});
    EXPECT_EQ(run_program(ctl(sock, {"ps", "--sort", "pid", "smbd"})).out, reply + "\n");
    s.join();
    EXPECT_EQ(run_program(ctl(sock, {"ps", "--sort", "size"})).status, 2);
}

TEST_F(StandInTest, ProcShowsDetailAndOpenFilesSideBySide) {
    const lines_t replies = {
        R"j({"id":"1","ok":true,"result":{"state":"S (sleeping)","ppid":1,"threads":4,"uid":0,"vmrss_kb":30720,)j"
        R"("vmsize_kb":-1,"vol_ctxt":10,"nonvol_ctxt":2,"read_bytes":1048576,"write_bytes":-1,"fd_count":3,)"
        R"("wchan":"do_select","cmdline":"/usr/sbin/smbd --foreground "}})",
        R"({"id":"1","ok":true,"result":{"files":[{"fd":3,"type":"socket","target":"socket:[1234]"},)"
        R"({"fd":0,"type":"file","target":"/dev/null"},{"fd":12,"type":"anon","target":"anon_inode:[eventpoll]"}]}})"};
    std::vector<std::string> reqs;
    std::thread s = serve_each(fake.get(), &reqs, {{replies[0]}, {replies[1]}});
    TerminalRun t(ctl(sock, {"proc", "812"}), 24, 80);
    EXPECT_EQ(t.wait_exit_status(), 0) << t.screen;
    s.join();
    EXPECT_EQ(reqs, (lines_t{R"({"id":"1","op":"proc_detail","args":{"pid":812}})",
                             R"({"id":"1","op":"proc_openfiles","args":{"pid":812}})"}));
    EXPECT_EQ(screen_of(t.screen, 24, 80),
              (lines_t{"process 812: /usr/sbin/smbd --foreground", "state         S (sleeping)    FD  TYPE    TARGET",
                       "ppid          1                0  file    /dev/null",
                       "uid           0                3  socket  socket:[1234]",
                       "threads       4               12  anon    anon_inode:[eventpoll]", "rss           30.0 MiB",
                       "vsize         -", "ctx switches  10 / 2", "read          1.0 MiB", "written       -",
                       "open fds      3", "wchan         do_select"}));
    reqs.clear();
    s = serve_each(fake.get(), &reqs, {{replies[0]}, {replies[1]}});
    EXPECT_EQ(run_program(ctl(sock, {"proc", "812"})).out, replies[0] + "\n" + replies[1] + "\n");
    s.join();
    EXPECT_EQ(run_program(ctl(sock, {"proc", "12x"})).status, 2);
}

// A time-based run's bar follows the clock; Ctrl-C marks it stopped, drops the test that will not
// run and says what the daemon cleaned up. A whole run's bars reach full, its summary from the reports.
TEST_F(ViewsTest, FioBarsAndSummaryFromTheReportsAndCtrlCCancelsTheJob) {
    ASSERT_TRUE(write_file(std::string("/opt/vorn/bin/fio-") + binfind_arch(), fake_fio(), 0755));
    const std::string target = d.dir() + "/bench";
    ASSERT_TRUE(std::filesystem::create_directory(target));
    ASSERT_TRUE(write_file("/opt/hold", ""));
    ASSERT_TRUE(d.start());
    TerminalRun c(ctl(d.socket_path(), {"fio", target, "runtime=1"}), 24, 200);
    ASSERT_TRUE(c.wait_for("99.9%")) << c.screen;
    c.type("\x03");
    EXPECT_EQ(c.wait_exit_status(), 130) << c.screen;
    vt_screen vt(24, 200);
    vt.feed(c.screen);
    EXPECT_TRUE(vt.cursor_visible);
    ASSERT_EQ(vt.lines().size(), 2u) << c.screen;
    EXPECT_TRUE(std::regex_match(vt.lines()[0],
                                 std::regex(R"(SEQ1M_Q8T1_W write  \[#+-*\]   99\.9%  \d:\d\d  stopped)")))
        << vt.lines()[0];
    EXPECT_EQ(vt.lines()[1], "cancelled: fio was stopped and the daemon removed its work directory " + target +
                                 "/___vorn_disk_test___" + std::to_string(d.pid()) + "_1");
    EXPECT_TRUE(std::filesystem::is_empty(target));

    ASSERT_EQ(unlink("/opt/hold"), 0);
    const std::vector<std::string> words = {"fio", target, "size=16M", "direct=1"};
    TerminalRun t(ctl(d.socket_path(), words), 24, 100);
    EXPECT_EQ(t.wait_exit_status(), 0) << t.screen;
    // The progress record drawn, with the figures of fio's status line.
    EXPECT_TRUE(std::regex_search(t.screen, std::regex(R"(\]   50\.0%  0:0\d  w=340MiB/s  w=340 IOPS  eta 00m:01s)")))
        << t.screen;
    lines_t screen = screen_of(t.screen, 24, 100);
    ASSERT_EQ(screen.size(), 7u) << t.screen;
    EXPECT_EQ(screen[0], "fio: note: ?[31mread?[0m slower than expected");  // escapes never reach the terminal
    const std::regex bar(R"((SEQ1M_Q8T1_W write|SEQ1M_Q8T1_R read ) +\[#+\]  100\.0%  0:0\d  w=771MiB/s  w=771 IOPS)");
    EXPECT_TRUE(std::regex_match(screen[1], bar)) << screen[1];
    EXPECT_TRUE(std::regex_match(screen[2], bar)) << screen[2];
    EXPECT_EQ(lines_t(screen.begin() + 3, screen.end()),
              (lines_t{"", "TEST          RW     MiB/s  IOPS  MEAN LAT   P99 LAT  SIZE  BS  IODEPTH  DIRECT",
                       "SEQ1M_Q8T1_W  write  340.4   340  19.01 ms  32.64 ms  16M   1M        8       0",
                       "SEQ1M_Q8T1_R  read   333.3   333  12.54 ms  33.82 ms  16M   1M        8       0"}));

    expect_generic_lines(d.socket_path(), words, {{"fio_run", "target_dir=" + target, "size=16M", "direct=1"}});
    // The reports, written over many lines by fio, arrive as one line each.
    std::string out = run_program(ctl(d.socket_path(), words)).out;
    EXPECT_NE(out.find(R"("raw":{"fio version":"fio-3.33","timestamp":1796592340,)"), std::string::npos) << out;
    EXPECT_NE(out.find(R"({"type":"test_start","index":0,"name":"SEQ1M_Q8T1_W","rw":"write","bs":"1M","size":"16M"})"),
              std::string::npos);
}

// The documents iperf3 writes with -J; for a refused connection it exits with 0, the view says it failed.
TEST_F(ViewsTest, Iperf3IntervalsAndSummaryFromTheDocument) {
    const std::string tool = std::string("/opt/vorn/bin/iperf3-") + binfind_arch();
    ASSERT_TRUE(d.start());
    const struct {
        const char* doc;
        int status;
        lines_t screen;
    } cases[] = {
        {"iperf3-3.12-tcp.json",
         0,
         {"0.0-1.0 s     441.2 MiB   3.70 Gbit/s  13 retransmits",
          "1.0-2.0 s     576.2 MiB   4.82 Gbit/s  16 retransmits", "", "test         TCP, 1 stream(s), 2 s",
          "sent         4.26 Gbit/s  (1017.5 MiB)", "received     4.24 Gbit/s  (1016.6 MiB)", "retransmits  29"}},
        {"iperf3-3.12-udp.json",
         0,
         {"0.0-1.0 s     128.0 KiB   1.05 Mbit/s  4 packets", "1.0-2.0 s     128.0 KiB   1.05 Mbit/s  4 packets", "",
          "test      UDP, 1 stream(s), 2 s", "sent      1.05 Mbit/s  (256.0 KiB)", "received  1.05 Mbit/s  (256.0 KiB)",
          "jitter    0.006 ms", "lost      0 of 8 packets (0.00%)"}},
        {"iperf3-3.12-refused.json", 1, {"vornctl: iperf3: unable to connect to server: Connection refused"}},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(write_fake_tool(tool, rec("iperf3"), data_path(c.doc)));
        TerminalRun t(ctl(d.socket_path(), {"iperf3", "10.0.0.2", "time=2", "json=true"}), 24, 80);
        EXPECT_EQ(t.wait_exit_status(), c.status) << t.screen;
        EXPECT_EQ(recorded_argv(rec("iperf3")),
                  (lines_t{"-c", "10.0.0.2", "-p", "5201", "-t", "2", "-P", "1", "-i", "1", "-J", "--forceflush"}));
        EXPECT_EQ(screen_of(t.screen, 24, 80), c.screen);
        expect_generic_lines(d.socket_path(), {"iperf3", "10.0.0.2"}, {{"iperf3_client", "host=10.0.0.2"}});
    }
    // The document, written over many lines, is one line; the white space of its strings stays.
    EXPECT_EQ(masked(run_program(ctl(d.socket_path(), {"iperf3", "10.0.0.2"})).out),
              R"({"id":"1","event":"chunk","job_id":"X","data":{"start":{"connected":[],"version":"iperf 3.12",)"
              R"("system_info":"Linux vm 6.18.44-fc-v1272 #1 SMP PREEMPT_DYNAMIC @0 x86_64"},"intervals":[],"end":{},)"
              R"("error":"unable to connect to server: Connection refused"}})"
              "\n"
              R"({"id":"1","event":"done","ok":true,"exit_code":0})"
              "\n");

    // By default the view shows iperf3's own lines as they come; on Ctrl-C the job is cancelled
    // and what iperf3 writes as it stops is kept with the intervals before it.
    ASSERT_TRUE(write_file(
        tool,
        "#!/bin/sh\ntrap 'trap \"\" TERM; echo \"[  5]   0.00-1.50   sec   661 MBytes  3.70 Gbits/sec   sender\"; "
        "echo \"iperf3: interrupt - the client has terminated\"; exit 1' TERM\n"
        "echo \"[  5]   0.00-1.00   sec   441 MBytes  3.70 Gbits/sec   13\"\nsleep 60 & wait\n",
        0755));
    TerminalRun t(ctl(d.socket_path(), {"iperf3", "127.0.0.1"}), 24, 80);
    ASSERT_TRUE(t.wait_for("0.00-1.00")) << t.screen;
    t.type("\x03");
    EXPECT_EQ(t.wait_exit_status(), 130) << t.screen;
    EXPECT_EQ(screen_of(std::regex_replace(t.screen, std::regex("\\^C"), ""), 24, 80),
              (lines_t{"[  5]   0.00-1.00   sec   441 MBytes  3.70 Gbits/sec   13",
                       "[  5]   0.00-1.50   sec   661 MBytes  3.70 Gbits/sec   sender",
                       "iperf3: interrupt - the client has terminated", "cancelled: iperf3 was stopped"}))
        << t.screen;
}

// A raidz pool with log and cache devices named by id: the second report (the first holds the
// averages since import) as sample 1, long names keeping their ends.
TEST_F(ViewsTest, ZpoolIostatIndentsTheTree) {
    ASSERT_TRUE(mounts.tmpfs("/sbin"));
    ASSERT_TRUE(write_fake_tool("/sbin/zpool", rec("zpool"), data_path("zpool-iostat-v.txt")));
    ASSERT_TRUE(d.start());
    TerminalRun t(ctl(d.socket_path(), {"zpool-iostat", "tank"}), 24, 80);
    EXPECT_EQ(t.wait_exit_status(), 0) << t.screen;
    EXPECT_EQ(recorded_argv(rec("zpool")), (lines_t{"iostat", "-v", "tank", "1"}));
    EXPECT_EQ(screen_of(t.screen, 24, 80),
              (lines_t{"zpool iostat tank: sample 1 (Ctrl-C stops)",
                       "NAME                              read ops  write ops         read        write",
                       "tank                                  12.0     1500.0    2.0 MiB/s      512 B/s",
                       "  raidz1-0                            12.0     1500.0    2.0 MiB/s      512 B/s",
                       "    ..EFRX-68N32N0_WD-WCC7K1AAAA       4.0      500.0  683.0 KiB/s      174 B/s",
                       "    ..EFRX-68N32N0_WD-WCC7K1BBBB       4.0      500.0  683.0 KiB/s      174 B/s",
                       "    ..EFRX-68N32N0_WD-WCC7K1CCCC       4.0      500.0  683.0 KiB/s      174 B/s",
                       "logs                                   0.0        0.0        0 B/s        0 B/s",
                       "  nvme0n1p1                            0.0       12.0        0 B/s  256.0 KiB/s",
                       "cache                                  0.0        0.0        0 B/s        0 B/s",
                       "  nvme0n1p2                           35.0        0.0    4.4 MiB/s        0 B/s"}));
    expect_generic_lines(d.socket_path(), {"zpool-iostat", "tank"}, {{"zpool_iostat_stream", "pool=tank"}});
}

// The process views against the daemon's own readings of /proc, on a process of this test.
TEST(VornctlViews, PsAndProcOfARealProcess) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    const std::string name = "vwtest" + std::to_string(getpid() % 10000000), prog = d.dir() + "/" + name;
    ASSERT_TRUE(write_file(prog, read_text("/bin/sleep"), 0755));
    spawned_t p = spawn_program({prog, "60"});
    ASSERT_GT(p.pid, 0);
    const std::string pid = std::to_string(p.pid);
    ASSERT_TRUE(eventually([&] { return read_text("/proc/" + pid + "/comm") == name + "\n"; }));

    TerminalRun ps(ctl(d.socket_path(), {"ps", name}), 24, 120);
    EXPECT_EQ(ps.wait_exit_status(), 0) << ps.screen;
    lines_t screen = screen_of(ps.screen, 24, 120);
    ASSERT_EQ(screen.size(), 2u) << ps.screen;
    EXPECT_TRUE(std::regex_match(screen[0], std::regex(" *PID  USER  S  %CPU +RSS  NAME +COMMAND"))) << screen[0];
    EXPECT_TRUE(std::regex_match(screen[1], std::regex(" *" + pid + "  root  S +0\\.0 +[0-9.]+ [KM]iB  " + name + "  " +
                                                       prog + " 60")))
        << screen[1];

    TerminalRun proc(ctl(d.socket_path(), {"proc", pid}), 24, 120);
    EXPECT_EQ(proc.wait_exit_status(), 0) << proc.screen;
    screen = screen_of(proc.screen, 24, 120);
    ASSERT_GE(screen.size(), 12u) << proc.screen;
    EXPECT_EQ(screen[0], "process " + pid + ": " + prog + " 60");
    EXPECT_TRUE(std::regex_match(screen[1], std::regex("state +S \\(sleeping\\) +FD  TYPE +TARGET"))) << screen[1];
    EXPECT_NE(screen[2].find(" 0  file  /dev/null"), std::string::npos) << screen[2];
    kill(p.pid, SIGKILL);
    wait_exit(p.pid);
}

// Completion as bash runs it: a view stands alone for its operation, key= names and fixed
// values per operation, block devices for smart, the daemon's live sessions for attach.
TEST(VornctlCompletion, ViewsKeysValuesDevicesAndLiveSessions) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    TerminalRun shell(ctl(d.socket_path(), {"shell"}), 24, 80);
    ASSERT_TRUE(shell.wait_for("detach with Ctrl-] then d")) << shell.screen;
    const std::string job_id = shell.screen.substr(shell.screen.find("session ") + 8, 16);
    shell.type(
        "\x1d"
        "d");
    ASSERT_EQ(shell.wait_exit_status(), 0);
    const std::string bin_dir = std::filesystem::path(VORNCTL_BIN).parent_path();
    auto complete = [&](const std::string& line) {
        return run_program({"/usr/bin/env", "PATH=" + bin_dir + ":/usr/bin:/bin", "/bin/bash", "-c",
                            "source <(vornctl --bash-completion); line=\"$1\"; read -ra COMP_WORDS <<< \"$line\"; "
                            "[[ \"$line\" == *' ' ]] && COMP_WORDS+=(''); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); "
                            "COMP_LINE=\"$line\"; COMP_POINT=${#line}; _vornctl 2>/dev/null; echo \"${COMPREPLY[*]}\"",
                            "_", line})
            .out;
    };
    std::string block = "/dev/xyz";  // a disk's name, when the machine has one
    for (const auto& e : std::filesystem::directory_iterator("/sys/block"))
        if (!e.path().filename().string().starts_with("loop")) block = "/dev/" + e.path().filename().string();
    const std::pair<std::string, std::string> cases[] = {
        {"vornctl -s " + d.socket_path() + " attach ", job_id + "\n"},
        {"vornctl fio /tmp si", "size=\n"},
        {"vornctl fio /tmp test=r", "rnd4k\n"},
        {"vornctl exec merge_stderr=", "true false\n"},
        {"vornctl fio_", "\n"},  // fio stands for fio_run
        {"vornctl config", "config config-apply\n"},
        {"vornctl pcap_", "pcap_capture pcap_stream\n"},
        {"vornctl smart " + block.substr(0, 6), block == "/dev/xyz" ? "" : block},
    };
    for (const auto& [line, want] : cases) {
        std::string got = complete(line);
        EXPECT_NE(got.find(want), std::string::npos) << line << " -> " << got;
        EXPECT_EQ(got.find("/dev/tty"), std::string::npos) << line << " -> " << got;
    }
}
