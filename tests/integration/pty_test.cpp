#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <string>
#include <thread>

#include "harness.h"

namespace {

constexpr int FRAME_WAIT_MS = 5000;

std::string b64(std::string_view s) {
    std::string out(b64_encoded_len(s.size()) + 1, '\0');
    out.resize(b64_encode(reinterpret_cast<const unsigned char*>(s.data()), s.size(), out.data()));
    return out;
}

std::string json_str(std::string_view s) {
    sb_t b;
    sb_json_escape(&b, s.data(), s.size());
    return "\"" + std::string(b.buf ? b.buf : "", b.len) + "\"";
}

// One pty or pty_attach stream on its own connection, read frame by frame.
struct PtyStream {
    unique_fd fd;
    std::string job_id, tty, out, last;
    int exit_code = INT_MIN;  // INT_MIN until an exit chunk arrives
    int out_chunks = 0;
    bool opened = false, done = false, failed = false;

    bool start(const TestDaemon& d, std::string_view op, std::string_view args) {
        fd = d.connect();
        return fd && vc_send(fd.get(), vc_request("s", op, args)) == 0;
    }
    // Reads one frame; false on timeout or a closed connection.
    bool next(int timeout_ms = FRAME_WAIT_MS) {
        struct pollfd p = {fd.get(), POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0 || vc_recv(fd.get(), &last) != 0) return false;
        std::string ev, data, type;
        vc_json_str(last, "event", &ev);
        if (ev == "done") done = true;
        if (ev == "error") failed = true;
        if (ev != "chunk" || !vc_json_raw(last, "data", &data)) return true;
        vc_json_str(data, "type", &type);
        if (type == "open") {
            opened = true;
            vc_json_str(data, "job_id", &job_id);
            vc_json_str(data, "tty", &tty);
        } else if (type == "out") {
            std::string text;
            vc_json_str(data, "b64", &text);
            std::string bytes(text.size(), '\0');
            ssize_t n = b64_decode(text.data(), text.size(), reinterpret_cast<unsigned char*>(bytes.data()),
                                   bytes.size());
            if (n > 0) out.append(bytes.data(), static_cast<size_t>(n));
            out_chunks++;
        } else if (type == "exit") {
            long long c = 0;
            vc_json_int(data, "exit_code", &c);
            exit_code = static_cast<int>(c);
        }
        return true;
    }
    bool wait_open() { return next() && opened; }
    bool wait_for(std::string_view needle) {
        while (out.find(needle) == std::string::npos)
            if (!next()) return false;
        return true;
    }
    bool wait_end() {
        while (!done && !failed)
            if (!next()) return false;
        return true;
    }
    // True when no frame arrives within `ms`.
    bool quiet_for(int ms) {
        struct pollfd p = {fd.get(), POLLIN, 0};
        return poll(&p, 1, ms) == 0;
    }
};

std::string call(const TestDaemon& d, std::string_view op, std::string_view args) {
    return d.call(vc_request("r", op, args));
}

std::string input(const TestDaemon& d, const std::string& id, std::string_view text) {
    return call(d, "pty_input", "{\"job_id\":" + json_str(id) + ",\"b64\":\"" + b64(text) + "\"}");
}

std::string with_id(const std::string& id, std::string_view more = "") {
    return "{\"job_id\":" + json_str(id) + std::string(more) + "}";
}

const char* const WRITTEN = R"({"id":"r","ok":true,"result":{"written":true}})";
const char* const CLOSED = R"({"id":"r","ok":true,"result":{"closed":true}})";
const char* const NO_SUCH_JOB = R"({"id":"r","ok":false,"code":"ENOENT","error":"no such job"})";

class Pty : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(d.start()); }
    TestDaemon d;
};

}  // namespace

TEST_F(Pty, ShellRunsInputExitsAndReplaysToLaterAttaches) {
    PtyStream s;
    ASSERT_TRUE(s.start(d, "pty", "{}"));
    ASSERT_TRUE(s.next());
    EXPECT_NE(s.last.find("\"event\":\"chunk\",\"job_id\":\"" + s.job_id + "\""), std::string::npos) << s.last;
    ASSERT_TRUE(s.opened) << s.last;
    EXPECT_EQ(s.job_id.size(), 16u);
    EXPECT_EQ(s.tty.rfind("/dev/pts/", 0), 0u) << s.tty;

    EXPECT_EQ(input(d, s.job_id, "echo a$((6*7))b\n"), WRITTEN);
    ASSERT_TRUE(s.wait_for("a42b")) << s.out;

    // A negative offset waits for output that never comes: only the exit arrives.
    PtyStream waiting;
    ASSERT_TRUE(waiting.start(d, "pty_attach", with_id(s.job_id, ",\"since\":-1")));
    ASSERT_TRUE(waiting.wait_open());
    EXPECT_TRUE(waiting.quiet_for(300));

    EXPECT_EQ(input(d, s.job_id, "exit\n"), WRITTEN);
    ASSERT_TRUE(s.wait_end());
    EXPECT_EQ(s.exit_code, 0);
    EXPECT_NE(s.last.find("\"event\":\"done\",\"ok\":true,\"exit_code\":0}"), std::string::npos) << s.last;
    ASSERT_TRUE(waiting.wait_end());
    EXPECT_EQ(waiting.exit_code, 0);
    EXPECT_EQ(waiting.out_chunks, 0);

    EXPECT_NE(call(d, "pty_list", "{}").find("\"job_id\":\"" + s.job_id + "\""), std::string::npos);
    EXPECT_NE(call(d, "pty_list", "{}").find("\"exited\":true}"), std::string::npos);

    PtyStream replay;
    ASSERT_TRUE(replay.start(d, "pty_attach", with_id(s.job_id, ",\"since\":0")));
    ASSERT_TRUE(replay.wait_end());
    EXPECT_TRUE(replay.opened);
    EXPECT_EQ(replay.job_id, s.job_id);
    EXPECT_EQ(replay.out, s.out);
    EXPECT_EQ(replay.exit_code, 0);

    PtyStream at_end;
    std::string since = ",\"since\":" + std::to_string(s.out.size());
    ASSERT_TRUE(at_end.start(d, "pty_attach", with_id(s.job_id, since)));
    ASSERT_TRUE(at_end.wait_end());
    EXPECT_EQ(at_end.out_chunks, 0);
    EXPECT_EQ(at_end.exit_code, 0);

    EXPECT_EQ(call(d, "pty_close", with_id(s.job_id)), CLOSED);
    EXPECT_EQ(call(d, "pty_close", with_id(s.job_id)), NO_SUCH_JOB);
    EXPECT_EQ(call(d, "pty_list", "{}"), R"({"id":"r","ok":true,"result":[]})");
}

TEST_F(Pty, ResizeShowsInTheTerminalAndTheList) {
    PtyStream s;
    ASSERT_TRUE(s.start(d, "pty", R"({"rows":30,"cols":100})"));
    ASSERT_TRUE(s.wait_open());
    input(d, s.job_id, "stty size; echo =S1=\n");
    ASSERT_TRUE(s.wait_for("30 100\r\n=S1=")) << s.out;

    EXPECT_EQ(call(d, "pty_resize", with_id(s.job_id, R"(,"rows":40,"cols":120)")),
              R"({"id":"r","ok":true,"result":{"resized":true}})");
    input(d, s.job_id, "stty size; echo =S2=\n");
    ASSERT_TRUE(s.wait_for("40 120\r\n=S2=")) << s.out;
    EXPECT_NE(call(d, "pty_list", "{}").find("\"rows\":40,\"cols\":120,"), std::string::npos);

    call(d, "pty_resize", with_id(s.job_id));  // defaults
    input(d, s.job_id, "stty size; echo =S3=\n");
    ASSERT_TRUE(s.wait_for("24 80\r\n=S3=")) << s.out;
    EXPECT_EQ(call(d, "pty_close", with_id(s.job_id)), CLOSED);
    ASSERT_TRUE(s.wait_end());
}

TEST_F(Pty, AttachAfterMoreThanTheRingStartsAtTheOldestByte) {
    PtyStream s;
    ASSERT_TRUE(s.start(d, "pty", "{}"));
    ASSERT_TRUE(s.wait_open());
    // 600000 bytes of x without line feeds, then a marker the echo of the command cannot show.
    input(d, s.job_id, "head -c 600000 /dev/zero | tr '\\0' x; echo; echo =E$((1+1))=\n");
    ASSERT_TRUE(s.wait_for("=E2=")) << s.out.size();
    while (!s.quiet_for(300)) ASSERT_TRUE(s.next());  // the prompt, then silence

    PtyStream late;
    ASSERT_TRUE(late.start(d, "pty_attach", with_id(s.job_id)));
    ASSERT_TRUE(late.wait_open());
    while (late.out.size() < 524288 && late.next()) {
    }
    EXPECT_EQ(late.out.size(), 524288u);
    EXPECT_TRUE(late.quiet_for(300));
    ASSERT_GE(s.out.size(), 524288u);
    EXPECT_EQ(late.out, s.out.substr(s.out.size() - 524288));
    EXPECT_EQ(call(d, "pty_close", with_id(s.job_id)), CLOSED);
}

TEST_F(Pty, CloseEndsEveryTailWithoutAnExitAndWaitsForThem) {
    PtyStream a, b;
    ASSERT_TRUE(a.start(d, "pty", "{}"));
    ASSERT_TRUE(a.wait_open());
    ASSERT_TRUE(b.start(d, "pty_attach", with_id(a.job_id)));
    ASSERT_TRUE(b.wait_open());
    EXPECT_EQ(call(d, "pty_close", with_id(a.job_id)), CLOSED);
    ASSERT_TRUE(a.wait_end());
    ASSERT_TRUE(b.wait_end());
    EXPECT_EQ(a.exit_code, INT_MIN);
    EXPECT_EQ(b.exit_code, INT_MIN);
    EXPECT_TRUE(a.done && b.done);
    EXPECT_EQ(call(d, "pty_close", with_id(a.job_id)), NO_SUCH_JOB);
}

TEST_F(Pty, CloseWaitsForATailStuckOnAFullSocketAndASecondCloseReturnsAtOnce) {
    PtyStream s;
    ASSERT_TRUE(s.start(d, "pty", "{}"));
    ASSERT_TRUE(s.wait_open());
    input(d, s.job_id, "yes\n");  // floods the stream; this client stops reading
    usleep(500 * 1000);

    std::atomic<bool> first_done{false};
    std::string first;
    std::thread closer([&] {
        first = call(d, "pty_close", with_id(s.job_id));
        first_done = true;
    });
    // A closing session leaves the list at once, while the close itself still waits.
    std::string list;
    for (int i = 0; i < 100 && list != R"({"id":"r","ok":true,"result":[]})"; i++, usleep(50 * 1000))
        list = call(d, "pty_list", "{}");
    ASSERT_EQ(list, R"({"id":"r","ok":true,"result":[]})");
    usleep(200 * 1000);
    EXPECT_FALSE(first_done.load());
    EXPECT_EQ(call(d, "pty_close", with_id(s.job_id)), CLOSED);  // already closing
    s.fd.reset();  // the stuck tail's write fails; it releases, and the close completes
    closer.join();
    EXPECT_EQ(first, CLOSED);
    EXPECT_EQ(call(d, "pty_close", with_id(s.job_id)), NO_SUCH_JOB);
}

TEST_F(Pty, ErrorsOfInputResizeCloseAndAttach) {
    EXPECT_EQ(call(d, "pty_list", "{}"), R"({"id":"r","ok":true,"result":[]})");
    const std::string ereq_input = R"({"id":"r","ok":false,"code":"EREQ","error":"job_id and b64 required"})";
    EXPECT_EQ(call(d, "pty_input", R"({"b64":"eA=="})"), ereq_input);
    EXPECT_EQ(call(d, "pty_input", R"({"job_id":"0123456789abcdef"})"), ereq_input);
    EXPECT_EQ(call(d, "pty_input", R"({"job_id":"0123456789abcdef","b64":"!!"})"),
              R"({"id":"r","ok":false,"code":"EBADREQ","error":"bad base64"})");
    EXPECT_EQ(call(d, "pty_input", R"({"job_id":"0123456789abcdef","b64":"eA=="})"),
              R"({"id":"r","ok":false,"code":"ENOENT","error":"no such pty job"})");
    EXPECT_EQ(call(d, "pty_resize", "{}"), R"({"id":"r","ok":false,"code":"EREQ","error":"job_id required"})");
    EXPECT_EQ(call(d, "pty_resize", R"({"job_id":"0123456789abcdef"})"),
              R"({"id":"r","ok":false,"code":"ENOENT","error":"no such pty job"})");
    EXPECT_EQ(call(d, "pty_close", "{}"), R"({"id":"r","ok":false,"code":"EREQ","error":"job_id required"})");
    EXPECT_EQ(call(d, "pty_close", R"({"job_id":"0123456789abcdef"})"), NO_SUCH_JOB);

    PtyStream a;
    ASSERT_TRUE(a.start(d, "pty_attach", R"({"job_id":"0123456789abcdef"})"));
    ASSERT_TRUE(a.next());
    EXPECT_EQ(a.last, R"({"id":"s","event":"error","ok":false,"code":"ENOENT","error":"no such pty job"})");
    PtyStream none;
    ASSERT_TRUE(none.start(d, "pty_attach", "{}"));
    ASSERT_TRUE(none.next());
    EXPECT_TRUE(none.failed);
}

TEST(PtyShells, AllowListAndResolution) {
    TestDaemon d;
    d.write_config("[pty]\nallow = /bin/bash, " + d.dir() + ", /no/such/shell, no-such-shell-xyz\n");
    ASSERT_TRUE(d.start());
    auto first_frame = [&](std::string_view args) {
        PtyStream s;
        if (!s.start(d, "pty", args) || !s.next()) return std::string("(nothing)");
        return s.last;
    };
    EXPECT_NE(first_frame("{}").find(R"("code":"EFORBIDDEN","error":"cmd not in pty allowlist")"), std::string::npos);
    EXPECT_NE(first_frame(R"({"cmd":"/bin/dash"})").find("EFORBIDDEN"), std::string::npos);
    EXPECT_NE(first_frame(R"({"cmd":"/no/such/shell"})").find(R"("code":"ENOENT","error":"shell not executable")"),
              std::string::npos);
    EXPECT_NE(first_frame(R"({"cmd":"no-such-shell-xyz"})").find(R"("code":"ENOENT","error":"shell not found")"),
              std::string::npos);

    // A path that passes the check but cannot be executed (a directory): open, exit 127, done.
    PtyStream s;
    ASSERT_TRUE(s.start(d, "pty", "{\"cmd\":" + json_str(d.dir()) + "}"));
    ASSERT_TRUE(s.wait_end());
    EXPECT_TRUE(s.opened);
    EXPECT_EQ(s.exit_code, 127);
    EXPECT_TRUE(s.done);
    EXPECT_EQ(call(d, "pty_close", with_id(s.job_id)), CLOSED);
    // Failed starts gave their slots back: the table is empty again.
    EXPECT_EQ(call(d, "pty_list", "{}"), R"({"id":"r","ok":true,"result":[]})");
}

TEST(PtyShells, EnvironmentArgumentsAndNoLeakedDescriptors) {
    TestDaemon d;
    std::string saved_term = getenv("TERM") ? getenv("TERM") : "";
    unsetenv("TERM");  // the daemon inherits this environment; the shell gets the default TERM
    bool started = d.start();
    if (!saved_term.empty()) setenv("TERM", saved_term.c_str(), 1);
    ASSERT_TRUE(started);
    PtyStream s;
    // Request strings reach the shell as their raw JSON text, so the script needs no escapes.
    const char* script =
        "echo =$TERM=$ENV=$PWD=$SHELL=$0=$(pwd)=; "
        "echo sockets=$(ls -l /proc/$$/fd | grep -c socket); exit 3";
    ASSERT_TRUE(s.start(d, "pty", std::string(R"({"argv":["-c",)") + json_str(script) +
                                      R"(,"zero"],"shell_env":"/bin/fancy-sh"})"));
    ASSERT_TRUE(s.wait_end());
    EXPECT_NE(s.out.find("=xterm-256color=/opt/vorn/etc/vornd/shellrc.sh=/=/bin/fancy-sh=zero=/="),
              std::string::npos)
        << s.out;
    EXPECT_NE(s.out.find("sockets=0"), std::string::npos) << s.out;
    EXPECT_EQ(s.exit_code, 3);
    EXPECT_NE(s.last.find("\"exit_code\":0"), std::string::npos);  // done is 0 whatever the shell said

    // shell_env that is not an absolute path is dropped: SHELL stays the daemon's.
    PtyStream r;
    ASSERT_TRUE(r.start(d, "pty", R"({"argv":["-c","echo =${SHELL-unset}="],"shell_env":"fancy"})"));
    ASSERT_TRUE(r.wait_end());
    std::string daemon_shell = getenv("SHELL") ? getenv("SHELL") : "unset";
    EXPECT_NE(r.out.find("=" + daemon_shell + "="), std::string::npos) << r.out;
}

TEST_F(Pty, KilledShellReportsMinusNineAndStaysListed) {
    PtyStream s;
    ASSERT_TRUE(s.start(d, "pty", "{}"));
    ASSERT_TRUE(s.wait_open());
    input(d, s.job_id, "echo P$((1))D=$$; echo E$((2))ND\n");
    ASSERT_TRUE(s.wait_for("E2ND"));
    size_t at = s.out.find("P1D=");
    ASSERT_NE(at, std::string::npos);
    pid_t pid = static_cast<pid_t>(atoi(s.out.c_str() + at + 4));
    ASSERT_GT(pid, 1);
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    ASSERT_TRUE(s.wait_end());
    EXPECT_EQ(s.exit_code, -9);
    EXPECT_NE(call(d, "pty_list", "{}").find("\"exited\":true"), std::string::npos);
    // The reaped shell's number is never signalled again: cancelling now only raises the flag.
    EXPECT_EQ(call(d, "_cancel", with_id(s.job_id)), R"({"id":"r","ok":true,"result":{"cancelled":true}})");
    EXPECT_EQ(call(d, "pty_close", with_id(s.job_id)), CLOSED);
}

TEST_F(Pty, CancelStopsTheShellButKeepsTheSessionUntilClosed) {
    PtyStream s;
    ASSERT_TRUE(s.start(d, "pty", "{}"));
    ASSERT_TRUE(s.wait_open());
    EXPECT_EQ(call(d, "_cancel", with_id(s.job_id)), R"({"id":"r","ok":true,"result":{"cancelled":true}})");
    ASSERT_TRUE(s.wait_end());
    EXPECT_TRUE(s.done);
    EXPECT_EQ(s.exit_code, INT_MIN);  // a cancelled tail ends without the exit chunk
    std::string list;
    for (int i = 0; i < 50 && list.find("\"exited\":true") == std::string::npos; i++, usleep(100 * 1000))
        list = call(d, "pty_list", "{}");
    EXPECT_NE(list.find("\"job_id\":\"" + s.job_id + "\""), std::string::npos) << list;
    EXPECT_NE(list.find("\"exited\":true"), std::string::npos) << list;

    PtyStream late;
    ASSERT_TRUE(late.start(d, "pty_attach", with_id(s.job_id)));
    ASSERT_TRUE(late.wait_end());
    EXPECT_TRUE(late.opened);
    EXPECT_EQ(late.out_chunks, 0);
    EXPECT_EQ(call(d, "pty_close", with_id(s.job_id)), CLOSED);
}

// Sessions that a lister learns of and closes as soon as they appear, while their creating
// streams are still starting: the creator's tail must never run on a freed session.
TEST_F(Pty, CloseRacingTheCreatingStreamIsSafe) {
    std::atomic<bool> stop{false};
    std::atomic<int> closed{0};
    std::thread closer([&] {
        while (!stop) {
            std::string list = call(d, "pty_list", "{}");
            for (size_t at = list.find("\"job_id\":\""); at != std::string::npos;
                 at = list.find("\"job_id\":\"", at + 1)) {
                if (call(d, "pty_close", with_id(list.substr(at + 10, 16))) == CLOSED) closed++;
            }
        }
    });
    for (int i = 0; i < 15; i++) {
        PtyStream s;
        ASSERT_TRUE(s.start(d, "pty", "{}"));
        ASSERT_TRUE(s.wait_end()) << s.last;
        EXPECT_TRUE(s.done);
    }
    stop = true;
    closer.join();
    EXPECT_GT(closed.load(), 0);
    EXPECT_EQ(d.stop(), 0);
}
