#include "ctl_util.h"

#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "base/fdio.h"
#include "spawn.h"

std::vector<std::string> ctl(const std::string& sock, std::vector<std::string> words) {
    words.insert(words.begin(), {VORNCTL_BIN, "-s", sock});
    return words;
}

unique_fd listen_at(const std::string& path) {
    unique_fd lfd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    bool ok = bind(lfd.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0 && listen(lfd.get(), 4) == 0;
    return ok ? std::move(lfd) : unique_fd();
}

namespace {

unique_fd accept_within(int lfd, int timeout_ms) {
    struct pollfd p = {lfd, POLLIN, 0};
    return unique_fd(poll(&p, 1, timeout_ms) == 1 ? accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC) : -1);
}

}  // namespace

std::thread serve_once(int lfd, std::string* request, std::vector<std::string> frames) {
    return std::thread([lfd, request, frames] {
        unique_fd c = accept_within(lfd, 10000);
        if (c && vc_recv(c.get(), request) == 0)
            for (const std::string& f : frames) vc_send(c.get(), f);
    });
}

std::thread serve_each(int lfd, std::vector<std::string>* requests, std::vector<std::vector<std::string>> replies) {
    return std::thread([=] {
        for (const auto& frames : replies) {
            unique_fd c = accept_within(lfd, 10000);
            if (!c || vc_recv(c.get(), &requests->emplace_back()) != 0) return;
            for (const std::string& f : frames) vc_send(c.get(), f);
        }
    });
}

// ---- a terminal of its own ----

TerminalRun::TerminalRun(std::vector<std::string> words, unsigned short rows, unsigned short cols) {
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    struct winsize ws = {rows, cols, 0, 0};
    int fd = -1;
    pid = forkpty(&fd, nullptr, nullptr, &ws);  // the terminal becomes the child's own
    if (pid == 0) {
        execv(argv[0], argv.data());
        _exit(127);
    }
    master.reset(fd);
}

TerminalRun::~TerminalRun() {
    if (pid > 0) wait_exit(pid, 0);  // kills it when still running
}

void TerminalRun::type(std::string_view keys) { write_full(master.get(), keys.data(), keys.size()); }

int TerminalRun::read_some() {
    struct pollfd p = {master.get(), POLLIN, 0};
    char buf[4096];
    ssize_t r = poll(&p, 1, SCREEN_WAIT_MS) == 1 ? read(master.get(), buf, sizeof buf) : 0;
    if (r > 0) screen.append(buf, static_cast<size_t>(r));
    return r < 0 ? -1 : static_cast<int>(r);
}

bool TerminalRun::wait_for(std::string_view needle, size_t from) {
    while (screen.find(needle, from) == std::string::npos)
        if (read_some() <= 0) return false;
    return true;
}

int TerminalRun::wait_exit_status() {
    while (read_some() > 0) {
    }
    int st = wait_exit(pid, SCREEN_WAIT_MS);
    pid = -1;
    return st;
}

bool TerminalRun::resize(unsigned short rows, unsigned short cols) {
    struct winsize ws = {rows, cols, 0, 0};
    return ioctl(master.get(), TIOCSWINSZ, &ws) == 0;
}

// ---- screen ----

vt_screen::vt_screen(int rows, int cols) : rows_(rows), cols_(cols) {
    cells_.assign(static_cast<size_t>(rows), std::vector<std::string>(static_cast<size_t>(cols), " "));
}

void vt_screen::resize(int rows, int cols) {
    cells_.resize(static_cast<size_t>(rows), std::vector<std::string>(static_cast<size_t>(cols), " "));
    for (auto& row : cells_) row.resize(static_cast<size_t>(cols), " ");
    rows_ = rows;
    cols_ = cols;
    r_ = std::min(r_, rows - 1);
    c_ = std::min(c_, cols - 1);
    wrap_pending_ = false;
}

void vt_screen::line_feed() {
    if (r_ + 1 < rows_) {
        r_++;
        return;
    }
    cells_.erase(cells_.begin());
    cells_.emplace_back(static_cast<size_t>(cols_), " ");
}

void vt_screen::put(const std::string& glyph) {
    if (wrap_pending_) {
        c_ = 0;
        line_feed();
        wrap_pending_ = false;
    }
    cells_[static_cast<size_t>(r_)][static_cast<size_t>(c_)] = glyph;
    if (c_ + 1 < cols_) c_++;
    else wrap_pending_ = true;
}

void vt_screen::csi(std::string_view params, char final) {
    if (params == "?25") {
        cursor_visible = final == 'h';
        return;
    }
    int n = params.empty() ? 0 : atoi(std::string(params).c_str());
    auto blank = [&](int row, int from, int to) {
        for (int c = from; c < to; c++) cells_[static_cast<size_t>(row)][static_cast<size_t>(c)] = " ";
    };
    wrap_pending_ = false;
    switch (final) {
    case 'A': r_ = std::max(r_ - std::max(n, 1), 0); break;
    case 'H': r_ = 0, c_ = 0; break;  // only the home position is used
    case 'K': blank(r_, c_, cols_); break;
    case 'J':
        blank(r_, c_, cols_);
        for (int r = r_ + 1; r < rows_; r++) blank(r, 0, cols_);
        break;
    default: break;
    }
}

void vt_screen::feed(std::string_view b) {
    for (size_t i = 0; i < b.size(); i++) {
        auto ch = static_cast<unsigned char>(b[i]);
        if (ch == '\r') c_ = 0, wrap_pending_ = false;
        else if (ch == '\n') line_feed(), wrap_pending_ = false;
        else if (ch == '\b') c_ = std::max(c_ - 1, 0), wrap_pending_ = false;
        else if (ch == 0x1b && i + 1 < b.size() && b[i + 1] == '[') {
            size_t j = i + 2;
            while (j < b.size() && (isdigit(static_cast<unsigned char>(b[j])) || b[j] == ';' || b[j] == '?')) j++;
            if (j < b.size()) csi(b.substr(i + 2, j - i - 2), b[j]);
            i = j;
        } else if (ch >= 0x20) {
            size_t len = ch < 0x80 ? 1 : ch < 0xE0 ? 2 : ch < 0xF0 ? 3 : 4;
            put(std::string(b.substr(i, len)));
            i += len - 1;
        }
    }
}

std::vector<std::string> vt_screen::lines() const {
    std::vector<std::string> out;
    for (const auto& row : cells_) {
        std::string l;
        for (const std::string& g : row) l += g;
        l.erase(l.find_last_not_of(' ') + 1);
        out.push_back(l);
    }
    while (!out.empty() && out.back().empty()) out.pop_back();
    return out;
}

std::string vt_screen::text() const {
    std::string s;
    for (const std::string& l : lines()) s += l + "\n";
    return s;
}
