#!/usr/bin/env bash
# The Qt dialog on a locked station: in a private mount namespace the
# engineers' key is the one trusted (lock_station in helpers.sh), DB.bin of
# 150 blocks is released by a job signed with it, and the dialog's locked
# case in TEST_EXE runs there against them (ZQ_RELEASED), with other.bin the
# image DB.bin is overwritten with during each download.
#
#   locked_dialog.sh BUILD_DIR TEST_EXE
# Needs root for the namespace: exit status 77 (skipped) without it.
set -euo pipefail

build=$(cd "$1" && pwd)
test_exe=$(readlink -f "$2")
. "$(dirname "$0")/../helpers.sh"
in_mount_namespace locked_dialog "$@"

scratch locked-dialog
cleanup_more() { unlock_station; }
cd "$work"
"$build/cli/zq-mkimage" DB.bin --blocks 150 --seed 41 >/dev/null
"$build/cli/zq-mkimage" other.bin --blocks 150 --seed 42 >/dev/null
engineering_key
"$build/cli/zerquill-flash" --make-job DB.zqjob -i DB.bin --name lot41 --key eng.pem >/dev/null
lock_station eng.pub
ZQ_RELEASED=$work "$test_exe" aLockedStationSendsTheReleasedImageThoughTheFileChanges
