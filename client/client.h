// client — the project's own client side of the wire protocol: connect to the daemon's
// socket, send a request frame, read reply and event frames, and pick fields out of them.
// Used by vornctl, vornbench and the integration tests.
// Threads: a vc_conn belongs to one thread. Errors: 0 / -1 (errno kept from the system call).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/fdio.h"
#include "wire/jsmn.h"
#include "wire/json.h"

// Connects to the Unix-domain socket at `path`; the connection is close-on-exec.
unique_fd vc_connect(const char* path);

// Sends one frame holding `body` verbatim.
int vc_send(int fd, std::string_view body);
// Reads one frame into `out`; -1 on end of stream, a read error, or a frame above `max_bytes`
// (the daemon's own frames have no protocol limit, so the reader sets one).
int vc_recv(int fd, std::string* out, size_t max_bytes = 64u << 20);

// Builds a request object: {"id":ID,"op":OP[,"token":TOKEN],"args":ARGS[,"stream":true]}.
// `args_json` must be a JSON value; empty means {}. id, op and token are escaped.
std::string vc_request(std::string_view id, std::string_view op, std::string_view args_json,
                       std::string_view token = {}, bool stream = false);

// Reads a token file the way the daemon does: first line, trailing blanks removed.
int vc_read_token_file(const char* path, std::string* out);

// Tiny readers for frames the daemon wrote (one flat-ish JSON object). Each returns false
// when the member is absent. vc_json_raw gives the member's raw JSON text (nested values
// whole); vc_json_str gives a string member's raw (still escaped) text without quotes.
bool vc_json_raw(std::string_view frame, std::string_view key, std::string* out);
bool vc_json_str(std::string_view frame, std::string_view key, std::string* out);
bool vc_json_int(std::string_view frame, std::string_view key, long long* out);
// Decodes JSON string escapes (\n, \t, \", \\, \/, \b, \f, \r, \uXXXX to UTF-8).
std::string vc_json_unescape(std::string_view raw);

// A frame as one line of text, for printing one line per frame. The daemon forwards some
// tools' reports as they wrote them (pretty JSON over many lines); when `frame` holds a line
// feed or carriage return outside its strings, the white space outside strings is removed
// and the result, kept in `scratch`, returned. Any other frame is returned as it is.
std::string_view vc_frame_line(std::string_view frame, std::string* scratch);

// A JSON text tokenized once and walked by token index: nested access for the views of
// replies and events (objects of disks, arrays of processes, a tool's own report). Values
// point into the document, and the document into the text: both must outlive the values.
// Key comparison is on raw (still escaped) bytes, like the daemon's own lookups.
class vc_json_doc;

class vc_json {
public:
    vc_json() = default;
    bool ok() const { return doc_ != nullptr; }  // false for a member or element that is absent
    bool is_object() const;
    bool is_array() const;
    bool is_string() const;
    // The first member named `key` of an object; absent otherwise.
    vc_json get(std::string_view key) const;
    // Members of an object, elements of an array, in text order (repeated keys kept).
    struct member;
    std::vector<member> members() const;
    std::vector<vc_json> elements() const;
    // The value's JSON text (a string with its quotes); empty when absent.
    std::string_view raw() const;
    // A string decoded; any other value's raw text; `def` when absent.
    std::string str(std::string_view def = "") const;
    // A number (or a string holding one) as strtod reads it; `def` when absent or not a number.
    double num(double def = 0) const;
    bool is_true() const { return raw() == "true"; }

private:
    friend class vc_json_doc;
    vc_json(const vc_json_doc* doc, int tok) : doc_(doc), tok_(tok) {}
    const vc_json_doc* doc_ = nullptr;
    int tok_ = -1;
};

struct vc_json::member {
    std::string_view key;  // raw, without quotes
    vc_json value;
};

class vc_json_doc {
public:
    vc_json_doc() = default;
    vc_json_doc(const vc_json_doc&) = delete;
    vc_json_doc& operator=(const vc_json_doc&) = delete;
    // Tokenizes `text` (which must outlive the document); false, with an absent root, when it
    // is not one JSON value followed by nothing but white space.
    bool parse(std::string_view text);
    vc_json root() const { return toks_.empty() ? vc_json() : vc_json(this, 0); }

private:
    friend class vc_json;
    std::string_view text_;
    std::vector<jsmntok_t> toks_;
    // The index of the first token after the subtree of token `k`.
    int skip(int k) const { return json_tok_skip(toks_.data(), static_cast<int>(toks_.size()), k); }
};
