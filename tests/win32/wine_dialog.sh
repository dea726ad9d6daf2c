# Driving ZerquillUpdater.exe from outside on the virtual display, for the
# wine scripts: xdotool finds and clicks its windows, win_notice.exe reads
# the text of a notice. Sourced after wine_helpers.sh; the script sets
# $shots (the screenshots' folder) and $notice (win_notice.exe), and has the
# simulator write $work/sim.out and $work/sim.err.

# The program under test is ended at the cleanup, before the server goes.
app_pid=
wine_cleanup_more() { [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true; }

# Starts DIR/ZerquillUpdater.exe, its output in $work/app.log, and waits for
# its dialog: its id in $dlg.
open_dialog() {
    wine "$1/ZerquillUpdater.exe" </dev/null >"$work/app.log" 2>&1 &
    app_pid=$!
    dlg=$(wait_window 300 'ZerquillAv1\.00') || fail "the dialog did not appear"
}

# What the screen and the simulator showed at the moment of a failure.
show_state() {
    import -window root "$shots/failure.png" 2>/dev/null && echo "screen at the failure: $shots/failure.png"
    echo "--- windows"
    xdotool search --name '.' 2>/dev/null | while read -r id; do
        echo "$id $(xdotool getwindowname "$id" 2>/dev/null)"
    done
    echo "--- wine processes"
    ps -eo pid,stat,etime,args | grep -i '[.]exe' || true
}

fail() {
    echo "FAIL: $*"
    show_state
    for f in "$work"/sim.out "$work"/sim.err "$work"/app.log; do
        [ -f "$f" ] && { echo "--- $f"; tail -n 60 "$f"; }
    done
    exit 1
}

# Waits up to $1 tenths of a second for a window whose whole name is $2;
# prints its id.
wait_window() {
    local tries=$1 name=$2 id
    for _ in $(seq "$tries"); do
        id=$(xdotool search --name "^${name}\$" 2>/dev/null | head -1 || true)
        if [ -n "$id" ]; then
            echo "$id"
            return 0
        fi
        sleep 0.1
    done
    return 1
}

wait_gone() {
    local tries=$1 name=$2
    for _ in $(seq "$tries"); do
        xdotool search --name "^${name}\$" >/dev/null 2>&1 || return 0
        sleep 0.1
    done
    return 1
}

shot() {
    # The dialog and its message boxes sit in the middle of the 1024 x 768
    # desktop: this part of the screen holds them all.
    sleep 0.3
    import -window root -crop 480x300+272+234 +repage "$shots/$1.png"
    echo "screenshot $shots/$1.png"
}

# Clicks at x y inside the window (its caption is at the top).
click_in() {
    xdotool mousemove --window "$1" "$2" "$3" click 1
}

# Clicks at x y in window $1 until no window named $4 is left, three times
# at most.
click_until_gone() {
    local id=$1 x=$2 y=$3 name=$4
    for _ in 1 2 3; do
        click_in "$id" "$x" "$y" 2>/dev/null || true
        wait_gone 30 "$name" && return 0
    done
    return 1
}

# Answers notice $1 with its OK button, centred at the bottom.
dismiss() {
    eval "$(xdotool getwindowgeometry --shell "$1")"
    click_until_gone "$1" $((WIDTH / 2)) $((HEIGHT - 26)) 'ZerquillUpdater'
}

# Closes dialog $1 with the close box at the right end of its caption.
close_dialog() {
    eval "$(xdotool getwindowgeometry --shell "$1")"
    click_until_gone "$1" $((WIDTH - 12)) 10 'ZerquillAv1\.00'
}

# The program ends with its dialog.
wait_ended() {
    for _ in $(seq 50); do
        kill -0 "$app_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$app_pid" 2>/dev/null && fail "the program did not end with its dialog"
    wait "$app_pid" || true
    app_pid=
}

# Clicks Start in dialog $1: centred across the dialog, 25 of the client
# area's 61 dialog units down; the client area lies below the caption.
click_start() {
    eval "$(xdotool getwindowgeometry --shell "$1")"
    click_in "$1" $((WIDTH / 2)) $((HEIGHT - (HEIGHT - 22) * 36 / 61 - 4))
}

# Presses Start in dialog $1 and waits up to $2 tenths of a second for the
# notice; prints its id. A click that lands while wine is still showing the
# window is lost, so it is tried again; a second click during a download
# meets a disabled button and does nothing.
press_start() {
    local dlg=$1 tries=$2 box
    for _ in 1 2 3; do
        click_start "$dlg"
        box=$(wait_window "$tries" 'ZerquillUpdater') && {
            echo "$box"
            return 0
        }
    done
    return 1
}

# The text of the notice that is up, without carriage returns.
notice_text() {
    wine "$notice" ZerquillUpdater </dev/null >"$work/notice.txt" 2>/dev/null || true
    tr -d '\r' <"$work/notice.txt"
}

# The simulator's verdict on its session $1: "data matches image", what
# differs, or nothing where the session did not complete. A tool that failed
# leaves the simulator waiting out its 3 s of silence.
session_verdict() {
    for _ in $(seq 100); do
        grep -q "^session $1: " "$work/sim.err" && break
        sleep 0.1
    done
    # The comparison is printed just after the summary.
    sleep 0.2
    awk -v k="session $1: " 'index($0, k) == 1 {on = 1} on && /^data (do not )?match/ {print; exit}' "$work/sim.err"
}
