// Request dispatch over the socket: id echo, the error replies in the order of the checks,
// the token, enabled operations, _cancel, and many connections at once.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "base/fdio.h"
#include "harness.h"

namespace {

std::string err_reply(const std::string& id, const std::string& code, const std::string& msg) {
    return R"({"id":")" + id + R"(","ok":false,"code":")" + code + R"(","error":")" + msg + "\"}";
}

std::string pong(const std::string& id) { return R"({"id":")" + id + R"(","ok":true,"result":{"pong":true}})"; }

// {"op":"ping","a":[0,0,...]}: 5 tokens plus one per element.
std::string ping_with_tokens(int ntoks) {
    std::string s = R"({"op":"ping","a":[)";
    for (int i = 0; i < ntoks - 5; i++) s += i ? ",0" : "0";
    return s + "]}";
}

// Sends every request on one connection, in order: an error reply never closes it.
void expect_replies(const TestDaemon& d, const std::vector<std::pair<std::string, std::string>>& rows) {
    unique_fd c = d.connect();
    ASSERT_TRUE(c);
    for (const auto& [request, reply] : rows) EXPECT_EQ(roundtrip(c.get(), request), reply) << request;
}

}  // namespace

TEST(Dispatch, WithoutTokenOrListIdEchoParseErrorsCancelAndManyConnections) {
    TestDaemon d;
    ASSERT_TRUE(d.start());
    const std::string eproto = err_reply("", "EPROTO", "invalid JSON");
    const std::string noent = R"(","ok":false,"code":"ENOENT","error":"no such job"})";
    expect_replies(d, {
                          // The id is echoed as a string cut to 63 bytes; its raw text is escaped once more.
                          {R"({"id":7,"op":"ping"})", pong("7")},
                          {R"({"op":"ping"})", pong("")},
                          {R"({"id":")" + std::string(100, 'x') + R"(","op":"ping"})", pong(std::string(63, 'x'))},
                          {R"({"id":"a\"b\\c","op":"ping"})", pong(R"(a\\\"b\\\\c)")},
                          {R"({"id":{"k":"v"},"op":"ping"})", pong(R"({\"k\":\"v\"})")},
                          // A cut that splits an escape leaves a lone backslash, which must not end the string early.
                          {R"({"id":")" + std::string(62, 'y') + R"(\"z","op":"ping"})",
                           pong(std::string(62, 'y') + R"(\\)")},
                          // Nothing configured: a token sent anyway is ignored.
                          {R"({"id":"t","op":"ping","token":"anything"})", pong("t")},
                          // Unparsable frames, with the 1024-token limit; values after the object are ignored.
                          {R"([{"id":"a","op":"ping"}])", eproto},
                          {R"("ping")", eproto},
                          {R"({"id":"a","op":"ping")", eproto},
                          {ping_with_tokens(1025), eproto},
                          {ping_with_tokens(1024), pong("")},
                          {R"({"id":"t","op":"ping"} 5)", pong("t")},
                          // job_id must be a key of args itself, not of something nested in it.
                          {R"({"id":"1","op":"_cancel"})", err_reply("1", "EBADREQ", "args required")},
                          {R"({"id":"2","op":"_cancel","args":["x"]})", err_reply("2", "EBADREQ", "args required")},
                          {R"({"id":"3","op":"_cancel","args":{"job":"x"}})",
                           err_reply("3", "EBADREQ", "job_id required")},
                          {R"({"id":"4","op":"_cancel","args":{"x":{"job_id":"a"}}})",
                           err_reply("4", "EBADREQ", "job_id required")},
                          {R"({"id":"5","op":"_cancel","args":{"job_id":"0123456789abcdef"}})", R"({"id":"5)" + noent},
                          {R"({"id":"6","op":"_cancel","args":{"job_id":""}})", R"({"id":"6)" + noent},
                          {R"({"id":"7","op":"_cancel","args":{"job_id":42}})", R"({"id":"7)" + noent},
                      });

    // A hundred connections, all open (threads alive) before any request; replies read last one first.
    std::vector<unique_fd> conns(100);
    for (auto& c : conns) ASSERT_TRUE(c = d.connect());
    for (size_t i = 0; i < conns.size(); i++)
        ASSERT_EQ(vc_send(conns[i].get(), R"({"id":"c)" + std::to_string(i) + R"(","op":"ping"})"), 0);
    for (size_t i = conns.size(); i-- > 0;) {
        std::string reply;
        ASSERT_EQ(vc_recv(conns[i].get(), &reply), 0) << "connection " << i;
        EXPECT_EQ(reply, pong("c" + std::to_string(i)));
    }
}

// op is checked before the token, the token before the table lookup, the lookup before the
// enabled list; _cancel needs the token but no entry in the list.
TEST(Dispatch, EnvelopeErrorsInOrderWithTokenAndEnabledList) {
    TestDaemon d;
    write_file(d.dir() + "/token", "12345\r\n");
    d.write_config("[security]\nauth_token_file = " + d.dir() + "/token\n[ops]\nenabled = pin,, pingx\n");
    ASSERT_TRUE(d.start());
    const std::string eauth = R"(","ok":false,"code":"EAUTH","error":"bad or missing token"})";
    // A job id without the token's digits: the refusals' log lines name it.
    const std::string cancel = R"(","op":"_cancel","args":{"job_id":"fedcba9876543210"})";
    expect_replies(d, {
                          {R"({"id":"a"})", err_reply("a", "EBADREQ", "op required")},
                          {R"({"id":"b","op":5})", err_reply("b", "EBADREQ", "op required")},
                          {R"({"id":"c","op":"no_such_op"})", R"({"id":"c)" + eauth},
                          {R"({"id":"t","op":"ping"})", R"({"id":"t)" + eauth},
                          {R"({"id":"t","op":"ping","token":"1234"})", R"({"id":"t)" + eauth},
                          {R"({"id":"t","op":"ping","token":"123456"})", R"({"id":"t)" + eauth},
                          {R"({"id":"t","op":"ping","token":"12346"})", R"({"id":"t)" + eauth},
                          {R"({"id":"t","op":"ping","token":12345})", R"({"id":"t)" + eauth},
                          {R"({"id":"t","op":"ping","token":["12345"]})", R"({"id":"t)" + eauth},
                          // The exact token passes on to the list: only exact names count, "pin" is no operation.
                          {R"({"id":"d","op":"Ping","token":"12345"})", err_reply("d", "ENOOP", "unknown op")},
                          {R"({"id":"q","op":"pin","token":"12345"})", err_reply("q", "ENOOP", "unknown op")},
                          {R"({"id":"e","op":"ping","token":"12345"})",
                           err_reply("e", "EDISABLED", "op disabled by config")},
                          {R"({"id":"x)" + cancel + "}", R"({"id":"x)" + eauth},
                          {R"({"id":"y)" + cancel + R"(,"token":"12345"})", err_reply("y", "ENOENT", "no such job")},
                      });
    // The length is logged, never the token.
    EXPECT_TRUE(d.wait_log("auth token loaded (5 bytes)"));
    EXPECT_EQ(d.log().find("12345"), std::string::npos);
}
