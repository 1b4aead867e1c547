// The operation table: unique names, a handler on every row, exact look-up.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <utility>

#include "daemon/optable.h"

TEST(OpTable, NamesAreUniqueEveryRowHasAHandlerAndFindIsExact) {
    std::set<std::string> names;
    for (const op_def_t* op = g_ops; op->name; op++) {
        EXPECT_TRUE(names.insert(op->name).second) << "duplicate " << op->name;
        EXPECT_NE(op->fn, nullptr) << op->name;
        EXPECT_LT(strlen(op->name), 64u) << op->name;
    }
    EXPECT_EQ(names.size(), 51u);
    EXPECT_NE(op_find("pingx", 4), nullptr);  // the name need not be terminated
    for (auto [name, len] : {std::pair{"Ping", 4}, {"pin", 3}, {"pingx", 5}})
        EXPECT_EQ(op_find(name, len), nullptr) << name;
}

TEST(OpTable, ObserveIsExactlyTheReadOnlySetAndEveryRowHasAClass) {
    const std::set<std::string> observe = {
        "ping",       "info",   "meminfo",   "services_check", "sysinfo",   "iostat_stream", "zpool_iostat_stream",
        "zpool_list", "mounts", "smart_get", "smart_scan",     "net_addrs", "bin_check",     "procs_list",
        "config_get"};
    std::set<std::string> seen;
    for (const op_def_t* op = g_ops; op->name; op++) {
        EXPECT_TRUE(op->cls == OP_OBSERVE || op->cls == OP_CONTROL) << op->name;
        if (op->cls == OP_OBSERVE) seen.insert(op->name);
    }
    EXPECT_EQ(seen, observe);
}
