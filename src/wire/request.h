// request — one request as its handler sees it (op_req_t), and what the handler hands back
// (op_result), which dispatch turns into the reply, or for a stream into its last event.
//
// Every handler reads parse → check → act → reply: it reads and checks its arguments and
// refuses with an op_err before anything happens. A streaming handler then acts inside
// req.stream(...): that is where dispatch claims the job slot (so a refused request never
// holds one), builds the stream context and the cancel token, and gives the slot back on
// every path before the stream's last event goes out.
// Threads: a request and its result belong to the connection's thread.
#pragma once

#include <cstddef>
#include <string>
#include <type_traits>
#include <utility>

#include "base/caller.h"
#include "base/cancel.h"
#include "base/sb.h"
#include "wire/errors.h"
#include "wire/jsmn.h"
#include "wire/reply.h"

// What a handler hands back.
class op_result {
public:
    enum class kind_t { ok, err, sent };

    // A refusal or failure: the error reply, or the stream's error event. The message is
    // copied: it may live in the handler's own buffer.
    op_result(const op_err& e)  // NOLINT(google-explicit-constructor)
        : kind_(kind_t::err), code_(e.code), message_(e.message ? e.message : "") {}
    // The reply's result (or a stream's "done" result), a JSON value built by the handler.
    static op_result ok(sb_t&& json) {
        op_result r(kind_t::ok);
        r.owned_ = std::move(json);
        return r;
    }
    // The same with a constant JSON text, which is not copied: a literal, never a local
    // buffer. Null sends null.
    static op_result ok(const char* json = nullptr) {
        op_result r(kind_t::ok);
        r.text_ = json;
        return r;
    }
    // A stream's "done" with the child's exit code, and a result when `json` holds one.
    static op_result done(int exit_code, sb_t&& json = sb_t()) {
        op_result r = ok(std::move(json));
        r.exit_code_ = exit_code;
        return r;
    }
    // A streaming operation's refusal before its stream began that is an error reply, as a
    // plain operation's is, rather than an error event.
    static op_result refuse(const op_err& e) {
        op_result r(e);
        r.as_reply_ = true;
        return r;
    }
    // An error reply that also says how far the request got ("data", a JSON value).
    static op_result err_data(const op_err& e, sb_t&& data) {
        op_result r(e);
        r.owned_ = std::move(data);
        return r;
    }
    // The handler wrote its last frame itself (a stream that ends on its own terms).
    static op_result sent() { return op_result(kind_t::sent); }

    kind_t kind() const { return kind_; }
    op_err err() const { return {code_, message_.c_str()}; }
    int exit_code() const { return exit_code_; }
    bool as_reply() const { return as_reply_; }
    // The result (ok) or the data (err) as JSON text; null when there is none.
    const char* json() const { return owned_.len ? owned_.buf : text_; }

private:
    explicit op_result(kind_t k) : kind_(k) {}

    kind_t kind_;
    const char* code_ = nullptr;  // a constant of wire/errors.h (null: "ERR")
    std::string message_;
    int exit_code_ = 0;
    bool as_reply_ = false;
    const char* text_ = nullptr;
    sb_t owned_;
};

// A stream as its handler writes it: the context its events go through (the first one
// carries the job id) and the token that ends its child.
struct op_stream_t {
    op_emit_t emit;
    cancel_token_t cancel;
    job_s* job;  // null when the stream runs without a job
};

// Whether a streaming row runs with a job slot, and what a full table means for it.
enum class op_job_t {
    none,      // no slot: the row does not answer with events, or attaches to a session
    optional,  // a slot when one is free; else the stream runs without a job id
    required,  // a full table refuses the request ("EBUSY" "job table full")
};

struct op_req_t {
    int fd;                 // the connection: the reply and the events go here
    const char* id;         // the request id, never null
    const char* js;         // the frame text the tokens index
    const jsmntok_t* args;  // the "args" object; null when the request has none
    int an;                 // tokens from `args` to the frame's end
    const caller_t* who;    // who sent it; null when no connection is served (tests)
    op_job_t job = op_job_t::none;

    // The stream's body, once the arguments have passed: dispatch claims the slot by the
    // row's policy, runs `act(op_stream_t&)`, gives the slot back and writes the stream's
    // last event from what `act` returned.
    template <class Act>
    op_result stream(Act&& act) const {
        auto call = [](void* a, op_stream_t& s) -> op_result {
            return (*static_cast<std::remove_reference_t<Act>*>(a))(s);
        };
        return stream_hook(*this, call, &act);
    }

    using act_fn_t = op_result (*)(void* act, op_stream_t& s);
    op_result (*stream_hook)(const op_req_t& r, act_fn_t act, void* ctx) = nullptr;
};
