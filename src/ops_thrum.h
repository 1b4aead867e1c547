// ops_thrum — host control streams. ops_thrum.cpp holds process control, kernel tuning and
// following a log; ops_thrum_trace.cpp holds system-call tracing and packet capture. This
// header is what the two halves share, and the pure rules of the capture arguments.
//
// Threads: stateless; callbacks run on the connection thread of their request.
// Errors: predicates return 1 or 0; the splitter returns a count.
#pragma once

#include <cstddef>

// Line callback of the log tail and the tracer: one chunk {"t":<now_ms>,"line":"<escaped>"}
// per line to the op_emit_t `ctx`; 1 (stop the tool) when the write failed.
int log_tail_cb(void* ctx, int which, const char* line);

constexpr size_t PCAP_IFACE_MAX = 39;
constexpr size_t PCAP_BPF_MAX = 255;
constexpr size_t PCAP_OUT_MAX = 299;
constexpr size_t TRACE_FILTER_MAX = 127;

// 1 for a non-empty interface name of at most PCAP_IFACE_MAX letters, digits and ".-_:@".
int pcap_iface_ok(const char* iface);
// 1 for a filter of at most PCAP_BPF_MAX letters, digits and " .:/()[]!=<>&|-_" in which no
// word starts with '-' (the tools would take such a word for an option). Empty passes.
int pcap_bpf_ok(const char* bpf);
// 1 for a tracer filter of at most TRACE_FILTER_MAX letters, digits and ",_=!%/".
int trace_filter_ok(const char* filter);
// 1 when `path` may name pcap_stream's output file: 43 to 289 characters of letters, digits
// and "._/-", starting with '/', containing "/pcap_cache/", no "..", and a last component of
// exactly 32 lower-case hex digits followed by ".pcap".
int pcap_out_path_ok(const char* path);
// Splits `text` in place at spaces (a run counts as one) and stores up to `max` words in
// `words`; words beyond `max` are dropped. Returns the number stored.
int pcap_bpf_split(char* text, char** words, int max);
