# What the wine scripts share. Sourced once $build and $here are set: the
# helpers' starter, the build's wine prefix and its server, a fresh folder
# of the script's own, and a cleanup that stops the helpers, unmaps the
# script's COM port and ends the server (after wine_cleanup_more, where the
# script defines one).
. "$here/../helpers.sh"
winerun="$here/../../cmake/wine-run.sh"

# wine_scene NAME COM: the prefix ready, $work = $build/NAME emptied, COM
# unmapped at the end.
wine_scene() {
    "$winerun" "$build" --setup
    eval "$("$winerun" "$build" --env)"
    work="$build/$1"
    wine_port=$2
    rm -rf "$work"
    mkdir -p "$work"
    trap wine_cleanup EXIT
}

wine_cleanup() {
    stop_helpers
    if declare -F wine_cleanup_more >/dev/null; then wine_cleanup_more; fi
    wine reg delete 'HKLM\Software\Wine\Ports' /v "$wine_port" /f >/dev/null 2>&1 || true
    wineserver -k >/dev/null 2>&1 || true
}
