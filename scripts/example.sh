#!/bin/bash
# Builds what the example runs (the hotsync program and the Tolvex conduit;
# the tests and benchmarks are built by scripts/test.sh) and synchronizes the
# shipped example: a handheld image and a desktop folder that were in step at
# their last HotSync with this desktop and have since been edited on both
# sides. Works on a fresh copy in out/example, so it can be run again and again.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target hotsync Tolvex2
work=out/example
rm -rf "$work"
mkdir -p "$work"
cp -r examples/handheld examples/desktop examples/home "$work/"
export HOTSYNC_HOME="$PWD/$work/home"
hotsync=build/bin/hotsync

# The Tolvk-Garden list on each side: the handheld's outline, and the
# desktop file's items (uniqueID, dirty content and position flags, deleted
# flag, title).
show_garden() {
  echo "--- on the handheld"
  "$hotsync" device dump "$work/handheld" Tolvk-Garden | sed -n '/outline,/,$p'
  echo "--- on the desktop (Tolvk-Garden.XML)"
  sed -n 's/^\( *\)<item uniqueID="\([0-9]*\)" dirtyContent="\([01]\)" dirtyPosition="\([01]\)" deleted="\([01]\)".*/\1#\2 c\3 p\4 d\5/p; s/^ *<title>\(.*\)<\/title>/    \1/p' \
    "$work/desktop/Tolvk-Garden.XML" | paste -d' ' - -
}

echo "=== Tolvk-Garden before: edited on both sides since the last HotSync"
echo "On the handheld: Tomatoes renamed Cherry tomatoes, Dahlias added under"
echo "Flowers, Weeding deleted. On the desktop: Garlic added under Vegetables,"
echo "the note of Tools rewritten, Roses moved under Tools."
show_garden
echo
echo "=== hotsync sync"
status=0
"$hotsync" sync --device "$work/handheld" --desktop "$work/desktop" || status=$?
echo
echo "=== Tolvk-Garden after: each side's edits are on the other side"
show_garden
echo
echo "HotSync state:  $HOTSYNC_HOME"
exit $status
