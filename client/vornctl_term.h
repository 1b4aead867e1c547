// vornctl_term — formatting and terminal handling shared by vornctl's views for people:
// human units, columns laid out and cut to the terminal's width, and a live block of lines
// redrawn in place with plain VT100 sequences (no terminal library). The terminal is never
// put in raw mode; the only state a view changes is the cursor's visibility, and that is
// given back on every way out: the view's own end, a normal exit, SIGTERM, SIGHUP, SIGQUIT
// and a stop with Ctrl-Z (hidden again on SIGCONT).
// Threads: a term_live is drawn from the main thread and from its ticker thread, both under
// its lock. Formatting functions are pure.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

struct term_size_t {
    int rows = 24;
    int cols = 80;
};

// True when standard output is a terminal (and views draw for a person).
bool term_is_tty();
// True when that terminal shows colours: TERM names one other than "dumb", NO_COLOR is unset.
bool term_colour();
// The size of the terminal on standard output; 24 × 80 when it has none.
term_size_t term_size();

// ---- text ----

// Control characters (a tool's or a process's text may hold escape sequences) become '?'.
std::string term_clean(std::string_view s);
// Display width of UTF-8 text: one column per code point.
size_t term_width(std::string_view s);
// `s` cut to at most `width` columns, never inside a UTF-8 sequence.
std::string term_cut(std::string_view s, size_t width);
// `s` padded with spaces to `width` columns, on the right (left-aligned) or the left.
std::string term_pad(std::string_view s, size_t width, bool right_align = false);

// ---- units ----

std::string fmt_fixed(double v, int decimals);
// 0 B, 512 B, 1.5 KiB, 12.3 MiB, 1.0 TiB: powers of 1024, one decimal from KiB up.
std::string fmt_bytes(double bytes);
// A duration in seconds as M:SS, or H:MM:SS from one hour.
std::string fmt_duration(double seconds);
// A latency in nanoseconds as 850 ns, 12.3 us, 4.56 ms or 1.20 s.
std::string fmt_nsec(double ns);
// A rate in bits per second as 941 Mbit/s or 4.26 Gbit/s (powers of 1000).
std::string fmt_bits(double bits_per_second);
// [#####-----] `width` columns wide (brackets included) for `pct` 0..100.
std::string fmt_bar(double pct, int width);

// ---- layout ----

struct term_col_t {
    std::string title;
    bool right = false;  // right-aligned (figures)
    bool flex = false;   // the one column that is cut to what the others leave of the width
    size_t min = 0;      // columns at least this wide, so a live table keeps its shape
};

// A header line and one line per row, columns two spaces apart and as wide as their widest
// cell; every cell cleaned. When the lines exceed `width`, the flex column is cut, then the
// last columns are left out (columns come in the order of their importance), and only a
// lone column left is cut. width 0: no limit.
std::vector<std::string> term_table(const std::vector<term_col_t>& cols,
                                    const std::vector<std::vector<std::string>>& rows, size_t width);
// "key  value" lines, the values aligned after the longest key; cut to `width` (0: no limit).
std::vector<std::string> term_kv(const std::vector<std::pair<std::string, std::string>>& kv, size_t width);
// Writes lines to standard output, each followed by a line feed.
void term_print(const std::vector<std::string>& lines);

// ---- live block ----

// A block of lines at the bottom of the output, redrawn in place. Full-screen blocks (live
// tables) own the screen from its top; others sit below what was printed before them and
// can print lines above themselves. Lines are cut to the width and the block to the height
// (a cursor movement cannot reach above the screen's top).
class term_live {
public:
    explicit term_live(bool full_screen);
    ~term_live();  // stops the ticker, leaves the block on screen, shows the cursor
    term_live(const term_live&) = delete;
    term_live& operator=(const term_live&) = delete;

    // The lock every draw is made under; hold it while changing what a ticker reads.
    std::unique_lock<std::mutex> lock() { return std::unique_lock<std::mutex>(mu_); }
    // The following expect the lock held.
    void draw(const std::vector<std::string>& lines);
    // Prints `text` (a line feed added when missing) above the block and redraws the block.
    void print_above(std::string_view text);
    // Removes the block from the screen; the next draw starts afresh where it stood.
    void clear();
    // Leaves the block as it is and ends it: later output goes below it.
    void finish();
    term_size_t size() const { return size_; }

    // Calls `tick` under the lock every `period_ms` and at once when the window changes
    // (with `resized` true), from a thread of its own, until stop_ticker or destruction.
    void start_ticker(std::function<void(bool resized)> tick, int period_ms = 1000);
    void stop_ticker();

private:
    void write_out(const std::string& s);
    void ticker_loop(int period_ms);

    std::mutex mu_;
    bool full_screen_;
    bool started_ = false;  // the screen was prepared and the cursor hidden
    int drawn_ = 0;         // lines of the block on screen now
    std::vector<std::string> last_;
    term_size_t size_;
    std::function<void(bool)> tick_;
    std::thread ticker_;
    std::atomic<bool> stop_{false};
    bool sigwinch_blocked_ = false;
};
