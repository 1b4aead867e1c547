// Small fixtures shared by the unit tests: the text of a byte string or of a builder, tokenizing a
// literal, a socket pair whose far end hands back whole frames (header bytes included), and a
// scratch directory.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "base/fdio.h"
#include "base/sb.h"
#include "wire/frame.h"
#include "wire/jsmn.h"

using strings = std::vector<std::string>;

inline std::string str(const sb_t& s) { return s.buf ? std::string(s.buf, s.len) : std::string(); }

// The text a builder makes of `text`.
template <typename Fn>
std::string built(Fn fn, std::string_view text) {
    sb_t s;
    EXPECT_EQ(fn(text, &s), 0);
    return str(s);
}

// Tokenizes `js` into a vector cut to exactly the token count, so that any read past the
// last token is caught by the address sanitizer.
struct Parsed {
    std::string js;
    std::vector<jsmntok_t> toks;
    int rc = 0;

    explicit Parsed(std::string text, unsigned cap = 1024) : js(std::move(text)), toks(cap) {
        jsmn_parser p;
        jsmn_init(&p);
        rc = jsmn_parse(&p, js.data(), js.size(), toks.data(), cap);
        toks.resize(rc > 0 ? static_cast<size_t>(rc) : 0);
    }
    int n() const { return static_cast<int>(toks.size()); }
    std::string text(int i) const { return js.substr(toks[i].start, toks[i].end - toks[i].start); }
};

inline std::string be32(uint32_t n) {
    return std::string{static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                       static_cast<char>(n)};
}

// The exact bytes of a frame carrying `body`.
inline std::string frame_of(const std::string& body) { return be32(static_cast<uint32_t>(body.size())) + body; }

struct SocketPair {
    unique_fd ends[2];
    SocketPair() {
        int fd[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd), 0);
        ends[0].reset(fd[0]);
        ends[1].reset(fd[1]);
    }
    int near() const { return ends[0].get(); }
    int far() const { return ends[1].get(); }
    void close_far() { ends[1].reset(); }
    // One frame as it arrived on the far end: the 4 header bytes and the body.
    std::string read_frame() const {
        unsigned char h[4];
        if (read_full(far(), h, 4) != 0) return "<no frame>";
        uint32_t n = uint32_t{h[0]} << 24 | uint32_t{h[1]} << 16 | uint32_t{h[2]} << 8 | h[3];
        std::string body(n, '\0');
        if (n && read_full(far(), body.data(), n) != 0) return "<short body>";
        return be32(n) + body;
    }
};

// Every frame body already waiting on `fd`, with the digits of "ts" replaced by 0.
inline std::vector<std::string> waiting_frames(int fd) {
    std::vector<std::string> out;
    for (struct pollfd p = {fd, POLLIN, 0}; poll(&p, 1, 0) == 1;) {
        sb_t f;
        if (proto_read_frame(fd, &f) != 0) break;
        out.push_back(std::regex_replace(std::string(f.buf, f.len), std::regex("\"ts\":[0-9]+"), "\"ts\":0"));
    }
    return out;
}

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/vorn-unit-XXXXXX";
        path = mkdtemp(tmpl) ? tmpl : "";
        EXPECT_FALSE(path.empty());
    }
    ~TempDir() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
    std::string write(const std::string& name, const std::string& content) const {
        std::string p = path + "/" + name;
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }
};
