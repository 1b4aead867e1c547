#include "daemon/dispatch.h"

#include <cstring>

#include "base/caller.h"
#include "base/ids.h"
#include "config/config.h"
#include "daemon/audit.h"
#include "daemon/optable.h"
#include "jobs/jobs.h"
#include "wire/errors.h"
#include "wire/json.h"
#include "wire/reply.h"
#include "wire/request.h"

namespace {

constexpr size_t REQ_ID_BYTES = 64;
constexpr size_t OPNAME_BYTES = 64;
constexpr size_t CANCEL_ID_BYTES = 32;

// The token check of one request against the record it is served under.
bool token_ok(const vornd_config_t* cfg, const char* js, const jsmntok_t* toks, int ntoks) {
    if (!config_token_required(cfg)) return true;
    int i = json_obj_idx(js, toks, ntoks, "token");
    if (i < 0 || toks[i].type != JSMN_STRING) return false;
    return config_token_matches(cfg, js + toks[i].start, static_cast<size_t>(toks[i].end - toks[i].start));
}

void reply_eperm(int fd, const char* req_id) {
    const caller_t* who = caller_current();
    char msg[EPERM_MSG_BYTES];
    eperm_msg(msg, sizeof msg, who ? static_cast<unsigned>(who->uid) : 0u);
    reply_err(fd, req_id, ERR_EPERM, msg);
}

// The request's "args" object and the tokens from it to the frame's end.
struct args_ref_t {
    const jsmntok_t* tok = nullptr;
    int n = 0;
};

void refuse(int fd, const char* req_id, const char* code, const char* msg, const char* js, const jsmntok_t* op,
            args_ref_t args) {
    if (strcmp(code, ERR_EPERM) == 0) reply_eperm(fd, req_id);
    else reply_err(fd, req_id, code, msg);
    audit_line(js + op->start, static_cast<size_t>(op->end - op->start), req_id, js, args.tok, args.n, code);
}

// _cancel changes what runs: it is logged as a control request is.
void serve_cancel(int fd, const char* req_id, const char* js, const jsmntok_t* toks, int ntoks, const jsmntok_t* op,
                  args_ref_t args, bool has_control);

}  // namespace

void handle_cancel(int fd, const char* req_id, const char* js, const jsmntok_t* toks, int ntoks, bool has_control) {
    int a = json_obj_idx(js, toks, ntoks, "args");
    if (a < 0 || toks[a].type != JSMN_OBJECT) {
        reply_err(fd, req_id, ERR_EBADREQ, "args required");
        return;
    }
    int j = json_obj_idx(js, &toks[a], ntoks - a, "job_id");
    if (j < 0) {
        reply_err(fd, req_id, ERR_EBADREQ, "job_id required");
        return;
    }
    char job_id[CANCEL_ID_BYTES];
    json_tok_copy(js, &toks[a + j], job_id, sizeof job_id);
    int r = job_cancel(job_id, has_control);
    if (r == 0) reply_ok(fd, req_id, "{\"cancelled\":true}");
    else if (r == JOB_CANCEL_DENIED) reply_eperm(fd, req_id);
    else reply_err(fd, req_id, ERR_ENOENT, "no such job");
}

namespace {

void serve_cancel(int fd, const char* req_id, const char* js, const jsmntok_t* toks, int ntoks, const jsmntok_t* op,
                  args_ref_t args, bool has_control) {
    audit_begin();
    handle_cancel(fd, req_id, js, toks, ntoks, has_control);
    audit_line(js + op->start, static_cast<size_t>(op->end - op->start), req_id, js, args.tok, args.n, nullptr);
}

// The reply of a plain row.
void finish_reply(const op_result& res, int fd, const char* req_id) {
    switch (res.kind()) {
    case op_result::kind_t::ok: reply_ok(fd, req_id, res.json()); break;
    case op_result::kind_t::err: reply_err_data(fd, req_id, res.err().code, res.err().message, res.json()); break;
    case op_result::kind_t::sent: break;
    }
}

// The last event of a stream.
void finish_stream(const op_result& res, op_emit_t* e) {
    switch (res.kind()) {
    case op_result::kind_t::ok: emit_done(e, res.exit_code(), res.json()); break;
    case op_result::kind_t::err: emit_stream_error(e, res.err().code, res.err().message); break;
    case op_result::kind_t::sent: break;
    }
}

// The error event of a stream refused before it began. A stream's first event carries a job
// id whenever its row runs under one, and front ends read it there; this one names no slot,
// since none was taken, so a cancel of it finds no job.
void refuse_stream(const op_result& res, int fd, const char* req_id, op_job_t job) {
    char id[JOB_ID_BYTES] = "";
    if (job != op_job_t::none) gen_id(id);
    op_emit_t e(fd, req_id, nullptr, id[0] ? id : nullptr);
    finish_stream(res, &e);
}

// A stream's body under the job the row asks for. The slot goes back before the last event
// is written, so a client that has read "done" finds the job gone; the events keep the id
// from a copy.
op_result serve_stream(const op_req_t& r, op_req_t::act_fn_t act, void* ctx) {
    job_t* job = r.job == op_job_t::none ? nullptr : job_alloc();
    if (!job && r.job == op_job_t::required) {
        op_emit_t none(r.fd, r.id, nullptr, nullptr);
        emit_stream_error(&none, ERR_EBUSY, "job table full");
        return op_result::sent();
    }
    char job_id[JOB_ID_BYTES] = "";
    if (job) memcpy(job_id, job->id, sizeof job_id);
    op_stream_t s = {op_emit_t(r.fd, r.id, job, job ? job_id : nullptr), job_token(job, r.fd), job};
    op_result res = act(ctx, s);
    job_release(job);
    s.emit.job = nullptr;
    finish_stream(res, &s.emit);
    return op_result::sent();
}

}  // namespace

void conn_handle_request(int fd, const char* js, size_t len, jsmntok_t* toks) {
    conn_dispatch(g_ops, fd, js, len, toks);
}

void conn_dispatch(const op_def_t* table, int fd, const char* js, size_t len, jsmntok_t* toks) {
    jsmn_parser parser;
    jsmn_init(&parser);
    int ntoks = jsmn_parse(&parser, js, len, toks, CONN_MAX_TOKENS);
    if (ntoks <= 0 || toks[0].type != JSMN_OBJECT) {
        reply_err(fd, "", ERR_EPROTO, "invalid JSON");
        return;
    }

    char req_id[REQ_ID_BYTES] = {};
    int i = json_obj_idx(js, toks, ntoks, "id");
    if (i >= 0) json_tok_copy(js, &toks[i], req_id, sizeof req_id);

    int op = json_obj_idx(js, toks, ntoks, "op");
    if (op < 0 || toks[op].type != JSMN_STRING) {
        reply_err(fd, req_id, ERR_EBADREQ, "op required");
        return;
    }

    int a = json_obj_idx(js, toks, ntoks, "args");
    args_ref_t args;
    if (a >= 0) args = {&toks[a], ntoks - a};

    // One record serves the whole request, even if a reload lands meanwhile.
    cfg_snapshot_t cfg = g_cfg.load();
    if (!token_ok(cfg.get(), js, toks, ntoks)) {
        refuse(fd, req_id, ERR_EAUTH, "bad or missing token", js, &toks[op], args);
        return;
    }

    const char* name = js + toks[op].start;
    size_t namelen = static_cast<size_t>(toks[op].end - toks[op].start);
    const caller_t* who = caller_current();
    if (json_tok_eq(js, &toks[op], "_cancel")) {
        bool control = config_access_allows(cfg.get(), who, true);
        cfg.reset();
        serve_cancel(fd, req_id, js, toks, ntoks, &toks[op], args, control);
        return;
    }
    const op_def_t* def = op_find_in(table, name, namelen);
    if (!def) {
        reply_err(fd, req_id, ERR_ENOOP, "unknown op");
        return;
    }
    char opname_z[OPNAME_BYTES];
    json_tok_copy(js, &toks[op], opname_z, sizeof opname_z);
    if (!config_op_enabled(cfg.get(), opname_z)) {
        refuse(fd, req_id, ERR_EDISABLED, "op disabled by config", js, &toks[op], args);
        return;
    }
    bool control = def->cls != OP_OBSERVE;
    if (!config_access_allows(cfg.get(), who, control)) {
        refuse(fd, req_id, ERR_EPERM, nullptr, js, &toks[op], args);
        return;
    }
    cfg.reset();  // handlers take their own snapshot; a long stream must not pin an old record

    const op_req_t req = {.fd = fd,
                          .id = req_id,
                          .js = js,
                          .args = args.tok,
                          .an = args.n,
                          .who = who,
                          .job = def->job,
                          .stream_hook = serve_stream};
    if (control) audit_begin();
    op_result res = def->fn(req);
    if (def->streaming && !res.as_reply()) {
        refuse_stream(res, fd, req_id, def->job);
    } else {
        finish_reply(res, fd, req_id);
    }
    if (control) audit_line(name, namelen, req_id, js, args.tok, args.n, nullptr);
}
