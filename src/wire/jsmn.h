// jsmn — the daemon's compact JSON tokenizer. It splits a request frame into tokens without
// decoding anything: a token is a kind and the byte range of its raw text in the frame.
//
// Rules: the input ends at its length or at the first NUL outside a string; only space, tab,
// LF and CR separate tokens; primitives start with '-', a digit, 't', 'f' or 'n' and are not
// validated further; string escapes are checked but never decoded; a primitive may not stand
// where a key is expected; values after the first top-level value are tokenized too.
// Threads: a parser belongs to one thread. Allocates nothing.
#pragma once

#include <cstddef>

enum jsmntype_t {
    JSMN_UNDEFINED = 0,
    JSMN_OBJECT = 1,
    JSMN_ARRAY = 2,
    JSMN_STRING = 3,
    JSMN_PRIMITIVE = 4,
};

enum jsmnerr_t {
    JSMN_ERROR_NOMEM = -1,  // more tokens than the array holds
    JSMN_ERROR_INVAL = -2,  // a byte that cannot stand where it stands
    JSMN_ERROR_PART = -3,   // the input ends inside a string or a container
};

// A string's start/end exclude its quotes. size: an object's keys, an array's elements,
// 1 for a key once its value is parsed, else 0.
struct jsmntok_t {
    jsmntype_t type;
    int start;
    int end;
    int size;
};

struct jsmn_parser {
    unsigned int pos;      // offset in the input
    unsigned int toknext;  // next token to allocate
    int toksuper;          // innermost open container or key, -1 for none
};

void jsmn_init(jsmn_parser* parser);
// Returns the number of tokens, or a negative jsmnerr_t.
int jsmn_parse(jsmn_parser* parser, const char* js, size_t len, jsmntok_t* tokens, unsigned int num_tokens);
