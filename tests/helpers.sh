# What the end-to-end test scripts share. Sourced; the script sets $work
# (a folder of its own, scratch makes one) before it starts anything.

pids=()
# Ends every helper in $pids (start puts its helpers there) and waits for
# them, and for them alone: a program under test still running is the
# script's to end.
stop_helpers() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}

# scratch NAME: $work, a fresh folder under /tmp that goes at the end (kept
# with ZQ_KEEP set), with every helper stopped first and then the script's
# cleanup_more, where it defines one.
scratch() {
    work=$(mktemp -d "/tmp/zq-$1-XXXXXX")
    trap scratch_cleanup EXIT
}
scratch_cleanup() {
    stop_helpers
    if declare -F cleanup_more >/dev/null; then cleanup_more; fi
    if [ -n "${ZQ_KEEP:-}" ]; then echo "files kept in $work"; else rm -rf "$work"; fi
}

# in_mount_namespace NAME ARGS...: runs the script again, with ARGS, in a
# private mount namespace of its own, where it may mount over /sys and /etc
# without touching the machine's. Exits 77 (skipped) without root or
# namespaces.
in_mount_namespace() {
    local name=$1
    shift
    [ -n "${ZQ_IN_NAMESPACE:-}" ] && return 0
    if [ "$(id -u)" -ne 0 ] || ! unshare -m true 2>/dev/null; then
        echo "$name: needs root and mount namespaces; skipped"
        exit 77
    fi
    ZQ_IN_NAMESPACE=1 exec unshare -m --propagation private "$0" "$@"
}

# fake_ftdi_sysfs DIR: in the mount namespace, /sys/class/tty describes
# ttyUSB0 as ftdi_sio lays out an FTDI adapter (0403:6001, FT232R USB UART,
# serial A10KX7Q2, latency_timer 16), from a tmpfs mounted on DIR; sets
# $ftdi_dir, the tty's device folder. The script's cleanup unmounts
# /sys/class/tty and DIR.
fake_ftdi_sysfs() {
    local sys=$1
    mkdir -p "$sys"
    mount -t tmpfs zq-sys "$sys"
    local usb=$sys/devices/pci0000:00/usb1/1-1
    ftdi_dir=$usb/1-1:1.0/ttyUSB0
    mkdir -p "$ftdi_dir" "$sys/bus/usb-serial/drivers/ftdi_sio" "$sys/class/ttyUSB0"
    printf '0403\n' >"$usb/idVendor"
    printf '6001\n' >"$usb/idProduct"
    printf 'FTDI\n' >"$usb/manufacturer"
    printf 'FT232R USB UART\n' >"$usb/product"
    printf 'A10KX7Q2\n' >"$usb/serial"
    printf '0\n' >"$ftdi_dir/port_number"
    printf '16\n' >"$ftdi_dir/latency_timer"
    ln -s "$sys/bus/usb-serial/drivers/ftdi_sio" "$ftdi_dir/driver"
    ln -s "$sys/bus/usb-serial" "$ftdi_dir/subsystem"
    ln -s "$ftdi_dir" "$sys/class/ttyUSB0/device"
    mount --bind "$sys/class" /sys/class/tty
}

# engineering_key: a signing key of the engineers' in the current folder,
# eng.pem, and its public half eng.pub, for a station to trust.
engineering_key() {
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out eng.pem 2>/dev/null
    chmod 600 eng.pem
    openssl pkey -in eng.pem -pubout -out eng.pub
}

# lock_station PUB: in the mount namespace, a scratch folder in $work stands
# for /etc/zerquill (bound over it, or over an overlay of /etc where the
# folder does not exist) with PUB its one trusted key: the station is locked.
# unlock_station, from the script's cleanup, lets go of the mounts first, so
# that $work can go.
lock_station() {
    mkdir -p "$work/etc-zerquill/trusted"
    cp "$1" "$work/etc-zerquill/trusted/engineering.pem"
    if [ ! -d /etc/zerquill ]; then
        mkdir -p "$work/overlay/up" "$work/overlay/work"
        mount -t overlay zq-etc -o lowerdir=/etc,upperdir="$work/overlay/up",workdir="$work/overlay/work" /etc
        mkdir /etc/zerquill
    fi
    mount --bind "$work/etc-zerquill" /etc/zerquill
}
unlock_station() { umount -l /etc/zerquill /etc 2>/dev/null || true; }

# Waits up to five seconds for $1 to hold something; false if it stays empty.
await_file() {
    for _ in $(seq 50); do
        [ -s "$1" ] && return 0
        sleep 0.1
    done
    return 1
}

# Prints the line path a device simulator wrote first into $1, once it has
# (within five seconds); false if it wrote no path.
sim_path() {
    await_file "$1" || true
    local pty
    pty=$(head -1 "$1")
    case "$pty" in
    /dev/*) echo "$pty" ;;
    *) return 1 ;;
    esac
}

# Starts a helper in the background with its stdout in $1 and its stderr in
# $1.log, and waits for its first line (the path a simulator or a relay
# prints), which it leaves in $line.
line=
start() {
    local out=$1
    shift
    : >"$out"
    "$@" >"$out" 2>"$out.log" &
    pids+=($!)
    for _ in $(seq 200); do
        line=$(head -1 "$out" || true)
        [ -n "$line" ] && return 0
        sleep 0.05
    done
    echo "FAIL: $* did not start: $(cat "$out.log")"
    exit 1
}
