#include "ops/host.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "base/fdio.h"
#include "base/sb.h"
#include "base/version.h"
#include "proc/procfs.h"
#include "wire/errors.h"

namespace {

constexpr size_t PROC_TEXT_MAX_BYTES = 65536;  // /proc/meminfo and /proc/cpuinfo
constexpr size_t COMM_BYTES = 64;              // the kernel's names are at most 15 characters

// 1 when some process's command name equals one of the null-terminated `names`, else 0.
int proc_running(const char** names) {
    proc_scan_t scan;
    char comm[COMM_BYTES];
    while (int pid = scan.next()) {
        if (procfs_comm(scan.fd(), pid, comm, sizeof comm) < 0) continue;
        for (const char** n = names; *n; n++)
            if (strcmp(comm, *n) == 0) return 1;
    }
    return 0;
}

const char* bool_word(int v) { return v ? "true" : "false"; }

}  // namespace

op_result op_ping(const op_req_t&) { return op_result::ok("{\"pong\":true}"); }

op_result op_info(const op_req_t&) {
    struct utsname u;
    memset(&u, 0, sizeof u);
    uname(&u);
    sb_t s;
    sb_appendz(&s, "{");
    sb_kv_str(&s, "version", VORND_VERSION, 1);
    sb_kv_str(&s, "machine", u.machine, 1);
    sb_kv_str(&s, "release", u.release, 1);
    sb_kv_str(&s, "sysname", u.sysname, 1);
    sb_kv_int(&s, "euid", static_cast<long long>(geteuid()), 1);
    sb_kv_int(&s, "pid", static_cast<long long>(getpid()), 0);
    sb_appendz(&s, "}");
    return op_result::ok(std::move(s));
}

op_result op_meminfo(const op_req_t&) {
    sb_t text;
    if (read_file_all("/proc/meminfo", &text, PROC_TEXT_MAX_BYTES) != 0)
        return op_err{ERR_EIO, "cannot read /proc/meminfo"};
    static const char* const PATTERNS[4] = {"MemTotal: %lld", "MemAvailable: %lld", "MemFree: %lld", "SwapTotal: %lld"};
    long long vals[4] = {0, 0, 0, 0};
    for (const char* line = text.buf ? text.buf : ""; *line && *line != '\n';) {
        for (int k = 0; k < 4; k++) {
            long long v;
            if (sscanf(line, PATTERNS[k], &v) == 1) {
                vals[k] = v * 1024;  // the file counts kB
                break;
            }
        }
        const char* nl = strchr(line, '\n');
        if (!nl) break;
        line = nl + 1;
    }
    sb_t s;
    sb_printf(&s, "{\"mem_total\":%lld,\"mem_available\":%lld,\"mem_free\":%lld,\"swap_total\":%lld}", vals[0], vals[1],
              vals[2], vals[3]);
    return op_result::ok(std::move(s));
}

op_result op_services_check(const op_req_t&) {
    static const char* SMB_NAMES[] = {"smbd", nullptr};
    static const char* NFS_NAMES[] = {"nfsd", "rpc.nfsd", "rpc.mountd", nullptr};
    static const char* AFP_NAMES[] = {"afpd", "cnid_metad", nullptr};
    int smb = proc_running(SMB_NAMES);
    int nfs = proc_running(NFS_NAMES);
    int afp = proc_running(AFP_NAMES);
    sb_t s;
    sb_printf(&s,
              "{\"services\":[{\"key\":\"smb\",\"label\":\"SMB / Samba\",\"running\":%s},"
              "{\"key\":\"nfs\",\"label\":\"NFS\",\"running\":%s},"
              "{\"key\":\"afp\",\"label\":\"AFP\",\"running\":%s}]}",
              bool_word(smb), bool_word(nfs), bool_word(afp));
    return op_result::ok(std::move(s));
}

op_result op_sysinfo(const op_req_t&) {
    struct utsname u;
    memset(&u, 0, sizeof u);
    uname(&u);
    // A file above the limit still gives the whole chunks read before it was passed.
    sb_t cpu;
    read_file_all("/proc/cpuinfo", &cpu, PROC_TEXT_MAX_BYTES);
    sb_t s;
    sb_appendz(&s, "{");
    sb_kv_str(&s, "machine", u.machine, 1);
    sb_kv_str(&s, "release", u.release, 1);
    sb_kv_str(&s, "sysname", u.sysname, 1);
    sb_kv_str(&s, "version", u.version, 1);
    sb_kv_str(&s, "nodename", u.nodename, 1);
    sb_appendz(&s, "\"cpuinfo\":\"");
    if (cpu.len) sb_json_escape(&s, cpu.buf, cpu.len);
    sb_appendz(&s, "\"}");
    return op_result::ok(std::move(s));
}
