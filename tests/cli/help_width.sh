#!/usr/bin/env bash
# Every program's --help fits a terminal of 80 columns: a longer line breaks
# mid-word where a person reads it. zerquill-flash's ends with its examples.
#   help_width.sh BUILD_DIR
set -euo pipefail
build=$1
status=0
for program in cli/zerquill-flash devsim/zerquill-devsim cli/zq-mkimage app/qt-station/ZerquillStation; do
    [ -x "$build/$program" ] || { [ "$program" = app/qt-station/ZerquillStation ] && continue; echo "FAIL: no $program"; exit 1; }
    help=$("$build/$program" --help)
    [ -n "$help" ] || { echo "FAIL: $program --help says nothing"; status=1; }
    while IFS= read -r line; do
        if [ "${#line}" -gt 80 ]; then
            echo "FAIL: $program --help, ${#line} columns: $line"
            status=1
        fi
    done <<<"$help"
done
# The examples come last, after every section of options.
last_heading=$("$build/cli/zerquill-flash" --help | grep -E '^[A-Z][^ ]*( [^ ]+)*:$|^[A-Z].*\):$' | tail -1)
[ "$last_heading" = "Examples:" ] || { echo "FAIL: zerquill-flash --help's last section is \"$last_heading\""; status=1; }
[ "$status" -eq 0 ] && echo "PASS: every --help within 80 columns, zerquill-flash's examples last"
exit "$status"
