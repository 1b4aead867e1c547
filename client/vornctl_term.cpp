#include "vornctl_term.h"

#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/clock.h"

namespace {

constexpr char SHOW_CURSOR[] = "\033[?25h";
constexpr char HIDE_CURSOR[] = "\033[?25l";

// Whether a live block has the cursor hidden now; read by the signal handlers.
volatile sig_atomic_t g_cursor_hidden = 0;

void write_raw(const char* s, size_t n) {
    // Only async-signal-safe calls: this runs from signal handlers too.
    while (n > 0) {
        ssize_t w = write(STDOUT_FILENO, s, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;
        s += w;
        n -= static_cast<size_t>(w);
    }
}

void restore_cursor() {
    if (g_cursor_hidden) write_raw(SHOW_CURSOR, sizeof SHOW_CURSOR - 1);
}

void on_fatal(int sig) {
    int saved = errno;
    restore_cursor();
    signal(sig, SIG_DFL);
    raise(sig);  // delivered when this handler returns: the process ends as it would have
    errno = saved;
}

void on_cont(int);

void on_stop(int) {
    int saved = errno;
    restore_cursor();
    signal(SIGTSTP, SIG_DFL);
    raise(SIGTSTP);
    errno = saved;
}

void on_cont(int) {
    int saved = errno;
    signal(SIGTSTP, on_stop);
    if (g_cursor_hidden) write_raw(HIDE_CURSOR, sizeof HIDE_CURSOR - 1);
    errno = saved;
}

// Once per process, before the cursor is first hidden.
void install_restorers() {
    static bool done = false;
    if (done) return;
    done = true;
    atexit(restore_cursor);
    for (int sig : {SIGTERM, SIGHUP, SIGQUIT}) signal(sig, on_fatal);
    signal(SIGTSTP, on_stop);
    signal(SIGCONT, on_cont);
}

std::string printf_str(const char* fmt, double v) {
    char buf[64];
    snprintf(buf, sizeof buf, fmt, v);
    return buf;
}

// Scaled figure: value / base^k in the largest unit it reaches, with `decimals`.
std::string scaled(double v, double base, const char* const* units, size_t n_units, int decimals) {
    size_t k = 0;
    while (k + 1 < n_units && std::fabs(v) >= base) {
        v /= base;
        k++;
    }
    return fmt_fixed(v, k == 0 ? 0 : decimals) + " " + units[k];
}

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

bool term_is_tty() { return isatty(STDOUT_FILENO) == 1; }

term_size_t term_size() {
    term_size_t s;
    struct winsize ws;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && ws.ws_col > 0) {
        s.rows = ws.ws_row;
        s.cols = ws.ws_col;
    }
    return s;
}

bool term_colour() {
    const char* term = getenv("TERM");
    return term_is_tty() && term && *term && strcmp(term, "dumb") != 0 && !getenv("NO_COLOR");
}

// ---- text ----

std::string term_clean(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); i++) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c == '\t') {
            out += ' ';
        } else if (c < 0x20 || c == 0x7f) {
            out += '?';
        } else if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) < 0xA0 &&
                   is_continuation(static_cast<unsigned char>(s[i + 1]))) {
            out += '?';  // U+0080..U+009F: C1 controls, which some terminals obey
            i++;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

size_t term_width(std::string_view s) {
    size_t w = 0;
    for (char c : s)
        if (!is_continuation(static_cast<unsigned char>(c))) w++;
    return w;
}

std::string term_cut(std::string_view s, size_t width) {
    size_t w = 0, i = 0;
    for (; i < s.size(); i++) {
        if (is_continuation(static_cast<unsigned char>(s[i]))) continue;
        if (w == width) break;
        w++;
    }
    return std::string(s.substr(0, i));
}

std::string term_pad(std::string_view s, size_t width, bool right_align) {
    size_t w = term_width(s);
    std::string pad(w < width ? width - w : 0, ' ');
    return right_align ? pad + std::string(s) : std::string(s) + pad;
}

// ---- units ----

std::string fmt_fixed(double v, int decimals) {
    char buf[64];
    snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

std::string fmt_bytes(double bytes) {
    static const char* const UNITS[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    return scaled(bytes, 1024, UNITS, std::size(UNITS), 1);
}

std::string fmt_bits(double bits_per_second) {
    static const char* const UNITS[] = {"bit/s", "Kbit/s", "Mbit/s", "Gbit/s", "Tbit/s"};
    return scaled(bits_per_second, 1000, UNITS, std::size(UNITS), 2);
}

std::string fmt_duration(double seconds) {
    long long s = seconds > 0 ? static_cast<long long>(seconds) : 0;
    char buf[48];
    if (s >= 3600) snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    else snprintf(buf, sizeof buf, "%lld:%02lld", s / 60, s % 60);
    return buf;
}

std::string fmt_nsec(double ns) {
    if (ns < 1e3) return printf_str("%.0f ns", ns);
    if (ns < 1e6) return printf_str("%.1f us", ns / 1e3);
    if (ns < 1e9) return printf_str("%.2f ms", ns / 1e6);
    return printf_str("%.2f s", ns / 1e9);
}

std::string fmt_bar(double pct, int width) {
    int inner = std::max(width - 2, 1);
    double p = std::clamp(std::isfinite(pct) ? pct : 0.0, 0.0, 100.0);
    int full = static_cast<int>(std::lround(p / 100.0 * inner));
    return "[" + std::string(static_cast<size_t>(full), '#') + std::string(static_cast<size_t>(inner - full), '-') +
           "]";
}

// ---- layout ----

std::vector<std::string> term_table(const std::vector<term_col_t>& cols,
                                    const std::vector<std::vector<std::string>>& rows, size_t width) {
    std::vector<std::vector<std::string>> cells;
    cells.reserve(rows.size() + 1);
    std::vector<std::string> head;
    for (const term_col_t& c : cols) head.push_back(c.title);
    cells.push_back(std::move(head));
    for (const auto& r : rows) {
        std::vector<std::string> clean;
        for (size_t i = 0; i < cols.size(); i++) clean.push_back(term_clean(i < r.size() ? r[i] : ""));
        cells.push_back(std::move(clean));
    }
    std::vector<size_t> w;
    for (const term_col_t& c : cols) w.push_back(c.min);
    for (const auto& r : cells)
        for (size_t i = 0; i < cols.size(); i++) w[i] = std::max(w[i], term_width(r[i]));
    size_t total = cols.empty() ? 0 : 2 * (cols.size() - 1);
    for (size_t x : w) total += x;
    for (size_t i = 0; i < cols.size(); i++)
        if (width > 0 && total > width && cols[i].flex) {
            size_t others = total - w[i];
            w[i] = others < width ? std::max<size_t>(width - others, 1) : 1;
            total = others + w[i];
        }
    // Still too wide: the last columns give way whole, so no figure is shown cut.
    size_t shown = cols.size();
    for (; width > 0 && total > width && shown > 1; shown--) total -= w[shown - 1] + 2;
    std::vector<std::string> lines;
    for (const auto& r : cells) {
        std::string line;
        for (size_t i = 0; i < shown; i++) {
            if (i) line += "  ";
            line += term_pad(term_cut(r[i], w[i]), w[i], cols[i].right);
        }
        if (width > 0) line = term_cut(line, width);
        line.erase(line.find_last_not_of(' ') + 1);
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> term_kv(const std::vector<std::pair<std::string, std::string>>& kv, size_t width) {
    size_t kw = 0;
    for (const auto& [k, v] : kv) kw = std::max(kw, term_width(k));
    std::vector<std::string> lines;
    for (const auto& [k, v] : kv) {
        std::string line = term_pad(k, kw) + "  " + term_clean(v);
        lines.push_back(width > 0 ? term_cut(line, width) : line);
    }
    return lines;
}

void term_print(const std::vector<std::string>& lines) {
    for (const std::string& l : lines) {
        fwrite(l.data(), 1, l.size(), stdout);
        fputc('\n', stdout);
    }
    fflush(stdout);
}

// ---- live block ----

term_live::term_live(bool full_screen) : full_screen_(full_screen), size_(term_size()) {}

term_live::~term_live() {
    stop_ticker();
    std::lock_guard<std::mutex> g(mu_);
    finish();
}

void term_live::write_out(const std::string& s) {
    fflush(stdout);
    write_raw(s.data(), s.size());
}

void term_live::draw(const std::vector<std::string>& lines) {
    size_ = term_size();
    std::string out;
    if (!started_) {
        install_restorers();
        g_cursor_hidden = 1;
        started_ = true;
        out += HIDE_CURSOR;
        // A live table takes the screen: what was on it scrolls up, kept in the scrollback.
        if (full_screen_) out += std::string(static_cast<size_t>(size_.rows - 1), '\n');
    }
    if (full_screen_) out += "\033[H";
    else if (drawn_ > 0) out += "\r\033[" + std::to_string(drawn_) + "A";
    // At most one line less than the screen: the cursor rests below the block.
    size_t n = std::min(lines.size(), static_cast<size_t>(std::max(size_.rows - 1, 1)));
    size_t width = static_cast<size_t>(std::max(size_.cols - 1, 1));
    for (size_t i = 0; i < n; i++) out += term_cut(term_clean(lines[i]), width) + "\033[K\n";
    out += "\033[J";
    write_out(out);
    drawn_ = static_cast<int>(n);
    last_ = lines;
}

void term_live::clear() {
    if (drawn_ > 0) write_out("\r\033[" + std::to_string(drawn_) + "A\033[J");
    drawn_ = 0;
}

void term_live::print_above(std::string_view text) {
    std::vector<std::string> keep = last_;
    clear();
    std::string out = term_clean(text);
    out += '\n';
    write_out(out);
    if (!keep.empty()) draw(keep);
}

void term_live::finish() {
    drawn_ = 0;
    last_.clear();
    if (started_ && g_cursor_hidden) {
        write_out(SHOW_CURSOR);
        g_cursor_hidden = 0;
    }
    started_ = false;
}

void term_live::start_ticker(std::function<void(bool)> tick, int period_ms) {
    if (ticker_.joinable()) return;
    tick_ = std::move(tick);
    // The window-change signal is taken by the ticker alone, with sigtimedwait: blocked in
    // every thread, so it stays pending until the ticker asks for it.
    sigset_t w, old;
    sigemptyset(&w);
    sigaddset(&w, SIGWINCH);
    pthread_sigmask(SIG_BLOCK, &w, &old);
    sigwinch_blocked_ = !sigismember(&old, SIGWINCH);
    stop_ = false;
    ticker_ = std::thread([this, period_ms] { ticker_loop(period_ms); });
}

void term_live::stop_ticker() {
    if (!ticker_.joinable()) return;
    stop_ = true;
    pthread_kill(ticker_.native_handle(), SIGWINCH);  // ends its wait at once
    ticker_.join();
    if (sigwinch_blocked_) {
        sigset_t w;
        sigemptyset(&w);
        sigaddset(&w, SIGWINCH);
        pthread_sigmask(SIG_UNBLOCK, &w, nullptr);
        sigwinch_blocked_ = false;
    }
}

void term_live::ticker_loop(int period_ms) {
    sigset_t all, w;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);  // Ctrl-C belongs to the main thread
    sigemptyset(&w);
    sigaddset(&w, SIGWINCH);
    uint64_t next = now_ms() + static_cast<uint64_t>(period_ms);
    while (!stop_) {
        uint64_t now = now_ms();
        uint64_t wait = next > now ? next - now : 0;
        struct timespec ts = {static_cast<time_t>(wait / 1000), static_cast<long>(wait % 1000) * 1000000L};
        int sig = sigtimedwait(&w, nullptr, &ts);
        if (stop_) break;
        bool resized = sig == SIGWINCH;
        if (!resized) {
            if (now_ms() < next) continue;  // interrupted early
            next = now_ms() + static_cast<uint64_t>(period_ms);
        }
        std::lock_guard<std::mutex> g(mu_);
        tick_(resized);
    }
}
