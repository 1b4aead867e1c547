#include "daemon/dispatch.h"

#include <cstring>

#include "config/config.h"
#include "daemon/optable.h"
#include "jobs/jobs.h"
#include "wire/errors.h"
#include "wire/json.h"
#include "wire/reply.h"

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

}  // namespace

void handle_cancel(int fd, const char* req_id, const char* js, const jsmntok_t* toks, int ntoks) {
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
    if (job_cancel(job_id) == 0) reply_ok(fd, req_id, "{\"cancelled\":true}");
    else reply_err(fd, req_id, ERR_ENOENT, "no such job");
}

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

    // One record serves the whole request, even if a reload lands meanwhile.
    cfg_snapshot_t cfg = g_cfg.load();
    if (!token_ok(cfg.get(), js, toks, ntoks)) {
        reply_err(fd, req_id, ERR_EAUTH, "bad or missing token");
        return;
    }

    const char* name = js + toks[op].start;
    size_t namelen = static_cast<size_t>(toks[op].end - toks[op].start);
    if (json_tok_eq(js, &toks[op], "_cancel")) {
        handle_cancel(fd, req_id, js, toks, ntoks);
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
        reply_err(fd, req_id, ERR_EDISABLED, "op disabled by config");
        return;
    }
    cfg.reset();  // handlers take their own snapshot; a long stream must not pin an old record

    int s = json_obj_idx(js, toks, ntoks, "stream");
    int stream = def->streaming || (s >= 0 && json_tok_bool(js, &toks[s]) == 1);
    int a = json_obj_idx(js, toks, ntoks, "args");
    const jsmntok_t* args_tok = a >= 0 ? &toks[a] : nullptr;
    int args_n = a >= 0 ? ntoks - a : 0;
    def->fn(fd, req_id, js, args_tok, args_n, stream);
}
