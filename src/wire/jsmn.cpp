#include "wire/jsmn.h"

namespace {

jsmntok_t* jsmn_alloc_token(jsmn_parser* p, jsmntok_t* tokens, unsigned int num_tokens) {
    if (p->toknext >= num_tokens) return nullptr;
    jsmntok_t* t = &tokens[p->toknext++];
    t->type = JSMN_UNDEFINED;
    t->start = t->end = -1;
    t->size = 0;
    return t;
}

void jsmn_fill_token(jsmntok_t* t, jsmntype_t type, int start, int end) {
    t->type = type;
    t->start = start;
    t->end = end;
    t->size = 0;
}

bool ends_primitive(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ',' || c == ':' || c == ']' || c == '}' || c == '\0';
}

int jsmn_parse_primitive(jsmn_parser* p, const char* js, size_t len, jsmntok_t* tokens, unsigned int num_tokens) {
    unsigned int start = p->pos;
    for (; p->pos < len && !ends_primitive(js[p->pos]); p->pos++) {
        unsigned char c = static_cast<unsigned char>(js[p->pos]);
        if (c < 0x20 || c >= 0x7F) {
            p->pos = start;
            return JSMN_ERROR_INVAL;
        }
    }
    jsmntok_t* t = jsmn_alloc_token(p, tokens, num_tokens);
    if (!t) {
        p->pos = start;
        return JSMN_ERROR_NOMEM;
    }
    jsmn_fill_token(t, JSMN_PRIMITIVE, static_cast<int>(start), static_cast<int>(p->pos));
    p->pos--;  // the main loop steps past the last byte
    return 0;
}

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

int jsmn_parse_string(jsmn_parser* p, const char* js, size_t len, jsmntok_t* tokens, unsigned int num_tokens) {
    unsigned int start = p->pos;
    p->pos++;  // opening quote
    for (; p->pos < len && js[p->pos] != '\0'; p->pos++) {
        char c = js[p->pos];
        if (c == '"') {
            jsmntok_t* t = jsmn_alloc_token(p, tokens, num_tokens);
            if (!t) {
                p->pos = start;
                return JSMN_ERROR_NOMEM;
            }
            jsmn_fill_token(t, JSMN_STRING, static_cast<int>(start + 1), static_cast<int>(p->pos));
            return 0;
        }
        if (c == '\\' && p->pos + 1 < len) {
            p->pos++;
            switch (js[p->pos]) {
            case '"':
            case '/':
            case '\\':
            case 'b':
            case 'f':
            case 'r':
            case 'n':
            case 't': break;
            case 'u':
                p->pos++;
                for (int i = 0; i < 4 && p->pos < len && js[p->pos] != '\0'; i++) {
                    if (!is_hex(js[p->pos])) {
                        p->pos = start;
                        return JSMN_ERROR_INVAL;
                    }
                    p->pos++;
                }
                p->pos--;
                break;
            default: p->pos = start; return JSMN_ERROR_INVAL;
            }
        }
    }
    p->pos = start;
    return JSMN_ERROR_PART;
}

// Without parent links the enclosing container is found by walking back to the nearest
// token that has started but not ended: only containers stay open.
int innermost_open(const jsmntok_t* tokens, int from) {
    for (int i = from; i >= 0; i--)
        if (tokens[i].start != -1 && tokens[i].end == -1) return i;
    return -1;
}

}  // namespace

void jsmn_init(jsmn_parser* parser) {
    parser->pos = 0;
    parser->toknext = 0;
    parser->toksuper = -1;
}

int jsmn_parse(jsmn_parser* p, const char* js, size_t len, jsmntok_t* tokens, unsigned int num_tokens) {
    int count = static_cast<int>(p->toknext);
    for (; p->pos < len && js[p->pos] != '\0'; p->pos++) {
        char c = js[p->pos];
        switch (c) {
        case '{':
        case '[': {
            count++;
            jsmntok_t* t = jsmn_alloc_token(p, tokens, num_tokens);
            if (!t) return JSMN_ERROR_NOMEM;
            if (p->toksuper != -1) tokens[p->toksuper].size++;
            t->type = c == '{' ? JSMN_OBJECT : JSMN_ARRAY;
            t->start = static_cast<int>(p->pos);
            p->toksuper = static_cast<int>(p->toknext) - 1;
            break;
        }
        case '}':
        case ']': {
            jsmntype_t type = c == '}' ? JSMN_OBJECT : JSMN_ARRAY;
            int i = innermost_open(tokens, static_cast<int>(p->toknext) - 1);
            if (i == -1 || tokens[i].type != type) return JSMN_ERROR_INVAL;
            tokens[i].end = static_cast<int>(p->pos) + 1;
            p->toksuper = innermost_open(tokens, i - 1);
            break;
        }
        case '"': {
            int r = jsmn_parse_string(p, js, len, tokens, num_tokens);
            if (r < 0) return r;
            count++;
            if (p->toksuper != -1) tokens[p->toksuper].size++;
            break;
        }
        case '\t':
        case '\r':
        case '\n':
        case ' ': break;
        case ':': p->toksuper = static_cast<int>(p->toknext) - 1; break;
        case ',':
            if (p->toksuper != -1 && tokens[p->toksuper].type != JSMN_ARRAY && tokens[p->toksuper].type != JSMN_OBJECT)
                p->toksuper = innermost_open(tokens, static_cast<int>(p->toknext) - 1);
            break;
        case '-':
        case '0':
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7':
        case '8':
        case '9':
        case 't':
        case 'f':
        case 'n': {
            if (p->toksuper != -1) {
                const jsmntok_t* sup = &tokens[p->toksuper];
                // A primitive is never a key, and a key takes one value.
                if (sup->type == JSMN_OBJECT || (sup->type == JSMN_STRING && sup->size != 0)) return JSMN_ERROR_INVAL;
            }
            int r = jsmn_parse_primitive(p, js, len, tokens, num_tokens);
            if (r < 0) return r;
            count++;
            if (p->toksuper != -1) tokens[p->toksuper].size++;
            break;
        }
        default: return JSMN_ERROR_INVAL;
        }
    }
    for (int i = static_cast<int>(p->toknext) - 1; i >= 0; i--)
        if (tokens[i].start != -1 && tokens[i].end == -1) return JSMN_ERROR_PART;
    return count;
}
