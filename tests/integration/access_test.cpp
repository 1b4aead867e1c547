// Who may do what: the observe and control classes of the [access] section by uid, group and
// name, job ownership, the per-uid budgets of connections and incomplete frames, and the audit
// trail. Callers are forked helpers that drop to uids no account uses.
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/fdio.h"
#include "harness.h"
#include "host_util.h"
#include "spawn.h"
#include "stranger.h"

namespace {

constexpr uid_t UID_CONTROL = STRANGER_UID;  // named by number in the control list
constexpr uid_t UID_OBSERVE = 64998;         // named by number in the observe list
constexpr uid_t UID_GROUPED = 64997;         // named by nothing; may hold a listed group
constexpr uid_t UID_NOBODY = 65534;          // named by user name in the observe list

struct ident_t {
    uid_t uid;
    gid_t gid;
    std::vector<gid_t> groups;
};

gid_t daemon_gid() {
    struct group* g = getgrnam("daemon");
    return g ? g->gr_gid : 1;
}

// A daemon whose socket any uid may open, with `extra` after the [socket] section.
void start_open(TestDaemon& d, const std::string& extra, const std::string& args = "") {
    chmod(d.dir().c_str(), 0711);
    d.write_config("mode = 0666\n" + extra);
    ASSERT_TRUE(d.start(args));
}

// What `fn` returns, run as `who`; empty when the drop failed.
std::string run_as(const ident_t& who, const std::function<std::string()>& fn) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return {};
    unique_fd rd(p[0]), wr(p[1]);
    bool ran = as_user(who.uid, who.gid, who.groups, [&] {
        std::string out = fn();
        return write_full(wr.get(), out.data(), out.size()) == 0;
    });
    wr.reset();
    sb_t got;
    read_fd_all(rd.get(), &got, 1 << 20);
    return ran ? std::string(got.buf, got.len) : std::string();
}

// A child that runs on as `uid` (group too, no supplementary groups) while the test goes on:
// 0 in the child, its pid (or -1) in the test. The child ends with _exit.
pid_t fork_as(uid_t uid) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    if (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0) _exit(1);
    return 0;
}

std::string call_as(const ident_t& who, const TestDaemon& d, const std::string& body) {
    return run_as(who, [&] { return d.call(body); });
}

// True when the daemon has closed `fd`: end of stream, or a reset because a request was left
// unread.
bool closed_by_daemon(int fd) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 2000) <= 0) return false;
    char c;
    return read(fd, &c, 1) <= 0;
}

// The daemon's AUD lines, from the message on.
std::vector<std::string> audit_lines(const TestDaemon& d) {
    std::vector<std::string> out;
    std::string log = d.log();
    const std::string tag = " AUD vornd ";
    for (size_t at = log.find(tag); at != std::string::npos; at = log.find(tag, at + 1))
        out.push_back(log.substr(at + tag.size(), log.find('\n', at) - at - tag.size()));
    return out;
}

const std::string PONG = R"({"id":"r","ok":true,"result":{"pong":true}})";
const std::string NO_PTYS = R"({"id":"r","ok":true,"result":[]})";

std::string eperm(uid_t uid) { return err("EPERM", "operation not permitted for uid " + std::to_string(uid)); }

}  // namespace

TEST(Access, ClassesByUidNameAndGroupRootAlwaysUnknownNamesMatchNobody) {
    TestDaemon d;
    start_open(d,
               "[ops]\nenabled = ping, pty_list\n[access]\nobserve = nobody, 64998, no_such_user_zq\n"
               "control = 64999, @daemon, @no_such_group_zq\n");
    const ident_t grouped = {UID_GROUPED, UID_GROUPED, {daemon_gid()}};
    const ident_t alone = {UID_GROUPED, UID_GROUPED, {}};
    struct row {
        ident_t who;
        std::string op, reply;
    };
    const row rows[] = {
        {{0, 0, {}}, "pty_list", NO_PTYS},
        {{UID_CONTROL, UID_CONTROL, {}}, "pty_list", NO_PTYS},
        {{UID_CONTROL, UID_CONTROL, {}}, "ping", PONG},  // control implies observe
        {{UID_OBSERVE, UID_OBSERVE, {}}, "ping", PONG},
        {{UID_OBSERVE, UID_OBSERVE, {}}, "pty_list", eperm(UID_OBSERVE)},
        {{UID_NOBODY, UID_NOBODY, {}}, "ping", PONG},
        {{UID_NOBODY, UID_NOBODY, {}}, "pty_list", eperm(UID_NOBODY)},
        {grouped, "pty_list", NO_PTYS},
        {grouped, "ping", PONG},
        {alone, "ping", eperm(UID_GROUPED)},
        {alone, "info", err("EDISABLED", "op disabled by config")},  // the configuration answers first
    };
    for (const row& r : rows)
        EXPECT_EQ(call_as(r.who, d, req(r.op, "{}")), r.reply) << "uid " << r.who.uid << " " << r.op;
    for (const char* name : {"no such user 'no_such_user_zq'", "no such group '@no_such_group_zq'"})
        EXPECT_TRUE(has(d.log(), name)) << name;
    // vornctl says which class is missing and exits as refused.
    std::string said = run_as({UID_OBSERVE, UID_OBSERVE, {}}, [&] {
        run_result_t r = run_program({VORNCTL_BIN, "-s", d.socket_path(), "pty_list"});
        return std::to_string(r.status) + "|" + r.out + "|" + r.err;
    });
    EXPECT_EQ(said,
              "3|" + std::string(R"({"id":"1","ok":false,"code":"EPERM","error":"operation not permitted for uid )") +
                  std::to_string(UID_OBSERVE) +
                  "\"}\n|vornctl: pty_list: not permitted for your user (needs control) (EPERM)\n");

    // Without the section every caller that can open the socket may do everything.
    TestDaemon open;
    start_open(open, "");
    EXPECT_EQ(call_as({UID_OBSERVE, UID_OBSERVE, {}}, open, req("pty_list", "{}")), NO_PTYS);
}

TEST(Access, AnotherUidsJobIsCancelledOnlyWithControl) {
    TestDaemon d;
    start_open(d, "[access]\nobserve = 64998\ncontrol = 64999\n");
    const ident_t owner = {UID_CONTROL, UID_CONTROL, {}};
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    unique_fd rd(p[0]), wr(p[1]);
    // The owner's stream runs in a child of its own until the job ends; its id comes back first.
    pid_t child = fork_as(UID_CONTROL);
    ASSERT_GE(child, 0);
    if (child == 0) {
        StreamReader s(d, req("exec", R"({"cmd":"sh","argv":["-c","echo x; exec sleep 20"]})"));
        std::string id = json_member(s.next(), "job_id");
        if (write_full(wr.get(), id.data(), id.size()) != 0) _exit(1);
        wr.reset();
        s.until_end(25000);
        _exit(0);
    }
    wr.reset();
    sb_t got;
    read_fd_all(rd.get(), &got, 64);
    std::string job(got.buf, got.len);
    ASSERT_EQ(job.size(), 18u) << job;  // 16 hex digits in quotes
    const std::string cancel = req("_cancel", R"({"job_id":)" + job + "}");
    EXPECT_EQ(call_as({UID_OBSERVE, UID_OBSERVE, {}}, d, cancel), eperm(UID_OBSERVE));
    EXPECT_EQ(call_as(owner, d, cancel), ok(R"({"cancelled":true})"));
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(Access, OneUidsConnectionsAreCappedOthersStillServed) {
    TestDaemon d;
    start_open(d, "");
    int go[2];
    ASSERT_EQ(pipe2(go, O_CLOEXEC), 0);
    unique_fd go_rd(go[0]), go_wr(go[1]);
    int ready[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    unique_fd ready_rd(ready[0]), ready_wr(ready[1]);
    // The capped uid holds 64 served connections while root and another uid come in.
    pid_t child = fork_as(UID_CONTROL);
    ASSERT_GE(child, 0);
    if (child == 0) {
        go_wr.reset();
        std::vector<unique_fd> held;
        for (int i = 0; i < 64; i++) {
            held.push_back(d.connect());
            if (roundtrip(held.back().get(), req("ping", "{}")) != PONG) _exit(2);
        }
        unique_fd extra = d.connect();
        char verdict = closed_by_daemon(extra.get()) ? 'y' : 'n';
        if (write_full(ready_wr.get(), &verdict, 1) != 0) _exit(3);
        char c;
        (void)!read(go_rd.get(), &c, 1);  // held until the parent is done
        _exit(0);
    }
    ready_wr.reset();
    go_rd.reset();
    char verdict = 0;
    ASSERT_EQ(read(ready_rd.get(), &verdict, 1), 1);
    EXPECT_EQ(verdict, 'y');
    EXPECT_EQ(d.call(req("ping", "{}")), PONG);
    EXPECT_EQ(call_as({UID_OBSERVE, UID_OBSERVE, {}}, d, req("ping", "{}")), PONG);
    EXPECT_TRUE(d.wait_log("connection limit 64 per uid reached (uid 64999): 1 connection closed at once"));
    go_wr.reset();
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(Access, IncompleteFramesOfOneUidShareABudget) {
    TestDaemon d;
    // Room for two announced 1 MiB bodies of one uid, not three.
    start_open(d, "", "--uid-frame-budget-bytes 3000000");
    const std::string body = R"({"id":"r","op":"ping","pad":")" + std::string(1048576 - 31, 'x') + "\"}";
    ASSERT_EQ(body.size(), 1048576u);
    auto hold_three = [&](std::vector<unique_fd>* conns) {
        for (int i = 0; i < 3; i++) {
            conns->push_back(d.connect());
            send_raw(conns->back().get(), frame_header(1048576) + body.substr(0, 100));
        }
    };
    // Completes every frame but the first one the daemon closed within `wait_ms`; the replies.
    auto finish = [&](std::vector<unique_fd>* conns, int wait_ms) {
        std::vector<struct pollfd> p;
        for (auto& c : *conns) p.push_back({c.get(), POLLIN, 0});
        int n = poll(p.data(), p.size(), wait_ms);
        std::string out;
        for (size_t i = 0; i < p.size(); i++) {
            std::string reply;
            if (n > 0 && p[i].revents && closed_by_daemon(p[i].fd)) out += "closed ";
            else if (!send_raw(p[i].fd, body.substr(100)) || vc_recv(p[i].fd, &reply) != 0) out += "lost ";
            else out += reply == PONG ? "pong " : reply + " ";
        }
        return out;
    };
    // Which of the three comes last to the budget is the daemon's business; exactly one does.
    std::string verdict = run_as({UID_CONTROL, UID_CONTROL, {}}, [&] {
        std::vector<unique_fd> conns;
        hold_three(&conns);
        return finish(&conns, 5000);
    });
    std::sort(verdict.begin(), verdict.end());
    std::string want = "closed pong pong ";
    std::sort(want.begin(), want.end());
    EXPECT_EQ(verdict, want);
    // Root is not counted at all.
    std::vector<unique_fd> root;
    hold_three(&root);
    EXPECT_EQ(finish(&root, 300), "pong pong pong ");
}

TEST(Access, AuditLinesPerFamilyAndNoneForObserve) {
    TestDaemon d;
    start_open(d, "[access]\ncontrol = 64999\n");
    write_file(d.dir() + "/f", "data");
    const std::string me = "uid=0(root) pid=" + std::to_string(getpid()) + " comm=integration_tes";
    EXPECT_EQ(d.call(req("ping", "{}")), PONG);
    StreamReader s(d, req("exec", R"({"cmd":"/bin/echo","argv":["a b"]})"));
    std::vector<std::string> frames = s.until_end();
    ASSERT_FALSE(frames.empty());
    std::string job = json_member(frames.front(), "job_id");
    ASSERT_EQ(job.size(), 18u);
    // Each line is written once its handler has returned, after the reply: the next request
    // waits for it, so that the lines come in request order.
    ASSERT_TRUE(d.wait_log("op=exec"));
    EXPECT_TRUE(has(d.call(req("read_file", R"({"path":")" + d.dir() + R"(/f"})")), R"("ok":true)"));
    ASSERT_TRUE(d.wait_log("op=read_file"));
    EXPECT_TRUE(has(d.call(req("read_file", R"({"path":"\t/no such"})")), R"("ok":false)"));
    ASSERT_TRUE(d.wait_log("no\\x20such"));
    EXPECT_TRUE(has(d.call(req("config_apply", R"({"exec":"NONE","pty":"NONE"})")), R"("ok":true)"));
    ASSERT_TRUE(d.wait_log("op=config_apply"));
    std::string refused = run_as({UID_OBSERVE, UID_OBSERVE, {}},
                                 [&] { return std::to_string(getpid()) + " " + d.call(req("pty_list", "{}")); });
    pid_t child = atoi(refused.c_str());
    EXPECT_TRUE(has(refused, eperm(UID_OBSERVE))) << refused;
    ASSERT_TRUE(d.wait_log("result=EPERM"));

    const std::vector<std::string> want = {
        me + " op=exec id=r job=" + job.substr(1, 16) + " result=ok cmd=/bin/echo argc=1",
        me + " op=read_file id=r result=ok path=" + d.dir() + "/f",
        me + " op=read_file id=r result=EIO path=\\x5ct/no\\x20such",
        me + " op=config_apply id=r result=ok lists=exec,pty",
        "uid=64998(-) pid=" + std::to_string(child) + " comm=integration_tes op=pty_list id=r result=EPERM",
    };
    EXPECT_EQ(audit_lines(d), want);
}

TEST(Access, ConfigGetShowsTheSectionAndConfigApplyKeepsIt) {
    TestDaemon d;
    start_open(d, "[access]\ncontrol = @daemon, 64999\n");
    const std::string access =
        R"("access":{"observe":{"mode":"ALL","list":[]},"control":{"mode":"LIST","list":["@daemon","64999"]}})";
    EXPECT_TRUE(has(d.call(req("config_get", "{}")), access));
    EXPECT_TRUE(has(d.call(req("config_apply", R"({"level":"locked"})")), access));
    EXPECT_TRUE(has(read_text(d.config_path()), "\n[access]\nobserve = ALL\ncontrol = @daemon,64999\n"));

    TestDaemon plain;
    start_open(plain, "");
    EXPECT_FALSE(has(plain.call(req("config_get", "{}")), "access"));
}
