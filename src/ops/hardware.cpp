#include "ops/hardware.h"

#include <unistd.h>

#include <cstring>

#include "proc/tools.h"
#include "wire/args.h"
#include "wire/errors.h"
#include "wire/json.h"
#include "wire/reply.h"

namespace {

constexpr size_t TOOL_PATH_BYTES = 512;
// How long one run of each tool may take. A disk that must spin up first answers SMART
// queries slowly; the firmware tables are read from memory.
constexpr int SMARTCTL_DEADLINE_MS = 30000;
constexpr int SEACHEST_DEADLINE_MS = 30000;
constexpr int DMIDECODE_DEADLINE_MS = 10000;

bool is_alnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

}  // namespace

int smart_device_check(const char* dev, const char** code, const char** msg) {
    if (!dev[0]) {
        *code = ERR_EREQ;
        *msg = "device required";
        return -1;
    }
    if (strncmp(dev, "/dev/", 5) != 0) {
        *code = ERR_EBADDEV;
        *msg = "device must start with /dev/";
        return -1;
    }
    for (const char* p = dev + 5; *p; p++) {
        if (!is_alnum(*p) && *p != '_' && *p != '-') {
            *code = ERR_EBADDEV;
            *msg = "invalid device name";
            return -1;
        }
    }
    return 0;
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

const char* const SMARTCTL_MISSING = "smartctl not found (bundle smartctl-<arch> in /opt/vorn/bin)";
const char* const SEACHEST_MISSING = "SeaChest_SMART not found (bundle SeaChest_SMART-<arch> in /opt/vorn/bin)";

// Reads "device" and applies the name rule; replies the refusal itself and returns -1.
int smart_device_arg(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, char* dev, size_t cap) {
    dev[0] = '\0';
    arg_get_str(js, args, n, "device", dev, cap);
    const char* code = nullptr;
    const char* msg = nullptr;
    if (smart_device_check(dev, &code, &msg) == 0) return 0;
    reply_err(fd, req_id, code, msg);
    return -1;
}

// Runs smartctl with `argv` and replies with its JSON or its text.
int smartctl_reply(int fd, const char* req_id, char** argv) {
    sb_t out;
    exec_result_t res;
    if (run_capture(argv, &out, &res, fd, SMARTCTL_DEADLINE_MS) != 0)
        return reply_err(fd, req_id, ERR_ENOENT, "smartctl not found");
    if (res.timed_out) return reply_err(fd, req_id, ERR_ENOENT, "smartctl timed out");
    sb_t s;
    smart_result_json(sb_view(out), &s);
    return reply_ok(fd, req_id, s.buf);
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

// Replies with a tool's whole output as the escaped string member "text", after `head`
// (the opening brace and any members before it).
int reply_tool_text(int fd, const char* req_id, const char* head, const sb_t& out) {
    sb_t s;
    sb_appendz(&s, head);
    sb_appendz(&s, "\"text\":\"");
    sb_json_escape(&s, out.buf ? out.buf : "", out.len);
    sb_appendz(&s, "\"}");
    return reply_ok(fd, req_id, s.buf);
}

int seachest_reply(int fd, const char* req_id, char* dev) {
    char prog[TOOL_PATH_BYTES];
    if (binfind("SeaChest_SMART", "seachest", prog, sizeof prog) != 0)
        return reply_err(fd, req_id, ERR_ENOENT, SEACHEST_MISSING);
    char* argv[] = {prog, const_cast<char*>("-d"), dev, const_cast<char*>("--showFARM"), nullptr};
    sb_t out;
    exec_result_t res;
    if (run_capture(argv, &out, &res, fd, SEACHEST_DEADLINE_MS) != 0)
        return reply_err(fd, req_id, ERR_ENOENT, "SeaChest_SMART not runnable");
    if (res.timed_out) return reply_err(fd, req_id, ERR_ENOENT, "SeaChest_SMART timed out");
    return reply_tool_text(fd, req_id, "{\"tool\":\"seachest\",", out);
}

}  // namespace

int op_smart_get(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int) {
    char dev[SMART_DEVICE_MAX + 1];
    if (smart_device_arg(fd, req_id, js, args, n, dev, sizeof dev) != 0) return 0;
    char prog[TOOL_PATH_BYTES];
    if (binfind("smartctl", "smartmontools", prog, sizeof prog) != 0)
        return reply_err(fd, req_id, ERR_ENOENT, SMARTCTL_MISSING);
    char type[SMART_TYPE_MAX + 1] = "";
    arg_get_str(js, args, n, "type", type, sizeof type);
    char* argv[8] = {prog, const_cast<char*>("-a"), const_cast<char*>("-j")};
    smart_tail_args(argv, 3, type, dev);
    return smartctl_reply(fd, req_id, argv);
}

int op_smart_scan(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int) {
    char dev[SMART_DEVICE_MAX + 1];
    if (smart_device_arg(fd, req_id, js, args, n, dev, sizeof dev) != 0) return 0;
    char tool[SMART_WORD_MAX + 1] = "";
    arg_get_str(js, args, n, "tool", tool, sizeof tool);
    if (strcmp(tool, "seachest") == 0) return seachest_reply(fd, req_id, dev);
    char log[SMART_WORD_MAX + 1] = "";
    arg_get_str(js, args, n, "log", log, sizeof log);
    bool selected_log = strcmp(log, "farm") == 0 || strcmp(log, "devstat") == 0;
    char type[SMART_TYPE_MAX + 1] = "";
    arg_get_str(js, args, n, "type", type, sizeof type);
    char prog[TOOL_PATH_BYTES];
    if (binfind("smartctl", "smartmontools", prog, sizeof prog) != 0)
        return reply_err(fd, req_id, ERR_ENOENT, SMARTCTL_MISSING);
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
    return smartctl_reply(fd, req_id, argv);
}

int op_dmidecode(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int) {
    char type[DMI_TYPE_MAX + 1] = "";
    arg_get_str(js, args, n, "type", type, sizeof type);
    const char* prog = first_exec({"/usr/sbin/dmidecode"});
    if (!prog) prog = "/usr/local/sbin/dmidecode";
    // A program that is not there cannot run: say so instead of answering empty text.
    if (access(prog, X_OK) != 0) return reply_err(fd, req_id, ERR_ENOENT, "dmidecode not found");
    char* argv[4] = {const_cast<char*>(prog)};
    if (dmi_type_ok(type)) {
        argv[1] = const_cast<char*>("-t");
        argv[2] = type;
    }
    sb_t out;
    exec_result_t res;
    if (run_capture(argv, &out, &res, fd, DMIDECODE_DEADLINE_MS) != 0)
        return reply_err(fd, req_id, ERR_ENOENT, "dmidecode not found");
    if (res.timed_out) return reply_err(fd, req_id, ERR_ENOENT, "dmidecode timed out");
    return reply_tool_text(fd, req_id, "{", out);
}
