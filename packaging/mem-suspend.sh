#!/bin/sh
# mem-suspend.sh — runs one memory test for vornd's mem_suspend_run and records it.
#
#   mem-suspend.sh --run-id ID --workdir DIR --passes N --arc-floor-mb MB \
#                  --mode deep|hammer --extended 0|1
#
# The daemon starts it detached, with standard output and error appended to DIR/orch.log.
# It writes DIR/orch.pid and DIR/orch.pgid (it leads its own process group) and holds the
# sentinel /tmp/.vorn_memtest.lock (its pid in "pid") while it runs. DIR/stream.ndjson gets
# one JSON object per line: start, arc, the memory test's own JSON lines, error, and last
# end with the status (passed, failed, cancelled, error) and the test's exit code.
# SIGTERM to it or its group stops the test. On every way out it puts the ARC limit back,
# removes its pid files and removes the sentinel when that still holds its pid.
# Exit status: 0 passed, 1 failed, 2 arguments refused, 3 error, 143 cancelled.
#
# VORN_MEMTEST_ARC_MAX_FILE replaces the ZFS parameter file; it exists for the tests.

# shellcheck disable=SC2317 # on_term and on_exit run from traps

SENTINEL=/tmp/.vorn_memtest.lock
ARC_MAX=${VORN_MEMTEST_ARC_MAX_FILE:-/sys/module/zfs/parameters/zfs_arc_max}
STOP_GRACE_S=5  # SIGTERM to SIGKILL for the memory test and the output reader
SYSTEM_DIRS="/usr/sbin /usr/local/sbin /usr/bin /usr/local/bin /opt/bin /opt/sbin /bin /sbin"
CR=$(printf '\r')

say() { printf '%s mem-suspend[%s]: %s\n' "$(date '+%Y-%m-%dT%H:%M:%S')" "$$" "$*" >&2; }

refuse() {
    say "refused: $1"
    say "usage: mem-suspend.sh --run-id ID --workdir DIR --passes 1-16 --arc-floor-mb MB --mode deep|hammer --extended 0|1"
    exit 2
}

is_uint() { case $1 in '' | *[!0-9]*) return 1 ;; esac; }

# ---- arguments: exactly the vector the daemon builds ----

[ $# -eq 12 ] || refuse "expected 12 arguments, got $#"
if [ "$1" != --run-id ] || [ "$3" != --workdir ] || [ "$5" != --passes ] || [ "$7" != --arc-floor-mb ] ||
    [ "$9" != --mode ] || [ "${11}" != --extended ]; then
    refuse "options missing or out of order"
fi
run_id=$2 workdir=$4 passes=$6 floor_mb=$8 mode=${10} extended=${12}

case $run_id in '' | *[!0-9a-fA-F]*) refuse "run id must be hexadecimal" ;; esac
[ ${#run_id} -le 32 ] || refuse "run id longer than 32 digits"
case $workdir in /*) ;; *) refuse "workdir must be an absolute path" ;; esac
case $workdir in *[[:cntrl:]]*) refuse "workdir holds a control character" ;; esac
[ -d "$workdir" ] || refuse "workdir is not a directory"
case $passes in [1-9] | 1[0-6]) ;; *) refuse "passes must be 1 to 16" ;; esac
case $floor_mb in 0 | [1-9]* | -[1-9]*) ;; *) refuse "arc floor must be an integer" ;; esac
if ! is_uint "${floor_mb#-}" || [ ${#floor_mb} -gt 20 ]; then refuse "arc floor must be an integer"; fi
case $mode in deep | hammer) ;; *) refuse "mode must be deep or hammer" ;; esac
case $extended in 0 | 1) ;; *) refuse "extended must be 0 or 1" ;; esac

# ---- its own process group, so that one signal to the group reaches the test too ----

pgid_of() {
    _stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    # "pid (comm) state ppid pgrp ...": the name may hold anything, so read after its ')'.
    # shellcheck disable=SC2086 # split into fields on purpose
    set -- ${_stat##*)}
    printf '%s\n' "$3"
}

reexec=${VORN_MEMTEST_REEXEC:-}
unset VORN_MEMTEST_REEXEC
if [ "$(pgid_of $$)" != "$$" ] && [ -z "$reexec" ] && command -v setsid >/dev/null 2>&1; then
    # Not a group leader (the daemon's intermediate child led the session): setsid makes
    # this same process the leader of a new session and group, then runs the script again.
    export VORN_MEMTEST_REEXEC=1
    exec setsid /bin/sh "$0" "$@"
fi

stream=$workdir/stream.ndjson
fifo=$workdir/.memprowl.out
finished=0 cancel=0 owns_sentinel=0 arc_lowered=0 arc_before=''
mp='' router='' timer=''

# ---- records ----

# A JSON string of $1: control characters become spaces, quotes and backslashes escaped.
json_str() { printf '"%s"' "$(printf '%s' "$1" | tr '\000-\037' ' ' | sed 's/[\\"]/\\&/g')"; }

# record TYPE [MEMBERS]: MEMBERS are already formatted, each starting with a comma.
record() { printf '{"ts":%s,"type":"%s"%s}\n' "$(date +%s)" "$1" "$2" >>"$stream"; }

error_record() {
    say "error: $1"
    record error ",\"text\":$(json_str "$1")"
}

# ---- files ----

first_line() {
    _line=
    [ -r "$1" ] && IFS= read -r _line <"$1"
    printf '%s' "${_line%"$CR"}"
}

is_orchestrator() {
    kill -0 "$1" 2>/dev/null || return 1
    case $(tr '\000' ' ' <"/proc/$1/cmdline" 2>/dev/null) in *mem-suspend.sh*) return 0 ;; esac
    return 1
}

# Takes the sentinel the daemon claimed for this run (or creates it when run by hand).
# Fails when another live run holds it.
take_sentinel() {
    mkdir -m 0755 "$SENTINEL" 2>/dev/null
    # Only a real directory of this user's: /tmp is everyone's, and a link planted there
    # would make root write its pid wherever it points.
    [ -d "$SENTINEL" ] && [ ! -L "$SENTINEL" ] && [ -O "$SENTINEL" ] || return 1
    _holder=$(first_line "$SENTINEL/pid")
    if [ -n "$_holder" ] && [ "$_holder" != $$ ] && is_orchestrator "$_holder"; then return 1; fi
    owns_sentinel=1
    printf '%s\n' $$ >"$SENTINEL/pid" || return 1
}

# Moves the sentinel aside in one step before emptying it, so a run that claims it anew in
# the meantime never loses its claim; only a sentinel that still holds this pid goes.
release_sentinel() {
    [ "$owns_sentinel" = 1 ] && [ "$(first_line "$SENTINEL/pid")" = $$ ] || return 0
    owns_sentinel=0
    _aside=$(mktemp -d /tmp/.vorn_memtest.gone.XXXXXX 2>/dev/null) || _aside=''
    _dir=$SENTINEL
    [ -n "$_aside" ] && mv "$SENTINEL" "$_aside/lock" && _dir=$_aside/lock
    rm -f "$_dir/claiming" "$_dir/started" "$_dir/deadline" "$_dir/pid"
    rmdir "$_dir" 2>/dev/null
    [ -n "$_aside" ] && rmdir "$_aside" 2>/dev/null
    return 0
}

# ---- ARC limit ----

arc_record() { record arc ",\"action\":\"$1\"$2"; }

lower_arc() {
    case $floor_mb in -* | 0) arc_record none ',"reason":"no floor requested"'; return ;; esac
    if [ ! -e "$ARC_MAX" ]; then
        arc_record none ',"reason":"no zfs arc limit on this host"'
        return
    fi
    _before=$(first_line "$ARC_MAX")
    if ! is_uint "$_before" || [ ${#_before} -gt 18 ]; then
        error_record "cannot read the arc limit"
        return
    fi
    if [ ${#floor_mb} -gt 13 ] || [ "$floor_mb" -gt 8796093022207 ]; then
        error_record "arc floor too large"
        return
    fi
    _target=$((floor_mb * 1048576))
    if [ "$_before" -ne 0 ] && [ "$_before" -le "$_target" ]; then
        arc_record none ",\"reason\":\"limit already at or below the floor\",\"before\":$_before"
        return
    fi
    # Marked before the write: a signal right after it must still find something to undo.
    arc_before=$_before arc_lowered=1
    if ! printf '%s\n' "$_target" >"$ARC_MAX" 2>/dev/null; then
        arc_lowered=0
        error_record "cannot lower the arc limit"
        return
    fi
    _after=$(first_line "$ARC_MAX")
    arc_record lower ",\"before\":$_before,\"after\":${_after:-null}"
}

restore_arc() {
    [ "$arc_lowered" = 1 ] || return 0
    arc_lowered=0
    _now=$(first_line "$ARC_MAX")
    is_uint "$_now" || _now=null
    if printf '%s\n' "$arc_before" >"$ARC_MAX" 2>/dev/null; then
        _after=$(first_line "$ARC_MAX")
        arc_record restore ",\"before\":$_now,\"after\":${_after:-null}"
    else
        error_record "cannot restore the arc limit to $arc_before"
    fi
}

# ---- the memory test ----

arch() {
    case $(uname -m) in
        x86_64 | amd64) echo x86_64 ;;
        aarch64 | arm64) echo aarch64 ;;
        armv7* | armhf) echo armhf ;;
        i686 | i586 | i386) echo i686 ;;
        *) uname -m | cut -c1-31 ;;
    esac
}

# The daemon's own order: the install root's copies, its distribution directory, the
# system directories (every one with the architecture suffix first), then PATH.
find_memprowl() {
    _a=$(arch)
    for _p in "/opt/vorn/bin/memprowl-$_a" "/opt/vorn/$_a/bin/memprowl-$_a" "/opt/vorn/$_a/bin/memprowl" \
        "/opt/vorn/dist/memprowl/bin/memprowl-$_a" "/opt/vorn/dist/memprowl/memprowl-$_a" \
        /opt/vorn/dist/memprowl/memprowl; do
        [ -x "$_p" ] && { printf '%s\n' "$_p"; return 0; }
    done
    for _d in $SYSTEM_DIRS; do
        [ -x "$_d/memprowl-$_a" ] && { printf '%s\n' "$_d/memprowl-$_a"; return 0; }
    done
    for _d in $SYSTEM_DIRS; do
        [ -x "$_d/memprowl" ] && { printf '%s\n' "$_d/memprowl"; return 0; }
    done
    _ifs=$IFS
    IFS=:
    for _d in $PATH; do
        [ -n "$_d" ] && [ -x "$_d/memprowl" ] && { IFS=$_ifs; printf '%s\n' "$_d/memprowl"; return 0; }
    done
    IFS=$_ifs
    return 1
}

# Reads the test's standard output: whole JSON lines go to the record stream, the rest to
# the log. A last line without its line feed was cut short and goes to the log.
route_output() {
    trap '' TERM INT  # keeps draining while the test is stopped
    while IFS= read -r _l; do
        _l=${_l%"$CR"}
        case $_l in
            '') ;;
            '{'*'}') printf '%s\n' "$_l" >>"$stream" ;;
            *) printf '%s\n' "$_l" >&2 ;;
        esac
    done
    [ -n "$_l" ] && printf '%s\n' "$_l" >&2
    return 0
}

# wait_bounded PID: waits for a child, sending it SIGKILL after STOP_GRACE_S; its status.
# The timer is killed as soon as the wait is over (SIGKILL: it inherits TERM ignored while
# the run is being stopped), so it never fires at a reaped pid.
wait_bounded() {
    stop_timer
    (sleep "$STOP_GRACE_S" && kill -KILL "$1" 2>/dev/null) &
    timer=$!
    wait "$1"
    _rc=$?
    stop_timer
    return $_rc
}

stop_timer() {
    [ -n "$timer" ] && kill -KILL "$timer" 2>/dev/null
    timer=
}

# finish STATUS [EXIT_CODE]: the last record, everything put back, then exit.
finish() {
    trap '' TERM INT
    finished=1
    stop_timer
    # Only on a way out that skipped the end of the test: nothing is left running.
    [ -n "$mp" ] && kill -TERM "$mp" 2>/dev/null
    [ -n "$router" ] && kill -KILL "$router" 2>/dev/null
    # What the test left behind goes with it; the group is the run's own once this process
    # leads it (SIGTERM is ignored here from now on).
    [ "$(pgid_of $$)" = $$ ] && kill -TERM 0 2>/dev/null
    restore_arc
    record end ",\"status\":\"$1\",\"exit_code\":${2:-null}"
    say "run $run_id ended: $1"
    rm -f "$fifo" "$workdir/orch.pid" "$workdir/orch.pgid"
    release_sentinel
    case $1 in passed) exit 0 ;; failed) exit 1 ;; cancelled) exit 143 ;; *) exit 3 ;; esac
}

# A stop request only sets the flag, passes SIGTERM on to the test and starts the timer
# for its SIGKILL: the run stops in the main flow, since a wait inside a trap handler is
# not reliable in every shell.
on_term() {
    [ "$cancel" = 1 ] && return
    cancel=1
    [ -n "$mp" ] && stop_memprowl
}

stop_memprowl() {
    kill -TERM "$mp" 2>/dev/null
    [ -n "$timer" ] && return
    (sleep "$STOP_GRACE_S" && kill -KILL "$mp" 2>/dev/null) &
    timer=$!
}

stop_if_cancelled() { [ "$cancel" = 1 ] && finish cancelled; }

# Any other way out (a failed redirection, a shell error) still puts everything back.
on_exit() {
    [ "$finished" = 1 ] && return
    error_record "orchestrator ended unexpectedly"
    finish error
}

trap on_exit EXIT
trap on_term TERM INT

# ---- the run ----

if ! printf '%s\n' $$ >"$workdir/orch.pid" || ! printf '%s\n' "$(pgid_of $$)" >"$workdir/orch.pgid"; then
    say "cannot write the pid files into $workdir"
    finish error
fi
take_sentinel
sentinel_ok=$?
extended_json=false
[ "$extended" = 1 ] && extended_json=true
record start ",\"run_id\":\"$run_id\",\"passes\":$passes,\"mode\":\"$mode\",\"arc_floor_mb\":$floor_mb,\"extended\":$extended_json"
say "run $run_id started: passes $passes, mode $mode, arc floor $floor_mb MB, extended $extended"
if [ "$sentinel_ok" != 0 ]; then
    error_record "another memory test holds $SENTINEL"
    finish error
fi
stop_if_cancelled
lower_arc
stop_if_cancelled

if ! memprowl=$(find_memprowl); then
    error_record "memprowl not found"
    finish error
fi
set -- "$memprowl" --json --passes "$passes"
[ "$extended" = 1 ] && set -- "$@" --extended-tests
[ "$mode" = hammer ] && set -- "$@" --full

rm -f "$fifo"
if ! mkfifo -m 0600 "$fifo"; then
    error_record "cannot create the output pipe"
    finish error
fi
stop_if_cancelled
route_output <"$fifo" &
router=$!
say "running $*"
# The test itself is an ordinary process for the OOM killer: only this orchestrator keeps the
# daemon's protection, so that it can put everything back whatever the test does.
# Its JSON lines are read here: numbers keep their decimal point whatever the locale.
(
    printf '0\n' >/proc/self/oom_score_adj 2>/dev/null
    LC_ALL=C exec "$@"
) <"/dev/null" >"$fifo" &
mp=$!
[ "$cancel" = 1 ] && stop_memprowl  # a request that came before $mp was set
wait "$mp"
rc=$?
# From here on the outcome is decided: later requests change nothing.
trap '' TERM INT
if [ "$cancel" = 1 ]; then
    say "stopping on request"
    # The first wait may have been cut short by the signal. No job may be started before
    # this one: the shell forgets a job that was waited for once a new one starts (127).
    wait "$mp"
    _r=$?
    [ "$_r" = 127 ] || rc=$_r
fi
stop_timer
mp=''
wait_bounded "$router"
router=''
[ "$cancel" = 1 ] && finish cancelled "$rc"
if [ "$rc" = 0 ]; then finish passed 0; else finish failed "$rc"; fi
