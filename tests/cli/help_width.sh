#!/usr/bin/env bash
# Every program's --help fits 80 columns (a longer line breaks mid-word on a
# terminal); zerquill-flash's examples come last.   help_width.sh BUILD_DIR
set -uo pipefail
status=0
for p in cli/zerquill-flash devsim/zerquill-devsim cli/zq-mkimage app/qt-station/ZerquillStation; do
    [ -x "$1/$p" ] || [ "$p" = app/qt-station/ZerquillStation ] || { echo "FAIL: no $p"; exit 1; }
    if [ -x "$1/$p" ]; then
        "$1/$p" --help | awk -v p="$p" 'length > 80 {print "FAIL: " p ": " $0; bad = 1} END {exit bad}' || status=1
    fi
done
last=$("$1/cli/zerquill-flash" --help | grep -E '^[A-Z].*:$' | tail -1)
[ "$last" = "Examples:" ] || { echo "FAIL: zerquill-flash --help ends with \"$last\""; status=1; }
exit "$status"
