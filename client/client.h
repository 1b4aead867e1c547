// client — the project's own client side of the wire protocol: connect to the daemon's
// socket, send a request frame, read reply and event frames, and pick fields out of them.
// Used by vornctl, vornbench and the integration tests.
// Threads: a vc_conn belongs to one thread. Errors: 0 / -1 (errno kept from the system call).
#pragma once

#include <string>
#include <string_view>

#include "util.h"

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
