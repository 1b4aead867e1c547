// The bash completion script of vornctl: the words it completes come from the argument table
// (vornctl_args.cpp), so no list is kept twice. A view and the operation it stands for are
// not both offered; key= names and their fixed values come per operation, smart offers block
// devices, attach the sessions the daemon lists now.

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "vornctl.h"
#include "vornctl_args.h"

namespace {

const char SCRIPT_HEAD[] = R"SH(# bash completion for vornctl (generated: vornctl --bash-completion)
_vornctl() {
    local cur prev i cmd="" conn=() line="${COMP_LINE:0:COMP_POINT}"
    cur="${line##*[[:space:]]}"   # whole, even when "=" breaks words for bash
    prev="${COMP_WORDS[COMP_CWORD-1]}"
    case "$prev" in
        -s|--socket|--token-file) COMPREPLY=( $(compgen -f -- "$cur") ); return ;;
        --sort) COMPREPLY=( $(compgen -W "cpu rss pid name" -- "$cur") ); return ;;
    esac
    for (( i=1; i < COMP_CWORD; i++ )); do
        case "${COMP_WORDS[i]}" in
            -s|--socket|--token-file) conn+=( "${COMP_WORDS[i]}" "${COMP_WORDS[i+1]}" ); (( i++ )) ;;
            -*) ;;
            *) [[ -z "$cmd" ]] && cmd="${COMP_WORDS[i]}" ;;
        esac
    done
    if [[ "$cur" == -* ]]; then
        COMPREPLY=( $(compgen -W "-s --socket --token-file --text --json --table --help --version --bash-completion" -- "$cur") )
        return
    fi
    if [[ -z "$cmd" ]]; then
        COMPREPLY=( $(compgen -W "$_vornctl_commands" -- "$cur") )
        return
    fi
    if [[ "$cur" == *=* ]]; then
        COMPREPLY=( $(compgen -W "$(_vornctl_values "$cmd" "${cur%%=*}")" -- "${cur#*=}") )
        [[ "$COMP_WORDBREAKS" == *=* ]] || COMPREPLY=( "${COMPREPLY[@]/#/${cur%%=*}=}" )
        return
    fi
    case "$cmd" in
        cat|ls|tail) compopt -o filenames 2>/dev/null; COMPREPLY=( $(compgen -f -- "$cur") ) ;;
        fio) compopt -o filenames 2>/dev/null; COMPREPLY=( $(compgen -d -- "$cur") ) ;;
        smart) COMPREPLY=( $(compgen -W "$(ls /sys/block 2>/dev/null | grep -v -e '^loop' -e '^ram' | sed 's|^|/dev/|')" -- "$cur") ) ;;
        attach|cancel) COMPREPLY=( $(compgen -W "$(vornctl "${conn[@]}" sessions 2>/dev/null | awk 'NR > 1 { print $1 }')" -- "$cur") ) ;;
        help) COMPREPLY=( $(compgen -W "$_vornctl_commands" -- "$cur") ) ;;
    esac
    local keys
    keys="$(_vornctl_keys "$cmd")"
    if [[ -n "$keys" ]]; then
        compopt -o nospace 2>/dev/null
        COMPREPLY+=( $(compgen -W "$keys" -- "$cur") )
    fi
}
complete -F _vornctl vornctl
)SH";

// The operation whose key= words follow WORD: a view's only when it takes such words.
const ctl_op_t* op_of(const char* word) {
    const ctl_view_t* v = ctl_view_find(word);
    if (!v) return ctl_op_find(word);
    return v->op && strchr(v->usage, '=') ? ctl_op_find(v->op) : nullptr;
}

// A view names some arguments by place (fio TARGET_DIR): those are not offered as key= words.
bool by_place(const char* word, const char* arg) {
    const ctl_view_t* v = ctl_view_find(word);
    std::string upper = arg;
    for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return v && strstr(v->usage, upper.c_str());
}

// The command words: every view, and every operation no view stands for.
std::string command_words() {
    std::string words;
    for (const ctl_view_t& v : ctl_views()) words += std::string(words.empty() ? "" : " ") + v.name;
    for (const ctl_op_t& op : ctl_ops()) {
        bool viewed = false;
        for (const ctl_view_t& v : ctl_views()) viewed |= v.op && std::string(v.op) == op.name;
        if (!viewed) words += std::string(" ") + op.name;
    }
    return words;
}

void print_cases(const char* fn, bool values) {
    printf("%s() {\n    case \"$1%s\" in\n", fn, values ? ":$2" : "");
    std::vector<const char*> words;
    for (const ctl_view_t& v : ctl_views()) words.push_back(v.name);
    for (const ctl_op_t& op : ctl_ops()) words.push_back(op.name);
    for (const char* w : words) {
        const ctl_op_t* op = op_of(w);
        if (!op) continue;
        if (!values) {
            std::string keys;
            for (const ctl_arg_t& a : op->args)
                if (!by_place(w, a.name)) keys += std::string(keys.empty() ? "" : " ") + a.name + "=";
            if (!keys.empty()) printf("        %s) echo \"%s\" ;;\n", w, keys.c_str());
            continue;
        }
        for (const ctl_arg_t& a : op->args) {
            std::string choices = a.kind == ctl_kind::flag ? "true|false" : a.choices ? a.choices : "";
            for (char& c : choices)
                if (c == '|') c = ' ';
            if (!choices.empty()) printf("        %s:%s) echo \"%s\" ;;\n", w, a.name, choices.c_str());
        }
    }
    printf("    esac\n}\n");
}

}  // namespace

void ctl_print_bash_completion() {
    fputs(SCRIPT_HEAD, stdout);
    print_cases("_vornctl_keys", false);
    print_cases("_vornctl_values", true);
    printf("_vornctl_commands=\"%s\"\n", command_words().c_str());
}
