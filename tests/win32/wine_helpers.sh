# What the wine scripts share. Sourced, once $here is set, with the script's
# arguments, which all begin BUILD_DIR DEVSIM (the Linux build's device
# simulator): $build and $devsim, skipped (77) when the simulator is not
# built; the helpers' starter, the build's wine prefix and its server, a
# fresh folder of the script's own, the COM ports it maps onto Linux lines,
# and a cleanup that stops the helpers, unmaps those ports, takes back a
# trusted key and ends the server (after wine_cleanup_more, where the script
# defines one).
. "$here/../helpers.sh"
winerun="$here/../../cmake/wine-run.sh"
build=$(cd "$1" && pwd)
devsim=$2

# wine_needs EXE...: exits 77 (skipped) unless every Linux program named is built.
wine_needs() {
    local exe
    for exe; do
        [ -x "$exe" ] || { echo "no $exe: build the linux preset first"; exit 77; }
    done
}
wine_needs "$devsim"

# wine_scene NAME [COM...]: the prefix ready, $work = $build/NAME emptied,
# the COM ports named (and any wine_map adds) unmapped at the end.
wine_ports=()
wine_scene() {
    "$winerun" "$build" --setup
    eval "$("$winerun" "$build" --env)"
    work="$build/$1"
    shift
    wine_ports=("$@")
    # A scene named as a folder of the build (forward/, record/, ...) would
    # empty that folder's CMake files with it.
    if [ -e "$work/cmake_install.cmake" ]; then
        echo "wine_scene: $work is a folder of the build, not a scene" >&2
        exit 1
    fi
    rm -rf "$work"
    mkdir -p "$work"
    trap wine_cleanup EXIT
}

# wine_map COM PATH: COM stands for the line at PATH from the next
# wine_reload on.
wine_map() {
    wine reg add 'HKLM\Software\Wine\Ports' /v "$1" /d "$2" /f >/dev/null
    case " ${wine_ports[*]} " in *" $1 "*) ;; *) wine_ports+=("$1") ;; esac
}

# wine_image PATH BLOCKS [TAIL [SEED [WORD]]]: an image of BLOCKS blocks and
# TAIL bytes more (77), header word WORD (3), its bytes drawn from SEED
# (20261207 + BLOCKS): the same bytes for the same arguments, run after run.
wine_image() {
    python3 - "$1" "$2" "${3:-77}" "${4:-$((20261207 + $2))}" "${5:-3}" <<'PY'
import random, struct, sys
path = sys.argv[1]
blocks, tail, seed, word = (int(a) for a in sys.argv[2:6])
rng = random.Random(seed)
data = bytearray(rng.getrandbits(8) for _ in range(65536 + 128 * blocks + tail))
data[0:2] = struct.pack("<H", word)
data[2:6] = b"SDDB"
open(path, "wb").write(data)
PY
}

# wine_trust PUB: the policy key holds PUB as Group Policy would write it
# (DER in base64 on one line): the prefix is a locked station until the
# cleanup, which the other scripts sharing the prefix rely on.
wine_policy='HKLM\Software\Policies\Zerquill\TrustedKeys'
wine_locked=
wine_trust() {
    wine_locked=1
    wine reg add "$wine_policy" /v engineering /t REG_SZ /d "$(openssl pkey -pubin -in "$1" -outform DER | base64 -w0)" \
        /f >/dev/null
}

# wine_flash NAME ARG...: $flash (zerquill-flash.exe) with its exit status
# in $rc, stdout and stderr in $work/NAME.out and .err, both in NAME.txt.
rc=0
wine_flash() {
    local name=$1
    shift
    set +e
    wine "$flash" "$@" </dev/null >"$work/$name.out" 2>"$work/$name.err"
    rc=$?
    set -e
    tr -d '\r' <"$work/$name.out" >"$work/$name.txt"
    tr -d '\r' <"$work/$name.err" >>"$work/$name.txt"
}
# wine_path NAME: $work/NAME as a Windows program names it.
wine_path() { winepath -w "$work/$1"; }

# Wine reads its port map when its server starts.
wine_reload() {
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
}

wine_cleanup() {
    stop_helpers
    if declare -F wine_cleanup_more >/dev/null; then wine_cleanup_more; fi
    local port
    for port in "${wine_ports[@]}"; do
        wine reg delete 'HKLM\Software\Wine\Ports' /v "$port" /f >/dev/null 2>&1 || true
    done
    if [ -n "$wine_locked" ]; then wine reg delete "$wine_policy" /f >/dev/null 2>&1 || true; fi
    wineserver -k >/dev/null 2>&1 || true
}
