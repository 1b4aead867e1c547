// Address lines as `ip -4 -o addr show` prints them, and their reply.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "ops/net.h"
#include "unit_helpers.h"

namespace {

std::string ip_fields(const std::string& line) {
    ip_addr_entry_t e;
    if (ip_parse_addr_line(line, &e) != 0) return "-1";
    return std::string(e.iface) + "|" + std::string(e.addr);
}

}  // namespace

TEST(IpParse, SecondAndFourthTokens) {
    const std::pair<std::string, std::string> cases[] = {
        {"1: lo    inet 127.0.0.1/8 scope host lo\\       valid_lft forever", "lo|127.0.0.1/8"},
        {"\t2:\teth0\tinet\t10.0.0.2/24", "eth0|10.0.0.2/24"},
        {"3: eth1 inet", "-1"},
        {"", "-1"},
        {"4: " + std::string(100, 'n') + " inet " + std::string(80, '1'),  // both fields cut to their bound
         std::string(NET_FIELD_MAX, 'n') + "|" + std::string(NET_FIELD_MAX, '1')},
    };
    for (const auto& [line, want] : cases) EXPECT_EQ(ip_fields(line), want) << line;
    EXPECT_EQ(built(net_addrs_build_json,
                    "1: lo    inet 127.0.0.1/8 scope host lo\n\nbroken\n5: w\"x inet 10.9.8.7/16\n"),
              R"({"addrs":[{"iface":"lo","addr":"127.0.0.1/8"},{"iface":"w\"x","addr":"10.9.8.7/16"}]})");
}
