#!/usr/bin/env bash
# zerquill-flash where the system gives no more threads (a task limit, as
# systemd's TasksMax sets one): a cgroup whose pids.max leaves one thread
# beyond what the program runs on before it starts any. --all over two
# devices flashes the one whose download got a thread, with its record, and
# records the other as given none; --watch over two ports says which port it
# could not listen on and ends. Both exit 1, neither aborts.
#
#   no_thread.sh BUILD_DIR
# Needs root and a writable pids cgroup (v1 or v2): exit status 77 (skipped)
# without them.
set -euo pipefail

build=$(cd "$1" && pwd)
. "$(dirname "$0")/../helpers.sh"
flash=$build/cli/zerquill-flash
fail() {
    echo "FAIL: $*"
    exit 1
}

if [ -w /sys/fs/cgroup/pids/cgroup.procs ]; then
    groups=/sys/fs/cgroup/pids
elif grep -qw pids /sys/fs/cgroup/cgroup.subtree_control 2>/dev/null && [ -w /sys/fs/cgroup/cgroup.procs ]; then
    groups=/sys/fs/cgroup
else
    echo "no_thread: needs root and a writable pids cgroup; skipped"
    exit 77
fi
scratch no-thread
cleanup_more() { rmdir "$groups/zq-$$-base" "$groups/zq-$$-run" 2>/dev/null || true; }
mkdir "$groups/zq-$$-base" "$groups/zq-$$-run"
# in_group NAME COMMAND...: COMMAND as the only tasks of cgroup NAME.
in_group() {
    local group=$groups/zq-$$-$1
    shift
    sh -c 'echo $$ >"$0/cgroup.procs" && exec "$@"' "$group" "$@"
}

cd "$work"
# LeakSanitizer stops the world at exit with a task of its own: in the
# baseline below it would leave room for one more, and in the runs it would
# be refused. Leaks are looked for in every other test.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
"$build/cli/zq-mkimage" DB.bin --blocks 16 --seed 51 >/dev/null
# What the program runs on before it starts a thread (a sanitizer's own
# thread counts), and one thread more.
in_group base "$flash" --check -i DB.bin >/dev/null
# ThreadSanitizer starts a thread of its own along with the program's first.
extra=1
grep -qa __tsan_init "$flash" && extra=2
echo $(($(cat "$groups/zq-$$-base/pids.peak") + extra)) >"$groups/zq-$$-run/pids.max"

start "$work/a" "$build/devsim/zerquill-devsim" --sessions 1 --silence-ms 2000
a=$line
start "$work/b" "$build/devsim/zerquill-devsim" --sessions 1 --silence-ms 2000
b=$line
status=0
in_group run "$flash" --all --ports "$a,$b" -i DB.bin --log all.jsonl >out 2>err || status=$?
[ "$status" -eq 1 ] || fail "--all exited $status, not 1: $(cat err)"
[ "$(grep -c '"result":"success"' all.jsonl)" -eq 1 ] || fail "not one unit flashed and recorded: $(cat all.jsonl)"
grep -q '"step":"no_thread"' all.jsonl || fail "the unit given no thread has no record: $(cat all.jsonl)"
grep -qF "no thread could be had for the download on" err out || fail "no thread is not said: $(cat out err)"

status=0
in_group run "$flash" --watch --ports /dev/zq-absent-1,/dev/zq-absent-2 -i DB.bin >out 2>err || status=$?
[ "$status" -eq 1 ] || fail "--watch exited $status, not 1: $(cat err)"
grep -qF "station stopped: no thread could be had to listen on /dev/zq-absent-2" err ||
    fail "the unheard port is not said: $(cat err)"
echo "no_thread: --all recorded both units, one flashed; --watch named the port it could not listen on"
