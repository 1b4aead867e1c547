#include "wire/json.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

bool json_tok_eq(const char* js, const jsmntok_t* t, const char* s) {
    size_t n = strlen(s);
    return t->end - t->start == static_cast<int>(n) && memcmp(js + t->start, s, n) == 0;
}

int json_tok_skip(const jsmntok_t* toks, int ntoks, int i) {
    // A token's size is the count of its direct children (a key's is 1, its value).
    for (long pending = 1; pending > 0 && i < ntoks; i++) pending += toks[i].size - 1;
    return i;
}

int json_obj_idx(const char* js, const jsmntok_t* toks, int ntoks, const char* key) {
    if (ntoks < 2 || toks[0].type != JSMN_OBJECT) return -1;
    int i = 1;
    for (int examined = 0; examined < toks[0].size && i < ntoks; examined++) {
        if (toks[i].type == JSMN_STRING && json_tok_eq(js, &toks[i], key)) return i + 1 < ntoks ? i + 1 : -1;
        i = json_tok_skip(toks, ntoks, i);  // the key and its value
    }
    return -1;
}

void json_tok_copy(const char* js, const jsmntok_t* t, char* out, size_t cap) {
    if (cap == 0) return;
    size_t n = t->end > t->start ? static_cast<size_t>(t->end - t->start) : 0;
    if (n > cap - 1) n = cap - 1;
    memcpy(out, js + t->start, n);
    out[n] = '\0';
}

long long json_tok_int(const char* js, const jsmntok_t* t) {
    char buf[32];
    json_tok_copy(js, t, buf, sizeof buf);
    return strtoll(buf, nullptr, 10);
}

int json_tok_bool(const char* js, const jsmntok_t* t) {
    if (json_tok_eq(js, t, "true")) return 1;
    if (json_tok_eq(js, t, "false")) return 0;
    return -1;
}

namespace {

// Recursive descent over the text; every function leaves `pos` after what it accepted.
class json_checker {
public:
    explicit json_checker(std::string_view t) : t_(t) {}

    bool whole() {
        skip_ws();
        if (!value(0)) return false;
        skip_ws();
        return pos_ == t_.size();
    }

private:
    std::string_view t_;
    size_t pos_ = 0;

    bool at_end() const { return pos_ >= t_.size(); }
    char peek() const { return at_end() ? '\0' : t_[pos_]; }
    bool eat(char c) {
        if (peek() != c || at_end()) return false;
        pos_++;
        return true;
    }
    void skip_ws() {
        while (!at_end() && (t_[pos_] == ' ' || t_[pos_] == '\t' || t_[pos_] == '\n' || t_[pos_] == '\r')) pos_++;
    }
    bool digits() {
        size_t start = pos_;
        while (!at_end() && t_[pos_] >= '0' && t_[pos_] <= '9') pos_++;
        return pos_ > start;
    }
    bool literal(std::string_view word) {
        if (t_.substr(pos_, word.size()) != word) return false;
        pos_ += word.size();
        return true;
    }

    bool value(int depth) {
        if (depth >= JSON_CHECK_MAX_DEPTH || at_end()) return false;
        switch (peek()) {
        case '{': return object(depth);
        case '[': return array(depth);
        case '"': return string();
        case 't': return literal("true");
        case 'f': return literal("false");
        case 'n': return literal("null");
        default: return number();
        }
    }

    bool object(int depth) {
        pos_++;
        skip_ws();
        if (eat('}')) return true;
        for (;;) {
            skip_ws();
            if (peek() != '"' || !string()) return false;
            skip_ws();
            if (!eat(':')) return false;
            skip_ws();
            if (!value(depth + 1)) return false;
            skip_ws();
            if (eat('}')) return true;
            if (!eat(',')) return false;
        }
    }

    bool array(int depth) {
        pos_++;
        skip_ws();
        if (eat(']')) return true;
        for (;;) {
            skip_ws();
            if (!value(depth + 1)) return false;
            skip_ws();
            if (eat(']')) return true;
            if (!eat(',')) return false;
        }
    }

    bool string() {
        pos_++;
        while (!at_end()) {
            unsigned char c = static_cast<unsigned char>(t_[pos_++]);
            if (c == '"') return true;
            if (c < 0x20) return false;
            if (c != '\\') continue;
            if (at_end()) return false;
            char e = t_[pos_++];
            if (e == 'u') {
                for (int i = 0; i < 4; i++, pos_++)
                    if (at_end() || !isxdigit(static_cast<unsigned char>(t_[pos_]))) return false;
            } else if (!strchr("\"\\/bfnrt", e) || e == '\0') {
                return false;
            }
        }
        return false;
    }

    bool number() {
        eat('-');
        if (!eat('0') && !digits()) return false;
        if (eat('.') && !digits()) return false;
        if (peek() == 'e' || peek() == 'E') {
            pos_++;
            if (!eat('+')) eat('-');
            if (!digits()) return false;
        }
        return true;
    }
};

}  // namespace

int json_is_one_value(std::string_view text) { return json_checker(text).whole() ? 1 : 0; }
