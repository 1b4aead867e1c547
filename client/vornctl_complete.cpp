// The bash completion script of vornctl: the words it completes come from vornctl's own
// sub-command table and from the daemon's operation table (vornctl_op_names.inc, generated
// from it at build time), so neither list is kept by hand.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "vornctl.h"

namespace {

const char* const OP_NAMES[] = {
#include "vornctl_op_names.inc"
};

const char SCRIPT_HEAD[] = R"(# bash completion for vornctl (generated: vornctl --bash-completion)
_vornctl() {
    local cur prev i cmd=""
    cur="${COMP_WORDS[COMP_CWORD]}"
    prev="${COMP_WORDS[COMP_CWORD-1]}"
    case "$prev" in
        -s|--socket|--token-file) COMPREPLY=( $(compgen -f -- "$cur") ); return ;;
        --sort) COMPREPLY=( $(compgen -W "rss pid name" -- "$cur") ); return ;;
    esac
    for (( i=1; i < COMP_CWORD; i++ )); do
        case "${COMP_WORDS[i]}" in
            -s|--socket|--token-file) (( i++ )) ;;
            -*) ;;
            *) cmd="${COMP_WORDS[i]}"; break ;;
        esac
    done
    if [[ -z "$cmd" ]]; then
        if [[ "$cur" == -* ]]; then
            COMPREPLY=( $(compgen -W "-s --socket --token-file --text --json --help --bash-completion" -- "$cur") )
        else
            COMPREPLY=( $(compgen -W "$_vornctl_commands" -- "$cur") )
        fi
        return
    fi
    case "$cmd" in
        cat|ls|tail) compopt -o filenames 2>/dev/null; COMPREPLY=( $(compgen -f -- "$cur") ) ;;
        fio) compopt -o filenames 2>/dev/null; COMPREPLY=( $(compgen -d -- "$cur") ) ;;
        smart) COMPREPLY=( $(compgen -f -- "${cur:-/dev/}") ) ;;
        ps) COMPREPLY=( $(compgen -W "--sort" -- "$cur") ) ;;
    esac
}
complete -F _vornctl vornctl
)";

}  // namespace

void ctl_print_bash_completion(const char* const* commands, size_t n_commands) {
    std::string words;
    for (size_t i = 0; i < n_commands; i++) words += std::string(words.empty() ? "" : " ") + commands[i];
    for (const char* op : OP_NAMES)
        if (std::find_if(commands, commands + n_commands, [&](const char* c) { return strcmp(c, op) == 0; }) ==
            commands + n_commands)
            words += std::string(" ") + op;  // a view of the same name already stands for it
    fputs(SCRIPT_HEAD, stdout);
    printf("_vornctl_commands=\"%s\"\n", words.c_str());
}
