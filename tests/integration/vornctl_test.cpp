// vornctl as a user runs it: against the real daemon for replies and exit statuses, and
// against a stand-in daemon to see the requests it builds and how it follows a stream.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "spawn.h"

namespace {

const std::string PONG_LINE = R"({"id":"1","ok":true,"result":{"pong":true}})" "\n";

std::vector<std::string> ctl(const std::string& sock, std::vector<std::string> words) {
    words.insert(words.begin(), {VORNCTL_BIN, "-s", sock});
    return words;
}

// A stand-in daemon listening on `path`; the test scripts the frames it sends back.
class FakeDaemon {
public:
    explicit FakeDaemon(const std::string& path) {
        lfd_.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        struct sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        ok_ = bind(lfd_.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0 &&
              listen(lfd_.get(), 4) == 0;
    }
    bool ok() const { return ok_; }
    // Accepts the next connection and reads its request; an empty descriptor after 10 s.
    unique_fd take_request(std::string* request) {
        struct pollfd p = {lfd_.get(), POLLIN, 0};
        if (poll(&p, 1, 10000) != 1) return unique_fd();
        unique_fd c(accept4(lfd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!c || vc_recv(c.get(), request) != 0) return unique_fd();
        return c;
    }

private:
    unique_fd lfd_;
    bool ok_ = false;
};

// Serves one request with `frames` and keeps the request text.
std::thread serve_once(FakeDaemon* fake, std::string* request, std::vector<std::string> frames) {
    return std::thread([fake, request, frames] {
        unique_fd c = fake->take_request(request);
        for (const std::string& f : frames)
            if (c) vc_send(c.get(), f);
    });
}

// Reads from `fd` until a whole line has arrived (or 10 s pass); returns the text so far.
std::string read_line(int fd) {
    std::string s;
    char ch;
    while (s.empty() || s.back() != '\n') {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 10000) != 1 || read(fd, &ch, 1) != 1) break;
        s += ch;
    }
    return s;
}

}  // namespace

TEST(Vornctl, PingPrintsTheReplyAndExitsZero) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    run_result_t r = run_program(ctl(d.socket_path(), {"ping"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, PONG_LINE);
}

TEST(Vornctl, ExitStatusTellsErrorFromUsage) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    run_result_t r = run_program(ctl(d.socket_path(), {"no_such_op"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, R"({"id":"1","ok":false,"code":"ENOOP","error":"unknown op"})" "\n");
    r = run_program(ctl(d.socket_path(), {"cancel", "0123456789abcdef"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, R"({"id":"cancel","ok":false,"code":"ENOENT","error":"no such job"})" "\n");

    r = run_program(ctl(d.dir() + "/absent.sock", {"ping"}));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("absent.sock"), std::string::npos) << r.err;
    EXPECT_EQ(run_program(ctl(d.socket_path(), {})).status, 2);
    EXPECT_EQ(run_program(ctl(d.socket_path(), {"ping", "novalue"})).status, 2);
    EXPECT_EQ(run_program(ctl(d.socket_path(), {"cancel"})).status, 2);
    EXPECT_EQ(run_program({VORNCTL_BIN, "--bogus", "ping"}).status, 2);
}

TEST(Vornctl, TokenFileIsSent) {
    TestDaemon d;
    const std::string tok = d.dir() + "/token";
    write_file(tok, "tok-1\n");
    d.write_config("[security]\nauth_token_file = " + tok + "\n");
    ASSERT_TRUE(d.start());
    run_result_t r = run_program({VORNCTL_BIN, "-s", d.socket_path(), "--token-file", tok, "ping"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, PONG_LINE);
    EXPECT_EQ(run_program(ctl(d.socket_path(), {"ping"})).status, 1);
    EXPECT_EQ(run_program(ctl(d.socket_path(), {"--token-file", d.dir() + "/none", "ping"})).status, 2);
}

// Words that are whole JSON values travel as JSON; anything else becomes a string.
TEST(Vornctl, KeyValueWordsAreTyped) {
    TestDaemon dir;  // not started: only its directory is used
    const std::string sock = dir.dir() + "/fake.sock";
    FakeDaemon fake(sock);
    ASSERT_TRUE(fake.ok());
    std::string req;
    std::thread t = serve_once(&fake, &req, {R"({"id":"1","ok":true,"result":{}})"});
    run_result_t r = run_program(ctl(sock, {
        "echo", "n=5", "neg=-1.5e3", "b=true", "nil=null", "arr=[1,\"x\"]", "obj={\"a\":{}}", "q=\"quoted\"",
        "word=hello", "two=a b", "empty=", "eq=a=b", "ip=10.0.0.1", "ver=1.2.3", "dash=-", "oct=0644",
        "bad=[1,", "tru=tru", "inner=[1.2.3]", "k\"ey=x",
    }));
    t.join();
    EXPECT_EQ(r.status, 0) << r.err;
    std::string args;
    ASSERT_TRUE(vc_json_raw(req, "args", &args)) << req;
    EXPECT_EQ(args, R"({"n":5,"neg":-1.5e3,"b":true,"nil":null,"arr":[1,"x"],"obj":{"a":{}},"q":"quoted",)"
                    R"("word":"hello","two":"a b","empty":"","eq":"a=b","ip":"10.0.0.1","ver":"1.2.3",)"
                    R"("dash":"-","oct":"0644","bad":"[1,","tru":"tru","inner":"[1.2.3]","k\"ey":"x"})");
    std::string op;
    EXPECT_TRUE(vc_json_str(req, "op", &op) && op == "echo") << req;
}

TEST(Vornctl, StreamEndsWithDoneOrError) {
    const struct {
        std::string last;
        int status;
    } cases[] = {
        {R"({"id":"1","event":"done","ok":true,"exit_code":0})", 0},
        {R"({"id":"1","event":"done","ok":true,"exit_code":3})", 1},
        {R"({"id":"1","event":"error","ok":false,"code":"ESPAWN","error":"x"})", 1},
    };
    for (const auto& c : cases) {
        TestDaemon dir;
        const std::string sock = dir.dir() + "/fake.sock";
        FakeDaemon fake(sock);
        ASSERT_TRUE(fake.ok());
        const std::string first = R"({"id":"1","event":"chunk","job_id":"00000000000000aa","data":[1]})";
        const std::string log = R"({"id":"1","event":"log","stream":2,"msg":"m"})";
        std::string req;
        std::thread t = serve_once(&fake, &req, {first, log, c.last});
        run_result_t r = run_program(ctl(sock, {"exec"}));
        t.join();
        EXPECT_EQ(r.status, c.status) << c.last;
        EXPECT_EQ(r.out, first + "\n" + log + "\n" + c.last + "\n");
    }
}

// Ctrl-C during a stream sends _cancel for the stream's job on a second connection and then
// waits for the stream's own end.
TEST(Vornctl, InterruptCancelsTheStreamsJob) {
    TestDaemon dir;
    const std::string sock = dir.dir() + "/fake.sock";
    FakeDaemon fake(sock);
    ASSERT_TRUE(fake.ok());
    const std::string first = R"({"id":"1","event":"chunk","job_id":"00000000000000aa","data":[]})";
    const std::string last = R"({"id":"1","event":"error","ok":false,"code":"ECANCELED","error":"cancelled"})";
    spawned_t s = spawn_program(ctl(sock, {"exec"}));
    ASSERT_GT(s.pid, 0);
    std::string req, cancel_req;
    std::thread t([&] {
        unique_fd stream = fake.take_request(&req);
        if (!stream || vc_send(stream.get(), first) != 0) return;
        unique_fd c = fake.take_request(&cancel_req);
        if (c) vc_send(c.get(), R"({"id":"cancel","ok":true,"result":{"cancelled":true}})");
        vc_send(stream.get(), last);
    });
    std::string line = read_line(s.out.get());
    EXPECT_EQ(line, first + "\n");
    kill(s.pid, SIGINT);
    t.join();
    std::string rest = read_to_end(s.out.get());
    EXPECT_EQ(wait_exit(s.pid), 1);
    EXPECT_EQ(rest, last + "\n");
    std::string op, args;
    EXPECT_TRUE(vc_json_str(cancel_req, "op", &op) && op == "_cancel") << cancel_req;
    EXPECT_TRUE(vc_json_raw(cancel_req, "args", &args) && args == R"({"job_id":"00000000000000aa"})")
        << cancel_req;
}
