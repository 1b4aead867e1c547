#include "wire/args.h"

#include "wire/json.h"

static int args_find_value(const char* js, const jsmntok_t* args_tok, int avail, const char* key) {
    if (!args_tok || args_tok->type != JSMN_OBJECT) return -1;
    return json_obj_idx(js, args_tok, avail, key);
}

// The value of `key` when it is a string or primitive, else null.
static const jsmntok_t* scalar_value(const char* js, const jsmntok_t* args_tok, int avail, const char* key) {
    int i = args_find_value(js, args_tok, avail, key);
    if (i < 0) return nullptr;
    const jsmntok_t* v = &args_tok[i];
    return v->type == JSMN_STRING || v->type == JSMN_PRIMITIVE ? v : nullptr;
}

int arg_get_str(const char* js, const jsmntok_t* args_tok, int avail, const char* key, char* out, size_t cap) {
    const jsmntok_t* v = scalar_value(js, args_tok, avail, key);
    if (!v) return -1;
    json_tok_copy(js, v, out, cap);
    return 0;
}

long long arg_get_int(const char* js, const jsmntok_t* args_tok, int avail, const char* key, long long defv) {
    int i = args_find_value(js, args_tok, avail, key);
    return i < 0 ? defv : json_tok_int(js, &args_tok[i]);
}

int arg_get_bool(const char* js, const jsmntok_t* args_tok, int avail, const char* key, int defv) {
    int i = args_find_value(js, args_tok, avail, key);
    if (i < 0) return defv;
    int b = json_tok_bool(js, &args_tok[i]);
    return b < 0 ? defv : b;
}

static int tok_len(const jsmntok_t* t) { return t->end - t->start; }

// Copies up to `max` entries; with `whole`, an entry that would be cut gives ARG_TOO_LONG.
static int array_strs(const char* js, const jsmntok_t* args_tok, int avail, const char* key, char out[][256], int max,
                      bool whole) {
    int i = args_find_value(js, args_tok, avail, key);
    if (i < 0 || args_tok[i].type != JSMN_ARRAY) return -1;
    if (whole && args_tok[i].size > max) return ARG_TOO_MANY;
    int count = args_tok[i].size < max ? args_tok[i].size : max;
    int n = 0;
    for (int k = i + 1; n < count && k < avail; n++) {
        const jsmntok_t* t = &args_tok[k];
        bool scalar = t->type == JSMN_STRING || t->type == JSMN_PRIMITIVE;
        if (whole && scalar && tok_len(t) >= 256) return ARG_TOO_LONG;
        if (scalar) json_tok_copy(js, t, out[n], 256);
        else out[n][0] = '\0';
        k = json_tok_skip(args_tok, avail, k);  // an object or array entry spans several tokens
    }
    return n;
}

int arg_array_strs(const char* js, const jsmntok_t* args_tok, int avail, const char* key, char out[][256], int max) {
    return array_strs(js, args_tok, avail, key, out, max, false);
}

int arg_array_strs_fit(const char* js, const jsmntok_t* args_tok, int avail, const char* key, char out[][256],
                       int max) {
    return array_strs(js, args_tok, avail, key, out, max, true);
}

int arg_get_str_fit(const char* js, const jsmntok_t* args_tok, int avail, const char* key, char* out, size_t cap) {
    const jsmntok_t* v = scalar_value(js, args_tok, avail, key);
    if (!v) return -1;
    if (static_cast<size_t>(tok_len(v)) >= cap) return ARG_TOO_LONG;
    json_tok_copy(js, v, out, cap);
    return 0;
}
