// PTY sessions over the wire: a shell's life, replays to late attaches, flow control between
// the shell and its readers, the allow-list, and closes racing the streams.
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <future>
#include <thread>

#include "base/b64.h"
#include "base/fdio.h"
#include "host_util.h"
#include "spawn.h"

namespace {

constexpr int FRAME_WAIT_MS = 5000;
constexpr size_t RING_BYTES = 524288;  // output a session keeps for later attaches

// One pty or pty_attach stream on its own connection, read frame by frame.
struct PtyStream {
    unique_fd fd;
    std::string job_id, out, last, end;  // job_id: from the open chunk; end: "done" or "error"
    int exit_code = INT_MIN;             // INT_MIN until an exit chunk arrives

    bool start(const TestDaemon& d, std::string_view op, std::string_view args) {
        fd = d.connect();
        return fd && vc_send(fd.get(), vc_request("s", op, args)) == 0;
    }
    // Reads one frame; false on timeout or a closed connection.
    bool next(int timeout_ms = FRAME_WAIT_MS) {
        if (!recv_within(fd.get(), &last, timeout_ms)) return false;
        std::string ev = json_event(last), data = json_member(last, "data"), type, b64;
        if (end.empty() && (ev == "done" || ev == "error")) end = ev;
        vc_json_str(data, "type", &type);
        if (type == "open") vc_json_str(data, "job_id", &job_id);
        if (type == "out" && vc_json_str(data, "b64", &b64)) {
            std::string bytes(b64.size(), '\0');
            ssize_t n = b64_decode(b64.data(), b64.size(), reinterpret_cast<unsigned char*>(bytes.data()),
                                   bytes.size());
            out.append(bytes.data(), n > 0 ? static_cast<size_t>(n) : 0);
        }
        long long c = 0;
        if (type == "exit" && vc_json_int(data, "exit_code", &c)) exit_code = static_cast<int>(c);
        return true;
    }
    bool wait_open() { return next() && !job_id.empty(); }
    bool wait_for(std::string_view needle) {
        while (out.find(needle) == std::string::npos)
            if (!next()) return false;
        return true;
    }
    // Reads to the end of the stream: true when it ended with "done".
    bool wait_end() {
        while (end.empty())
            if (!next()) return false;
        return end == "done";
    }
};

std::string call(const TestDaemon& d, std::string_view op, std::string_view args) { return d.call(req(op, args)); }

// Session ids are hex, so they need no escaping.
std::string with_id(const std::string& id, std::string_view more = "") {
    return "{\"job_id\":\"" + id + "\"" + std::string(more) + "}";
}

std::string input(const TestDaemon& d, const std::string& id, std::string_view text) {
    std::string b64(b64_encoded_len(text.size()) + 1, '\0');
    b64.resize(b64_encode(reinterpret_cast<const unsigned char*>(text.data()), text.size(), b64.data()));
    return call(d, "pty_input", with_id(id, ",\"b64\":\"" + b64 + "\""));
}

const std::string WRITTEN = ok(R"({"written":true})"), CLOSED = ok(R"({"closed":true})"),
                  CANCELLED = ok(R"({"cancelled":true})"), RESIZED = ok(R"({"resized":true})");
const std::string NO_SESSIONS = ok("[]"), NO_SUCH_JOB = err("ENOENT", "no such job");

// The number after `tag` in the shell's output (the typed command's echo shows `tag` before a '$').
pid_t number_after(const std::string& out, const std::string& tag) {
    for (size_t at = out.find(tag); at != std::string::npos; at = out.find(tag, at + 1))
        if (isdigit(static_cast<unsigned char>(out[at + tag.size()]))) return atoi(out.c_str() + at + tag.size());
    return 0;
}

// Whether process `pid` still runs (a zombie does not count) as `comm`.
bool runs_as(pid_t pid, const std::string& comm) {
    std::string stat;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    if (!std::getline(in, stat)) return false;
    size_t close = stat.rfind(')');
    return close != std::string::npos && stat.compare(stat.find('(') + 1, comm.size() + 1, comm + ")") == 0 &&
           stat[close + 2] != 'Z';
}

class Pty : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(d.start()); }
    TestDaemon d;
};

}  // namespace

TEST_F(Pty, ShellRunsInputResizesExitsAndReplaysToLaterAttaches) {
    PtyStream s;
    ASSERT_TRUE(s.start(d, "pty", R"({"rows":30,"cols":100})"));
    ASSERT_TRUE(s.wait_open()) << s.last;  // the first frame
    const std::string id = "\"job_id\":\"" + s.job_id + "\"";
    EXPECT_EQ(s.last.rfind(R"({"id":"s","event":"chunk",)" + id + R"(,"data":{"type":"open",)" + id +
                               R"(,"tty":"/dev/pts/)",
                           0),
              0u)
        << s.last;

    // The size from the request, then from each resize (the defaults when it gives none).
    const std::pair<const char*, std::string> sizes[] = {
        {nullptr, "30 100"}, {R"(,"rows":40,"cols":120)", "40 120"}, {"", "24 80"}};
    int mark = 0;
    for (const auto& [resize, size] : sizes) {
        EXPECT_EQ(resize ? call(d, "pty_resize", with_id(s.job_id, resize)) : RESIZED, RESIZED);
        std::string m = "=S" + std::to_string(++mark) + "=";  // the typed line's echo never has a size before it
        EXPECT_EQ(input(d, s.job_id, "stty size; echo " + m + "\n"), WRITTEN);
        ASSERT_TRUE(s.wait_for(size + "\r\n" + m)) << s.out;
    }

    // Input beyond one request's 8191 base64 characters is refused whole: the shell gets none of it.
    const std::string big = "echo =BIG=\n" + std::string(6150 - 11, ' ');  // 8200 characters
    EXPECT_EQ(input(d, s.job_id, big), err("EBADREQ", "b64 too long"));
    EXPECT_EQ(input(d, s.job_id, "echo =A$((1+1))=\n"), WRITTEN);
    ASSERT_TRUE(s.wait_for("=A2=")) << s.out;
    EXPECT_EQ(s.out.find("=BIG="), std::string::npos);

    // More than the ring holds, without line feeds, then a marker the command's echo cannot show.
    EXPECT_EQ(input(d, s.job_id, "head -c 600000 /dev/zero | tr '\\0' x; echo; echo =E$((1+1))=\n"), WRITTEN);
    ASSERT_TRUE(s.wait_for("=E2=")) << s.out.size();
    while (s.next(300)) {  // the prompt, then silence
    }

    // A negative offset waits for output that never comes: only the exit arrives.
    PtyStream waiting;
    ASSERT_TRUE(waiting.start(d, "pty_attach", with_id(s.job_id, ",\"since\":-1")));
    ASSERT_TRUE(waiting.wait_open());
    EXPECT_FALSE(waiting.next(300));

    EXPECT_EQ(input(d, s.job_id, "exit\n"), WRITTEN);
    ASSERT_TRUE(s.wait_end());
    EXPECT_EQ(s.exit_code, 0);
    EXPECT_NE(s.last.find("\"event\":\"done\",\"ok\":true,\"exit_code\":0}"), std::string::npos) << s.last;
    ASSERT_TRUE(waiting.wait_end());
    EXPECT_EQ(waiting.exit_code, 0);
    EXPECT_EQ(waiting.out, "");

    // From 0 (the default) a late attach replays from the oldest byte the ring holds; from the total, only the exit.
    ASSERT_GE(s.out.size(), RING_BYTES);
    const size_t oldest = s.out.size() - RING_BYTES, total = s.out.size();
    const std::pair<std::string, size_t> attaches[] = {
        {"", oldest}, {",\"since\":0", oldest}, {",\"since\":" + std::to_string(total), total}};
    for (const auto& [since, from] : attaches) {
        PtyStream late;
        ASSERT_TRUE(late.start(d, "pty_attach", with_id(s.job_id, since)));
        ASSERT_TRUE(late.wait_end());
        EXPECT_EQ(late.job_id, s.job_id);  // set by the open chunk
        EXPECT_EQ(late.out, s.out.substr(from));
        EXPECT_EQ(late.exit_code, 0);
    }
    EXPECT_EQ(call(d, "pty_close", with_id(s.job_id)), CLOSED);

    // Once closed, the session is gone for every operation; requests missing what they need are refused first.
    const std::string no_pty = err("ENOENT", "no such pty job"),
                      no_pty_event =
                          R"({"id":"r","event":"error","ok":false,"code":"ENOENT","error":"no such pty job"})";
    const struct {
        const char* op;
        std::string args, reply;
    } gone[] = {
        {"pty_input", R"({"b64":"eA=="})", err("EREQ", "job_id and b64 required")},
        {"pty_input", with_id(s.job_id), err("EREQ", "job_id and b64 required")},
        {"pty_input", with_id(s.job_id, R"(,"b64":"!!")"), err("EBADREQ", "bad base64")},
        {"pty_input", with_id(s.job_id, R"(,"b64":"eA==")"), no_pty},
        {"pty_resize", "{}", err("EREQ", "job_id required")},
        {"pty_resize", with_id(s.job_id), no_pty},
        {"pty_close", "{}", err("EREQ", "job_id required")},
        {"pty_close", with_id(s.job_id), NO_SUCH_JOB},
        {"pty_attach", with_id(s.job_id), no_pty_event},
        {"pty_attach", "{}", no_pty_event},
        {"pty_list", "{}", NO_SESSIONS},
    };
    for (const auto& w : gone) EXPECT_EQ(call(d, w.op, w.args), w.reply) << w.op << " " << w.args;
}

// A tail stuck on a client that stopped reading holds the shell back a ring's worth behind while
// input still answers. A close leaves the list at once, ends every tail without an exit chunk and
// returns once all have let go, the stuck one too; a second close meanwhile returns at once.
TEST_F(Pty, StuckTailHoldsTheShellBackAndCloseWaitsForIt) {
    PtyStream stuck, reading;
    ASSERT_TRUE(stuck.start(d, "pty", "{}"));
    ASSERT_TRUE(stuck.wait_open());
    ASSERT_TRUE(reading.start(d, "pty_attach", with_id(stuck.job_id)));
    ASSERT_TRUE(reading.wait_open());
    input(d, stuck.job_id, "yes\n");  // floods both streams; `stuck` is never read again
    while (reading.out.size() < 8 * RING_BYTES && reading.next(500)) {  // until the output stops
    }
    EXPECT_GE(reading.out.size(), RING_BYTES);
    EXPECT_LT(reading.out.size(), 8 * RING_BYTES) << "not held back";
    EXPECT_EQ(input(d, stuck.job_id, "x"), WRITTEN);
    EXPECT_FALSE(reading.next(300));

    auto first = std::async(std::launch::async, [&] { return call(d, "pty_close", with_id(stuck.job_id)); });
    EXPECT_TRUE(eventually([&] { return call(d, "pty_list", "{}") == NO_SESSIONS; }));
    EXPECT_TRUE(reading.wait_end());
    EXPECT_EQ(reading.exit_code, INT_MIN);
    // A close that did not wait for the stuck tail would be back by now.
    EXPECT_EQ(first.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    EXPECT_EQ(call(d, "pty_close", with_id(stuck.job_id)), CLOSED);  // already closing
    stuck.fd.reset();  // the stuck tail's write fails; it lets go, and the close completes
    EXPECT_EQ(first.get(), CLOSED);
    EXPECT_EQ(call(d, "pty_close", with_id(stuck.job_id)), NO_SUCH_JOB);
}

// A client slower than the shell misses nothing, its tail holding the shell back a ring's worth
// behind; input, resize and close answer meanwhile, and a close ends such a tail.
TEST_F(Pty, SlowReaderGetsEveryByteInOrderWhileInputResizeAndCloseAnswer) {
    std::string content(4u << 20, '\0');  // printable, no line feed: the terminal passes it as it is
    for (size_t i = 0; i < content.size(); i++) content[i] = static_cast<char>('!' + (i * 7 + i / 4093) % 90);
    const std::string file = d.dir() + "/big.txt";
    ASSERT_TRUE(write_file(file, content));
    const std::string args = R"({"cmd":"/bin/sh","argv":["-c","stty -echo; exec cat )" + file + "\"]}";
    // Sleeps 50 ms after every 8 frames (64 KiB of output at most): far slower than cat.
    auto read_slowly = [](PtyStream* s, size_t until) {
        for (int frames = 1; s->out.size() < until && s->end.empty(); frames++) {
            if (!s->next()) return false;
            if (frames % 8 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return true;
    };

    for (bool by_close : {false, true}) {
        SCOPED_TRACE(by_close ? "closed while reading" : "read to the end");
        PtyStream s;
        ASSERT_TRUE(s.start(d, "pty", args));
        ASSERT_TRUE(s.wait_open());
        ASSERT_TRUE(read_slowly(&s, 1u << 20));
        EXPECT_EQ(call(d, "pty_resize", with_id(s.job_id, R"(,"rows":30,"cols":90)")), RESIZED);
        EXPECT_EQ(input(d, s.job_id, "ignored"), WRITTEN);  // cat reads its file, the echo is off
        // Closed while the client reads on, or once the stream has ended (deferred to get()).
        auto closing = std::async(by_close ? std::launch::async : std::launch::deferred,
                                  [&] { return call(d, "pty_close", with_id(s.job_id)); });
        ASSERT_TRUE(read_slowly(&s, SIZE_MAX));
        EXPECT_EQ(closing.get(), CLOSED);
        EXPECT_EQ(s.end, "done");
        EXPECT_EQ(s.exit_code, by_close ? INT_MIN : 0);  // a close ends the tail without an exit
        const std::string want = by_close ? content.substr(0, s.out.size()) : content;
        EXPECT_TRUE(s.out == want) << s.out.size() << " bytes, first difference at "
                                   << std::mismatch(s.out.begin(), s.out.end(), want.begin()).first - s.out.begin();
    }
}

// Held back only until the write times out: then the deaf client's connection ends without "done".
TEST(PtyFlow, ClientThatStopsReadingIsDroppedAfterTheSendTimeoutAndTheShellGoesOn) {
    TestDaemon d;
    ASSERT_TRUE(d.start("--send-timeout-ms 1000"));
    PtyStream deaf, live;
    ASSERT_TRUE(deaf.start(d, "pty",
                           R"({"cmd":"/bin/sh","argv":["-c","stty -echo; echo ready; read go; )"
                           R"(head -c 3000000 /dev/zero | tr -c x x; echo; echo =DONE=; exec cat"]})"));
    ASSERT_TRUE(deaf.wait_open());  // and never read again
    ASSERT_TRUE(live.start(d, "pty_attach", with_id(deaf.job_id)));
    ASSERT_TRUE(live.wait_for("ready\r\n"));
    EXPECT_EQ(input(d, deaf.job_id, "go\n"), WRITTEN);
    while (live.out.size() < RING_BYTES) ASSERT_TRUE(live.next()) << live.out.size();
    EXPECT_EQ(call(d, "pty_resize", with_id(deaf.job_id)), RESIZED);
    ASSERT_TRUE(live.wait_for("=DONE=\r\n")) << live.out.size();
    EXPECT_TRUE(live.out == "ready\r\n" + std::string(3000000, 'x') + "\r\n=DONE=\r\n") << live.out.size();

    while (deaf.next()) {  // what its socket still held, then the end of the connection
    }
    EXPECT_EQ(deaf.end, "");
    EXPECT_EQ(input(d, deaf.job_id, "still here\n"), WRITTEN);  // cat echoes it back
    EXPECT_TRUE(live.wait_for("still here\r\n"));
    EXPECT_EQ(call(d, "pty_close", with_id(deaf.job_id)), CLOSED);
}

TEST(PtyShells, AllowListResolutionEnvironmentAndNoLeakedDescriptors) {
    TestDaemon d;
    d.write_config("[pty]\nallow = /bin/bash, " + d.dir() + ", /no/such/shell, no-such-shell-xyz\n");
    // The daemon inherits this environment: without TERM the shell gets the default one; SHELL
    // is fixed because bash fills in the login shell when it finds none.
    const std::string saved_term = getenv("TERM") ? getenv("TERM") : "",
                      saved_shell = getenv("SHELL") ? getenv("SHELL") : "";
    unsetenv("TERM");
    setenv("SHELL", "/bin/daemons-sh", 1);
    bool started = d.start();
    if (!saved_term.empty()) setenv("TERM", saved_term.c_str(), 1);
    if (saved_shell.empty()) unsetenv("SHELL");
    else setenv("SHELL", saved_shell.c_str(), 1);
    ASSERT_TRUE(started);
    const std::pair<const char*, const char*> refused[] = {
        // error events, after the slot's job_id
        {"{}", R"(,"ok":false,"code":"EFORBIDDEN","error":"cmd not in pty allowlist"})"},
        {R"({"cmd":"/bin/dash"})", R"(,"ok":false,"code":"EFORBIDDEN","error":"cmd not in pty allowlist"})"},
        {R"({"cmd":"/no/such/shell"})", R"(,"ok":false,"code":"ENOENT","error":"shell not executable"})"},
        {R"({"cmd":"no-such-shell-xyz"})", R"(,"ok":false,"code":"ENOENT","error":"shell not found"})"},
        {R"({"cmd":"/bin/bash","argv":["1","2","3","4","5","6","7","8","9","10","11","12","13","14","15","16"]})",
         R"(,"ok":false,"code":"EBADREQ","error":"too many arguments"})"},
    };
    for (auto [args, error] : refused) {
        std::string frame = call(d, "pty", args), head = R"({"id":"r","event":"error","job_id":")";
        EXPECT_TRUE(frame.rfind(head, 0) == 0 && frame.substr(head.size() + 17) == error) << frame;
    }

    // A listed path that cannot be executed (a directory) exits 127; strings reach the shell as their
    // raw JSON text; no signal is ignored or blocked; a relative shell_env leaves the daemon's SHELL.
    const struct {
        std::string args;
        int exit_code;
        std::string shown;
    } runs[] = {
        {"{\"cmd\":\"" + d.dir() + "\"}", 127, ""},
        {R"({"cmd":"/bin/bash","argv":["-c","echo =$TERM=$ENV=$PWD=$SHELL=$0=$(pwd)=; )"
         R"(grep -E '^Sig(Blk|Ign)' /proc/self/status; echo sockets=$(ls -l /proc/$$/fd | grep -c socket); )"
         R"(exit 3","zero"],"shell_env":"/bin/fancy-sh"})",
         3,
         "=xterm-256color=/opt/vorn/etc/vornd/shellrc.sh=/=/bin/fancy-sh=zero=/=\r\n"
         "SigBlk:\t0000000000000000\r\nSigIgn:\t0000000000000000\r\nsockets=0\r\n"},
        {R"({"cmd":"/bin/bash","argv":["-c","echo =${SHELL-unset}="],"shell_env":"fancy"})", 0, "=/bin/daemons-sh="},
    };
    for (const auto& w : runs) {
        PtyStream s;
        ASSERT_TRUE(s.start(d, "pty", w.args));
        ASSERT_TRUE(s.wait_end()) << w.args;
        EXPECT_EQ(s.exit_code, w.exit_code) << w.args;
        EXPECT_NE(s.out.find(w.shown), std::string::npos) << s.out;
        EXPECT_NE(s.last.find("\"exit_code\":0"), std::string::npos);  // done is 0 whatever the shell said
        EXPECT_EQ(call(d, "pty_close", with_id(s.job_id)), CLOSED);
    }
    // Failed starts gave their slots back: the table is empty again.
    EXPECT_EQ(call(d, "pty_list", "{}"), NO_SESSIONS);
}

// Started with a bare environment, the daemon gives shells and programs HOME, USER, LOGNAME and SHELL from
// its user's passwd entry, keeps one already set, and hands on no NOTIFY_SOCKET (whose manager, not there,
// costs nothing either).
TEST(PtyShells, LoginVariablesFromThePasswdEntryAndNoNotifySocket) {
    const struct passwd* pw = getpwuid(geteuid());
    ASSERT_NE(pw, nullptr);
    const std::string user = pw->pw_name, shell = pw->pw_shell[0] ? pw->pw_shell : "/bin/sh";
    const std::string want = "HOME=/kept\nLOGNAME=" + user + "\nSHELL=" + shell + "\nUSER=" + user + "\n";
    TestDaemon d;
    d.write_config("[pty]\nallow = /bin/bash\n[exec]\nallow = sh\n");
    d.set_environment({"PATH=/usr/bin:/bin", "HOME=/kept", "NOTIFY_SOCKET=@vornd-test-nobody-listens"});
    ASSERT_TRUE(d.start());
    const std::string args =
        R"({"cmd":"sh","argv":["-c","env | grep -E '^(HOME|USER|LOGNAME|SHELL|NOTIFY_SOCKET)=' | sort"]})";
    std::string program;
    for (const std::string& f : StreamReader(d, req("exec", args)).until_end()) {
        std::string text;
        if (vc_json_str(json_member(f, "data"), "text", &text)) program += text + "\n";
    }
    EXPECT_EQ(program, want);
    PtyStream s;
    ASSERT_TRUE(s.start(d, "pty", R"({"cmd":"/bin/bash",)" + args.substr(args.find("\"argv\""))));
    ASSERT_TRUE(s.wait_end()) << s.last;
    s.out.erase(std::remove(s.out.begin(), s.out.end(), '\r'), s.out.end());
    EXPECT_EQ(s.out, want);
}

// A killed or cancelled shell's stream ends with the exit chunk (the signal) before "done"; the session
// stays listed until closed, replays its output and exit to a later attach, and refuses input.
TEST_F(Pty, KilledOrCancelledShellStaysListedUntilClosed) {
    for (bool by_cancel : {false, true}) {
        SCOPED_TRACE(by_cancel ? "cancelled" : "killed");
        PtyStream s;
        ASSERT_TRUE(s.start(d, "pty", "{}"));
        ASSERT_TRUE(s.wait_open());
        EXPECT_EQ(input(d, s.job_id, "echo =C$((1+2))=\n"), WRITTEN);
        ASSERT_TRUE(s.wait_for("=C3="));
        EXPECT_EQ(by_cancel ? call(d, "_cancel", with_id(s.job_id)) : input(d, s.job_id, "kill -9 $$\n"),
                  by_cancel ? CANCELLED : WRITTEN);
        ASSERT_TRUE(s.wait_end());
        EXPECT_EQ(s.exit_code, by_cancel ? -SIGHUP : -9);  // the interactive shell ignores the SIGTERM
        EXPECT_TRUE(eventually([&] {
            std::string list = call(d, "pty_list", "{}");
            return has(list, s.job_id) && has(list, "\"exited\":true");
        }));

        PtyStream late;
        ASSERT_TRUE(late.start(d, "pty_attach", with_id(s.job_id)));
        ASSERT_TRUE(late.wait_end());
        EXPECT_EQ(late.job_id, s.job_id);
        EXPECT_EQ(late.out, s.out);
        EXPECT_EQ(late.exit_code, s.exit_code);
        EXPECT_EQ(input(d, s.job_id, "echo\n"), err("ENOENT", "session has ended"));
        // The reaped shell's number is never signalled again: cancelling now only raises the flag.
        EXPECT_EQ(call(d, "_cancel", with_id(s.job_id)), CANCELLED);
        EXPECT_EQ(call(d, "pty_close", with_id(s.job_id)), CLOSED);
    }
}

// Closing a session, or stopping the daemon, hangs up every process group in it: dash does not pass the
// hang-up on to its background job, which must still end; a nohup'ed one lives on, as on a terminal.
TEST(PtyHangUp, CloseAndStopEndBackgroundJobsButNotNohupedOnes) {
    for (bool by_stop : {false, true}) {
        SCOPED_TRACE(by_stop ? "daemon stopped" : "session closed");
        TestDaemon d;
        ASSERT_TRUE(d.start());
        PtyStream s;
        ASSERT_TRUE(s.start(d, "pty", R"({"cmd":"/bin/dash"})"));
        ASSERT_TRUE(s.wait_open());
        EXPECT_EQ(input(d, s.job_id, "sleep 2000 & echo =A$!=; nohup sleep 2001 >/dev/null 2>&1 & echo =B$!=\n"),
                  WRITTEN);
        while (number_after(s.out, "=B") == 0) ASSERT_TRUE(s.next()) << s.out;
        const pid_t job = number_after(s.out, "=A"), nohuped = number_after(s.out, "=B");
        ASSERT_TRUE(eventually([&] { return runs_as(job, "sleep") && runs_as(nohuped, "sleep"); })) << s.out;
        if (by_stop) EXPECT_EQ(d.stop(), 0);
        else EXPECT_EQ(call(d, "pty_close", with_id(s.job_id)), CLOSED);
        EXPECT_TRUE(eventually([&] { return !runs_as(job, "sleep"); }, 1000));
        EXPECT_TRUE(runs_as(nohuped, "sleep"));
        for (pid_t p : {job, nohuped})
            if (runs_as(p, "sleep")) kill(p, SIGKILL);
    }
}

// A program that never reads its terminal: input fails once the terminal takes nothing more, telling how
// much of that request it took; the session stays.
TEST_F(Pty, InputToATerminalThatTakesNothingFailsWithWhatItTook) {
    PtyStream s;
    ASSERT_TRUE(s.start(d, "pty", R"({"cmd":"/bin/sh","argv":["-c","stty raw -echo; echo ready; exec sleep 60"]})"));
    ASSERT_TRUE(s.wait_for("ready"));
    const std::string chunk(6000, 'x');
    std::string reply;
    for (int i = 0; i < 400 && (reply = input(d, s.job_id, chunk)) == WRITTEN; i++) {
    }
    const std::string head =
        R"({"id":"r","ok":false,"code":"EAGAIN","error":"terminal not accepting input","data":{"written":)";
    ASSERT_EQ(reply.rfind(head, 0), 0u) << reply;
    EXPECT_LT(atol(reply.c_str() + head.size()), 6000) << reply;
    EXPECT_TRUE(has(call(d, "pty_list", "{}"), s.job_id));
    EXPECT_EQ(call(d, "pty_close", with_id(s.job_id)), CLOSED);
}

// Sessions closed as soon as they are listed, while their creating streams still start: the
// creator's tail must never run on a freed session.
TEST_F(Pty, CloseRacingTheCreatingStreamIsSafe) {
    std::atomic<bool> stop{false};
    std::atomic<int> closed{0};
    std::thread closer([&] {
        while (!stop) {
            std::string list = call(d, "pty_list", "{}");
            for (size_t at = list.find("\"job_id\":\""); at != std::string::npos;
                 at = list.find("\"job_id\":\"", at + 1))
                closed += call(d, "pty_close", with_id(list.substr(at + 10, 16))) == CLOSED;
        }
    });
    for (int i = 0; i < 15; i++) {
        PtyStream s;
        ASSERT_TRUE(s.start(d, "pty", "{}"));
        EXPECT_TRUE(s.wait_end()) << s.last;
    }
    stop = true;
    closer.join();
    EXPECT_GT(closed.load(), 0);
    EXPECT_EQ(d.stop(), 0);
}
