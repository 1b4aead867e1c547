# Start-up file of the shells vornd opens on pseudo-terminals: POSIX shells read it through
# ENV when they start interactively (sh, dash, ash, bash as sh). It runs in the shell
# itself, so it only sets variables: no output, nothing that can fail or block.

case $- in
*i*)
    # The appliance's own tools after the system's, each directory once however often
    # nested shells read this file.
    for vorn_dir in /opt/vorn/bin /opt/vorn/sbin; do
        case ":$PATH:" in
        *":$vorn_dir:"*) ;;
        *) [ -d "$vorn_dir" ] && PATH=${PATH:+$PATH:}$vorn_dir ;;
        esac
    done
    unset vorn_dir
    export PATH

    # A service starts the daemon without HOME; a shell without it cannot `cd`.
    if [ -z "${HOME-}" ]; then
        HOME=$(getent passwd "$(id -u)" 2>/dev/null | cut -d: -f6)
        HOME=${HOME:-/}
        export HOME
    fi

    VORN_HOST=$(uname -n 2>/dev/null)
    if [ "$(id -u 2>/dev/null)" = 0 ]; then VORN_PS_MARK='#'; else VORN_PS_MARK='$'; fi
    PS1='${VORN_HOST:-vorn}:${PWD} '$VORN_PS_MARK' '
    unset VORN_PS_MARK
    ;;
esac
