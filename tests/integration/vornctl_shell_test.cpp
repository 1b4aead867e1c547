// vornctl shell and attach driven the way a person uses them: on a terminal of their own
// (a pseudo-terminal this test holds the master of), typing keys and reading the screen.

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "harness.h"
#include "spawn.h"

namespace {

constexpr int SCREEN_WAIT_MS = 8000;

// vornctl running as the session leader of a fresh terminal of the given size.
class TerminalRun {
public:
    TerminalRun(std::vector<std::string> words, unsigned short rows, unsigned short cols) {
        words.insert(words.begin(), VORNCTL_BIN);
        std::vector<char*> argv;
        for (auto& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        struct winsize ws = {rows, cols, 0, 0};
        int master = -1;
        pid_ = forkpty(&master, nullptr, nullptr, &ws);  // the terminal becomes the child's own
        if (pid_ == 0) {
            execv(argv[0], argv.data());
            _exit(127);
        }
        master_.reset(master);
    }
    ~TerminalRun() {
        if (pid_ > 0) wait_exit(pid_, 0);  // kills it when still running
    }

    void resize(unsigned short rows, unsigned short cols) {
        struct winsize ws = {rows, cols, 0, 0};
        ioctl(master_.get(), TIOCSWINSZ, &ws);
    }
    void type(std::string_view keys) { write_full(master_.get(), keys.data(), keys.size()); }

    // Reads the screen until it shows `needle` after position `from`.
    bool wait_for(std::string_view needle, size_t from = 0) {
        while (screen_.find(needle, from) == std::string::npos)
            if (read_some() <= 0) return false;
        return true;
    }
    // Reads the screen to the terminal's end, then reaps vornctl: its exit status or -1.
    int wait_exit_status() {
        while (read_some() > 0) {
        }
        int st = wait_exit(pid_, SCREEN_WAIT_MS);
        pid_ = -1;
        return st;
    }
    const std::string& screen() const { return screen_; }

private:
    // >0 bytes read, 0 nothing for SCREEN_WAIT_MS, -1 the terminal is gone.
    int read_some() {
        struct pollfd p = {master_.get(), POLLIN, 0};
        if (poll(&p, 1, SCREEN_WAIT_MS) <= 0) return 0;
        char buf[4096];
        ssize_t r = read(master_.get(), buf, sizeof buf);
        if (r <= 0) return -1;
        screen_.append(buf, static_cast<size_t>(r));
        return static_cast<int>(r);
    }

    unique_fd master_;
    pid_t pid_ = -1;
    std::string screen_;
};

}  // namespace

TEST(VornctlShell, RunDetachAttachSeeEarlierOutputAndExit) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    TerminalRun shell({"-s", d.socket_path(), "shell"}, 33, 99);
    ASSERT_TRUE(shell.wait_for("detach with Ctrl-] then d")) << shell.screen();
    size_t at = shell.screen().find("session ");
    ASSERT_NE(at, std::string::npos);
    const std::string job_id = shell.screen().substr(at + 8, 16);

    // The window size went along on start; keys go through raw mode untouched.
    shell.type("stty size; echo m$((2+3))k\r");
    ASSERT_TRUE(shell.wait_for("33 99\r\nm5k")) << shell.screen();
    shell.type("\x1d");  // Ctrl-] alone sends nothing yet
    shell.type("d");
    EXPECT_EQ(shell.wait_exit_status(), 0) << shell.screen();
    EXPECT_NE(shell.screen().find("vornctl attach " + job_id), std::string::npos) << shell.screen();
    auto listed = [&](const std::string& what) {
        return d.call(R"({"id":"l","op":"pty_list"})").find(what) != std::string::npos;
    };
    EXPECT_TRUE(listed("{\"job_id\":\"" + job_id + "\""));
    EXPECT_TRUE(listed("\"exited\":false"));

    TerminalRun t({"-s", d.socket_path(), "attach", job_id}, 20, 60);
    ASSERT_TRUE(t.wait_for("m5k")) << t.screen();  // the earlier output, replayed
    size_t mark = t.screen().size();
    t.type("stty size; echo r$((1))z\r");
    ASSERT_TRUE(t.wait_for("20 60\r\nr1z", mark)) << t.screen();  // attach sends its own size

    t.resize(40, 120);  // SIGWINCH reaches vornctl, which resizes the session
    ASSERT_TRUE(eventually([&] { return listed("\"rows\":40,\"cols\":120,"); }));
    mark = t.screen().size();
    t.type("stty size; echo w$((2))z\r");
    ASSERT_TRUE(t.wait_for("40 120\r\nw2z", mark)) << t.screen();

    t.type("exit\r");
    EXPECT_EQ(t.wait_exit_status(), 0) << t.screen();
    EXPECT_NE(t.screen().find("shell exited with code 0"), std::string::npos) << t.screen();

    run_result_t sessions = run_program({VORNCTL_BIN, "-s", d.socket_path(), "sessions"});
    EXPECT_EQ(sessions.status, 0);
    EXPECT_NE(sessions.out.find(job_id), std::string::npos) << sessions.out;
    EXPECT_NE(sessions.out.find("exited"), std::string::npos) << sessions.out;

    run_result_t unknown = run_program({VORNCTL_BIN, "-s", d.socket_path(), "attach", "0123456789abcdef"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.err.find("no such pty job"), std::string::npos) << unknown.err;
}
