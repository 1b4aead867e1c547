#include "ops/hardware.h"

#include <unistd.h>

#include <cstring>
#include <utility>

#include "proc/tools.h"
#include "wire/args.h"
#include "wire/errors.h"
#include "wire/json.h"

namespace {

constexpr size_t TOOL_PATH_BYTES = 512;
// How long one run of each tool may take. A disk that must spin up first answers SMART
// queries slowly; the firmware tables are read from memory.
constexpr int SMARTCTL_DEADLINE_MS = 30000;
constexpr int SEACHEST_DEADLINE_MS = 30000;
constexpr int DMIDECODE_DEADLINE_MS = 10000;

bool is_alnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

}  // namespace

const op_err* smart_device_check(const char* dev) {
    static const op_err MISSING = {ERR_EREQ, "device required"};
    static const op_err NOT_DEV = {ERR_EBADDEV, "device must start with /dev/"};
    static const op_err BAD_NAME = {ERR_EBADDEV, "invalid device name"};
    if (!dev[0]) return &MISSING;
    if (strncmp(dev, "/dev/", 5) != 0) return &NOT_DEV;
    for (const char* p = dev + 5; *p; p++)
        if (!is_alnum(*p) && *p != '_' && *p != '-') return &BAD_NAME;
    return nullptr;
}

int smart_type_ok(const char* type) {
    if (!type[0]) return 0;
    for (const char* p = type; *p; p++)
        if (!is_alnum(*p) && *p != ',') return 0;
    return 1;
}

int dmi_type_ok(const char* type) {
    if (!type[0]) return 0;
    for (const char* p = type; *p; p++)
        if (!is_alnum(*p)) return 0;
    return 1;
}

int smart_result_json(std::string_view output, sb_t* out) {
    // Only a complete document goes out unchanged: anything else would break the frame.
    if (!output.empty() && output[0] == '{' && json_is_one_value(output))
        return sb_append(out, output.data(), output.size());
    if (sb_appendz(out, "{\"text\":\"") != 0) return -1;
    sb_json_escape(out, output.data(), output.size());
    return sb_appendz(out, "\"}");
}

// ---- SMART and DMI ----

namespace {

const op_err SMARTCTL_MISSING = {ERR_ENOENT, "smartctl not found (bundle smartctl-<arch> in /opt/vorn/bin)"};
const op_err SEACHEST_MISSING = {ERR_ENOENT,
                                 "SeaChest_SMART not found (bundle SeaChest_SMART-<arch> in /opt/vorn/bin)"};

// Reads "device" into `dev` and applies the name rule: null, or the refusal.
const op_err* smart_device_arg(const op_req_t& req, char* dev, size_t cap) {
    dev[0] = '\0';
    arg_get_str(req.js, req.args, req.an, "device", dev, cap);
    return smart_device_check(dev);
}

// Runs smartctl with `argv` while watching the connection `fd`; its JSON or its text.
op_result smartctl_result(int fd, char** argv) {
    sb_t out;
    exec_result_t res;
    if (run_capture(argv, &out, &res, fd, SMARTCTL_DEADLINE_MS) != 0)
        // nothing could be started: to the client the tool is missing
        return op_err{ERR_ENOENT, "smartctl not found"};
    if (res.timed_out) return op_err{ERR_ENOENT, "smartctl timed out"};
    sb_t s;
    smart_result_json(sb_view(out), &s);
    return op_result::ok(std::move(s));
}

// Appends "-d" TYPE (when the type passes) and the device, then the terminator.
void smart_tail_args(char** argv, int i, char* type, char* dev) {
    if (smart_type_ok(type)) {
        argv[i++] = const_cast<char*>("-d");
        argv[i++] = type;
    }
    argv[i++] = dev;
    argv[i] = nullptr;
}

// A tool's whole output as the escaped string member "text", after `head` (the opening brace
// and any members before it).
op_result tool_text_result(const char* head, const sb_t& out) {
    sb_t s;
    sb_appendz(&s, head);
    sb_appendz(&s, "\"text\":\"");
    sb_json_escape(&s, out.buf ? out.buf : "", out.len);
    sb_appendz(&s, "\"}");
    return op_result::ok(std::move(s));
}

// The FARM log of `dev` from SeaChest_SMART, run while watching the connection `fd`.
op_result seachest_result(int fd, char* dev) {
    char prog[TOOL_PATH_BYTES];
    if (binfind("SeaChest_SMART", "seachest", prog, sizeof prog) != 0) return SEACHEST_MISSING;
    char* argv[] = {prog, const_cast<char*>("-d"), dev, const_cast<char*>("--showFARM"), nullptr};
    sb_t out;
    exec_result_t res;
    if (run_capture(argv, &out, &res, fd, SEACHEST_DEADLINE_MS) != 0)
        return op_err{ERR_ENOENT, "SeaChest_SMART not runnable"};
    if (res.timed_out) return op_err{ERR_ENOENT, "SeaChest_SMART timed out"};
    return tool_text_result("{\"tool\":\"seachest\",", out);
}

}  // namespace

op_result op_smart_get(const op_req_t& req) {
    char dev[SMART_DEVICE_MAX + 1];
    if (const op_err* refused = smart_device_arg(req, dev, sizeof dev)) return *refused;
    char type[SMART_TYPE_MAX + 1] = "";
    arg_get_str(req.js, req.args, req.an, "type", type, sizeof type);
    char prog[TOOL_PATH_BYTES];
    if (binfind("smartctl", "smartmontools", prog, sizeof prog) != 0) return SMARTCTL_MISSING;
    char* argv[8] = {prog, const_cast<char*>("-a"), const_cast<char*>("-j")};
    smart_tail_args(argv, 3, type, dev);
    return smartctl_result(req.fd, argv);
}

op_result op_smart_scan(const op_req_t& req) {
    char dev[SMART_DEVICE_MAX + 1];
    if (const op_err* refused = smart_device_arg(req, dev, sizeof dev)) return *refused;
    char tool[SMART_WORD_MAX + 1] = "";
    arg_get_str(req.js, req.args, req.an, "tool", tool, sizeof tool);
    if (strcmp(tool, "seachest") == 0) return seachest_result(req.fd, dev);
    char log[SMART_WORD_MAX + 1] = "";
    arg_get_str(req.js, req.args, req.an, "log", log, sizeof log);
    bool selected_log = strcmp(log, "farm") == 0 || strcmp(log, "devstat") == 0;
    char type[SMART_TYPE_MAX + 1] = "";
    arg_get_str(req.js, req.args, req.an, "type", type, sizeof type);
    char prog[TOOL_PATH_BYTES];
    if (binfind("smartctl", "smartmontools", prog, sizeof prog) != 0) return SMARTCTL_MISSING;
    char* argv[10] = {prog};
    int i = 1;
    if (selected_log) {
        argv[i++] = const_cast<char*>("-l");
        argv[i++] = log;
    } else {
        argv[i++] = const_cast<char*>("-x");
    }
    argv[i++] = const_cast<char*>("-j");
    smart_tail_args(argv, i, type, dev);
    return smartctl_result(req.fd, argv);
}

op_result op_dmidecode(const op_req_t& req) {
    static const op_err MISSING = {ERR_ENOENT, "dmidecode not found"};
    char type[DMI_TYPE_MAX + 1] = "";
    arg_get_str(req.js, req.args, req.an, "type", type, sizeof type);
    const char* prog = first_exec({"/usr/sbin/dmidecode"});
    if (!prog) prog = "/usr/local/sbin/dmidecode";
    // A program that is not there cannot run: say so instead of answering empty text.
    if (access(prog, X_OK) != 0) return MISSING;
    char* argv[4] = {const_cast<char*>(prog)};
    if (dmi_type_ok(type)) {
        argv[1] = const_cast<char*>("-t");
        argv[2] = type;
    }
    sb_t out;
    exec_result_t res;
    if (run_capture(argv, &out, &res, req.fd, DMIDECODE_DEADLINE_MS) != 0)
        // nothing could be started: to the client the tool is missing
        return MISSING;
    if (res.timed_out) return op_err{ERR_ENOENT, "dmidecode timed out"};
    return tool_text_result("{", out);
}
