#!/usr/bin/env bash
# Runs a program of the Windows build under wine, in a wine prefix of that
# build and on a virtual X display of its own (dialogs need one).
#
#   wine-run.sh BUILD_DIR PROGRAM.exe [ARG]...   run it; its exit status
#   wine-run.sh BUILD_DIR --setup                make the prefix, start the display
#   wine-run.sh BUILD_DIR --env                  print the variables, for eval
#   wine-run.sh BUILD_DIR --teardown             stop wine and the display
#
# The prefix is made once (wineboot -i, some seconds) and kept in the build.
set -euo pipefail

build=$(cd "$1" && pwd)
shift
state="$build/wine-state"
mkdir -p "$state"
export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
# No Mono and no Gecko: a new prefix would otherwise offer to fetch them.
export WINEDLLOVERRIDES="mscoree,mshtml="

display_alive() {
    [ -s "$state/display" ] && [ -f "$state/xvfb.pid" ] && kill -0 "$(cat "$state/xvfb.pid")" 2>/dev/null
}

start_display() {
    display_alive && return 0
    rm -f "$state/display"
    # Xvfb takes a free display number and writes it to fd 3 once it listens.
    setsid Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp \
        3>"$state/display" </dev/null >"$state/xvfb.log" 2>&1 &
    echo $! >"$state/xvfb.pid"
    for _ in $(seq 100); do
        [ -s "$state/display" ] && return 0
        sleep 0.1
    done
    echo "wine-run: Xvfb did not start (see $state/xvfb.log)" >&2
    exit 1
}

setup() {
    exec 9>"$state/lock"
    flock 9
    start_display
    export DISPLAY=":$(head -1 "$state/display")"
    if [ ! -f "$WINEPREFIX/.zq-ready" ]; then
        wineboot -i >"$state/wineboot.log" 2>&1 || {
            cat "$state/wineboot.log" >&2
            exit 1
        }
        # One virtual desktop for every program: windows are drawn by wine,
        # with their captions, and hiding one does not wait for a window
        # manager's answer that no plain X display gives.
        wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >>"$state/wineboot.log" 2>&1
        wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f \
            >>"$state/wineboot.log" 2>&1
        # The desktop wineboot started is the old kind: start afresh.
        wineserver -k >/dev/null 2>&1 || true
        wineserver -w >/dev/null 2>&1 || true
        touch "$WINEPREFIX/.zq-ready"
    fi
    flock -u 9
    exec 9>&-
}

case "${1:-}" in
--setup)
    setup
    ;;
--env)
    setup
    printf 'export WINEPREFIX=%q WINEDEBUG=%q WINEDLLOVERRIDES=%q DISPLAY=%q\n' \
        "$WINEPREFIX" "$WINEDEBUG" "$WINEDLLOVERRIDES" "$DISPLAY"
    ;;
--teardown)
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    if [ -f "$state/xvfb.pid" ]; then
        kill "$(cat "$state/xvfb.pid")" 2>/dev/null || true
        rm -f "$state/xvfb.pid" "$state/display"
    fi
    ;;
"")
    echo "usage: wine-run.sh BUILD_DIR PROGRAM.exe [ARG]... | --setup | --env | --teardown" >&2
    exit 64
    ;;
*)
    setup
    # wine leaves processes behind (its server, services, the desktop) that
    # inherit the program's output; a file keeps them off the caller's pipe,
    # which a test runner would otherwise wait on until they end.
    out=$(mktemp "$state/run.XXXXXX")
    status=0
    wine "$@" </dev/null >"$out" 2>&1 || status=$?
    cat "$out"
    rm -f "$out"
    exit "$status"
    ;;
esac
