// vornctl shell and attach driven the way a person uses them: on a terminal of their own
// (a pseudo-terminal this test holds the master of), typing keys and reading the screen.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "harness.h"

namespace {

constexpr int SCREEN_WAIT_MS = 8000;

// vornctl running as the session leader of a fresh terminal of the given size.
class TerminalRun {
public:
    TerminalRun(const std::vector<std::string>& args, int rows, int cols) {
        master_.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
        if (!master_ || grantpt(master_.get()) != 0 || unlockpt(master_.get()) != 0) return;
        std::string slave = ptsname(master_.get());
        resize(rows, cols);
        std::vector<std::string> words = {VORNCTL_BIN};
        words.insert(words.end(), args.begin(), args.end());
        pid_ = fork();
        if (pid_ == 0) {
            setsid();
            int fd = open(slave.c_str(), O_RDWR);  // becomes the controlling terminal
            dup2(fd, 0);
            dup2(fd, 1);
            dup2(fd, 2);
            std::vector<char*> argv;
            for (auto& w : words) argv.push_back(w.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~TerminalRun() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool started() const { return pid_ > 0; }

    void resize(int rows, int cols) {
        struct winsize ws = {};
        ws.ws_row = static_cast<unsigned short>(rows);
        ws.ws_col = static_cast<unsigned short>(cols);
        ioctl(master_.get(), TIOCSWINSZ, &ws);
    }
    void type(std::string_view keys) { write_full(master_.get(), keys.data(), keys.size()); }

    // Reads the screen until it shows `needle` after position `from`.
    bool wait_for(std::string_view needle, size_t from = 0) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(SCREEN_WAIT_MS);
        while (screen_.find(needle, from) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline || read_some(100) < 0) return false;
        }
        return true;
    }
    // Waits for vornctl to end, reading the screen meanwhile; its exit status or -1.
    int wait_exit() {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(SCREEN_WAIT_MS);
        while (std::chrono::steady_clock::now() < deadline) {
            int st;
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = -1;
                while (read_some(50) > 0) {
                }
                return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
            }
            read_some(50);
        }
        return -1;
    }
    const std::string& screen() const { return screen_; }

private:
    // >0 bytes read, 0 nothing within `ms`, -1 the terminal is gone.
    int read_some(int ms) {
        struct pollfd p = {master_.get(), POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return 0;
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
    std::string job_id;
    {
        TerminalRun t({"-s", d.socket_path(), "shell"}, 33, 99);
        ASSERT_TRUE(t.started());
        ASSERT_TRUE(t.wait_for("detach with Ctrl-] then d")) << t.screen();
        size_t at = t.screen().find("session ");
        ASSERT_NE(at, std::string::npos);
        job_id = t.screen().substr(at + 8, 16);

        // The window size went along on start; keys go through raw mode untouched.
        t.type("stty size; echo m$((2+3))k\r");
        ASSERT_TRUE(t.wait_for("33 99\r\nm5k")) << t.screen();
        t.type("\x1d");  // Ctrl-] alone sends nothing yet
        t.type("d");
        EXPECT_EQ(t.wait_exit(), 0) << t.screen();
        EXPECT_NE(t.screen().find("vornctl attach " + job_id), std::string::npos) << t.screen();
    }
    std::string list = d.call(R"({"id":"l","op":"pty_list"})");
    EXPECT_NE(list.find("\"job_id\":\"" + job_id + "\""), std::string::npos) << list;
    EXPECT_NE(list.find("\"exited\":false"), std::string::npos) << list;

    TerminalRun t({"-s", d.socket_path(), "attach", job_id}, 20, 60);
    ASSERT_TRUE(t.started());
    ASSERT_TRUE(t.wait_for("m5k")) << t.screen();  // the earlier output, replayed
    size_t mark = t.screen().size();
    t.type("stty size; echo r$((1))z\r");
    ASSERT_TRUE(t.wait_for("20 60\r\nr1z", mark)) << t.screen();  // attach sends its own size

    t.resize(40, 120);  // SIGWINCH reaches vornctl, which resizes the session
    usleep(300 * 1000);
    mark = t.screen().size();
    t.type("stty size; echo w$((2))z\r");
    ASSERT_TRUE(t.wait_for("40 120\r\nw2z", mark)) << t.screen();

    t.type("exit\r");
    EXPECT_EQ(t.wait_exit(), 0) << t.screen();
    EXPECT_NE(t.screen().find("shell exited with code 0"), std::string::npos) << t.screen();

    std::string sessions;
    {
        TerminalRun s({"-s", d.socket_path(), "sessions"}, 24, 80);
        ASSERT_EQ(s.wait_exit(), 0);
        sessions = s.screen();
    }
    EXPECT_NE(sessions.find(job_id), std::string::npos) << sessions;
    EXPECT_NE(sessions.find("exited"), std::string::npos) << sessions;
}

TEST(VornctlShell, AttachToAnUnknownSessionFails) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    TerminalRun t({"-s", d.socket_path(), "attach", "0123456789abcdef"}, 24, 80);
    EXPECT_EQ(t.wait_exit(), 1);
    EXPECT_NE(t.screen().find("no such pty job"), std::string::npos) << t.screen();
}
