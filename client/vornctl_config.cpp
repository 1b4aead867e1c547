// vornctl conveniences for the configuration operations: `config` prints config_get as
// aligned lines, `config-apply key=value ...` sends config_apply and prints what is live after.

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "client.h"
#include "vornctl.h"
#include "wire/jsmn.h"

namespace {

constexpr size_t ARRAY_TOKENS_MAX = 64;  // a list holds at most 32 entries
const char* const LIST_NAMES[] = {"ops", "exec", "pty", "read_file", "write_file", "fio_targets", "procs_kill"};

// A value from the daemon, decoded and made safe for a terminal (control bytes become '?').
std::string printable(std::string_view raw_escaped) {
    std::string s = vc_json_unescape(raw_escaped);
    for (char& c : s)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return s;
}

std::string str_member(std::string_view obj, std::string_view key) {
    std::string raw;
    return vc_json_str(obj, key, &raw) ? printable(raw) : std::string();
}

// The strings of a JSON array, joined by ", ".
std::string join_array(std::string_view arr) {
    std::vector<jsmntok_t> toks(ARRAY_TOKENS_MAX);
    jsmn_parser p;
    jsmn_init(&p);
    int n = jsmn_parse(&p, arr.data(), arr.size(), toks.data(), static_cast<unsigned>(toks.size()));
    std::string out;
    for (int i = 1; i < n; i++) {
        if (toks[i].type != JSMN_STRING) continue;
        if (!out.empty()) out += ", ";
        out += printable(arr.substr(static_cast<size_t>(toks[i].start),
                                    static_cast<size_t>(toks[i].end - toks[i].start)));
    }
    return out;
}

void print_config(std::string_view cfg) {
    printf("%-13s%s\n", "level", str_member(cfg, "level").c_str());
    std::string path = str_member(cfg, "config_path");
    printf("%-13s%s\n", "config_path", path.empty() ? "(none loaded)" : path.c_str());
    std::string sock;
    vc_json_raw(cfg, "socket", &sock);
    std::string group = str_member(sock, "group");
    printf("%-13s%s  mode %s  group %s\n", "socket", str_member(sock, "path").c_str(), str_member(sock, "mode").c_str(),
           group.empty() ? "-" : group.c_str());
    for (const char* name : LIST_NAMES) {
        std::string list, arr;
        vc_json_raw(cfg, name, &list);
        vc_json_raw(list, "list", &arr);
        std::string mode = str_member(list, "mode");
        if (mode == "LIST") printf("%-13sLIST  %s\n", name, join_array(arr).c_str());
        else printf("%-13s%s\n", name, mode.c_str());
    }
}

// Prints an error reply on stderr, or the configuration of an ok reply (with the file it was
// written to for config_apply).
bool print_reply(void* user, std::string_view frame) {
    std::string ok, result;
    if (!vc_json_raw(frame, "ok", &ok) || ok != "true" || !vc_json_raw(frame, "result", &result)) {
        ctl_report_error(*static_cast<const ctl_ctx*>(user), frame);
        return false;
    }
    std::string cfg;
    if (vc_json_raw(result, "config", &cfg)) {
        printf("%-13s%s\n", "persisted", str_member(result, "persisted_path").c_str());
        print_config(cfg);
    } else {
        print_config(result);
    }
    return false;
}

}  // namespace

int ctl_cmd_config(const ctl_ctx& ctx, int argc, char**) {
    if (argc != 0) {
        fprintf(stderr, "usage: vornctl config\n");
        return CTL_USAGE;
    }
    return ctl_run_op(ctx, "config_get", "{}", print_reply, const_cast<ctl_ctx*>(&ctx));
}

int ctl_cmd_config_apply(const ctl_ctx& ctx, int argc, char** argv) {
    std::string args;
    if (argc == 0) {
        fprintf(stderr,
                "usage: vornctl config-apply level=dev|safe|locked\n"
                "       vornctl config-apply LIST=VALUE ...   (LIST: ops exec pty read_file write_file\n"
                "                                              fio_targets procs_kill; VALUE: ALL, NONE or names)\n");
        return CTL_USAGE;
    }
    if (!ctl_args_from_words(argc, argv, &args) || !ctl_args_ok(ctx, "config_apply", args)) return CTL_USAGE;
    return ctl_run_op(ctx, "config_apply", args, print_reply, const_cast<ctl_ctx*>(&ctx));
}
