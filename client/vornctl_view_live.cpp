// Live views: `iostat` and `zpool-iostat [POOL]` redraw a table in place for each sample of
// their stream, busiest disk first or as the pool's tree; and a generic request on a
// terminal shows its elapsed time on one line whenever it has been silent for a while.
// Ctrl-C cancels the stream's job (ctl_run_op); the terminal is given back by term_live.

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "base/clock.h"
#include "vornctl_term.h"
#include "vornctl_views.h"

namespace {

constexpr uint64_t SILENCE_BEFORE_INDICATOR_MS = 1000;

// Builds the screen from the last sample's data (absent before the first sample).
using render_fn = std::vector<std::string> (*)(const vc_json& data, int samples, term_size_t size);

struct live_table_t {
    term_live live{true};
    render_fn render;
    std::string last;     // the last chunk frame
    std::string failure;  // an error frame, reported once the screen is given back
    int samples = 0;
    // The tools' first report holds averages (iostat's since boot, zpool's since the pool was
    // imported), not a second's figures: that one is not shown. (A stream that joins a tool already running gets a second's figures first, so
    // it waits a second more than it needs to.)
    bool skip_first = false;
};

// Called with the live lock held.
void redraw(live_table_t* t) {
    vc_json_doc doc;
    vc_json data;
    if (!t->last.empty() && doc.parse(t->last)) data = doc.root().get("data");
    t->live.draw(t->render(data, t->samples, term_size()));
}

bool on_sample(void* user, std::string_view frame) {
    auto* t = static_cast<live_table_t*>(user);
    vc_json_doc doc;
    if (!doc.parse(frame)) return true;
    auto g = t->live.lock();
    if (doc.root().get("ok").raw() == "false") {
        t->failure = std::string(frame);
    } else if (doc.root().get("event").str() == "chunk") {
        if (t->skip_first) {
            t->skip_first = false;
            return true;
        }
        t->last = std::string(frame);
        t->samples++;
        redraw(t);
    }
    return true;
}

int run_live_table(const ctl_ctx& ctx, const char* view, std::string_view op, const std::string& args, render_fn render,
                   bool skip_first) {
    if (!ctl_view_wanted(ctx)) return ctl_run_op(ctx, op, args);
    live_table_t t;
    t.render = render;
    t.skip_first = skip_first;
    // The first tick shows that the stream is waiting for its first sample; later ticks only
    // matter for a changed window.
    t.live.start_ticker([&t](bool resized) {
        if (resized || t.samples == 0) redraw(&t);
    });
    int st = view_stream(ctx, op, args, &t.live, on_sample, &t, false);
    vc_json_doc doc;
    if (!t.failure.empty() && doc.parse(t.failure)) view_report_error(ctx, doc.root());
    else if (ctl_interrupted()) view_note(std::string(view) + " stopped");
    return st;
}

// Rows beyond the screen's height are summed up in one last line.
std::vector<std::string> fit_rows(std::vector<std::string> lines, size_t header_lines, term_size_t size) {
    size_t room = static_cast<size_t>(std::max(size.rows - 1, 2));
    if (lines.size() <= room) return lines;
    size_t shown = room - 1 > header_lines ? room - 1 - header_lines : 0;
    size_t hidden = lines.size() - header_lines - shown;
    lines.resize(header_lines + shown);
    lines.push_back("... " + std::to_string(hidden) + " more");
    return lines;
}

std::string title(const char* what, int samples) {
    if (samples == 0) return std::string(what) + ": waiting for the first sample (Ctrl-C stops)";
    return std::string(what) + ": sample " + std::to_string(samples) + " (Ctrl-C stops)";
}

// ---- iostat ----

struct disk_t {
    std::string name;
    double r, w, rkb, wkb, r_await, w_await, util, queue;
};

bool busier(const disk_t& a, const disk_t& b) {
    if (a.util != b.util) return a.util > b.util;
    if (a.r + a.w != b.r + b.w) return a.r + a.w > b.r + b.w;
    return a.name < b.name;
}

std::vector<std::string> render_iostat(const vc_json& data, int samples, term_size_t size) {
    std::vector<disk_t> disks;
    for (const auto& m : data.get("disks").members()) {
        const vc_json& d = m.value;
        disks.push_back({vc_json_unescape(m.key), d.get("read_iops").num(), d.get("write_iops").num(),
                         d.get("read_kb").num(), d.get("write_kb").num(), d.get("r_await").num(),
                         d.get("w_await").num(), d.get("util").num(), d.get("queue").num()});
    }
    std::sort(disks.begin(), disks.end(), busier);
    std::vector<std::vector<std::string>> rows;
    for (const disk_t& d : disks)
        rows.push_back({d.name, fmt_fixed(d.r, 1), fmt_fixed(d.w, 1), fmt_fixed(d.rkb, 1), fmt_fixed(d.wkb, 1),
                        fmt_fixed(d.r_await, 2), fmt_fixed(d.w_await, 2), fmt_fixed(d.util, 1), fmt_fixed(d.queue, 2)});
    static const std::vector<term_col_t> COLS = {
        {"DEVICE", false, false, 8}, {"r/s", true, false, 7},   {"w/s", true, false, 7},
        {"rkB/s", true, false, 9},   {"wkB/s", true, false, 9}, {"r_await", true, false, 7},
        {"w_await", true, false, 7}, {"%util", true, false, 5}, {"queue", true, false, 5}};
    std::vector<std::string> lines = {title("iostat", samples)};
    if (samples == 0) return lines;
    // The columns in the order they give way on a narrow screen, the last first.
    std::vector<std::string> table = term_table(COLS, rows, static_cast<size_t>(std::max(size.cols - 1, 1)));
    lines.insert(lines.end(), table.begin(), table.end());
    return fit_rows(std::move(lines), 2, size);
}

// ---- zpool iostat ----

constexpr int ZPOOL_FIGURE_COLS = 47;  // the four figure columns and their gaps
constexpr int ZPOOL_NAME_MIN_COLS = 12;

// A name too long for `room` columns keeps its end behind "..": disks are often named by id
// (ata-MODEL_SERIAL), and the serial tells them apart.
std::string name_tail(const std::string& name, size_t room) {
    if (term_width(name) <= room) return name;
    size_t at = name.size();
    for (size_t cols = 0; at > 0 && cols + 2 < room;)
        if ((static_cast<unsigned char>(name[--at]) & 0xC0) != 0x80) cols++;
    return ".." + name.substr(at);
}

std::vector<std::string> render_zpool(const vc_json& data, int samples, term_size_t size) {
    // The names give way, so the figures stay on screen.
    size_t room = static_cast<size_t>(std::max(size.cols - 1 - ZPOOL_FIGURE_COLS, ZPOOL_NAME_MIN_COLS));
    std::vector<std::vector<std::string>> rows;
    for (const auto& m : data.get("disks").members()) {
        const vc_json& d = m.value;
        size_t indent = 2 * static_cast<size_t>(std::clamp(static_cast<int>(d.get("level").num()), 0, 8));
        rows.push_back({std::string(indent, ' ') +
                            name_tail(vc_json_unescape(m.key), room > indent + 4 ? room - indent : 4),
                        fmt_fixed(d.get("read_iops").num(), 1), fmt_fixed(d.get("write_iops").num(), 1),
                        fmt_bytes(d.get("read_kb").num() * 1024) + "/s",
                        fmt_bytes(d.get("write_kb").num() * 1024) + "/s"});
    }
    static const std::vector<term_col_t> COLS = {{"NAME", false, false, 12},
                                                 {"read ops", true, false, 8},
                                                 {"write ops", true, false, 9},
                                                 {"read", true, false, 11},
                                                 {"write", true, false, 11}};
    std::string pool = data.get("pool").str();
    std::vector<std::string> lines = {title(pool.empty() ? "zpool iostat" : ("zpool iostat " + pool).c_str(), samples)};
    if (samples == 0) return lines;
    std::vector<std::string> table = term_table(COLS, rows, 0);
    lines.insert(lines.end(), table.begin(), table.end());
    return fit_rows(std::move(lines), 2, size);
}

// ---- elapsed time of a silent request ----

struct watched_t {
    const ctl_ctx* ctx = nullptr;
    term_live live{false};
    std::string op;
    uint64_t start_ms = 0, last_frame_ms = 0;
    bool ended = false;
};

bool print_watched(void* user, std::string_view frame) {
    auto* w = static_cast<watched_t*>(user);
    auto g = w->live.lock();
    w->live.clear();
    if (ctl_frame_outcome(frame) < 0 && frame.find("\"ok\":false") != std::string_view::npos)
        ctl_report_error(*w->ctx, frame);  // for a person, not a JSON line
    else ctl_print_frame(stdout, frame);   // exactly the generic form's line
    w->last_frame_ms = now_ms();
    if (ctl_frame_outcome(frame) != 0) w->ended = true;
    return true;
}

}  // namespace

int ctl_cmd_iostat(const ctl_ctx& ctx, int argc, char**) {
    if (argc != 0) return view_usage(ctx);
    return run_live_table(ctx, "iostat", "iostat_stream", "{}", render_iostat, true);
}

int ctl_cmd_zpool_iostat(const ctl_ctx& ctx, int argc, char** argv) {
    if (argc > 1 || (argc == 1 && argv[0][0] == '-')) return view_usage(ctx);
    std::string args = "{}";
    if (argc == 1 && !view_args("pool", argv[0], 0, nullptr, &args)) return CTL_USAGE;
    return run_live_table(ctx, "zpool iostat", "zpool_iostat_stream", args, render_zpool, true);
}

int ctl_run_op_watched(const ctl_ctx& ctx, std::string_view op, std::string_view args_json) {
    watched_t w;
    w.ctx = &ctx;
    w.op = std::string(op);
    w.start_ms = w.last_frame_ms = now_ms();
    w.live.start_ticker([&w](bool) {
        uint64_t now = now_ms();
        if (w.ended || now - w.last_frame_ms < SILENCE_BEFORE_INDICATOR_MS) return;
        w.live.draw({w.op + ": " + fmt_duration(static_cast<double>(now - w.start_ms) / 1000) +
                     " elapsed (Ctrl-C cancels)"});
    });
    return view_stream(ctx, op, args_json, &w.live, print_watched, &w, true);
}

std::vector<std::string> view_render_iostat(const vc_json& data, int samples, term_size_t size) {
    return render_iostat(data, samples, size);
}
std::vector<std::string> view_render_zpool(const vc_json& data, int samples, term_size_t size) {
    return render_zpool(data, samples, size);
}
