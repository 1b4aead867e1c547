// net — network information: net_addrs (the IPv4 addresses of the interfaces, from `ip`),
// net_ports (TCP sockets as ss or netstat prints them) and bin_check (whether the tool
// lookup finds programs); and the parser of `ip -o` text (kept apart so it can be tested on
// recorded text).
//
// Threads: stateless; every function works on its arguments only.
// Errors: the parser returns 0 for a line that yields an entry and -1 for one that does not;
// the builder returns 0, or -1 when memory runs out.
#pragma once

#include <cstddef>
#include <string_view>

#include "base/sb.h"
#include "wire/request.h"

// One line of `ip -o -4 addr show`: the second and fourth tokens (split at spaces and tabs),
// each cut to 63 bytes. -1 unless both are present.
constexpr size_t NET_FIELD_MAX = 63;
struct ip_addr_entry_t {
    std::string_view iface, addr;
};
int ip_parse_addr_line(std::string_view line, ip_addr_entry_t* out);
// Appends {"addrs":[{"iface":..,"addr":..},...]} for the whole `ip` output, in output order.
int net_addrs_build_json(std::string_view text, sb_t* out);

op_result op_net_addrs(const op_req_t& req);
op_result op_net_ports(const op_req_t& req);
op_result op_bin_check(const op_req_t& req);
