#include "base/text.h"

#include <cstring>

int text_fields(std::string_view line, std::string_view* out, int max, const text_split_t& rule) {
    const std::string_view ends = rule.ends.empty() ? rule.seps : rule.ends;
    int n = 0;
    size_t pos = 0;
    while (n < max) {
        pos = line.find_first_not_of(rule.seps, pos);
        if (pos == std::string_view::npos) break;
        size_t end = line.find_first_of(ends, pos);
        if (end == std::string_view::npos) end = line.size();
        if (end - pos > rule.max_len) end = pos + rule.max_len;
        out[n++] = line.substr(pos, end - pos);
        pos = end;
    }
    return n;
}

bool text_chars_ok(const char* s, size_t max, const char* extra) {
    for (size_t n = 0; s[n]; n++) {
        char c = s[n];
        bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if ((!alnum && !strchr(extra, c)) || n >= max) return false;
    }
    return true;
}
