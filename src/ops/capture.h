// capture — packet capture: pcap_capture runs a bounded capture and answers with the whole
// file in base64; pcap_stream streams the capture tool's pcap bytes as base64 chunks. And the
// rules the capture arguments pass before they reach a tool.
//
// Every word a client sends is checked against its character set before it reaches an
// argument vector, and every vector is built element by element (no shell). A capture always
// ends: a tool still running `seconds` + 2 s after its start is stopped as a cancel stops one,
// and the file it wrote is then used as after a normal end. Each capture writes into a
// directory of its own (mkdtemp, 0700) that is removed, with the file, on every path.
// Threads: handlers run on their connection's thread; a capture also runs one short-lived
// deadline thread. Errors: predicates return 1 or 0; checks before a job is claimed are
// replies, later failures are error events; pcap_capture has no job and always answers with
// one reply.
#pragma once

#include <cstddef>

#include "wire/jsmn.h"
#include "wire/request.h"

constexpr size_t PCAP_IFACE_MAX = 39;
constexpr size_t PCAP_BPF_MAX = 255;
constexpr size_t PCAP_OUT_MAX = 299;

// 1 for a non-empty interface name of at most PCAP_IFACE_MAX letters, digits and ".-_:@".
int pcap_iface_ok(const char* iface);
// 1 for a filter of at most PCAP_BPF_MAX letters, digits and " .:/()[]!=<>&|-_" in which no
// word starts with '-' (the tools would take such a word for an option). Empty passes.
int pcap_bpf_ok(const char* bpf);
// 1 when `path` may name pcap_stream's output file: 43 to 289 characters of letters, digits
// and "._/-", starting with '/', containing "/pcap_cache/", no "..", and a last component of
// exactly 32 lower-case hex digits followed by ".pcap".
int pcap_out_path_ok(const char* path);
// Splits `text` in place at spaces (a run counts as one) and stores up to `max` words in
// `words`; words beyond `max` are dropped. Returns the number stored.
int pcap_bpf_split(char* text, char** words, int max);

op_result op_pcap_capture(const op_req_t& req);
op_result op_pcap_stream(const op_req_t& req);
