// Benchmark views: `fio TARGET_DIR [key=value ...]` draws one progress bar per test and ends
// with a summary of fio's own reports; `iperf3 HOST [key=value ...]` shows the test's time
// running, then one line per interval and a summary from iperf3's JSON document (or, asked
// with json=false, the tool's own lines as they come).

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "base/clock.h"
#include "vornctl_term.h"
#include "vornctl_views.h"

namespace {

constexpr int BAR_MIN_COLS = 10;
constexpr int BAR_MAX_COLS = 42;

// ---- fio ----

struct fio_test_t {
    std::string name, rw;
    double pct = 0;
    uint64_t start_ms = 0, end_ms = 0;
    bool done = false;                  // its report arrived
    bool stopped = false;               // Ctrl-C ended it early
    std::string rate{}, iops{}, eta{};  // from fio's last status line: "w=340MiB/s", "w=340 IOPS", "eta 00m:01s"
};

// The live figures of a test's line: rate and IOPS, and while it runs the time fio expects.
std::string figures(const fio_test_t& t) {
    if (t.stopped) return "  stopped";
    std::string s;
    for (const std::string* f : {&t.rate, &t.iops, t.done ? nullptr : &t.eta})
        if (f && !f->empty()) s += "  " + *f;
    return s;
}

// fio's status line, "Jobs: 1 (f=1): [W(1)][50.0%][w=340MiB/s][w=340 IOPS][eta 00m:01s]":
// the figures in its brackets.
void read_status(fio_test_t* t, std::string_view line) {
    for (size_t open = line.find('['); open != std::string_view::npos; open = line.find('[', open + 1)) {
        size_t close = line.find(']', open);
        if (close == std::string_view::npos) break;
        std::string part = term_clean(line.substr(open + 1, close - open - 1));
        if (part.ends_with(" IOPS")) t->iops = part;
        else if (part.ends_with("/s")) t->rate = part;
        else if (part.starts_with("eta ")) t->eta = part;
    }
}

struct fio_view_t {
    term_live live{false};
    int total = 0;
    double runtime_s = 0;  // a time-based run's length per test; 0: sized runs
    std::string work_dir;
    std::vector<fio_test_t> tests;
    std::vector<std::vector<std::string>> summary;
    std::string failure;
};

std::vector<std::string> fio_bars(const fio_view_t& v, term_size_t size) {
    size_t name_w = 4, fig_w = 0;
    for (const fio_test_t& t : v.tests) {
        name_w = std::max(name_w, term_width(t.name) + 1 + term_width(t.rw));
        fig_w = std::max(fig_w, term_width(figures(t)));
    }
    // name rw  [bar]  100.0%  0:00  figures
    int bar = std::clamp(size.cols - 1 - static_cast<int>(name_w + fig_w) - 18, BAR_MIN_COLS, BAR_MAX_COLS);
    std::vector<std::string> lines;
    uint64_t now = now_ms();
    for (const fio_test_t& t : v.tests) {
        double elapsed = static_cast<double>((t.end_ms ? t.end_ms : now) - t.start_ms) / 1000;
        // fio's status lines of a time-based run often hold no figure ("[-.-%]"): its clock does.
        double pct = v.runtime_s > 0 ? std::max(t.pct, std::min(elapsed / v.runtime_s * 100, 99.9)) : t.pct;
        if (t.done && !t.stopped) pct = 100;
        lines.push_back(term_pad(t.name + " " + t.rw, name_w) + "  " + fmt_bar(pct, bar) + "  " +
                        term_pad(fmt_fixed(pct, 1) + "%", 6, true) + "  " + fmt_duration(elapsed) + figures(t));
    }
    for (size_t i = v.tests.size(); i < static_cast<size_t>(std::max(v.total, 0)); i++)
        lines.push_back(term_pad("(test " + std::to_string(i + 1) + ")", name_w) + "  waiting");
    return lines;
}

// One summary row per direction that moved data in each job of a fio report.
void add_report(fio_view_t* v, const std::string& test, const vc_json& report) {
    std::vector<vc_json> jobs = report.get("jobs").elements();
    if (jobs.empty()) v->summary.push_back({test, "-", "no report", "", "", ""});
    for (const vc_json& job : jobs)
        for (const char* dir : {"read", "write"}) {
            vc_json d = job.get(dir);
            if (d.get("io_bytes").num() <= 0) continue;
            vc_json clat = d.get("clat_ns");
            vc_json p99 = clat.get("percentile").get("99.000000");
            vc_json o = job.get("job options");
            v->summary.push_back({test, dir, fmt_fixed(d.get("bw_bytes").num() / (1024.0 * 1024.0), 1),
                                  fmt_fixed(d.get("iops").num(), 0), fmt_nsec(clat.get("mean").num()),
                                  p99.ok() ? fmt_nsec(p99.num()) : "-", o.get("size").str("-"), o.get("bs").str("-"),
                                  o.get("iodepth").str("-"), o.get("direct").str("-")});
        }
}

// fio's status lines ("Jobs: 1 (f=1): [W(1)][50.0%][...]", the first one without a
// figure) are what the bars show; its other lines (complaints) are printed.
bool is_status_line(std::string_view line) {
    return line.substr(0, 5) == "Jobs:" || line.find("%]") != std::string_view::npos ||
           line.find("% done") != std::string_view::npos;
}

fio_test_t* test_at(fio_view_t* v, const vc_json& data) {
    double i = data.get("index").num(-1);
    return i >= 0 && i < static_cast<double>(v->tests.size()) ? &v->tests[static_cast<size_t>(i)] : nullptr;
}

// Called with the lock held.
void fio_record(fio_view_t* v, const vc_json& data) {
    std::string type = data.get("type").str();
    fio_test_t* t = test_at(v, data);
    if (type == "start") {
        v->total = static_cast<int>(data.get("total").num());
        v->work_dir = data.get("work_dir").str();
    } else if (type == "test_start") {
        for (fio_test_t& prev : v->tests)
            if (!prev.end_ms) prev.end_ms = now_ms();
        v->tests.push_back({data.get("name").str(), data.get("rw").str()});
        v->tests.back().start_ms = now_ms();
    } else if (type == "progress" && t) {
        t->pct = data.get("pct").num();
    } else if (type == "test_done" && t) {
        t->done = true;
        t->stopped = ctl_interrupted();  // fio stopped early still writes its report
        t->end_ms = now_ms();
        vc_json raw = data.get("raw");
        if (raw.is_object()) add_report(v, t->name, raw);
        else v->summary.push_back({t->name, "-", "unreadable report", "", "", ""});
    } else if (type == "log") {
        std::string line = data.get("line").str();
        if (!is_status_line(line)) {
            v->live.print_above(line);
            return;
        }
        for (fio_test_t& running : v->tests)
            if (!running.done) read_status(&running, line);
    }
    v->live.draw(fio_bars(*v, v->live.size()));
}

bool on_fio_frame(void* user, std::string_view frame) {
    auto* v = static_cast<fio_view_t*>(user);
    vc_json_doc doc;
    if (!doc.parse(frame)) return true;
    auto g = v->live.lock();
    vc_json root = doc.root();
    if (root.get("ok").raw() == "false") v->failure = std::string(frame);
    else if (root.get("event").str() == "chunk") fio_record(v, root.get("data"));
    else if (root.get("event").str() == "done") {
        for (fio_test_t& t : v->tests)
            if (!t.end_ms) {
                t.end_ms = now_ms();
                t.stopped = ctl_interrupted();
            }
        v->total = static_cast<int>(v->tests.size());  // the tests still waiting will not run
        if (!v->tests.empty()) v->live.draw(fio_bars(*v, v->live.size()));
    }
    return true;
}

void print_fio_summary(const fio_view_t& v) {
    // The parameters come last: on a narrow screen they give way first.
    static const std::vector<term_col_t> COLS = {
        {"TEST"},          {"RW"},   {"MiB/s", true}, {"IOPS", true},    {"MEAN LAT", true},
        {"P99 LAT", true}, {"SIZE"}, {"BS"},          {"IODEPTH", true}, {"DIRECT", true}};
    if (v.summary.empty()) return;
    fputc('\n', stdout);
    term_print(term_table(COLS, v.summary, static_cast<size_t>(term_size().cols)));
}

// ---- iperf3 ----

struct iperf_view_t {
    const ctl_ctx* ctx = nullptr;
    term_live live{false};
    std::string host;
    double seconds = 10;
    uint64_t start_ms = 0;
    bool ended = false;
    bool failed = false;  // the document says the test failed (iperf3 may still exit with 0)
};

std::string interval_line(const vc_json& sum, bool udp) {
    std::string line = term_pad(fmt_fixed(sum.get("start").num(), 1) + "-" + fmt_fixed(sum.get("end").num(), 1) + " s",
                                12) +
                       term_pad(fmt_bytes(sum.get("bytes").num()), 11, true) +
                       term_pad(fmt_bits(sum.get("bits_per_second").num()), 14, true);
    if (udp) line += "  " + fmt_fixed(sum.get("packets").num(), 0) + " packets";
    else if (sum.get("retransmits").ok()) line += "  " + fmt_fixed(sum.get("retransmits").num(), 0) + " retransmits";
    return line;
}

// Returns false when the document carries an error.
bool print_iperf_document(const vc_json& doc) {
    std::string error = doc.get("error").str();
    bool udp = doc.get("start").get("test_start").get("protocol").str() == "UDP";
    std::vector<std::string> lines;
    for (const vc_json& iv : doc.get("intervals").elements()) lines.push_back(interval_line(iv.get("sum"), udp));
    term_print(lines);
    vc_json end = doc.get("end");
    vc_json sent = end.get("sum_sent"), received = end.get("sum_received");
    std::vector<std::pair<std::string, std::string>> kv;
    vc_json ts = doc.get("start").get("test_start");
    if (ts.ok())
        kv.push_back({"test", (udp ? "UDP, " : "TCP, ") + fmt_fixed(ts.get("num_streams").num(1), 0) + " stream(s), " +
                                  fmt_fixed(ts.get("duration").num(), 0) + " s" +
                                  (ts.get("reverse").num() != 0 ? ", reverse" : "")});
    if (sent.ok())
        kv.push_back({"sent",
                      fmt_bits(sent.get("bits_per_second").num()) + "  (" + fmt_bytes(sent.get("bytes").num()) + ")"});
    if (received.ok())
        kv.push_back({"received", fmt_bits(received.get("bits_per_second").num()) + "  (" +
                                      fmt_bytes(received.get("bytes").num()) + ")"});
    if (!udp && sent.get("retransmits").ok())
        kv.push_back({"retransmits", fmt_fixed(sent.get("retransmits").num(), 0)});
    // The receiver's side knows jitter and loss; older documents carry them in "sum" only.
    vc_json loss = received.get("jitter_ms").ok() ? received : end.get("sum");
    if (udp && loss.ok()) {
        kv.push_back({"jitter", fmt_fixed(loss.get("jitter_ms").num(), 3) + " ms"});
        kv.push_back({"lost", fmt_fixed(loss.get("lost_packets").num(), 0) + " of " +
                                  fmt_fixed(loss.get("packets").num(), 0) + " packets (" +
                                  fmt_fixed(loss.get("lost_percent").num(), 2) + "%)"});
    }
    if (!kv.empty()) {
        fputc('\n', stdout);
        term_print(term_kv(kv, static_cast<size_t>(term_size().cols)));
    }
    if (!error.empty()) fprintf(stderr, "vornctl: iperf3: %s\n", term_clean(error).c_str());
    return error.empty();
}

bool on_iperf_frame(void* user, std::string_view frame) {
    auto* v = static_cast<iperf_view_t*>(user);
    vc_json_doc doc;
    if (!doc.parse(frame)) return true;
    auto g = v->live.lock();
    vc_json root = doc.root();
    vc_json data = root.get("data");
    if (view_report_error(*v->ctx, root)) {
        v->live.clear();
    } else if (root.get("event").str() == "done") {
        v->ended = true;
        v->live.clear();
    } else if (data.get("type").str() == "line") {
        v->live.print_above(data.get("text").str());
    } else if (data.is_object()) {
        v->ended = true;  // the document comes when the test is over
        v->live.clear();
        if (!print_iperf_document(data)) v->failed = true;
    }
    return true;
}

void iperf_tick(iperf_view_t* v) {
    if (v->ended) return;
    double el = static_cast<double>(now_ms() - v->start_ms) / 1000;
    int bar = std::clamp(v->live.size().cols - 40, BAR_MIN_COLS, BAR_MAX_COLS);
    v->live.draw({"iperf3 to " + v->host + "  " + fmt_bar(el / v->seconds * 100, bar) + "  " + fmt_duration(el) +
                  " / " + fmt_duration(v->seconds)});
}

}  // namespace

int ctl_cmd_fio(const ctl_ctx& ctx, int argc, char** argv) {
    std::string args;
    if (!view_first_arg(ctx, "fio_run", "target_dir", argc, argv, &args)) return CTL_USAGE;
    if (!ctl_view_wanted(ctx)) return ctl_run_op(ctx, "fio_run", args);
    fio_view_t v;
    vc_json_doc a;
    if (a.parse(args)) v.runtime_s = std::min(a.root().get("runtime").num(0), 86400.0);
    v.live.start_ticker([&v](bool) {
        if (!v.tests.empty()) v.live.draw(fio_bars(v, v.live.size()));
    });
    int st = view_stream(ctx, "fio_run", args, &v.live, on_fio_frame, &v, false);
    vc_json_doc doc;
    if (!v.failure.empty() && doc.parse(v.failure)) view_report_error(ctx, doc.root());
    print_fio_summary(v);
    if (ctl_interrupted())
        view_note("cancelled: fio was stopped and the daemon removed its work directory " +
                  (v.work_dir.empty() ? std::string("(none yet)") : v.work_dir));
    return st;
}

int ctl_cmd_iperf3(const ctl_ctx& ctx, int argc, char** argv) {
    std::string args;
    if (!view_first_arg(ctx, "iperf3_client", "host", argc, argv, &args)) return CTL_USAGE;
    if (!ctl_view_wanted(ctx)) return ctl_run_op(ctx, "iperf3_client", args);
    iperf_view_t v;
    v.ctx = &ctx;
    v.host = term_clean(argv[0]);
    vc_json_doc a;
    if (a.parse(args)) v.seconds = std::max(a.root().get("time").num(10), 1.0);
    // iperf3's JSON document comes only at the test's end, so a stream of it has sent nothing,
    // not even its job id, when Ctrl-C comes: the connection is closed and what iperf3 writes
    // as it stops is lost. Its own lines come each second and the first carries the job id,
    // so the view asks for those unless told json=true.
    if (!a.root().get("json").ok()) args.insert(args.size() - 1, ",\"json\":false");
    v.start_ms = now_ms();
    v.live.start_ticker([&v](bool) { iperf_tick(&v); });
    int st = view_stream(ctx, "iperf3_client", args, &v.live, on_iperf_frame, &v, true);
    if (ctl_interrupted()) view_note("cancelled: iperf3 was stopped");
    return st == CTL_OK && v.failed ? CTL_FAIL : st;
}
