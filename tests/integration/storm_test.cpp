// 100,000 malformed frames on 50 connections (bytes flipped, bodies cut short, bad lengths, deep
// nesting, 1,025 tokens, huge strings, NUL bytes, every operation with wrong kinds of arguments):
// a ping on its own connection is answered throughout; afterwards descriptors and threads are as
// before and the daemon stops with nothing from the sanitizers. Operations that act on the machine
// with random arguments and streams that only end on a cancel stay disabled; exec and pty have
// empty allow-lists, read_file and read_dir only reach the daemon's own directory.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>

#include "base/fdio.h"
#include "daemon/optable.h"
#include "host_util.h"
#include "spawn.h"

namespace {

constexpr int CONNECTIONS = 50;
constexpr int FRAMES_PER_CONNECTION = 2000;
constexpr int REPLY_WAIT_MS = 20000;
constexpr uint32_t FRAME_MAX = 1048576;

const char* const ENABLED =
    "ping info meminfo services_check zpool_list procs_list read_file read_dir dmesg smart_get smart_scan "
    "dmidecode sysinfo exec pty pty_attach pty_list pty_input pty_resize pty_close net_addrs net_ports bin_check "
    "mounts config_get proc_detail proc_openfiles";

// Every argument name the operations read, and some they may read one day.
const char* const ARG_KEYS[] = {
    "path",       "max_bytes", "data",   "mode",   "append",   "cmd",       "argv",       "merge_stderr",
    "log_path",   "cwd",       "job_id", "since",  "b64",      "rows",      "cols",       "shell_env",
    "names",      "kind",      "proc",   "device", "type",     "tool",      "log",        "lines",
    "output_dir", "level",     "ops",    "exec",   "pty",      "read_file", "write_file", "fio_targets",
    "procs_kill", "pid",       "signal", "nice",   "governor", "target_dir"};

// Values of the wrong kind (or the wrong size) for any argument.
const std::string WRONG_VALUES[] = {"0",
                                    "-1",
                                    "99999999999999999999999",
                                    "1e308",
                                    "true",
                                    "null",
                                    "[]",
                                    "[1,[2,[3]],{}]",
                                    "{\"a\":{\"b\":[]}}",
                                    "\"\"",
                                    "\"" + std::string(600, 'p') + "\"",
                                    "\"\\u0000\\\\\\\"\\n\"",
                                    "\"/dev/zero\"",
                                    "\"-1\""};

// Operations that run a tool or walk /proc on every call: sent with wrong arguments, not mutated by the thousand.
const char* const SLOW_OPS = " services_check procs_list dmesg smart_get smart_scan dmidecode net_addrs net_ports ";

std::string frame_bytes(std::string_view body) {
    return frame_header(static_cast<uint32_t>(body.size())) + std::string(body);
}

struct requests_t {
    std::vector<std::string> all;    // each sent once as it is
    std::vector<std::string> cheap;  // the bases of the mutated frames
};

// Well-formed requests: every operation with every wrong value for all its keys at once, args
// that are no object, and each key once with a 9000-byte string.
requests_t base_requests() {
    requests_t r;
    int key = 0;
    for (const op_def_t* op = g_ops; op->name; op++) {
        bool slow = strstr(SLOW_OPS, (" " + std::string(op->name) + " ").c_str()) != nullptr;
        std::vector<std::string> mine;
        for (const std::string& v : WRONG_VALUES) {
            std::string args = "{";
            for (const char* k : ARG_KEYS) args += std::string(args.size() > 1 ? "," : "") + "\"" + k + "\":" + v;
            mine.push_back(vc_request("w", op->name, args + "}"));
        }
        for (const char* args : {"[1,2]", "\"args\"", "7", "{}"}) mine.push_back(vc_request("a", op->name, args));
        if (key < static_cast<int>(std::size(ARG_KEYS)))
            mine.push_back(vc_request("k", op->name,
                                      std::string("{\"") + ARG_KEYS[key++] + "\":\"" + std::string(9000, 'q') + "\"}"));
        r.all.insert(r.all.end(), mine.begin(), mine.end());
        if (!slow) r.cheap.insert(r.cheap.end(), mine.begin(), mine.end());
    }
    r.all.push_back(R"({"id":"c","op":"_cancel","args":{"job_id":[1]}})");
    return r;
}

// One frame to send, and what the daemon does with it.
// answered false: the daemon closes the connection (or waits for bytes that never come)
struct storm_frame_t {
    std::string bytes;
    bool answered;
};

class storm_gen_t {
public:
    // Connection `slot` of CONNECTIONS sends its share of `r.all` first, then mutations.
    storm_gen_t(int slot, const requests_t& r) : rng_(0x5eed0000u + slot), r_(r), next_all_(slot) {}

    storm_frame_t next() {
        if (next_all_ < r_.all.size()) {
            size_t i = next_all_;
            next_all_ += CONNECTIONS;
            return answered(r_.all[i]);
        }
        switch (below(100)) {
        case 0: return {frame_header(below(2) ? 0 : FRAME_MAX + 1 + below(1u << 30)), false};
        case 1: {  // a body cut short: the header promises more than ever comes
            std::string b = pick();
            return {frame_header(static_cast<uint32_t>(b.size() + 1 + below(100))) + b, false};
        }
        case 2: return answered(nested(1 + below(2000), below(4) != 0));
        case 3: return answered(many_tokens(1020 + below(3)));
        case 4:
            if (below(20) == 0) return answered(huge());
            [[fallthrough]];
        default: return answered(mutate(pick()));
        }
    }

private:
    std::mt19937_64 rng_;
    const requests_t& r_;
    size_t next_all_;

    uint32_t below(uint64_t n) { return static_cast<uint32_t>(rng_() % n); }
    const std::string& pick() { return r_.cheap[below(r_.cheap.size())]; }
    static storm_frame_t answered(const std::string& body) { return {frame_bytes(body), true}; }

    // A few bytes replaced, inserted or removed; the inserted ones favour the bytes JSON cares about.
    std::string mutate(std::string b) {
        static const char SPECIAL[] = "\0\"\\{}[]:,\x01\x7f\xff tfn-0";
        for (uint32_t i = 0, n = 1 + below(4); i < n && !b.empty(); i++) {
            size_t at = below(b.size());
            char c = below(2) ? SPECIAL[below(sizeof SPECIAL - 1)] : static_cast<char>(below(256));
            switch (below(3)) {
            case 0: b[at] = c; break;
            case 1: b.insert(b.begin() + static_cast<long>(at), c); break;
            default: b.erase(at, 1 + below(8));
            }
        }
        return b.empty() ? std::string(1, '{') : b;
    }
    static std::string nested(size_t depth, bool closed) {
        return "{\"op\":\"ping\",\"args\":" + std::string(depth, '[') + (closed ? std::string(depth, ']') + "}" : "");
    }
    static std::string many_tokens(int elements) {  // 5 tokens and one per element
        std::string s = R"({"op":"ping","args":[)";
        for (int i = 0; i < elements; i++) s += i ? ",1" : "1";
        return s + "]}";
    }
    std::string huge() {
        const char* where[] = {R"({"id":"%","op":"ping"})", R"({"op":"read_file","args":{"path":"%"}})",
                               R"({"op":"bin_check","args":{"names":["%"]}})"};
        std::string b = where[below(3)];
        size_t at = b.find('%');
        return b.replace(at, 1, std::string(100000 + below(FRAME_MAX - 100100), 'h'));
    }
};

int count_entries(const std::string& dir) {
    std::error_code ec;
    return static_cast<int>(std::distance(std::filesystem::directory_iterator(dir, ec),
                                          std::filesystem::directory_iterator()));
}

// Sends the frames of one connection slot, reconnecting whenever the daemon closes it. Counts
// the answered frames that got no reply in time.
void storm_connection(const TestDaemon& d, storm_gen_t gen, std::atomic<int>* unanswered) {
    unique_fd c = d.connect();
    for (int i = 0; i < FRAMES_PER_CONNECTION; i++) {
        storm_frame_t f = gen.next();
        bool sent = c && send_raw(c.get(), f.bytes);
        if (sent && f.answered && !recv_stream(c.get(), REPLY_WAIT_MS).empty()) continue;
        if (sent && f.answered) unanswered->fetch_add(1);
        c = d.connect();  // after a failed send, no reply, or a cut body abandoned (the daemon sees the peer go)
    }
}

}  // namespace

TEST(Storm, MalformedFramesOnFiftyConnectionsLeaveTheDaemonServingAndClean) {
    TestDaemon d;
    mkdir((d.dir() + "/files").c_str(), 0755);
    d.write_config(std::string("[ops]\nenabled = ") + ENABLED + "\n[exec]\nallow = NONE\n[pty]\nallow = NONE\n" +
                   "[paths.read_file]\nallow = " + d.dir() + "/files/\n");
    ASSERT_TRUE(d.start());
    const std::string pong = R"({"id":"p","ok":true,"result":{"pong":true}})";
    const std::string proc = "/proc/" + std::to_string(d.pid());
    unique_fd c = d.connect();  // the pinger's, open until the counts are compared
    ASSERT_EQ(roundtrip(c.get(), R"({"id":"p","op":"ping"})"), pong);
    // The steady state with the pinger connected: threads of earlier connections on their way out only add.
    int fds = INT_MAX, threads = INT_MAX;
    for (int i = 0; i < 10; i++, std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
        fds = std::min(fds, count_entries(proc + "/fd"));
        threads = std::min(threads, count_entries(proc + "/task"));
    }

    std::atomic<bool> storming{true};
    std::atomic<int> pings{0}, missed_pings{0}, unanswered{0};
    std::thread pinger([&] {
        while (storming.load()) {
            std::string r;
            if (vc_send(c.get(), R"({"id":"p","op":"ping"})") != 0 || !recv_within(c.get(), &r, 10000) || r != pong) {
                missed_pings++;
                c = d.connect();
            }
            pings++;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    const requests_t requests = base_requests();
    std::vector<std::thread> conns;
    for (int i = 0; i < CONNECTIONS; i++)
        conns.emplace_back(storm_connection, std::cref(d), storm_gen_t(i, requests), &unanswered);
    for (auto& t : conns) t.join();
    storming = false;
    pinger.join();

    EXPECT_EQ(unanswered.load(), 0);
    EXPECT_GT(pings.load(), 0);
    EXPECT_EQ(missed_pings.load(), 0);
    // Connection threads end once their peers are gone; nothing else stays behind.
    for (auto [dir, was] : {std::pair{"/fd", fds}, std::pair{"/task", threads}})
        EXPECT_TRUE(eventually([&] { return count_entries(proc + dir) == was; }, 10000))
            << dir << " " << count_entries(proc + dir);
    EXPECT_EQ(d.call(R"({"id":"p","op":"ping"})"), pong);
    EXPECT_EQ(d.stop(), 0);  // the leak check runs at exit
    const std::string log = d.log();
    for (const char* finding : {"AddressSanitizer", "LeakSanitizer", "runtime error"})
        EXPECT_EQ(log.find(finding), std::string::npos) << log.substr(log.find(finding), 2000);
}
