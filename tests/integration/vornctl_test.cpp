// vornctl as a user runs it: against the real daemon for replies, files and exit statuses; against
// a stand-in daemon for the requests it builds; on a terminal of its own for shell and attach.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "base/fdio.h"
#include "base/version.h"
#include "ctl_util.h"
#include "host_util.h"
#include "spawn.h"

// A stream whose reader has gone (`| head -1`) ends within a second and its job with it, the
// generic form's and a view's alike; the socket may come from the environment.
TEST(Vornctl, ClosedOutputEndsTheStreamAndItsJob) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    const std::string log = d.dir() + "/head.log";
    ASSERT_TRUE(write_file(log, "one\ntwo\n"));
    for (const std::string& words : {"tail " + log, "log_tail path=" + log}) {
        spawned_t p = spawn_program({"/usr/bin/env", "VORNCTL_SOCKET=" + d.socket_path(), "/bin/sh", "-c",
                                     std::string(VORNCTL_BIN) + " " + words + " | head -1"});
        std::string first;
        char c;
        while (first.find('\n') == std::string::npos && read(p.out.get(), &c, 1) == 1) first += c;
        auto head_done = std::chrono::steady_clock::now();
        EXPECT_EQ(wait_exit(p.pid, 3000), 0) << words;
        EXPECT_LT(std::chrono::steady_clock::now() - head_done, std::chrono::seconds(1)) << words;
        EXPECT_NE(first.find("one"), std::string::npos) << first;
        EXPECT_TRUE(eventually([&] { return children_of(d.pid()).empty(); })) << words;
    }
}

// Replies print as one line, cat prints the data raw; errors go to stderr in one shape. The
// exit status tells the cause: 1 failed, 2 usage, 3 refused, 4 not found, 5 no daemon, 130
// Ctrl-C. Options may follow the command word.
TEST(Vornctl, RepliesFilesAndExitStatuses) {
    TestDaemon d;
    const std::string tok = d.dir() + "/token", f = d.dir() + "/f.txt", dir = d.dir() + "/d";
    const std::string text = "a\tb\n\"q\" \\ \xc3\xa9\n", err = R"({"id":"1","ok":false,"code":")";
    ASSERT_TRUE(write_file(tok, "tok-1\n") && write_file(f, text) && write_file(dir + "/abc", "123"));
    ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink("/nonexistent", (dir + "/dangling").c_str()), 0);
    d.write_config("[security]\nauth_token_file = " + tok + "\n");
    ASSERT_TRUE(d.start());
    auto argv = [&](bool auth, std::vector<std::string> words) {
        if (auth) words.insert(words.begin(), {"--token-file", tok});
        return ctl(d.socket_path(), words);
    };
    const struct {
        bool auth;
        std::vector<std::string> words;
        int status;
        std::string out, err = "";  // err: a part of the standard error
    } cases[] = {
        {true,
         {"ping"},
         0,
         R"({"id":"1","ok":true,"result":{"pong":true}})"
         "\n"},
        {false,
         {"ping"},
         3,
         err + R"(EAUTH","error":"bad or missing token"})"
               "\n",
         "vornctl: ping: bad or missing token (EAUTH)\n"},
        {true,
         {"iostats"},
         4,
         err + R"(ENOOP","error":"unknown op"})"
               "\n",
         "vornctl: iostats: unknown op; did you mean iostat? (ENOOP)\n"},
        {true,
         {"cancel", "0123456789abcdef"},
         4,
         R"({"id":"cancel","ok":false,"code":"ENOENT","error":"no such job"})"
         "\n",
         "vornctl: cancel: no such job (ENOENT)"},
        {true, {"cat", f}, 0, text},
        {true, {"cat", f, "max_bytes=3"}, 1, "", "vornctl: cat: "},
        {true, {"cat", d.dir() + "/missing"}, 4, "", ": no such file or directory (E"},
        {true, {"ls", d.dir() + "/none"}, 4, "", "vornctl: ls: "},
        {true, {"attach", "0123456789abcdef"}, 4, "", "vornctl: attach: no such pty job (ENOENT)"},
        {false, {"-s", d.dir() + "/absent.sock", "ping"}, 5, "", "absent.sock"},
        {false, {"--token-file", d.dir() + "/none", "ping"}, 2, ""},
        {true,
         {"ping", "--json"},
         0,
         R"({"id":"1","ok":true,"result":{"pong":true}})"
         "\n"},
        {false, {"fio", "--help"}, 0, "usage: vornctl fio TARGET_DIR"},
        {false, {"fio", "/tmp", "size=0.5G"}, 2, "", "vornctl: fio: size=0.5G: expected digits"},
        {false, {"exec", "cmd=ls", "argv=-l"}, 2, "", "vornctl: exec: argv=-l: expected a JSON array of strings"},
        {false, {"--version"}, 0, "vornctl " VORND_VERSION "\n"},
        {true, {"cat"}, 2, ""},
        {false, {}, 2, ""},
        {false, {"--bogus", "ping"}, 2, ""},
        {false, {"ping", "novalue"}, 2, ""},
        {false, {"cancel"}, 2, ""},
    };
    for (const auto& c : cases) {
        run_result_t r = run_program(argv(c.auth, c.words));
        EXPECT_EQ(r.status, c.status) << testing::PrintToString(c.words) << r.err;
        EXPECT_TRUE(r.out.starts_with(c.out)) << r.out;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }

    // ls: one line per entry, the size (-1 for a dangling link), then the name, "/" after a directory.
    run_result_t ls = run_program(argv(true, {"ls", dir}));
    EXPECT_EQ(ls.status, 0);
    for (const char* line : {"           3  abc\n", "  sub/\n", "          -1  dangling\n"})
        EXPECT_NE(ls.out.find(line), std::string::npos) << line << " in " << ls.out;

    // Ctrl-C on a stream cancels its job over a second connection (the first one is busy with
    // the stream), then waits for the stream's own end, done -1: tail prints only the lines,
    // the generic form every frame.
    const std::string log = d.dir() + "/tail.log";  // under /tmp/, an allowed log location
    ASSERT_TRUE(write_file(log, "one\ntwo \"2\"\n"));
    const std::pair<std::vector<std::string>, std::string> tails[] = {
        {{"tail", log, "lines=5"}, "one\r\ntwo \"2\"\r\n"},
        {{"log_tail", "path=" + log},
         R"(\"2\""}})"
         "\r\n"
         R"({"id":"1","event":"done","ok":true,"exit_code":-1})"
         "\r\n"},
    };
    for (const auto& [words, end] : tails) {
        TerminalRun t(argv(true, words), 24, 80);
        ASSERT_TRUE(t.wait_for("two")) << t.screen;
        kill(t.pid, SIGINT);
        EXPECT_EQ(t.wait_exit_status(), 130) << t.screen;
        EXPECT_TRUE(t.screen.ends_with(end)) << t.screen;
    }
}

// Against a stand-in daemon: words that are whole JSON values travel as JSON, anything else
// as a string (an operation vornctl has no row for is not checked); a stream's events print one per line and its last one decides the exit status.
TEST(Vornctl, TypedArgumentsAndStreamEnd) {
    TestDaemon dir;  // not started: only its directory is used
    const std::string sock = dir.dir() + "/fake.sock";
    unique_fd fake = listen_at(sock);
    ASSERT_TRUE(fake);
    const std::vector<std::string> words = {
        "any_op",       "n=5",        "neg=-1.5e3", "b=true",  "nil=null",      "arr=[1,\"x\"]", "obj={\"a\":{}}",
        "q=\"quoted\"", "word=hello", "two=a b",    "empty=",  "eq=a=b",        "ip=10.0.0.1",   "ver=1.2.3",
        "dash=-",       "oct=0644",   "bad=[1,",    "tru=tru", "inner=[1.2.3]", "k\"ey=x"};
    const std::string first = R"({"id":"1","event":"chunk","job_id":"00000000000000aa","data":[1]})";
    const std::string log = R"({"id":"1","event":"log","stream":2,"msg":"m"})";
    std::string big_result = "[0";  // more tokens than most frames need
    for (int i = 0; i < 5000; i++) big_result += ",0";
    const std::pair<std::string, int> cases[] = {
        {R"({"id":"1","event":"done","ok":true,"exit_code":0})", 0},
        {R"({"id":"1","event":"done","ok":true,"exit_code":0,"result":)" + big_result + "]}", 0},
        {R"({"id":"1","event":"done","ok":true,"exit_code":3})", 1},
        {R"({"id":"1","event":"error","ok":false,"code":"ESPAWN","error":"x"})", 1},
    };
    for (const auto& [last, status] : cases) {
        std::string req;
        std::thread t = serve_once(fake.get(), &req, {first, log, last});
        run_result_t r = run_program(ctl(sock, words));
        t.join();
        EXPECT_EQ(r.status, status) << last << r.err;
        EXPECT_EQ(r.out, first + "\n" + log + "\n" + last + "\n");
        EXPECT_EQ(req, R"({"id":"1","op":"any_op","args":{"n":5,"neg":-1.5e3,"b":true,"nil":null,"arr":[1,"x"],)"
                       R"("obj":{"a":{}},"q":"quoted","word":"hello","two":"a b","empty":"","eq":"a=b",)"
                       R"("ip":"10.0.0.1","ver":"1.2.3","dash":"-","oct":"0644","bad":"[1,","tru":"tru",)"
                       R"("inner":"[1.2.3]","k\"ey":"x"}})");
    }
}

TEST(VornctlShell, RunDetachAttachSeeEarlierOutputAndExit) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    TerminalRun shell(ctl(d.socket_path(), {"shell"}), 33, 99);
    ASSERT_TRUE(shell.wait_for("detach with Ctrl-] then d")) << shell.screen;
    size_t at = shell.screen.find("session ");
    ASSERT_NE(at, std::string::npos);
    const std::string job_id = shell.screen.substr(at + 8, 16);

    // The window size went along on start; keys go through raw mode untouched.
    shell.type("stty size; echo m$((2+3))k\r");
    ASSERT_TRUE(shell.wait_for("33 99\r\nm5k")) << shell.screen;
    shell.type("\x1d");  // Ctrl-] alone sends nothing yet
    shell.type("d");
    EXPECT_EQ(shell.wait_exit_status(), 0) << shell.screen;
    EXPECT_NE(shell.screen.find(" attach " + job_id), std::string::npos) << shell.screen;
    auto listed = [&](const std::string& what) {
        return d.call(R"({"id":"l","op":"pty_list"})").find(what) != std::string::npos;
    };
    EXPECT_TRUE(listed("\"exited\":false"));  // the only session, still running

    TerminalRun t(ctl(d.socket_path(), {"attach", job_id}), 20, 60);
    ASSERT_TRUE(t.wait_for("m5k")) << t.screen;           // the earlier output, replayed
    t.type("stty size; echo r$((1))z\r");                 // the typed line's echo never shows r1z
    ASSERT_TRUE(t.wait_for("20 60\r\nr1z")) << t.screen;  // attach sends its own size

    struct winsize ws = {40, 120, 0, 0};
    ASSERT_EQ(ioctl(t.master.get(), TIOCSWINSZ, &ws), 0);  // SIGWINCH reaches vornctl, which resizes the session
    ASSERT_TRUE(eventually([&] { return listed("\"rows\":40,\"cols\":120,"); }));
    t.type("stty size; echo w$((2))z\r");
    ASSERT_TRUE(t.wait_for("40 120\r\nw2z")) << t.screen;

    t.type("exit\r");
    EXPECT_EQ(t.wait_exit_status(), 0) << t.screen;
    EXPECT_NE(t.screen.find("shell exited with code 0"), std::string::npos) << t.screen;

    run_result_t sessions = run_program(ctl(d.socket_path(), {"sessions"}));
    EXPECT_EQ(sessions.status, 0);
    EXPECT_NE(sessions.out.find(job_id + "  /dev/pts/"), std::string::npos) << sessions.out;
    EXPECT_NE(sessions.out.find("120x40"), std::string::npos) << sessions.out;  // COLSxROWS
    EXPECT_NE(sessions.out.find("exited"), std::string::npos) << sessions.out;
}

// The daemon stops under an attached shell: the connection is reported lost, not the shell's
// end; and the detach hint repeats the options in use.
TEST(VornctlShell, DaemonGoneIsALostConnection) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    TerminalRun shell({VORNCTL_BIN, "shell", "--socket", d.socket_path()}, 24, 80);
    ASSERT_TRUE(shell.wait_for("detach with Ctrl-] then d")) << shell.screen;
    shell.type(
        "\x1d"
        "d");
    EXPECT_EQ(shell.wait_exit_status(), 0) << shell.screen;
    EXPECT_NE(shell.screen.find("vornctl -s " + d.socket_path() + " attach "), std::string::npos) << shell.screen;

    TerminalRun t({VORNCTL_BIN, "shell", "--socket", d.socket_path()}, 24, 80);
    ASSERT_TRUE(t.wait_for("detach with Ctrl-] then d")) << t.screen;
    d.stop();
    EXPECT_EQ(t.wait_exit_status(), 1) << t.screen;
    EXPECT_NE(t.screen.find("vornctl: connection to vornd lost"), std::string::npos) << t.screen;
    EXPECT_EQ(t.screen.find("shell exited"), std::string::npos) << t.screen;
}

// The manual page lists the operations as the argument table has them.
TEST(Vornctl, ManualPageListsTheArgumentTable) {
    const std::string page = read_text(std::string(VORND_SOURCE_DIR) + "/man/vornctl.1.in");
    const std::string from = "a test holds the two equal\n", to = ".\\\" end of the generated list";
    size_t a = page.find(from), b = page.find(to);
    ASSERT_TRUE(a != std::string::npos && b != std::string::npos);
    EXPECT_EQ(page.substr(a + from.size(), b - a - from.size()), run_program({VORNCTL_BIN, "--roff-operations"}).out);
}
