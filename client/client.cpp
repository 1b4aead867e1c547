#include "client.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/fdio.h"
#include "base/sb.h"
#include "wire/frame.h"
#include "wire/jsmn.h"
#include "wire/json.h"

unique_fd vc_connect(const char* path) {
    unique_fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return fd;
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return unique_fd();
    }
    strcpy(addr.sun_path, path);
    if (connect(fd.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) return unique_fd();
    return fd;
}

int vc_send(int fd, std::string_view body) {
    unsigned char hdr[FRAME_HEADER_BYTES];
    frame_put_len(hdr, body.size());
    std::string frame(reinterpret_cast<char*>(hdr), sizeof hdr);
    frame.append(body);
    return write_full(fd, frame.data(), frame.size());
}

int vc_recv(int fd, std::string* out, size_t max_bytes) {
    unsigned char hdr[FRAME_HEADER_BYTES];
    if (read_full(fd, hdr, sizeof hdr) != 0) return -1;
    uint32_t n = frame_get_len(hdr);
    if (n > max_bytes) {
        errno = EMSGSIZE;
        return -1;
    }
    out->resize(n);
    if (n && read_full(fd, out->data(), n) != 0) return -1;
    return 0;
}

static void append_escaped(std::string* s, std::string_view v) {
    sb_t b;
    sb_json_escape(&b, v.data(), v.size());
    if (b.buf) s->append(b.buf, b.len);
}

std::string vc_request(std::string_view id, std::string_view op, std::string_view args_json, std::string_view token,
                       bool stream) {
    std::string r = "{\"id\":\"";
    append_escaped(&r, id);
    r += "\",\"op\":\"";
    append_escaped(&r, op);
    r += "\"";
    if (!token.empty()) {
        r += ",\"token\":\"";
        append_escaped(&r, token);
        r += "\"";
    }
    r += ",\"args\":";
    r += args_json.empty() ? std::string_view("{}") : args_json;
    if (stream) r += ",\"stream\":true";
    r += "}";
    return r;
}

int vc_read_token_file(const char* path, std::string* out) {
    FILE* f = fopen(path, "re");
    if (!f) return -1;
    char buf[256];
    if (!fgets(buf, sizeof buf, f)) buf[0] = '\0';
    fclose(f);
    size_t n = strlen(buf);
    while (n > 0 && strchr(" \t\r\n", buf[n - 1])) n--;
    out->assign(buf, n);
    return 0;
}

// Tokens for most frames; a long listing (a big directory, many processes) needs more.
static constexpr size_t FRAME_TOKENS_FIRST = 4096;
static constexpr size_t FRAME_TOKENS_MAX = 1u << 24;

// Finds a top-level member's value token in a frame; tokens are kept in `toks`. The token
// array grows until the frame fits: a frame cannot hold more tokens than bytes, so its own
// (bounded) size bounds the growth.
static int find_member(std::string_view frame, std::string_view key, std::vector<jsmntok_t>* toks) {
    int n = JSMN_ERROR_NOMEM;
    for (size_t want = FRAME_TOKENS_FIRST; n == JSMN_ERROR_NOMEM; want *= 2) {
        toks->resize(want);
        jsmn_parser p;
        jsmn_init(&p);
        n = jsmn_parse(&p, frame.data(), frame.size(), toks->data(), static_cast<unsigned>(toks->size()));
        if (want > frame.size() || want >= FRAME_TOKENS_MAX) break;
    }
    if (n <= 0) return -1;
    std::string k(key);
    return json_obj_idx(frame.data(), toks->data(), n, k.c_str());
}

bool vc_json_raw(std::string_view frame, std::string_view key, std::string* out) {
    std::vector<jsmntok_t> toks;
    int i = find_member(frame, key, &toks);
    if (i < 0) return false;
    const jsmntok_t& t = toks[i];
    int start = t.type == JSMN_STRING ? t.start - 1 : t.start;
    int end = t.type == JSMN_STRING ? t.end + 1 : t.end;
    out->assign(frame.substr(start, end - start));
    return true;
}

bool vc_json_str(std::string_view frame, std::string_view key, std::string* out) {
    std::vector<jsmntok_t> toks;
    int i = find_member(frame, key, &toks);
    if (i < 0 || toks[i].type != JSMN_STRING) return false;
    out->assign(frame.substr(toks[i].start, toks[i].end - toks[i].start));
    return true;
}

bool vc_json_int(std::string_view frame, std::string_view key, long long* out) {
    std::vector<jsmntok_t> toks;
    int i = find_member(frame, key, &toks);
    if (i < 0 || toks[i].type != JSMN_PRIMITIVE) return false;
    *out = json_tok_int(frame.data(), &toks[i]);
    return true;
}

static void put_utf8(std::string* s, unsigned cp) {
    if (cp < 0x80) {
        *s += static_cast<char>(cp);
    } else if (cp < 0x800) {
        *s += static_cast<char>(0xC0 | cp >> 6);
        *s += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *s += static_cast<char>(0xE0 | cp >> 12);
        *s += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        *s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *s += static_cast<char>(0xF0 | cp >> 18);
        *s += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
        *s += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        *s += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string vc_json_unescape(std::string_view raw) {
    std::string s;
    s.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); i++) {
        char c = raw[i];
        if (c != '\\' || i + 1 >= raw.size()) {
            s += c;
            continue;
        }
        char e = raw[++i];
        switch (e) {
        case 'n': s += '\n'; break;
        case 't': s += '\t'; break;
        case 'r': s += '\r'; break;
        case 'b': s += '\b'; break;
        case 'f': s += '\f'; break;
        case 'u':
            if (i + 4 < raw.size()) {
                unsigned cp = static_cast<unsigned>(strtoul(std::string(raw.substr(i + 1, 4)).c_str(), nullptr, 16));
                i += 4;
                // A surrogate pair becomes one code point.
                if (cp >= 0xD800 && cp < 0xDC00 && i + 6 < raw.size() && raw[i + 1] == '\\' && raw[i + 2] == 'u') {
                    unsigned lo = static_cast<unsigned>(strtoul(std::string(raw.substr(i + 3, 4)).c_str(), nullptr,
                                                                16));
                    if (lo >= 0xDC00 && lo < 0xE000) {
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                        i += 6;
                    }
                }
                put_utf8(&s, cp);
            }
            break;
        default: s += e;  // \" \\ \/
        }
    }
    return s;
}

// Calls `fn(i, in_string)` for each byte of a JSON text, telling whether it lies inside a
// string (its quotes included); stops early when `fn` returns false.
template <class F>
static void walk_json_bytes(std::string_view text, F fn) {
    bool in_string = false, escaped = false;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        bool quote = !escaped && c == '"';
        if (!fn(i, in_string || quote)) return;
        if (in_string) escaped = !escaped && c == '\\';
        if (quote) in_string = !in_string;
    }
}

std::string_view vc_frame_line(std::string_view frame, std::string* scratch) {
    bool multi_line = false;
    walk_json_bytes(frame, [&](size_t i, bool in_string) {
        multi_line = !in_string && (frame[i] == '\n' || frame[i] == '\r');
        return !multi_line;
    });
    if (!multi_line) return frame;
    scratch->clear();
    walk_json_bytes(frame, [&](size_t i, bool in_string) {
        char c = frame[i];
        if (in_string || (c != ' ' && c != '\t' && c != '\n' && c != '\r')) *scratch += c;
        return true;
    });
    return *scratch;
}

// ---- nested reader ----

bool vc_json_doc::parse(std::string_view text) {
    text_ = text;
    toks_.clear();
    std::vector<jsmntok_t> toks;
    int n = JSMN_ERROR_NOMEM;
    for (size_t want = 64; n == JSMN_ERROR_NOMEM && want <= FRAME_TOKENS_MAX; want *= 2) {
        toks.resize(want);
        jsmn_parser p;
        jsmn_init(&p);
        n = jsmn_parse(&p, text.data(), text.size(), toks.data(), static_cast<unsigned>(toks.size()));
        if (want > text.size()) break;  // a text cannot hold more tokens than bytes
    }
    if (n <= 0) return false;
    toks.resize(static_cast<size_t>(n));
    // The tokenizer lets a key stand without its value: no JSON object does.
    for (int i = 0; i < n; i++) {
        if (toks[static_cast<size_t>(i)].type != JSMN_OBJECT) continue;
        for (int m = 0, k = i + 1; m < toks[static_cast<size_t>(i)].size; m++, k = json_tok_skip(toks.data(), n, k))
            if (k >= n || toks[static_cast<size_t>(k)].type != JSMN_STRING || toks[static_cast<size_t>(k)].size != 1)
                return false;
    }
    const jsmntok_t& r = toks[0];
    size_t end = static_cast<size_t>(r.end) + (r.type == JSMN_STRING ? 1 : 0);
    if (json_tok_skip(toks.data(), n, 0) != n || text.find_first_not_of(" \t\r\n", end) != std::string_view::npos)
        return false;
    toks_ = std::move(toks);
    return true;
}

bool vc_json::is_object() const { return doc_ && doc_->toks_[static_cast<size_t>(tok_)].type == JSMN_OBJECT; }
bool vc_json::is_array() const { return doc_ && doc_->toks_[static_cast<size_t>(tok_)].type == JSMN_ARRAY; }
bool vc_json::is_string() const { return doc_ && doc_->toks_[static_cast<size_t>(tok_)].type == JSMN_STRING; }

std::vector<vc_json::member> vc_json::members() const {
    std::vector<member> out;
    if (!is_object()) return out;
    int k = tok_ + 1;
    for (int i = 0; i < doc_->toks_[static_cast<size_t>(tok_)].size; i++) {
        const jsmntok_t& key = doc_->toks_[static_cast<size_t>(k)];
        out.push_back({doc_->text_.substr(static_cast<size_t>(key.start), static_cast<size_t>(key.end - key.start)),
                       vc_json(doc_, k + 1)});
        k = doc_->skip(k);
    }
    return out;
}

std::vector<vc_json> vc_json::elements() const {
    std::vector<vc_json> out;
    if (!is_array()) return out;
    int k = tok_ + 1;
    for (int i = 0; i < doc_->toks_[static_cast<size_t>(tok_)].size; i++) {
        out.push_back(vc_json(doc_, k));
        k = doc_->skip(k);
    }
    return out;
}

vc_json vc_json::get(std::string_view key) const {
    for (const member& m : members())
        if (m.key == key) return m.value;
    return vc_json();
}

std::string_view vc_json::raw() const {
    if (!doc_) return {};
    const jsmntok_t& t = doc_->toks_[static_cast<size_t>(tok_)];
    int q = t.type == JSMN_STRING ? 1 : 0;
    return doc_->text_.substr(static_cast<size_t>(t.start - q), static_cast<size_t>(t.end - t.start + 2 * q));
}

std::string vc_json::str(std::string_view def) const {
    if (!doc_) return std::string(def);
    std::string_view r = raw();
    return is_string() ? vc_json_unescape(r.substr(1, r.size() - 2)) : std::string(r);
}

double vc_json::num(double def) const {
    if (!doc_ || is_object() || is_array()) return def;
    std::string s = str();
    char* end = nullptr;
    double v = strtod(s.c_str(), &end);
    return end == s.c_str() ? def : v;
}
