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
unique_fd listen_at(const std::string& path) {
    unique_fd lfd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    bool ok = bind(lfd.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0 && listen(lfd.get(), 4) == 0;
    return ok ? std::move(lfd) : unique_fd();
}

// Accepts the next connection and reads its request; an empty descriptor after 10 s.
unique_fd take_request(int lfd, std::string* request) {
    struct pollfd p = {lfd, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) return unique_fd();
    unique_fd c(accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC));
    return c && vc_recv(c.get(), request) == 0 ? std::move(c) : unique_fd();
}

// Serves one request with `frames` and keeps the request text.
std::thread serve_once(int lfd, std::string* request, std::vector<std::string> frames) {
    return std::thread([lfd, request, frames] {
        unique_fd c = take_request(lfd, request);
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

// Replies print as one line; 0 on ok, 1 on an error reply, 2 on usage or connection errors.
TEST(Vornctl, RepliesAndExitStatuses) {
    TestDaemon d;
    const std::string tok = d.dir() + "/token";
    write_file(tok, "tok-1\n");
    d.write_config("[security]\nauth_token_file = " + tok + "\n");
    ASSERT_TRUE(d.start());
    const std::string err = R"({"id":"1","ok":false,"code":")";
    const struct {
        std::vector<std::string> words;
        int status;
        std::string out;
    } cases[] = {
        {{"--token-file", tok, "ping"}, 0, PONG_LINE},
        {{"ping"}, 1, err + R"(EAUTH","error":"bad or missing token"})" "\n"},
        {{"--token-file", tok, "no_such_op"}, 1, err + R"(ENOOP","error":"unknown op"})" "\n"},
        {{"--token-file", tok, "cancel", "0123456789abcdef"}, 1,
         R"({"id":"cancel","ok":false,"code":"ENOENT","error":"no such job"})" "\n"},
        {{"--token-file", d.dir() + "/none", "ping"}, 2, ""},
        {{"--bogus", "ping"}, 2, ""},
        {{}, 2, ""},
        {{"ping", "novalue"}, 2, ""},
        {{"cancel"}, 2, ""},
    };
    for (const auto& c : cases) {
        run_result_t r = run_program(ctl(d.socket_path(), c.words));
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(r.out, c.out);
    }
    run_result_t r = run_program(ctl(d.dir() + "/absent.sock", {"ping"}));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("absent.sock"), std::string::npos) << r.err;
}

// The cases below talk to a stand-in daemon that scripts its replies.
class VornctlFake : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(fake); }
    TestDaemon dir;  // not started: only its directory is used
    const std::string sock = dir.dir() + "/fake.sock";
    unique_fd fake = listen_at(sock);
};

// Words that are whole JSON values travel as JSON, anything else as a string; a stream's
// events print one per line and its last one decides the exit status.
TEST_F(VornctlFake, TypedArgumentsAndStreamEnd) {
    const std::vector<std::string> words = {
        "exec", "n=5", "neg=-1.5e3", "b=true", "nil=null", "arr=[1,\"x\"]", "obj={\"a\":{}}", "q=\"quoted\"",
        "word=hello", "two=a b", "empty=", "eq=a=b", "ip=10.0.0.1", "ver=1.2.3", "dash=-", "oct=0644",
        "bad=[1,", "tru=tru", "inner=[1.2.3]", "k\"ey=x"};
    const std::string first = R"({"id":"1","event":"chunk","job_id":"00000000000000aa","data":[1]})";
    const std::string log = R"({"id":"1","event":"log","stream":2,"msg":"m"})";
    const std::pair<std::string, int> cases[] = {
        {R"({"id":"1","event":"done","ok":true,"exit_code":0})", 0},
        {R"({"id":"1","event":"done","ok":true,"exit_code":3})", 1},
        {R"({"id":"1","event":"error","ok":false,"code":"ESPAWN","error":"x"})", 1},
    };
    for (const auto& [last, status] : cases) {
        std::string req, args, op;
        std::thread t = serve_once(fake.get(), &req, {first, log, last});
        run_result_t r = run_program(ctl(sock, words));
        t.join();
        EXPECT_EQ(r.status, status) << last << r.err;
        EXPECT_EQ(r.out, first + "\n" + log + "\n" + last + "\n");
        EXPECT_TRUE(vc_json_str(req, "op", &op) && op == "exec") << req;
        ASSERT_TRUE(vc_json_raw(req, "args", &args)) << req;
        EXPECT_EQ(args, R"({"n":5,"neg":-1.5e3,"b":true,"nil":null,"arr":[1,"x"],"obj":{"a":{}},"q":"quoted",)"
                        R"("word":"hello","two":"a b","empty":"","eq":"a=b","ip":"10.0.0.1","ver":"1.2.3",)"
                        R"("dash":"-","oct":"0644","bad":"[1,","tru":"tru","inner":"[1.2.3]","k\"ey":"x"})");
    }
}

// Ctrl-C during a stream sends _cancel for the stream's job on a second connection and then
// waits for the stream's own end.
TEST_F(VornctlFake, InterruptCancelsTheStreamsJob) {
    const std::string first = R"({"id":"1","event":"chunk","job_id":"00000000000000aa","data":[]})";
    const std::string last = R"({"id":"1","event":"error","ok":false,"code":"ECANCELED","error":"cancelled"})";
    spawned_t s = spawn_program(ctl(sock, {"exec"}));
    ASSERT_GT(s.pid, 0);
    std::string req, cancel_req;
    std::thread t([&] {
        unique_fd stream = take_request(fake.get(), &req);
        if (!stream || vc_send(stream.get(), first) != 0) return;
        unique_fd c = take_request(fake.get(), &cancel_req);
        if (c) vc_send(c.get(), R"({"id":"cancel","ok":true,"result":{"cancelled":true}})");
        vc_send(stream.get(), last);
    });
    EXPECT_EQ(read_line(s.out.get()), first + "\n");
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
