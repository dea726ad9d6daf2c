#!/usr/bin/env bash
# The README's hand-run recipe, as written, against this build: it must end
# in "Success Download!" and the simulator's "data matches image", with none
# of the simulator's account inside the tool's output.
#   readme_recipe.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
fail() {
    echo "FAIL: $*"
    exit 1
}

checkout=$(mktemp -d /tmp/zq-recipe-XXXXXX)
trap 'rm -rf "$checkout"' EXIT
# The recipe reads the tools from the checkout's build/cli, as ./run demo
# leaves them: here, this build.
mkdir -p "$checkout/build"
ln -s "$build" "$checkout/build/cli"
recipe=$(awk '/^<!-- recipe end -->/ { on = 0 } on && !/^```/ { print } /^<!-- recipe -->/ { on = 1 }' \
    "$source_dir/README.md")
[ -n "$recipe" ] || fail "no recipe between <!-- recipe --> and <!-- recipe end --> in README.md"
out=$(cd "$checkout" && timeout 60 bash -euo pipefail -c "$recipe" 2>&1) || fail "the recipe failed: $out"
tool=${out%%Success Download!*}
[ "$tool" != "$out" ] || fail "no \"Success Download!\": $out"
grep -q "data matches image" <<<"$out" || fail "the simulator did not confirm the data: $out"
! grep -q "session" <<<"$tool" || fail "the simulator's account ran into the tool's output: $out"
echo "readme_recipe: as written, it flashed the simulated device and read cleanly"
