// vornctl as a user runs it: against the real daemon for replies, files and exit statuses; against
// a stand-in daemon for the requests it builds; on a terminal of its own for shell and attach.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/fdio.h"
#include "ctl_util.h"
#include "spawn.h"

// Replies print as one line, cat prints the data raw; errors go to stderr. Exit status 0 on
// ok, 1 on an error reply, 2 on usage or connection errors.
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
         1,
         err + R"(EAUTH","error":"bad or missing token"})"
               "\n"},
        {true,
         {"no_such_op"},
         1,
         err + R"(ENOOP","error":"unknown op"})"
               "\n"},
        {true,
         {"cancel", "0123456789abcdef"},
         1,
         R"({"id":"cancel","ok":false,"code":"ENOENT","error":"no such job"})"
         "\n"},
        {true, {"cat", f}, 0, text},
        {true, {"cat", f, "max_bytes=3"}, 1, "", R"("ok":false)"},
        {true, {"cat", d.dir() + "/missing"}, 1, "", R"("ok":false)"},
        {true, {"ls", d.dir() + "/none"}, 1, "", R"("ok":false)"},
        {true, {"attach", "0123456789abcdef"}, 1, "", "no such pty job"},
        {false, {"-s", d.dir() + "/absent.sock", "ping"}, 2, "", "absent.sock"},
        {false, {"--token-file", d.dir() + "/none", "ping"}, 2, ""},
        {true, {"cat"}, 2, ""},
        {false, {}, 2, ""},
        {false, {"--bogus", "ping"}, 2, ""},
        {false, {"ping", "novalue"}, 2, ""},
        {false, {"cancel"}, 2, ""},
    };
    for (const auto& c : cases) {
        run_result_t r = run_program(argv(c.auth, c.words));
        EXPECT_EQ(r.status, c.status) << testing::PrintToString(c.words) << r.err;
        EXPECT_EQ(r.out, c.out);
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
        EXPECT_EQ(t.wait_exit_status(), 1) << t.screen;
        EXPECT_TRUE(t.screen.ends_with(end)) << t.screen;
    }
}

// Against a stand-in daemon: words that are whole JSON values travel as JSON, anything else
// as a string; a stream's events print one per line and its last one decides the exit status.
TEST(Vornctl, TypedArgumentsAndStreamEnd) {
    TestDaemon dir;  // not started: only its directory is used
    const std::string sock = dir.dir() + "/fake.sock";
    unique_fd fake = listen_at(sock);
    ASSERT_TRUE(fake);
    const std::vector<std::string> words = {
        "exec",         "n=5",        "neg=-1.5e3", "b=true",  "nil=null",      "arr=[1,\"x\"]", "obj={\"a\":{}}",
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
        EXPECT_EQ(req, R"({"id":"1","op":"exec","args":{"n":5,"neg":-1.5e3,"b":true,"nil":null,"arr":[1,"x"],)"
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
    EXPECT_NE(shell.screen.find("vornctl attach " + job_id), std::string::npos) << shell.screen;
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
    EXPECT_NE(sessions.out.find(job_id), std::string::npos) << sessions.out;
    EXPECT_NE(sessions.out.find("exited"), std::string::npos) << sessions.out;
}
