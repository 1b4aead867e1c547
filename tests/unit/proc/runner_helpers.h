// Runs a command through the child runner and keeps what it delivered: each line with its stream
// number, the pass ends of a batched run, the result and the time it took.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "jobs/jobs.h"
#include "proc/runner.h"
#include "unit_helpers.h"

// A command line and the child description that runs it; argv points into `words`, so it is never copied.
struct cmd_t {
    strings words;
    std::vector<char*> argv;
    exec_spec_t spec{};
    explicit cmd_t(strings w, int merge = 1, int grace_ms = 0, const char* cwd = nullptr) : words(std::move(w)) {
        for (auto& x : words) argv.push_back(x.data());
        argv.push_back(nullptr);
        spec = {argv.data(), nullptr, cwd, merge, grace_ms};
    }
    cmd_t(const cmd_t&) = delete;
};

struct run_t {
    std::vector<std::pair<int, std::string>> lines;  // stream number (0: a pass end, "|"), text
    int stop_after = -1;                             // ask for a stop once this many entries arrived
    bool batched = false;                            // ... and then only at a pass end
    int rc = 0;
    exec_result_t res{};
    uint64_t elapsed_ms = 0;
    strings texts() const {  // the lines, without the pass ends
        strings v;
        for (auto& l : lines)
            if (l.first != 0) v.push_back(l.second);
        return v;
    }
};

inline int collect(void* ctx, int which, const char* line) {
    auto* r = static_cast<run_t*>(ctx);
    r->lines.emplace_back(which, line);
    bool may_stop = !r->batched || which == 0;
    return may_stop && r->stop_after >= 0 && static_cast<int>(r->lines.size()) >= r->stop_after ? 1 : 0;
}

// The batched runner's callback also gets the length, which must be the line's own.
inline int collect_len(void* ctx, int which, const char* line, size_t len) {
    EXPECT_EQ(strlen(line), len);
    return collect(ctx, which, line);
}

inline int pass_end(void* ctx) { return collect(ctx, 0, "|"); }

inline run_t run(const cmd_t& c, const cancel_token_t& cancel = {}, int stop_after = -1, bool batched = false) {
    run_t r;
    r.stop_after = stop_after;
    r.batched = batched;
    uint64_t t0 = now_ms();
    r.rc = batched ? exec_stream_batched(&c.spec, collect_len, pass_end, &r, cancel, &r.res)
                   : exec_stream(&c.spec, collect, &r, cancel, &r.res);
    r.elapsed_ms = now_ms() - t0;
    return r;
}

inline run_t sh(const std::string& script, int merge = 1, bool batched = false) {
    return run(cmd_t({"/bin/sh", "-c", script}, merge), {}, -1, batched);
}
