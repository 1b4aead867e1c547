// vornctl's argument table: one row for each of the daemon's operations, and the checks it
// makes of values before a request goes out.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "daemon/optable.h"
#include "vornctl_args.h"

TEST(CtlArgs, OneRowForEveryOperationOfTheDaemon) {
    std::set<std::string> daemon, table;
    for (const op_def_t* op = g_ops; op->name; op++) daemon.insert(op->name);
    for (const ctl_op_t& op : ctl_ops()) table.insert(op.name);
    EXPECT_EQ(table, daemon);
    for (const ctl_view_t& v : ctl_views()) EXPECT_TRUE(!v.op || ctl_op_find(v.op)) << v.name;
}

TEST(CtlArgs, RefusesWhatTheDaemonWouldQuietlyReplace) {
    const struct {
        const char* op;
        const char* args;
        const char* why;  // "" when accepted
    } cases[] = {
        {"fio_run", R"({"target_dir":"/t","size":"16M","direct":1,"test":"custom","rw":"randrw","iodepth":4})", ""},
        {"fio_run", R"({"size":"lots"})", "size=lots: expected digits with an optional K, M or G"},
        {"fio_run", R"({"size":"0.5G"})", "size=0.5G: expected"},
        {"fio_run", R"({"size":0})", "size=0: expected"},
        {"fio_run", R"({"direct":true})", "direct=true: expected an integer from 0 to 1"},
        {"fio_run", R"({"test":"seq"})", "test=seq: expected one of seq1m|rnd4k|full|custom"},
        {"fio_run", R"({"sise":"1G"})", "no argument sise; did you mean size=?"},
        {"exec", R"({"cmd":"ls","argv":["-l"]})", ""},
        {"exec", R"({"cmd":"ls","argv":"-l"})", "argv=-l: expected a JSON array of strings"},
        {"iperf3_client", R"({"host":"h","time":"10","udp":false})", ""},
        {"iperf3_client", R"({"time":1.5})", "time=1.5: expected an integer from 1 to 86400"},
        {"proc_detail", R"({"pid":1})", "pid=1: expected an integer from 2"},
        {"config_apply", R"({"exec":["ls"],"pty":"ALL","level":"safe"})", ""},
        {"ping", R"({"x":1})", "no argument x (it takes none)"},
    };
    for (const auto& c : cases) {
        std::string why;
        bool ok = ctl_check_args(*ctl_op_find(c.op), c.args, &why);
        EXPECT_EQ(ok, !*c.why) << c.args << " " << why;
        EXPECT_TRUE(why.starts_with(c.why)) << why;
    }
}

TEST(CtlArgs, NearestName) {
    const std::vector<std::string> names = ctl_all_names();
    const std::pair<const char*, const char*> cases[] = {
        {"iostats", "iostat"}, {"zpool_iostat", "zpool-iostat"}, {"proc_detial", "proc_detail"}, {"xyzzy", ""}};
    for (const auto& [word, want] : cases) EXPECT_EQ(ctl_nearest(word, names), want) << word;
}
