#!/bin/bash
# Builds Tolvex and synchronizes the shipped example: a handheld image and a
# desktop folder edited on both sides since their last HotSync. Works on a
# fresh copy in out/example, so it can be run again and again.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build
work=out/example
rm -rf "$work"
mkdir -p "$work/home"
cp -r examples/handheld "$work/handheld"
cp -r examples/desktop "$work/desktop"
export HOTSYNC_HOME="$PWD/$work/home"
echo "=== hotsync sync"
status=0
build/bin/hotsync sync --device "$work/handheld" --desktop "$work/desktop" || status=$?
echo
echo "=== the handheld now (lists only)"
build/bin/hotsync device dump "$work/handheld" |
  awk '/^Database /{show = ($2 ~ /^"Tolvk-/)} /^Handheld image/ || show' | head -120
echo
echo "=== the desktop folder now"
ls -1 "$work/desktop" "$work/desktop/Backup" 2>/dev/null
for f in "$work"/desktop/Tolvk-*.XML; do
  echo "--- $(basename "$f")"
  # One line per item: indentation, id, flags and title.
  sed -n 's/^\( *\)<item uniqueID="\([0-9]*\)" dirtyContent="\([01]\)" dirtyPosition="\([01]\)" deleted="\([01]\)".*/\1#\2 c\3 p\4 d\5/p; s/^ *<title>\(.*\)<\/title>/    \1/p' "$f" \
    | paste -d' ' - - | head -40
done
echo
echo "Log of this run:  $work/desktop/lastsync.txt"
echo "HotSync log:      $HOTSYNC_HOME"
exit $status
