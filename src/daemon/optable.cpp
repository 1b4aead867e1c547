#include "daemon/optable.h"

#include <cstring>

#include "ops/capture.h"
#include "ops/config.h"
#include "ops/exec.h"
#include "ops/files.h"
#include "ops/fio.h"
#include "ops/hardware.h"
#include "ops/host.h"
#include "ops/iostat.h"
#include "ops/iperf.h"
#include "ops/logs.h"
#include "ops/memtest.h"
#include "ops/net.h"
#include "ops/procs.h"
#include "ops/pty.h"
#include "ops/trace.h"
#include "ops/tuning.h"
#include "ops/zpool.h"

// The 51 operations in their fixed order, then the terminating row. Lookup is a linear scan
// in this order. The observe class is read-only state; everything that changes the system,
// runs a program or a benchmark, opens a shell, or reads file contents, the kernel log,
// traffic or another process's calls and descriptors is control.
// One row per line reads as the table it is.
// clang-format off
const op_def_t g_ops[] = {
    {.name = "ping", .streaming = 0, .needs_root = 0, .cls = OP_OBSERVE, .job = op_job_t::none, .fn = op_ping},
    {.name = "info", .streaming = 0, .needs_root = 0, .cls = OP_OBSERVE, .job = op_job_t::none, .fn = op_info},
    {.name = "meminfo", .streaming = 0, .needs_root = 0, .cls = OP_OBSERVE, .job = op_job_t::none, .fn = op_meminfo},
    {.name = "services_check", .streaming = 0, .needs_root = 0, .cls = OP_OBSERVE, .job = op_job_t::none, .fn = op_services_check},
    {.name = "iostat_stream", .streaming = 1, .needs_root = 0, .cls = OP_OBSERVE, .job = op_job_t::optional, .fn = op_iostat_stream},
    {.name = "memprowl_run", .streaming = 1, .needs_root = 1, .cls = OP_CONTROL, .job = op_job_t::optional, .fn = op_memprowl_run},
    {.name = "memprowl_kill", .streaming = 0, .needs_root = 1, .cls = OP_CONTROL, .job = op_job_t::none, .fn = op_memprowl_kill},
    {.name = "mem_suspend_run", .streaming = 0, .needs_root = 1, .cls = OP_CONTROL, .job = op_job_t::none, .fn = op_mem_suspend_run},
    {.name = "mem_suspend_cancel", .streaming = 0, .needs_root = 1, .cls = OP_CONTROL, .job = op_job_t::none, .fn = op_mem_suspend_cancel},
    {.name = "fio_run", .streaming = 1, .needs_root = 0, .cls = OP_CONTROL, .job = op_job_t::optional, .fn = op_fio_run},
    {.name = "iperf3_client", .streaming = 1, .needs_root = 0, .cls = OP_CONTROL, .job = op_job_t::optional, .fn = op_iperf3_client},
    {.name = "iperf3_server", .streaming = 1, .needs_root = 0, .cls = OP_CONTROL, .job = op_job_t::optional, .fn = op_iperf3_server},
    {.name = "iperf3_kill", .streaming = 0, .needs_root = 0, .cls = OP_CONTROL, .job = op_job_t::none, .fn = op_iperf3_kill},
    {.name = "zpool_iostat_stream", .streaming = 1, .needs_root = 0, .cls = OP_OBSERVE, .job = op_job_t::optional, .fn = op_zpool_iostat_stream},
    {.name = "zpool_list", .streaming = 0, .needs_root = 0, .cls = OP_OBSERVE, .job = op_job_t::none, .fn = op_zpool_list},
    {.name = "procs_list", .streaming = 0, .needs_root = 0, .cls = OP_OBSERVE, .job = op_job_t::none, .fn = op_procs_list},
    {.name = "procs_kill", .streaming = 0, .needs_root = 1, .cls = OP_CONTROL, .job = op_job_t::none, .fn = op_procs_kill},
    {.name = "read_file", .streaming = 0, .needs_root = 0, .cls = OP_CONTROL, .job = op_job_t::none, .fn = op_read_file},
    {.name = "read_dir", .streaming = 0, .needs_root = 0, .cls = OP_CONTROL, .job = op_job_t::none, .fn = op_read_dir},
    {.name = "dmesg", .streaming = 0, .needs_root = 0, .cls = OP_CONTROL, .job = op_job_t::none, .fn = op_dmesg},
    {.name = "smart_get", .streaming = 0, .needs_root = 1, .cls = OP_OBSERVE, .job = op_job_t::none, .fn = op_smart_get},
    {.name = "smart_scan", .streaming = 0, .needs_root = 1, .cls = OP_OBSERVE, .job = op_job_t::none, .fn = op_smart_scan},
    {.name = "dmidecode", .streaming = 0, .needs_root = 1, .cls = OP_CONTROL, .job = op_job_t::none, .fn = op_dmidecode},
    {.name = "sysinfo", .streaming = 0, .needs_root = 0, .cls = OP_OBSERVE, .job = op_job_t::none, .fn = op_sysinfo},
    {.name = "dump_logs", .streaming = 1, .needs_root = 1, .cls = OP_CONTROL, .job = op_job_t::optional, .fn = op_dump_logs},
    {.name = "exec", .streaming = 1, .needs_root = 0, .cls = OP_CONTROL, .job = op_job_t::optional, .fn = op_exec},
    {.name = "pty", .streaming = 1, .needs_root = 0, .cls = OP_CONTROL, .job = op_job_t::required, .fn = op_pty},
    {.name = "pty_attach", .streaming = 1, .needs_root = 0, .cls = OP_CONTROL, .job = op_job_t::none, .fn = op_pty_attach},
    {.name = "pty_list", .streaming = 0, .needs_root = 0, .cls = OP_CONTROL, .job = op_job_t::none, .fn = op_pty_list},
    {.name = "pty_input", .streaming = 0, .needs_root = 0, .cls = OP_CONTROL, .job = op_job_t::none, .fn = op_pty_input},
    {.name = "pty_resize", .streaming = 0, .needs_root = 0, .cls = OP_CONTROL, .job = op_job_t::none, .fn = op_pty_resize},
    {.name = "pty_close", .streaming = 0, .needs_root = 0, .cls = OP_CONTROL, .job = op_job_t::none, .fn = op_pty_close},
    {.name = "net_addrs", .streaming = 0, .needs_root = 0, .cls = OP_OBSERVE, .job = op_job_t::none, .fn = op_net_addrs},
    {.name = "net_ports", .streaming = 0, .needs_root = 0, .cls = OP_CONTROL, .job = op_job_t::none, .fn = op_net_ports},
    {.name = "bin_check", .streaming = 0, .needs_root = 0, .cls = OP_OBSERVE, .job = op_job_t::none, .fn = op_bin_check},
    {.name = "mounts", .streaming = 0, .needs_root = 0, .cls = OP_OBSERVE, .job = op_job_t::none, .fn = op_mounts},
    {.name = "write_file", .streaming = 0, .needs_root = 1, .cls = OP_CONTROL, .job = op_job_t::none, .fn = op_write_file},
    {.name = "exec_detached", .streaming = 0, .needs_root = 1, .cls = OP_CONTROL, .job = op_job_t::none, .fn = op_exec_detached},
    {.name = "config_get", .streaming = 0, .needs_root = 0, .cls = OP_OBSERVE, .job = op_job_t::none, .fn = op_config_get},
    {.name = "config_apply", .streaming = 0, .needs_root = 1, .cls = OP_CONTROL, .job = op_job_t::none, .fn = op_config_apply},
    {.name = "proc_signal", .streaming = 0, .needs_root = 1, .cls = OP_CONTROL, .job = op_job_t::none, .fn = op_proc_signal},
    {.name = "proc_renice", .streaming = 0, .needs_root = 1, .cls = OP_CONTROL, .job = op_job_t::none, .fn = op_proc_renice},
    {.name = "cpufreq_set", .streaming = 0, .needs_root = 1, .cls = OP_CONTROL, .job = op_job_t::none, .fn = op_cpufreq_set},
    {.name = "drop_caches", .streaming = 0, .needs_root = 1, .cls = OP_CONTROL, .job = op_job_t::none, .fn = op_drop_caches},
    {.name = "proc_openfiles", .streaming = 0, .needs_root = 1, .cls = OP_CONTROL, .job = op_job_t::none, .fn = op_proc_openfiles},
    {.name = "proc_detail", .streaming = 0, .needs_root = 1, .cls = OP_CONTROL, .job = op_job_t::none, .fn = op_proc_detail},
    {.name = "cpu_limit", .streaming = 0, .needs_root = 1, .cls = OP_CONTROL, .job = op_job_t::none, .fn = op_cpu_limit},
    {.name = "log_tail", .streaming = 1, .needs_root = 0, .cls = OP_CONTROL, .job = op_job_t::optional, .fn = op_log_tail},
    {.name = "strace_attach", .streaming = 1, .needs_root = 1, .cls = OP_CONTROL, .job = op_job_t::optional, .fn = op_strace_attach},
    {.name = "pcap_capture", .streaming = 0, .needs_root = 1, .cls = OP_CONTROL, .job = op_job_t::none, .fn = op_pcap_capture},
    {.name = "pcap_stream", .streaming = 1, .needs_root = 1, .cls = OP_CONTROL, .job = op_job_t::optional, .fn = op_pcap_stream},
    {.name = nullptr, .streaming = 0, .needs_root = 0, .cls = OP_CLASS_UNSET, .job = op_job_t::none, .fn = nullptr},
};
// clang-format on

const op_def_t* op_find_in(const op_def_t* table, const char* name, size_t namelen) {
    for (const op_def_t* op = table; op->name; op++)
        if (strlen(op->name) == namelen && memcmp(op->name, name, namelen) == 0) return op;
    return nullptr;
}

const op_def_t* op_find(const char* name, size_t namelen) { return op_find_in(g_ops, name, namelen); }
