// Request dispatch over the socket: id echo, the error replies in the order of the checks,
// the token, enabled operations, _cancel, and many connections at once.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

const char* const PONG = R"("ok":true,"result":{"pong":true}})";

std::string err_reply(const std::string& id, const std::string& code, const std::string& msg) {
    return R"({"id":")" + id + R"(","ok":false,"code":")" + code + R"(","error":")" + msg + "\"}";
}

std::string pong(const std::string& id) { return R"({"id":")" + id + "\"," + PONG; }

// {"op":"ping","a":[0,0,...]}: 5 tokens plus one per element.
std::string ping_with_tokens(int ntoks) {
    std::string s = R"({"op":"ping","a":[)";
    for (int i = 0; i < ntoks - 5; i++) s += i ? ",0" : "0";
    return s + "]}";
}

}  // namespace

TEST(Dispatch, IdIsEchoedAsAStringCutTo63Bytes) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    EXPECT_EQ(d.call(R"({"id":7,"op":"ping"})"), pong("7"));
    EXPECT_EQ(d.call(R"({"op":"ping"})"), pong(""));
    std::string id100(100, 'x');
    EXPECT_EQ(d.call(R"({"id":")" + id100 + R"(","op":"ping"})"), pong(std::string(63, 'x')));
    // The raw text is echoed, so its escapes are escaped once more.
    EXPECT_EQ(d.call(R"({"id":"a\"b\\c","op":"ping"})"), pong(R"(a\\\"b\\\\c)"));
    // A non-string id travels as its raw text, quotes escaped.
    EXPECT_EQ(d.call(R"({"id":{"k":"v"},"op":"ping"})"), pong(R"({\"k\":\"v\"})"));
    // A cut that splits an escape leaves a lone backslash, which must not end the string early.
    std::string cut = std::string(62, 'y') + R"(\"z)";
    EXPECT_EQ(d.call(R"({"id":")" + cut + R"(","op":"ping"})"), pong(std::string(62, 'y') + R"(\\)"));
}

TEST(Dispatch, UnparsableFramesGetEprotoWithEmptyId) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    unique_fd c = d.connect();
    ASSERT_TRUE(c);
    const std::string eproto = err_reply("", "EPROTO", "invalid JSON");
    // One connection throughout: an error reply never closes it.
    EXPECT_EQ(roundtrip(c.get(), R"([{"id":"a","op":"ping"}])"), eproto);
    EXPECT_EQ(roundtrip(c.get(), R"("ping")"), eproto);
    EXPECT_EQ(roundtrip(c.get(), R"({"id":"a","op":"ping")"), eproto);
    EXPECT_EQ(roundtrip(c.get(), R"({"id":"a","op":ping})"), eproto);
    EXPECT_EQ(roundtrip(c.get(), ping_with_tokens(1025)), eproto);
    EXPECT_EQ(roundtrip(c.get(), ping_with_tokens(1024)), pong(""));
    // Values after the request object are tokenized and ignored.
    EXPECT_EQ(roundtrip(c.get(), R"({"id":"t","op":"ping"} 5)"), pong("t"));
}

TEST(Dispatch, EnvelopeErrorsComeInOrder) {
    TestDaemon d;
    write_file(d.dir() + "/token", "s3cret\n");
    d.write_config("[security]\nauth_token_file = " + d.dir() + "/token\n[ops]\nenabled = info\n");
    ASSERT_TRUE(d.start());
    // op is checked before the token ...
    EXPECT_EQ(d.call(R"({"id":"a"})"), err_reply("a", "EBADREQ", "op required"));
    EXPECT_EQ(d.call(R"({"id":"b","op":5})"), err_reply("b", "EBADREQ", "op required"));
    // ... the token before the table lookup ...
    EXPECT_EQ(d.call(R"({"id":"c","op":"no_such_op"})"), err_reply("c", "EAUTH", "bad or missing token"));
    // ... and the lookup before the enabled list.
    EXPECT_EQ(d.call(R"({"id":"d","op":"Ping","token":"s3cret"})"), err_reply("d", "ENOOP", "unknown op"));
    EXPECT_EQ(d.call(R"({"id":"e","op":"ping","token":"s3cret"})"),
              err_reply("e", "EDISABLED", "op disabled by config"));
}

TEST(Dispatch, OnlyTheExactTokenStringIsAccepted) {
    TestDaemon d;
    write_file(d.dir() + "/token", "12345\r\n");
    d.write_config("[security]\nauth_token_file = " + d.dir() + "/token\n");
    ASSERT_TRUE(d.start());
    const std::string eauth = err_reply("t", "EAUTH", "bad or missing token");
    EXPECT_EQ(d.call(R"({"id":"t","op":"ping"})"), eauth);
    EXPECT_EQ(d.call(R"({"id":"t","op":"ping","token":"1234"})"), eauth);
    EXPECT_EQ(d.call(R"({"id":"t","op":"ping","token":"123456"})"), eauth);
    EXPECT_EQ(d.call(R"({"id":"t","op":"ping","token":"12346"})"), eauth);
    EXPECT_EQ(d.call(R"({"id":"t","op":"ping","token":12345})"), eauth);
    EXPECT_EQ(d.call(R"({"id":"t","op":"ping","token":["12345"]})"), eauth);
    EXPECT_EQ(d.call(R"({"id":"t","op":"ping","token":"12345"})"), pong("t"));
    // The length is logged, never the token.
    EXPECT_TRUE(d.wait_log("auth token loaded (5 bytes)"));
    EXPECT_EQ(d.log().find("12345"), std::string::npos);
}

TEST(Dispatch, TokenIsIgnoredWhenNoneIsConfigured) {
    TestDaemon d;
    write_file(d.dir() + "/empty-token", "\n");
    d.write_config("[security]\nauth_token_file = " + d.dir() + "/empty-token\n");
    ASSERT_TRUE(d.start());
    EXPECT_EQ(d.call(R"({"id":"t","op":"ping","token":"anything"})"), pong("t"));
    EXPECT_EQ(d.call(R"({"id":"t","op":"ping"})"), pong("t"));
}

TEST(Dispatch, EnabledListAdmitsOnlyExactNames) {
    TestDaemon d;
    d.write_config("[ops]\nenabled = pin,, pingx\n");
    ASSERT_TRUE(d.start());
    EXPECT_EQ(d.call(R"({"id":"p","op":"ping"})"), err_reply("p", "EDISABLED", "op disabled by config"));
    EXPECT_EQ(d.call(R"({"id":"q","op":"pin"})"), err_reply("q", "ENOOP", "unknown op"));
}

TEST(Cancel, MalformedRequestsAndUnknownJobs) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    unique_fd c = d.connect();
    ASSERT_TRUE(c);
    EXPECT_EQ(roundtrip(c.get(), R"({"id":"1","op":"_cancel"})"), err_reply("1", "EBADREQ", "args required"));
    EXPECT_EQ(roundtrip(c.get(), R"({"id":"2","op":"_cancel","args":["x"]})"),
              err_reply("2", "EBADREQ", "args required"));
    EXPECT_EQ(roundtrip(c.get(), R"({"id":"3","op":"_cancel","args":{"job":"x"}})"),
              err_reply("3", "EBADREQ", "job_id required"));
    // job_id must be a key of args itself, not of something nested in it.
    EXPECT_EQ(roundtrip(c.get(), R"({"id":"4","op":"_cancel","args":{"x":{"job_id":"a"}}})"),
              err_reply("4", "EBADREQ", "job_id required"));
    EXPECT_EQ(roundtrip(c.get(), R"({"id":"5","op":"_cancel","args":{"job_id":"0123456789abcdef"}})"),
              err_reply("5", "ENOENT", "no such job"));
    EXPECT_EQ(roundtrip(c.get(), R"({"id":"6","op":"_cancel","args":{"job_id":""}})"),
              err_reply("6", "ENOENT", "no such job"));
    EXPECT_EQ(roundtrip(c.get(), R"({"id":"7","op":"_cancel","args":{"job_id":42}})"),
              err_reply("7", "ENOENT", "no such job"));
}

TEST(Cancel, WorksWithNothingEnabledButNeedsTheToken) {
    TestDaemon d;
    write_file(d.dir() + "/token", "tok");
    d.write_config("[security]\nauth_token_file = " + d.dir() + "/token\n[ops]\nenabled = NONE\n");
    ASSERT_TRUE(d.start());
    const std::string args = R"(,"args":{"job_id":"0123456789abcdef"}})";
    EXPECT_EQ(d.call(R"({"id":"a","op":"_cancel")" + args), err_reply("a", "EAUTH", "bad or missing token"));
    EXPECT_EQ(d.call(R"({"id":"b","op":"_cancel","token":"tok")" + args),
              err_reply("b", "ENOENT", "no such job"));
    EXPECT_EQ(d.call(R"({"id":"c","op":"ping","token":"tok"})"),
              err_reply("c", "EDISABLED", "op disabled by config"));
}

TEST(Dispatch, HundredConnectionsAtOnce) {
    constexpr int CONNS = 100;
    TestDaemon d;
    ASSERT_TRUE(d.start());
    // Every connection is open (and its thread alive) before any request is sent.
    std::vector<unique_fd> conns;
    for (int i = 0; i < CONNS; i++) {
        conns.push_back(d.connect());
        ASSERT_TRUE(conns.back()) << "connection " << i;
    }
    for (int i = 0; i < CONNS; i++) {
        std::string req = R"({"id":"c)" + std::to_string(i) + R"(","op":"ping"})";
        ASSERT_EQ(vc_send(conns[i].get(), req), 0);
    }
    for (int i = CONNS - 1; i >= 0; i--) {
        std::string reply;
        ASSERT_EQ(vc_recv(conns[i].get(), &reply), 0) << "connection " << i;
        EXPECT_EQ(reply, pong("c" + std::to_string(i)));
    }
}
