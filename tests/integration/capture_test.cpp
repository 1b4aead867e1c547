// Packet capture end to end: the real tools on the loopback interface (filtered on a UDP port
// this test bound), and fakes in the install root for argument vectors, limits and refusals.
// Every test has a private /tmp, so the capture directories a daemon leaves behind are visible.

#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <memory>
#include <regex>
#include <thread>

#include "base/b64.h"
#include "base/fdio.h"
#include "host_util.h"
#include "proc/tools.h"
#include "stranger.h"

namespace fs = std::filesystem;
using strings = std::vector<std::string>;

namespace {

const std::string HEX32 = "0123456789abcdef0123456789abcdef";

// Datagrams to a socket of this test on 127.0.0.1 every 20 ms while it lives (none when quiet):
// the kernel chose the port, so a filter on it sees this test's packets only.
class udp_traffic {
public:
    explicit udp_traffic(bool quiet = false) : rx_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        to_.sin_family = AF_INET;
        to_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof to_;
        if (bind(rx_.get(), reinterpret_cast<sockaddr*>(&to_), sizeof to_) == 0 &&
            getsockname(rx_.get(), reinterpret_cast<sockaddr*>(&to_), &len) == 0 && !quiet)
            sender_ = std::thread([this] {
                unique_fd tx(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
                for (; !stop_; std::this_thread::sleep_for(std::chrono::milliseconds(20)))
                    sendto(tx.get(), "ping", 4, 0, reinterpret_cast<const sockaddr*>(&to_), sizeof to_);
            });
    }
    ~udp_traffic() {
        stop_ = true;
        if (sender_.joinable()) sender_.join();
    }
    std::string filter() const { return "udp port " + std::to_string(ntohs(to_.sin_port)); }

private:
    unique_fd rx_;
    sockaddr_in to_{};
    std::atomic<bool> stop_{false};
    std::thread sender_;
};

struct pcap_walk_t {
    bool magic = false;
    int records = 0;
    size_t rest = 0;  // bytes after the last whole record
};

// Walks a pcap byte stream: the global header, then whole records.
pcap_walk_t walk_pcap(const std::string& b) {
    pcap_walk_t w{false, 0, b.size()};
    if (b.size() < 24) return w;
    uint32_t word;
    memcpy(&word, b.data(), 4);
    w.magic = word == 0xa1b2c3d4;
    size_t at = 24;
    for (; b.size() - at >= 16; w.records++) {
        memcpy(&word, b.data() + at + 8, 4);  // the record's captured length
        if (b.size() - at - 16 < word) break;
        at += 16 + word;
    }
    w.rest = b.size() - at;
    return w;
}

std::string b64_text(const std::string& text) {
    std::string out(text.size() / 4 * 3 + 3, '\0');
    ssize_t n = b64_decode(text.data(), text.size(), reinterpret_cast<unsigned char*>(out.data()), out.size());
    return n < 0 ? "<not base64>" : out.substr(0, static_cast<size_t>(n));
}

// The decoded bytes of a pcap_stream chunk frame; empty for any other frame.
std::string chunk_bytes(const std::string& frame) {
    std::string b64;
    if (json_event(frame) != "chunk" || !vc_json_str(json_member(frame, "data"), "b64", &b64)) return {};
    return b64_text(b64);
}

// "w1" .. "w<n>", and the same joined by two spaces.
strings word_list(int n) {
    strings v;
    for (int i = 1; i <= n; i++) v.push_back("w" + std::to_string(i));
    return v;
}
std::string words(int n) {
    std::string s;
    for (const std::string& w : word_list(n)) s += (s.empty() ? "" : "  ") + w;
    return s;
}

// A private mount namespace with an empty /tmp and /opt; the daemon starts after both.
class CaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why = enter_private_mount_ns();
        if (!why.empty()) GTEST_SKIP() << why;
        ASSERT_TRUE(mounts.tmpfs("/tmp"));
        ASSERT_TRUE(mounts.tmpfs("/opt"));
        d = std::make_unique<TestDaemon>();
        ASSERT_TRUE(d->start());
    }
    void TearDown() override {
        if (!d) return;
        strings left;  // capture directories the daemon did not remove
        for (const auto& e : fs::directory_iterator("/tmp"))
            if (e.path().filename().string().rfind("vorn_pcap_", 0) == 0) left.push_back(e.path());
        EXPECT_EQ(left, strings());
    }
    std::string tool_path(const char* name) const {
        return std::string("/opt/vorn/bin/") + name + "-" + binfind_arch();
    }

    // A tcpdump in the install root that records its arguments in <dir>/argv.<iface>.<pid>
    // and behaves by interface name: "nofile" writes nothing, "big" one byte above 6 MiB,
    // "hang" a byte and then ignores SIGTERM; anything else writes "PCAP" and takes a second.
    void fake_tcpdump() {
        ASSERT_TRUE(write_file(tool_path("tcpdump"),
                               "#!/bin/sh\nprintf '%s\\n' \"$@\" \"$(stat -c %a \"$(dirname \"${12}\")\")\" > '" +
                                   d->dir() +
                                   "/argv.'\"$2.$$\"\n"
                                   "case \"$2\" in\n"
                                   "nofile) exit 1 ;;\n"
                                   "big) head -c 6291457 /dev/zero > \"${12}\" ;;\n"
                                   "hang) printf x > \"${12}\"; trap '' TERM; exec sleep 30 ;;\n"
                                   "*) printf PCAP > \"${12}\"; sleep 1 ;;\n"
                                   "esac\necho '1 packet captured' >&2\n",
                               0755));
    }
    strings fake_argv(const std::string& iface) const {
        for (const auto& e : fs::directory_iterator(d->dir()))
            if (e.path().filename().string().rfind("argv." + iface + ".", 0) == 0) return recorded_argv(e.path());
        return {};
    }

    scoped_mounts mounts;
    std::unique_ptr<TestDaemon> d;  // after the mounts: it lives in the private /tmp
};

}  // namespace

TEST_F(CaptureTest, RealToolReturnsCountedPacketsAndAQuietCaptureStillEnds) {
    udp_traffic traffic;
    std::string reply = d->call(req("pcap_capture", R"({"iface":"lo","count":5,"bpf":")" + traffic.filter() + "\"}"));
    std::string result = json_member(reply, "result"), b64;
    vc_json_str(result, "pcap_b64", &b64);
    std::string pcap = b64_text(b64);
    EXPECT_EQ(json_member(result, "iface"), "\"lo\"") << reply.substr(0, 200);
    EXPECT_EQ(json_member(result, "packets"), "5");
    EXPECT_EQ(json_member(result, "bytes"), std::to_string(pcap.size()));
    pcap_walk_t w = walk_pcap(pcap);
    EXPECT_TRUE(w.magic);
    EXPECT_EQ(w.records, 5);
    EXPECT_EQ(w.rest, 0u);

    // Nothing matches: the tool never ends by itself and is stopped after seconds + 2 s.
    udp_traffic quiet(true);
    unique_fd fd = open_stream(*d,
                               req("pcap_capture", R"({"iface":"lo","seconds":1,"bpf":")" + quiet.filter() + "\"}"));
    result = json_member(next_frame(fd.get(), 10000), "result");
    EXPECT_EQ(json_member(result, "packets"), "0") << result;
    EXPECT_EQ(json_member(result, "bytes"), "24");
}

// Numbers clamped, thirteen filter words, a file of each capture's own in a private directory;
// a tool that ignores SIGTERM earns SIGKILL after the grace, and what it wrote is still the answer.
TEST_F(CaptureTest, FakeToolGetsClampedNumbersAFileOfItsOwnAndIsStoppedWhenStuck) {
    fake_tcpdump();
    EXPECT_EQ(d->call(req("pcap_capture",
                          R"({"iface":"eth0.100","count":0,"seconds":600,"snaplen":10,"bpf":")" + words(20) + "\"}")),
              ok(R"({"iface":"eth0.100","packets":1,"bytes":4,"pcap_b64":"UENBUA=="})"));
    strings argv = fake_argv("eth0.100");
    const std::string file = argv.size() > 11 ? argv[11] : "";
    EXPECT_TRUE(std::regex_match(file, std::regex("/tmp/vorn_pcap_[A-Za-z0-9]{6}/vorn_pcap_" +
                                                  std::to_string(d->pid()) + "_[0-9]+_[0-9]+\\.pcap")))
        << file;
    strings want = {"-i", "eth0.100", "-c", "1", "-G", "60", "-W", "1", "-s", "96", "-w", file};
    for (const std::string& w : word_list(13)) want.push_back(w);
    want.push_back("700");  // the mode of the file's directory
    EXPECT_EQ(argv, want);

    unique_fd high = open_stream(*d, req("pcap_capture", R"({"iface":"high","count":5000,"snaplen":99999})"));
    unique_fd other = open_stream(*d, req("pcap_capture", R"({"iface":"other"})"));
    EXPECT_EQ(next_frame(high.get(), 10000), ok(R"({"iface":"high","packets":1,"bytes":4,"pcap_b64":"UENBUA=="})"));
    EXPECT_EQ(next_frame(other.get(), 10000), ok(R"({"iface":"other","packets":1,"bytes":4,"pcap_b64":"UENBUA=="})"));
    argv = fake_argv("high");
    strings two = fake_argv("other");
    ASSERT_EQ(argv.size(), 13u);
    ASSERT_EQ(two.size(), 13u);
    EXPECT_EQ(strings({argv[3], argv[5], argv[9]}), strings({"3000", "10", "65535"}));
    EXPECT_NE(fs::path(argv[11]).parent_path(), fs::path(two[11]).parent_path());  // concurrent, not shared

    unique_fd hang = open_stream(*d, req("pcap_capture", R"({"iface":"hang","seconds":1})"));
    EXPECT_EQ(next_frame(hang.get(), 10000), ok(R"({"iface":"hang","packets":0,"bytes":1,"pcap_b64":"eA=="})"));
}

TEST_F(CaptureTest, RefusalsAndMissingTools) {
    fake_tcpdump();
    // A share anyone writes, where a local user made the cache directory a link to /opt.
    ASSERT_TRUE(stranger_dir("/tmp/share", 0777));
    ASSERT_TRUE(as_stranger([] { return symlink("/opt", "/tmp/share/pcap_cache") == 0; }));
    const struct {
        const char* op;
        std::string args, code, msg;
    } rows[] = {
        {"pcap_capture", "{}", "EREQ", "iface required"},
        {"pcap_capture", R"({"iface":"eth 0"})", "EREQ", "invalid iface"},
        {"pcap_capture", R"({"iface":")" + std::string(40, 'e') + "\"}", "EREQ", "invalid iface"},
        {"pcap_capture", R"({"iface":"lo","bpf":"port 80; reboot"})", "EREQ", "invalid filter expression"},
        {"pcap_capture", R"({"iface":"lo","bpf":"port 80 -w /etc/x"})", "EREQ", "invalid filter expression"},
        {"pcap_capture", R"({"iface":"nofile"})", "EIO", "capture produced no file (iface down?)"},
        {"pcap_capture", R"({"iface":"big"})", "E2BIG", "capture too large \u2014 lower count/snaplen"},
        {"pcap_stream", R"({"iface":""})", "EREQ", "iface required"},
        {"pcap_stream", R"({"iface":"lo","bpf":"a|b;c"})", "EREQ", "invalid filter expression"},
        {"pcap_stream", R"({"iface":"lo","out":"/d/pcap_cache/)" + HEX32.substr(0, 31) + "F.pcap\"}", "EREQ",
         "invalid out path"},
        {"pcap_stream", R"({"iface":"lo","out":"/tmp/share/pcap_cache/)" + HEX32 + ".pcap\"}", "EFORBIDDEN",
         "out path goes through a symbolic link"},
        {"pcap_stream", R"({"iface":"lo"})", "ENOENT", "pcapstream not installed"},
    };
    for (const auto& r : rows) EXPECT_EQ(d->call(req(r.op, r.args)), err(r.code, r.msg)) << r.args;

    ASSERT_EQ(unlink(tool_path("tcpdump").c_str()), 0);
    ASSERT_TRUE(write_file(d->dir() + "/not-exec", "", 0644));
    for (const char* dir : {"/usr/sbin", "/usr/local/sbin", "/usr/bin", "/usr/local/bin", "/sbin", "/bin"}) {
        std::string p = fs::weakly_canonical(std::string(dir) + "/tcpdump");
        ASSERT_TRUE(access(p.c_str(), X_OK) != 0 || mounts.bind(d->dir() + "/not-exec", p)) << p;
    }
    EXPECT_EQ(d->call(req("pcap_capture", R"({"iface":"lo"})")), err("ENOENT", "tcpdump not installed"));
}

TEST_F(CaptureTest, StreamOfTheRealToolDecodesToPcapAndLeavesACompleteFileOnCancel) {
    ASSERT_TRUE(write_file(tool_path("pcapstream"), "", 0755));
    ASSERT_TRUE(mounts.bind(PCAPSTREAM_BIN, tool_path("pcapstream")));
    udp_traffic traffic;
    const std::string out = d->dir() + "/pcap_cache/" + HEX32 + ".pcap";
    fs::create_directories(d->dir() + "/pcap_cache");
    StreamReader s(*d, req("pcap_stream",
                           R"({"iface":"lo","snaplen":200,"bpf":")" + traffic.filter() + R"(","out":")" + out + "\"}"));
    std::string bytes, job_id, frame;
    // Records arrive while the capture runs, in chunks cut anywhere.
    while (walk_pcap(bytes).records < 3 && !(frame = s.next(10000)).empty()) {
        ASSERT_EQ(json_event(frame), "chunk") << frame;
        if (job_id.empty()) vc_json_str(frame, "job_id", &job_id);
        bytes += chunk_bytes(frame);
    }
    ASSERT_GE(walk_pcap(bytes).records, 3) << frame;
    EXPECT_EQ(d->call(vc_request("c", "_cancel", R"({"job_id":")" + job_id + "\"}")),
              R"({"id":"c","ok":true,"result":{"cancelled":true}})");
    strings rest = s.until_end(10000);
    for (const std::string& f : rest) bytes += chunk_bytes(f);
    EXPECT_EQ(rest.empty() ? "" : rest.back(), R"({"id":"r","event":"done","ok":true,"exit_code":0})");
    pcap_walk_t w = walk_pcap(bytes);
    EXPECT_TRUE(w.magic);
    EXPECT_EQ(w.rest, 0u);
    EXPECT_EQ(read_text(out), bytes);  // the file holds exactly what was streamed
    EXPECT_FALSE(fs::exists(out + ".part"));
}

TEST_F(CaptureTest, FakeStreamToolGetsExactVectorsAndOnlyItsStandardOutputIsStreamed) {
    ASSERT_TRUE(write_file(tool_path("pcapstream"),
                           "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + d->dir() +
                               "/argv.'\"$1.$$\"\necho noise >&2\nprintf PCAP\nprintf DATA\nexit 3\n",
                           0755));
    const std::string out = "/data/pcap_cache/" + HEX32 + ".pcap";
    strings b = {"b", "96"}, c = {"c", "65535", "--out", out}, w23 = word_list(23);
    b.insert(b.end(), w23.begin(), w23.end());
    c.insert(c.end(), w23.begin(), w23.end() - 2);
    const std::pair<std::string, strings> rows[] = {
        {R"({"iface":"a"})", {"a", "2000"}},
        {R"({"iface":"b","snaplen":10,"bpf":")" + words(30) + "\"}", b},
        {R"({"iface":"c","snaplen":99999,"out":")" + out + R"(","bpf":")" + words(30) + "\"}", c},
    };
    for (const auto& [args, want] : rows) {
        strings frames = StreamReader(*d, req("pcap_stream", args)).until_end();
        std::string bytes;
        for (const std::string& f : frames) {
            EXPECT_FALSE(has(f, "noise")) << f;
            bytes += chunk_bytes(f);
        }
        EXPECT_EQ(bytes, "PCAPDATA") << args;
        EXPECT_EQ(frames.empty() ? "" : frames.back(), R"({"id":"r","event":"done","ok":true,"exit_code":3})");
        EXPECT_EQ(fake_argv(want[0]), want) << args;
    }
}
