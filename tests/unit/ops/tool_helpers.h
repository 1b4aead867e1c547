// The tools' output fed to their parsers and read back from a socket pair as a client would: the
// line parsers of iostat and zpool, and the chunk data of every frame a parser sent.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <sstream>
#include <string>
#include <thread>

#include "base/sb.h"
#include "ops/iostat.h"
#include "ops/zpool.h"
#include "unit_helpers.h"
#include "wire/frame.h"
#include "wire/reply.h"

// A parser writing its chunks into a socket pair.
template <typename Ctx, int (*Cb)(void*, int, const char*)>
struct parser_t {
    SocketPair sp;
    op_emit_t e = {sp.near(), "r1", nullptr, nullptr};
    Ctx ctx;
    parser_t() { ctx.e = &e; }
    int line(const std::string& l) { return Cb(&ctx, 1, l.c_str()); }
    // Feeds `text`, then flushes: the frames sent while feeding, "|", then those of the flush.
    strings parse(const std::string& text) {
        std::istringstream in(text);
        for (std::string l; std::getline(in, l);) EXPECT_EQ(line(l), 0) << l;
        strings out = waiting_frames(sp.far());
        out.push_back("|");
        EXPECT_EQ(flush_batch(&ctx), 0);
        for (auto& f : waiting_frames(sp.far())) out.push_back(f);
        return out;
    }
};
using iostat_parser = parser_t<iostat_ctx_t, iostat_cb>;
using zpool_parser = parser_t<zp_ctx_t, zp_cb>;

// A device member with `keys` set to `figs` as the frame spells them; missing trailing ones "0.00".
inline std::string member(const std::string& name, const char* cls, const std::string& extra,
                          std::initializer_list<const char*> keys, const char* figs) {
    std::istringstream in(figs);
    std::string s = "\"" + name + "\":{\"dev_class\":\"" + cls + "\"" + extra, fig;
    for (const char* k : keys) s += std::string(",\"") + k + "\":" + (in >> fig ? fig : "0.00");
    return s + "}";
}

// The chunk data of every frame `feed` sent; a reader thread drains so large output never blocks.
template <typename Feed>
strings chunks_of(Feed feed) {
    SocketPair sp;
    strings out;
    std::thread reader([&] {
        sb_t f;
        while (proto_read_frame(sp.far(), &f) == 0) {
            std::string s(f.buf, f.len);
            const std::string head = "{\"id\":\"r1\",\"event\":\"chunk\",\"data\":";
            out.push_back(s.rfind(head, 0) == 0 ? s.substr(head.size(), s.size() - head.size() - 1) : "?" + s);
        }
    });
    op_emit_t e = {sp.near(), "r1", nullptr, nullptr};
    feed(&e);
    sp.ends[0].reset();
    reader.join();
    return out;
}
