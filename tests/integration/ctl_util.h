// Helpers for the tests of vornctl: its command line, a stand-in daemon that replays scripted
// frames, vornctl on a pseudo-terminal of its own, and a small screen that plays back what
// vornctl wrote to that terminal (the VT100 sequences vornctl's views use) as lines of text.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/fdio.h"
#include "harness.h"

// vornctl -s SOCK WORDS...
std::vector<std::string> ctl(const std::string& sock, std::vector<std::string> words);

// A stand-in daemon listening on `path`; the test scripts the frames it sends back.
unique_fd listen_at(const std::string& path);
// Serves one request with `frames` and keeps the request text; nothing when none comes in 10 s.
std::thread serve_once(int lfd, std::string* request, std::vector<std::string> frames);
// Serves one connection after the other, each with its own frames; keeps the requests.
std::thread serve_each(int lfd, std::vector<std::string>* requests, std::vector<std::vector<std::string>> replies);

constexpr int SCREEN_WAIT_MS = 8000;

// vornctl running as the session leader of a fresh terminal of the given size; `screen` holds
// all it has shown.
struct TerminalRun {
    unique_fd master;
    pid_t pid = -1;
    std::string screen;

    TerminalRun(std::vector<std::string> words, unsigned short rows, unsigned short cols);
    ~TerminalRun();
    void type(std::string_view keys);
    // >0 bytes read, 0 nothing for SCREEN_WAIT_MS, -1 the terminal is gone.
    int read_some();
    // Reads the screen until it shows `needle` at or after byte `from`.
    bool wait_for(std::string_view needle, size_t from = 0);
    // Reads the screen to the terminal's end, then reaps vornctl: its exit status or -1.
    int wait_exit_status();
    // Sets the window size (the kernel then signals vornctl).
    bool resize(unsigned short rows, unsigned short cols);
};

// The screen a terminal of `rows` × `cols` shows after `bytes`: its lines without trailing
// blanks, the last blank lines dropped. Understands CR, LF, BS, and ESC [ n A, H, J, K,
// ?25h/l; `cursor_visible` tells the last state of the cursor.
struct vt_screen {
    vt_screen(int rows, int cols);
    void feed(std::string_view bytes);
    void resize(int rows, int cols);
    std::vector<std::string> lines() const;
    std::string text() const;  // lines() joined with '\n'
    bool cursor_visible = true;

private:
    void put(const std::string& glyph);
    void line_feed();
    void csi(std::string_view params, char final);
    int rows_, cols_, r_ = 0, c_ = 0;
    bool wrap_pending_ = false;
    std::vector<std::vector<std::string>> cells_;
};
